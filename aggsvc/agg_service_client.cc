#include "aggsvc/agg_service_client.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "aggsvc/mpa_answer_queue.h"
#include "aggsvc/mpa_message_task.h"
#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "core/task_thread.h"
#include "platform/mq/rmq_client.h"
#include "platform/smartnic/sn_util.h"
#include "zumbra/qbx/agg_service/messaging/client_data.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace {

constexpr const char* kSubcomp = "agg-service";

// Process-wide defaults of what set-up needs from outside.
std::mutex gDefaultsMutex;
std::shared_ptr<MpaVerticalRegistrar> gDefaultRegistrar;  // guarded by gDefaultsMutex
std::function<int()> gDefaultNodePersona;                 // guarded by gDefaultsMutex
std::atomic<bool> gSmartNicMode{false};

constexpr int kPersonaSmartNic = 2;
// Channel record type of a reply to a request (besides RMQ_CLIENT_RPC_RESPONSE).
constexpr uint32_t kRmqRequestReply = 9;
constexpr uint32_t kDeltaMpFirstOrResetRequest = 1;

// The records of one answer as it is handed over to the dispatcher thread.
void LogAnswer(const char* appName, const std::string& payload, const std::string& typeId,
               const std::string& correlationId) {
  const char* fn = "CreateAndEnqueueMpaMessageTask";
  if (payload.empty()) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Empty payload from vertical, still sending message - messageType: %s & correlationId: %s", fn,
             appName, typeId.c_str(), correlationId.c_str());
  }
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Filled payload of length %zd\n", fn, appName, static_cast<ssize_t>(payload.size()));
}

// What a pull request needs besides its answers, kept by each request thread from one
// request to the next so that a steady stream of pulls does not allocate it again for every
// request: the parsed request (protobuf keeps the storage of the fields it clears for the
// next parse), the list of pull targets and the list of payloads.
struct PullScratch {
  zumbra::qbx::agg_service::messaging::ClientDataRequestMsg request;
  std::vector<std::shared_ptr<PullTarget>> targets;
  std::vector<std::string> payloads;
  // The metadata of the answers to one target type, refilled for each; `answerMetadataWritten`
  // when a refill of this request wrote into it (only then can it have grown).
  MsgMetadata answerMetadata{"", "", ""};
  bool answerMetadataWritten = false;
  bool inUse = false;
};

// Beyond these, what a request grew is let go after it rather than kept for the next.
constexpr int32_t kMaxKeptRequestBytes = 64 * 1024;
constexpr size_t kMaxKeptListLength = 1024;
constexpr size_t kMaxKeptMetadataBytes = 4096;
constexpr size_t kMaxKeptTypeNameBytes = 1024;

thread_local PullScratch tPullScratch;

// The calling thread's scratch for one request. A thread already inside a pull (a vertical
// whose callback pulls from a client) gets a fresh one, so the outer request's state is
// never touched.
class PullScratchLease {
 public:
  explicit PullScratchLease(int32_t requestBytes) : requestBytes(requestBytes) {
    if (tPullScratch.inUse) {
      own = std::make_unique<PullScratch>();
      scratch = own.get();
    } else {
      scratch = &tPullScratch;
      scratch->inUse = true;
    }
  }
  ~PullScratchLease() {
    if (own) return;
    scratch->targets.clear();
    scratch->payloads.clear();
    if (scratch->targets.capacity() > kMaxKeptListLength) std::vector<std::shared_ptr<PullTarget>>().swap(scratch->targets);
    if (scratch->payloads.capacity() > kMaxKeptListLength) std::vector<std::string>().swap(scratch->payloads);
    if (requestBytes > kMaxKeptRequestBytes) {
      zumbra::qbx::agg_service::messaging::ClientDataRequestMsg().Swap(&scratch->request);
    }
    if (scratch->answerMetadataWritten) {
      const MsgMetadata& kept = scratch->answerMetadata;
      if (kept.GetTypeId().capacity() + kept.GetCorrelationId().capacity() + kept.GetReplyTo().capacity() >
          kMaxKeptMetadataBytes) {
        scratch->answerMetadata = MsgMetadata("", "", "");
      }
      scratch->answerMetadataWritten = false;
    }
    scratch->inUse = false;
  }
  PullScratchLease(const PullScratchLease&) = delete;
  PullScratchLease& operator=(const PullScratchLease&) = delete;

  PullScratch& Get() { return *scratch; }

 private:
  const int32_t requestBytes;
  std::unique_ptr<PullScratch> own;
  PullScratch* scratch = nullptr;
};

}  // namespace

// The answers of one pull target type on their way to the dispatcher thread. The callback's
// payloads pass one by one through CreateAndEnqueueMpaMessageTask, so that a subclass sees
// every answer; the client's own implementation collects those of the open batch (same
// client, same metadata, same thread) into one task, which goes over when the batch closes.
// Batches nest (a vertical's callback may pull from a client); each request thread sees
// only its own.
class AggServiceClient::AnswerBatch {
 public:
  AnswerBatch(AggServiceClient& client, const MsgMetadata& metadata)
      : client(client), metadata(metadata), outer(open) {
    open = this;
  }
  ~AnswerBatch() {
    // Closed on every way out: what was collected is handed over, never lost.
    Close();
    open = outer;
  }
  AnswerBatch(const AnswerBatch&) = delete;
  AnswerBatch& operator=(const AnswerBatch&) = delete;

  // The batch that an answer of `client` with `answerMetadata` joins on this thread, if any.
  static AnswerBatch* For(const AggServiceClient* client, const MsgMetadata& answerMetadata) {
    AnswerBatch* batch = open;
    if (batch == nullptr || &batch->client != client) return nullptr;
    const MsgMetadata& m = batch->metadata;
    // The handler hands every answer of the batch the batch's own metadata.
    if (&m == &answerMetadata) return batch;
    if (m.GetTypeId() != answerMetadata.GetTypeId() || m.GetCorrelationId() != answerMetadata.GetCorrelationId() ||
        m.GetReplyTo() != answerMetadata.GetReplyTo()) {
      return nullptr;
    }
    return batch;
  }
  // The open batch of `client` on this thread, whatever its metadata.
  static AnswerBatch* OpenOf(const AggServiceClient* client) {
    return open != nullptr && &open->client == client ? open : nullptr;
  }

  // Takes one answer; its storage comes back in `payload` as MpaMessageTask::AddPayload says.
  void Add(std::string& payload) {
    if (!task) {
      task = client.taskPool->Take();
      if (!task) task = std::make_unique<MpaMessageTask>();
      task->Refill(client.sender, metadata);
    }
    task->AddPayload(payload);
  }

  // Hands over what was collected: the result of the hand-over, or nothing when there was
  // nothing to hand over.
  std::optional<int> Close() {
    if (!task) return std::nullopt;
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Enqueue task to mpaDispatcherThread\n", "CreateAndEnqueueMpaMessageTask", client.AppName());
    return client.DispatchMpaMessageTask(task.release());
  }

 private:
  AggServiceClient& client;
  const MsgMetadata& metadata;
  AnswerBatch* const outer;
  std::unique_ptr<MpaMessageTask> task;
  static thread_local AnswerBatch* open;
};

thread_local AggServiceClient::AnswerBatch* AggServiceClient::AnswerBatch::open = nullptr;

void AggServiceClient::SetDefaultRegistrar(std::shared_ptr<MpaVerticalRegistrar> registrar) {
  std::lock_guard<std::mutex> guard(gDefaultsMutex);
  gDefaultRegistrar = std::move(registrar);
}

void AggServiceClient::SetDefaultNodePersonaSource(std::function<int()> nodePersona) {
  std::lock_guard<std::mutex> guard(gDefaultsMutex);
  gDefaultNodePersona = std::move(nodePersona);
}

int AggServiceClient::DefaultNodePersona() {
  std::function<int()> persona;
  {
    std::lock_guard<std::mutex> guard(gDefaultsMutex);
    persona = gDefaultNodePersona;
  }
  return persona ? persona() : SNUtil::GetNodePersona();
}

int AggServiceClient::NodePersona() const { return deps.nodePersona ? deps.nodePersona() : DefaultNodePersona(); }

bool AggServiceClient::IsSmartNicMode() { return gSmartNicMode.load(); }

const std::vector<std::pair<std::string, std::string>>& AggServiceClient::MpTypeNameTable() {
  static const std::vector<std::pair<std::string, std::string>> table = {
      {"com.zumbra.qbx.agg_service.simple.HostLogicalPortStatusMsg",
       "zumbra.qbx.agg_service.simple.HostLogicalPortStatusMsg"},
      {"com.zumbra.qbx.management.agg_service.fabric_install_status.SoftwareStatusMsg",
       "zumbra.qbx.agg_service.SoftwareStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.BridgeEndpointsOnBridgeNodeMsg",
       "zumbra.qbx.agg_service.l2.BridgeEndpointsOnBridgeNodeMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.BridgeEndpointStatusMsg",
       "zumbra.qbx.agg_service.l2.BridgeEndpointStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.BridgeClusterStatusMsg",
       "zumbra.qbx.agg_service.l2.BridgeClusterStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.HostLogicalPortStatusMsg",
       "zumbra.qbx.agg_service.l2.HostLogicalPortStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.LogicalPortMacTableMsg",
       "zumbra.qbx.agg_service.l2.LogicalPortMacTableMsg"},
      {"com.zumbra.qbx.management.agg_service.node.NodeStatusPropertiesMsg",
       "zumbra.qbx.agg_service.node.NodeStatusPropertiesMsg"},
      {"com.zumbra.qbx.management.agg_service.transport_node_status.ControlConnStatusesMsg",
       "zumbra.qbx.agg_service.ControlConnStatusesMsg"},
      {"com.zumbra.qbx.management.agg_service.transport_node_status.PnicBondsMsg",
       "zumbra.qbx.agg_service.PnicBondsMsg"},
      {"com.zumbra.qbx.management.agg_service.transport_node_status.TunnelsSummaryMsg",
       "zumbra.qbx.agg_service.TunnelsSummaryMsg"},
      {"com.zumbra.qbx.management.agg_service.transport_node_status.TunnelsMsg",
       "zumbra.qbx.agg_service.TunnelsMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.MacTableMsg",
       "zumbra.qbx.agg_service.l2.MacTableMsg"},
      {"com.zumbra.qbx.management.aggservice.l2.VtepTableMsg",
       "zumbra.qbx.agg_service.l2.VtepTableMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.LogicalRouterPortArpTableMsg",
       "zumbra.qbx.agg_service.l3.LogicalRouterPortArpTableMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.RouteTableMsg",
       "zumbra.qbx.agg_service.l3.RouteTableMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.MsrRouteTableMsg",
       "zumbra.qbx.agg_service.l3.MsrRouteTableMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.BgpNeighborMsg",
       "zumbra.qbx.agg_service.l3.BgpNeighborMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.LogicalRoutersPerNodeMsg",
       "zumbra.qbx.agg_service.l3.LogicalRoutersPerNodeMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.EdgeClusterStatusMsg",
       "zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.McastRouteMsg",
       "zumbra.qbx.agg_service.l3.McastRouteMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.McastIgmpMembershipMsg",
       "zumbra.qbx.agg_service.l3.McastIgmpMembershipMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.McastPimRpMappingMsg",
       "zumbra.qbx.agg_service.l3.McastPimRpMappingMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.McastForwardTableMsg",
       "zumbra.qbx.agg_service.l3.McastForwardTableMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.BgpNeighborAdvertisedRoutesMsg",
       "zumbra.qbx.agg_service.l3.BgpNeighborAdvertisedRoutesMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.BgpNeighborRoutesMsg",
       "zumbra.qbx.agg_service.l3.BgpNeighborRoutesMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.NodeInterSiteStatisticsMsg",
       "zumbra.qbx.agg_service.l3.NodeInterSiteStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.BgpNeighborStatusPerNodeMsg",
       "zumbra.qbx.agg_service.l3.BgpNeighborStatusPerNodeMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.L2ForwarderStatusPerNodeMsg",
       "zumbra.qbx.agg_service.l3.L2ForwarderStatusPerNodeMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.L2ForwarderStatisticsMsg",
       "zumbra.qbx.agg_service.l3.L2ForwarderStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.L2ForwarderRemoteMacsMsg",
       "zumbra.qbx.agg_service.l3.L2ForwarderRemoteMacsMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.OspfNeighborMsg",
       "zumbra.qbx.agg_service.l3.OspfNeighborMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.OspfRouteMsg",
       "zumbra.qbx.agg_service.l3.OspfRouteMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.OspfDatabaseMsg",
       "zumbra.qbx.agg_service.l3.OspfDatabaseMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.FrrRouteCountMsg",
       "zumbra.qbx.agg_service.l3.FrrRouteCountMsg"},
      {"com.zumbra.qbx.management.aggservice.l3.GreTunnelStatsMsg",
       "zumbra.qbx.agg_service.l3.GreTunnelStatsMsg"},
      {"com.zumbra.qbx.management.aggservice.MetadataProxyStatusPerLsMsg",
       "zumbra.qbx.agg_service.MetadataProxyStatusPerLsMsg"},
      {"com.zumbra.qbx.management.aggservice.DhcpServerNodeStatusMsg",
       "zumbra.qbx.agg_service.DhcpServerNodeStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.DhcpV6LeasesPerPoolOrBdMsg",
       "zumbra.qbx.agg_service.DhcpV6LeasesPerPoolOrBdMsg"},
      {"com.zumbra.qbx.management.aggservice.DnsForwarderNodeStatusMsg",
       "zumbra.qbx.agg_service.DnsForwarderNodeStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.DnsForwarderStatisticsMsg",
       "zumbra.qbx.agg_service.DnsForwarderStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.LbPoolMemberStatusMsg",
       "zumbra.qbx.agg_service.LbPoolMemberStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.LbPoolStatusMsg",
       "zumbra.qbx.agg_service.LbPoolStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.LbVirtualServerStatusMsg",
       "zumbra.qbx.agg_service.LbVirtualServerStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.LbServiceStatusMsg",
       "zumbra.qbx.agg_service.LbServiceStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.HostLbServiceStatusMsg",
       "zumbra.qbx.agg_service.HostLbServiceStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.IPSecVpnTunnelTrafficStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.IPSecVpnTunnelTrafficCountersMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficCountersMsg"},
      {"com.zumbra.qbx.management.aggservice.IPSecVpnSessionTrafficSummaryMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnSessionTrafficSummaryMsg"},
      {"com.zumbra.qbx.management.aggservice.IPSecVpnIkeSessionStatusMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnIkeSessionStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.IPSecVpnSessionStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.IPSecVpnServiceSummaryMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnServiceSummaryMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnTunnelTrafficStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnTunnelTrafficCountersMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficCountersMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnSessionTrafficSummaryMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnSessionTrafficSummaryMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnIkeSessionStatusMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnIkeSessionStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnSessionStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnSessionStatusMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.IpsecVpnServiceSummaryMsg",
       "zumbra.qbx.agg_service.vpn.IpsecVpnServiceSummaryMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnTransportTunnelStatusMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnTransportTunnelStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnTunnelPortTrafficStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnTunnelPortTrafficStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnSessionStatusMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnSessionStatusMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnSessionStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnSessionStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnPerLsTrafficStatisticsMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnPerLsTrafficStatisticsMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnPerLsRemoteMacsMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnPerLsRemoteMacsMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnSessionRemoteMacsMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnSessionRemoteMacsMsg"},
      {"com.zumbra.qbx.management.aggservice.L2VpnServiceSummaryMsg",
       "zumbra.qbx.agg_service.vpn.L2VpnServiceSummaryMsg"},
  };
  return table;
}

AggServiceClient::AggServiceClient(std::shared_ptr<Vertical> vertical,
                                   std::shared_ptr<qbx::StatusSource::StatusSource> statusSource,
                                   std::shared_ptr<qbx::AggSvc::ShaClientWrapper> shaClientWrapper, Deps deps)
    : vertical(std::move(vertical)),
      taskPool(std::make_shared<MpaMessageTaskPool>()),
      statusSource(std::move(statusSource)),
      shaClientWrapper(std::move(shaClientWrapper)),
      deps(std::move(deps)) {
  if (!this->vertical) throw VerticalInitException("AggServiceClient needs a vertical");
  // A new vertical holds version 0.0, so this also puts the delta state in its reset state.
  AggServiceClient::SetMPVersion(3, 2);
  for (const auto& entry : MpTypeNameTable()) mpTypeNames.emplace(entry.first, entry.second);
}

AggServiceClient::~AggServiceClient() {
  if (HasDispatcherThread()) StopMpaDispatcherThread();
  std::vector<ResetThread> pending;
  {
    std::lock_guard<std::mutex> guard(resetThreadsMutex);
    pending.swap(resetThreads);
  }
  for (auto& reset : pending) {
    if (reset.thread.joinable()) reset.thread.join();
  }
  for (auto& entry : adapters) delete entry.second;
  adapters.clear();
  for (auto& entry : genericAdapters) delete entry.second;
  genericAdapters.clear();
}

void AggServiceClient::HandleSnReply(rmqClientMessage* msg, const std::string& appName, const std::string& typeId,
                                     const std::string& correlationId) {
  const char* fn = "HandleSnReply";
  if (NodePersona() != kPersonaSmartNic) {
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Smart-NIC message of type %s ignored by a plain client", fn, AppName(), typeId.c_str());
    return;
  }
  if (msg == nullptr) return;
  // Control records (acknowledgement, close) are the channel's business; replies have no
  // request here to belong to.
  if (msg->messageType == RMQ_CLIENT_REGISTRATION_ACK || msg->messageType == RMQ_CLIENT_CLOSE ||
      msg->messageType == kRmqRequestReply || msg->messageType == RMQ_CLIENT_RPC_RESPONSE) {
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Message type %d from the host not handled here", fn, AppName(),
             static_cast<int>(msg->messageType));
    return;
  }
  if (msg->payloadLen < 0 || msg->payloadLen > INT32_MAX || (msg->payload == nullptr && msg->payloadLen > 0)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10005")
        .put("[%s][%s]: Request from the host with invalid length %lld dropped", fn, AppName(),
             static_cast<long long>(msg->payloadLen));
    return;
  }
  static const char kEmpty = 0;
  const char* payload = msg->payload != nullptr ? reinterpret_cast<const char*>(msg->payload) : &kEmpty;
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Request %s (%s) from the host of app %s", fn, AppName(), typeId.c_str(), correlationId.c_str(),
           appName.c_str());
  // Answered with the request's correlation id; the channel routes the answer back to the
  // host that asked.
  int rc = ProcessReceivedMessage(payload, static_cast<int32_t>(msg->payloadLen), MsgMetadata(typeId, correlationId, ""));
  if (rc < 0) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Request %s from the host failed: %d", fn, AppName(), typeId.c_str(), rc);
  }
}

void AggServiceClient::InitExternalAdapters() {}

void AggServiceClient::CallExtraAdapter(const char*, int32_t, const MsgMetadata&) {}

std::shared_ptr<MpaVerticalRegistrar> AggServiceClient::Registrar() const {
  if (deps.registrar) return deps.registrar;
  std::lock_guard<std::mutex> guard(gDefaultsMutex);
  return gDefaultRegistrar;
}

std::shared_ptr<MpaMessageSender> AggServiceClient::RegisterWithMessaging(const ChannelContext& hostProvider) {
  std::shared_ptr<MpaVerticalRegistrar> registrar = Registrar();
  if (!registrar) return nullptr;
  return registrar->RegisterVerticalSimple(vertical->Name(), hostProvider);
}

std::shared_ptr<MpaMessageSender> AggServiceClient::RegisterWithMessaging(const ChannelContext& hostProvider,
                                                                          const ChannelContext& snProvider) {
  std::shared_ptr<MpaVerticalRegistrar> registrar = Registrar();
  if (!registrar) return nullptr;
  return registrar->RegisterVertical(vertical->Name(), hostProvider, snProvider);
}

int AggServiceClient::SetupAggServiceClient(const ChannelContext& hostProvider) {
  LogSetup();
  sender = RegisterWithMessaging(hostProvider);
  return FinishSetup();
}

int AggServiceClient::SetupAggServiceClient(const ChannelContext& hostProvider, const ChannelContext& snProvider) {
  if (NodePersona() == kPersonaSmartNic) {
    gSmartNicMode.store(true);
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s] AggSvc client[%s] set smartnic mode", "SetupAggServiceClient", AppName());
  }
  LogSetup();
  sender = RegisterWithMessaging(hostProvider, snProvider);
  return FinishSetup();
}

void AggServiceClient::LogSetup() {
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] Setting up AggServiceClient for app: %s", "SetupAggServiceClient", AppName());
}

int AggServiceClient::FinishSetup() {
  if (!sender) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10008")
        .put("[%s][%s]: Failed to create MpaClient stub\n", "SetupAggServiceClient", AppName());
    return aggresult::kGeneral;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(resetMutex);
    diffStore = std::make_shared<qbx::DiffStoreFactoryImpl>(vertical->SkipFirstValue());
    deltaWorker.SetSmartNicMode(IsSmartNicMode());
  }
  int rc = StartMpaDispatcherThread();
  if (rc < 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10001")
        .put("[%s][%s]: Failed to start dispatcher thread\n", "SetupAggServiceClient", AppName());
    return rc;
  }
  sender->SetAggServiceClient(weak_from_this());
  return aggresult::kOk;
}

int AggServiceClient::OpenAggServiceClient() {
  if (!sender) {
    // A client that was never set up has nothing to open; refuse rather than crash.
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Client is not set up, cannot open\n", "OpenAggServiceClient", AppName());
    return aggresult::kGeneral;
  }
  if (!sender->Open()) return aggresult::kGeneral;
  InitExternalAdapters();
  std::weak_ptr<AggServiceClient> weakSelf = weak_from_this();
  for (const auto& entry : genericAdapters) {
    Adapter* adapter = entry.second;
    // The status source may outlive the client: its callbacks reach the adapter only while
    // the client, which owns the adapter, is alive.
    qbx::StatusSource::StatusCallback getter =
        [weakSelf, adapter](bool fullSync) -> std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> {
      auto self = weakSelf.lock();
      if (!self) return std::nullopt;
      return adapter->GetGenericRuntimeStatus(fullSync);
    };
    qbx::StatusSource::CompareCallback compare = [weakSelf, adapter](
                                                     const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& previous,
                                                     const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& current) {
      auto self = weakSelf.lock();
      if (!self) return true;  // nothing to report for a client that is gone
      return adapter->DiffGenericRuntimeStatus(previous, current);
    };
    bool registered = statusSource && statusSource->RegisterStatusCallback(vertical->Name(), entry.first,
                                                                           std::move(getter), std::move(compare));
    if (!registered) {
      QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("Registering %s with StatusSource failed", AppName());
      return aggresult::kGeneral;
    }
  }
  return aggresult::kOk;
}

void AggServiceClient::StopAggServiceClient() {
  {
    // Waits for the request in flight, so that its answers are queued before the
    // dispatcher drains and stops; later requests find no dispatcher and are refused with
    // a record.
    std::lock_guard<std::recursive_mutex> guard(resetMutex);
    StopMpaDispatcherThread();
    lastSummationStatus = kDeltaMpFirstOrResetRequest;
  }
  // Not under the request lock: closing may wait for the receive thread, which may be
  // waiting for that lock.
  if (sender) sender->Close();
}

void AggServiceClient::SetMPVersion(uint32_t major, uint32_t minor) {
  std::lock_guard<std::recursive_mutex> guard(resetMutex);
  if (major == 0 && minor == 0) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[%s][%s]: mpMajorVersion and mpMinorVersion should not be both 0", "SetMPVersion", AppName());
    return;
  }
  if (major != vertical->MpMajorVersion() || minor != vertical->MpMinorVersion()) {
    ResetSummationState();
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s][%s]: summation/delta stats and seqNum reset due to MP version difference ", "SetMPVersion",
             AppName());
  }
  vertical->SetMpVersion(major, minor);
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("<%s> SetMpVersion Major Version: %d Minor Version %d in %s", "SetMPVersion", static_cast<int>(major),
           static_cast<int>(minor), AppName());
}

int AggServiceClient::ProcessReceivedMessage(const char* payload, int32_t length, const MsgMetadata& metadata) {
  std::lock_guard<std::recursive_mutex> guard(resetMutex);
  if (payload == nullptr || length < 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10005")
        .put("[%s][%s]: Invalid Args, Null msg  or Negative msg len\n", "ProcessReceivedMessage", AppName());
    return aggresult::kInvalidArgs;
  }
  const std::string& typeId = metadata.GetTypeId();
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Got msg of type: %s\n", "ProcessReceivedMessage", AppName(), typeId.c_str());
  RequestHandler handler = nullptr;
  if (typeId == kClientDataRequestTypeId) {
    handler = &AggServiceClient::VerticalPullRequestHandler;
  } else if (typeId == kSummationRequestTypeId) {
    handler = &AggServiceClient::SummationStatsRequestHandler;
  } else if (typeId == kOverwriteRequestTypeId) {
    handler = &AggServiceClient::OverwriteStatsRequestHandler;
  } else if (typeId == kOnDemandRequestTypeId) {
    handler = &AggServiceClient::OnDemandStatsRequestHandler;
  } else if (typeId == kGenericRuntimeStatusRequestTypeId) {
    handler = &AggServiceClient::GenericRuntimeStatusRequestHandler;
  } else {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10006")
        .put("[%s][%s]: Got unrecognized pull request msg type: %s\n", "ProcessReceivedMessage", AppName(),
             typeId.c_str());
    return aggresult::kUnrecognizedRequestType;
  }
  int rc = RunHandlerGuarded(handler, payload, length, metadata);
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s][%s]: ProcessReceivedMessage function done\n", "ProcessReceivedMessage", AppName());
  return rc;
}

int AggServiceClient::RunHandlerGuarded(RequestHandler handler, const char* payload, int32_t length,
                                        const MsgMetadata& metadata) {
  // A vertical's callback runs inside the handler; whatever it throws must not end the
  // receive thread, and with it the process. The request is refused instead.
  const char* fn = "ProcessReceivedMessage";
  try {
    return (this->*handler)(payload, length, metadata);
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Request of type %s refused, handler threw: %s\n", fn, AppName(), metadata.GetTypeId().c_str(),
             e.what());
  } catch (const Exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Request of type %s refused, handler threw: %s\n", fn, AppName(), metadata.GetTypeId().c_str(),
             e.GetMessage().c_str());
  } catch (...) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Request of type %s refused, handler threw an unknown exception\n", fn, AppName(),
             metadata.GetTypeId().c_str());
  }
  return aggresult::kGeneral;
}

int AggServiceClient::VerticalPullRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata) {
  const char* fn = "VerticalPullRequestHandler";
  PullScratchLease lease(length);
  PullScratch& scratch = lease.Get();
  zumbra::qbx::agg_service::messaging::ClientDataRequestMsg& request = scratch.request;
  if (!request.ParseFromArray(payload, length)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10009")
        .put("[%s][%s]: Unable to parse ClientDataRequestMsg from msg type: %s\n", fn, AppName(),
             metadata.GetTypeId().c_str());
    return aggresult::kUnparsableRequest;
  }
  size_t targetCount = 0;
  for (const auto& targetRequest : request.target_data_request()) {
    targetCount += std::max<size_t>(1, static_cast<size_t>(targetRequest.target_id_size()));
  }
  if (targetCount > kMaxTargetsPerRequest) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Request names %zu targets, more than the %zu allowed; refused\n", fn, AppName(), targetCount,
             kMaxTargetsPerRequest);
    return aggresult::kTooManyTargets;
  }
  int result = aggresult::kGeneral;
  // Mutable: the target ids move into the pull targets.
  for (auto& targetRequest : *request.mutable_target_data_request()) {
    if (!targetRequest.has_target_type()) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10013")
          .put("[%s][%s]: TargetDataRequestMsg does not have required target type\n", fn, AppName());
      return aggresult::kTargetWithoutType;
    }
    const std::string& targetType = targetRequest.target_type();
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Got pull request for targetType: %s\n", fn, AppName(), targetType.c_str());
    Adapter* adapter = nullptr;
    if (lastPullKnown && targetType == lastPullType) {
      adapter = lastPullAdapter;
    } else {
      adapter = LookUpPullAdapter(targetType);
      // An outsized type name is not kept from one request to the next.
      lastPullKnown = targetType.size() <= kMaxKeptTypeNameBytes;
      if (lastPullKnown) {
        lastPullType = targetType;
        lastPullAdapter = adapter;
      }
    }
    if (adapter == nullptr) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10012")
          .put("[%s][%s]: No vertical adapter registered for message type: %s\n", fn, AppName(),
               targetType.c_str());
      return aggresult::kNoAdapter;
    }
    std::vector<std::shared_ptr<PullTarget>>& targets = scratch.targets;
    targets.clear();
    targets.reserve(targetRequest.target_id_size());
    // The request is not read again: its target ids move into the targets.
    for (auto& targetId : *targetRequest.mutable_target_id()) {
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Adding targetId:%s to targetIdList\n", fn, AppName(), targetId.c_str());
      targets.push_back(std::make_shared<PullTarget>(std::move(targetId)));
    }
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Invoke callback with targetIdList of size %zd\n", fn, AppName(),
             static_cast<ssize_t>(targets.size()));
    std::vector<std::string>& payloads = scratch.payloads;
    payloads.clear();
    CallExtraAdapter(payload, length, metadata);
    adapter->RunVerticalCb(targets, payloads);
    targets.clear();  // what the vertical did not keep goes now, as it did before reuse
    if (payloads.empty()) {
      QBX_LOG(qbx::loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Callback did not return any payload, MP's pull request may timeout", fn, AppName());
      continue;
    }
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Callback returned payload list of size %zd\n", fn, AppName(),
             static_cast<ssize_t>(payloads.size()));
    // Every answer passes through CreateAndEnqueueMpaMessageTask; those of one target type
    // go over to the dispatcher thread together, as one task (see AnswerBatch). They name
    // the type as the request did and carry the request's correlation.
    MsgMetadata& answerMetadata = scratch.answerMetadata;
    if (answerMetadata.Assign(targetType, metadata.GetCorrelationId(), metadata.GetReplyTo())) {
      scratch.answerMetadataWritten = true;
    }
    AnswerBatch batch(*this, answerMetadata);
    for (std::string& answer : payloads) {
      QBX_LOG(qbx::loglevel::kTrace)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Create & enqueue msg for send, msgtype: %s\n", fn, AppName(), targetType.c_str());
      result = CreateAndEnqueueMpaMessageTask(std::move(answer), answerMetadata);
      if (result < 0) break;
    }
    // The answers before a refused one were queued; they go over all the same.
    if (std::optional<int> handedOver = batch.Close(); handedOver && result >= 0) result = *handedOver;
    if (result < 0) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10011")
          .put("[%s][%s]: Dispatch message to mpa failed\n", fn, AppName());
      return result;
    }
  }
  return result;
}

void AggServiceClient::AddAdapter(const std::string& key, Adapter* adapter) {
  std::lock_guard<std::recursive_mutex> guard(resetMutex);
  adapters.emplace(key, adapter);
  lastPullKnown = false;
}

AggServiceClient::Adapter* AggServiceClient::LookUpPullAdapter(const std::string& targetType) const {
  const std::string* lookupName = &targetType;
  if (!targetType.empty()) {
    auto mapped = mpTypeNames.find(targetType);
    if (mapped != mpTypeNames.end()) lookupName = &mapped->second;
  }
  return FindAdapter(*lookupName);
}

int AggServiceClient::CreateAndEnqueueMpaMessageTask(std::string payload, const MsgMetadata& metadata) {
  const char* fn = "CreateAndEnqueueMpaMessageTask";
  LogAnswer(AppName(), payload, metadata.GetTypeId(), metadata.GetCorrelationId());
  if (AnswerBatch* batch = AnswerBatch::For(this, metadata)) {
    // `payload` takes the storage the task kept in that place and frees it here.
    batch->Add(payload);
    return aggresult::kOk;
  }
  // Another answer while a batch is open: the batch goes first, so answers leave in the
  // order they were made.
  if (AnswerBatch* batch = AnswerBatch::OpenOf(this)) {
    if (std::optional<int> handedOver = batch->Close(); handedOver && *handedOver < 0) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10011")
          .put("[%s][%s]: Dispatch message to mpa failed\n", fn, AppName());
    }
  }
  std::unique_ptr<MpaMessageTask> task = taskPool->Take();
  if (task) {
    // `payload` takes the task's old payload storage and frees it here, on this thread.
    task->Reuse(sender, payload, metadata);
  } else {
    task = std::make_unique<MpaMessageTask>(sender, std::move(payload), metadata);
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s][%s]: Enqueue task to mpaDispatcherThread\n", fn, AppName());
  return DispatchMpaMessageTask(task.release());
}

int AggServiceClient::DispatchMpaMessageTask(MpaMessageTask* task) {
  const char* fn = "DispatchMpaMessageTask";
  std::unique_ptr<MpaMessageTask> owned(task);
  std::lock_guard<std::mutex> guard(dispatcherMutex);
  if (!mpaDispatcherThread) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10020")
        .put("[%s][%s]: mpaDispatcherThread was not initialized \n", fn, AppName());
    if (owned) {
      // The answer is lost: name it, so that a management-plane time-out can be traced.
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Dropped message - messageType: %s & correlationId: %s\n", fn, AppName(),
               owned->GetTypeId().c_str(), owned->GetCorrelationId().c_str());
    }
    return aggresult::kNoDispatcherThread;
  }
  auto refused = [&](const MpaMessageTask* lost) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10020")
        .put("[%s][%s]: mpaDispatcherThread refused message - messageType: %s & correlationId: %s\n", fn,
             AppName(), lost ? lost->GetTypeId().c_str() : "", lost ? lost->GetCorrelationId().c_str() : "");
    return aggresult::kNoDispatcherThread;
  };
  if (!owned) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("TaskThread [%p] got null task\n", static_cast<void*>(mpaDispatcherThread.get()));
    return refused(nullptr);
  }
  switch (answerQueue->Push(owned)) {
    case MpaAnswerQueue::PushResult::kFull:
      // The dispatcher thread is stalled (in its sender): the queue does not grow further.
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .put("TaskThread [%p] queue is full (%zu tasks waiting), task [%p] refused\n",
               static_cast<void*>(mpaDispatcherThread.get()), answerQueue->Capacity(), static_cast<void*>(owned.get()));
      return refused(owned.get());
    case MpaAnswerQueue::PushResult::kStartDrainer: {
      std::unique_ptr<Runnable> drainer = answerQueue->MakeDrainer();
      if (mpaDispatcherThread->OfferTask(drainer) != 0) {
        // Only a stopping thread refuses it, and the thread is taken out under this lock
        // before it is stopped; should it happen anyway, nothing handed over stays behind.
        for (auto& lost : answerQueue->TakeBack()) refused(lost.get());
        return aggresult::kNoDispatcherThread;
      }
      break;
    }
    case MpaAnswerQueue::PushResult::kQueued:
      break;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s][%s]: Task queued on mpaDispatcherThread\n", fn, AppName());
  return aggresult::kOk;
}

int AggServiceClient::StartMpaDispatcherThread() {
  const char* fn = "StartMpaDispatcherThread";
  std::lock_guard<std::mutex> guard(dispatcherMutex);
  if (mpaDispatcherThread) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10021")
        .put("[%s][%s]: mpaDispatcherThread already created\n", fn, AppName());
    return aggresult::kDispatcherAlreadyCreated;
  }
  auto thread = std::make_unique<TaskThread>();
  // The answers pass through the queue; the thread runs only its drainers (and deletes each
  // when it finishes). The thread's bound becomes the queue's.
  auto queue = std::make_shared<MpaAnswerQueue>(thread->Capacity(), taskPool, thread.get());
  try {
    thread->Start();
  } catch (const Exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10001")
        .put("[%s][%s]: Failed to start mpaDispatcherThread: %s\n", fn, AppName(), e.GetMessage().c_str());
    return aggresult::kDispatcherStartFailed;
  }
  mpaDispatcherThread = std::move(thread);
  answerQueue = std::move(queue);
  for (size_t kept = taskPool->Kept(); kept < MpaMessageTaskPool::kCirculating; ++kept) {
    taskPool->Give(std::make_unique<MpaMessageTask>());
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s][%s]: Started mpaDispatcherThread\n", fn, AppName());
  return aggresult::kOk;
}

void AggServiceClient::StopMpaDispatcherThread() {
  const char* fn = "StopMpaDispatcherThread";
  std::unique_ptr<TaskThread> thread;
  std::shared_ptr<MpaAnswerQueue> queue;
  {
    // Taken out first: from here on answers are refused with a record, never handed to a
    // thread that will not run them. A drainer queued or running keeps the queue alive and
    // sends what was handed over before the thread stops.
    std::lock_guard<std::mutex> guard(dispatcherMutex);
    thread = std::move(mpaDispatcherThread);
    queue = std::move(answerQueue);
  }
  if (!thread) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[%s][%s]: MpaDispatcherThread already deleted\n", fn, AppName());
    return;
  }
  thread->RequestStop();
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Waiting for mpaDispatcherThread [%p] to stop\n", fn, AppName(), static_cast<void*>(thread.get()));
  try {
    thread->Join();
  } catch (const Exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Joining mpaDispatcherThread failed: %s\n", fn, AppName(), e.GetMessage().c_str());
  }
  thread.reset();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[%s][%s]: deleted mpaDispatcherThread\n", fn, AppName());
}

bool AggServiceClient::HasDispatcherThread() {
  std::lock_guard<std::mutex> guard(dispatcherMutex);
  return static_cast<bool>(mpaDispatcherThread);
}

AggServiceClient::Adapter* AggServiceClient::MakeSummationStatsAdapter() {
  return new VerticalAdapter<zumbra::qbx::agg_service::messaging::PullSummationStatsRequestMsg>();
}

AggServiceClient::Adapter* AggServiceClient::MakeOverwriteStatsAdapter() {
  return new VerticalAdapter<zumbra::qbx::agg_service::messaging::PullOverwriteStatsRequestMsg>();
}

AggServiceClient::Adapter* AggServiceClient::MakeOnDemandStatsAdapter() {
  return new VerticalAdapter<zumbra::qbx::agg_service::messaging::OnDemandStatsRequestMsg>();
}

int AggServiceClient::RegisterPollStatsHandler(const PollStatsHandler& handler) {
  const std::string summationKey =
      zumbra::qbx::agg_service::messaging::PullSummationStatsRequestMsg::default_instance().GetTypeName();
  const std::string overwriteKey =
      zumbra::qbx::agg_service::messaging::PullOverwriteStatsRequestMsg::default_instance().GetTypeName();
  if (adapters.count(summationKey) != 0 || adapters.count(overwriteKey) != 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10024")
        .put("App (%s) already has poll statistics handler registered for %s or %s\n", AppName(),
             summationKey.c_str(), overwriteKey.c_str());
    return aggresult::kDuplicateRegistration;
  }
  std::unique_ptr<Adapter> summation(MakeSummationStatsAdapter());
  summation->SetPollStatsHandler(handler);
  AddAdapter(summationKey, summation.release());
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("App (%s) registered summation stats handler for msgType: %s", AppName(), summationKey.c_str());
  std::unique_ptr<Adapter> overwrite(MakeOverwriteStatsAdapter());
  overwrite->SetPollStatsHandler(handler);
  AddAdapter(overwriteKey, overwrite.release());
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("App (%s) registered overwrite stats handler for msgType: %s", AppName(), overwriteKey.c_str());
  return aggresult::kOk;
}

int AggServiceClient::RegisterOnDemandStatsHandler(const OnDemandStatsHandler& handler,
                                                   const OnDemandStatsNewHandler& handlerNew) {
  const std::string key = zumbra::qbx::agg_service::messaging::OnDemandStatsRequestMsg::default_instance().GetTypeName();
  auto found = adapters.find(key);
  if (found != adapters.end()) {
    found->second->SetOnDemandStatsHandlers(handler, handlerNew);
  } else {
    std::unique_ptr<Adapter> adapter(MakeOnDemandStatsAdapter());
    adapter->SetOnDemandStatsHandlers(handler, handlerNew);
    AddAdapter(key, adapter.release());
  }
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("App (%s) registered v1 on-demand stats handler for msgType: %s\n", AppName(), key.c_str());
  return aggresult::kOk;
}

void AggServiceClient::ResetSummationState() {
  deltaWorker.Reset();
  if (diffStore) diffStore->ResetAll();
}

void AggServiceClient::ResetStatistics() {
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Received reset statistics from verticals", "ResetStatistics", AppName());
  std::lock_guard<std::recursive_mutex> guard(resetMutex);
  ResetSummationState();
}

void AggServiceClient::ResetStatisticsAsync() {
  std::lock_guard<std::mutex> guard(resetThreadsMutex);
  // Reap the resets that have finished; joining them returns at once.
  for (auto it = resetThreads.begin(); it != resetThreads.end();) {
    if (it->done->load()) {
      if (it->thread.joinable()) it->thread.join();
      it = resetThreads.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  // The caller may hold the request lock (a vertical calling from its own callback), so
  // the reset runs on a thread of its own and the caller never waits for it.
  std::thread thread([this, done] {
    try {
      ResetStatistics();
    } catch (...) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Statistics reset failed\n", "ResetStatistics", AppName());
    }
    done->store(true);
  });
  resetThreads.push_back(ResetThread{std::move(thread), std::move(done)});
}

void AggServiceClient::WaitForResetsForTest() {
  std::vector<ResetThread> pending;
  {
    std::lock_guard<std::mutex> guard(resetThreadsMutex);
    pending.swap(resetThreads);
  }
  for (auto& reset : pending) {
    if (reset.thread.joinable()) reset.thread.join();
  }
}

AggServiceClient::Adapter* AggServiceClient::FindAdapter(const std::string& msgTypeName) const {
  auto found = adapters.find(msgTypeName);
  return found == adapters.end() ? nullptr : found->second;
}

AggServiceClient::Adapter* AggServiceClient::FindGenericAdapter(const std::string& msgTypeName) const {
  auto found = genericAdapters.find(msgTypeName);
  return found == genericAdapters.end() ? nullptr : found->second;
}
