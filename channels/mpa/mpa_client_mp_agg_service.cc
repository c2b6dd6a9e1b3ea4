#include "channels/mpa/mpa_client_mp_agg_service.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>
#include <google/protobuf/unknown_field_set.h>

#include "base/logger.h"
#include "channels/mpa/mpa_client.h"

namespace qbx {
namespace {

constexpr const char* kSub = "mpa-client";
using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;

// Rows of the reply list as (package below zumbra.qbx, type names).
struct ReplyGroup {
  const char* package;
  std::vector<const char*> names;
};

const std::vector<ReplyGroup>& ReplyGroups() {
  static const std::vector<ReplyGroup>* groups = new std::vector<ReplyGroup>{
      {"agg_service.messaging", {"SummationStatsResponseMsg", "OverwriteStatsResponseMsg", "OnDemandStatsResponseMsg"}},
      {"edge", {"QbxEdgeStatusRequestMsg", "QbxEdgeStatusReplyMsg"}},
      {"agg_service.simple", {"LogicalPortStateMsg", "HostLogicalPortStatusMsg"}},
      {"agg_service",
       {"StatusSummaryMsg", "ControlConnStatusMsg", "ControlConnStatusesMsg", "PnicBondMsg", "PnicBondsMsg",
        "TunnelStatusSummaryMsg", "TunnelsSummaryMsg", "BFDPropertiesMsg", "TunnelMsg", "TunnelsMsg",
        "SoftwareStatusMsg"}},
      {"agg_service.node",
       {"InterfaceAliasMsg", "NodeInterfacePropertiesMsg", "NodeFileSystemPropertiesMsg",
        "NodeOverallStatusPropertiesMsg", "NodeStatusPropertiesMsg"}},
      {"agg_service.l2",
       {"LogicalPortState", "HostLogicalPortStatusMsg", "LogicalPortMacTableEntryMsg", "LogicalPortMacTableMsg",
        "LogicalPortLocationMsg", "AddressBindingEntryMsg", "LportRealizedStateMsg", "LportRealizedStateBatchMsg",
        "MacTableEntryMsg", "MacTableMsg", "VtepTableEntryMsg", "VtepTableMsg", "LogicalPortListMsg"}},
      {"agg_service", {"MetadataProxyStatusPerLsMsg"}},
      {"agg_service.vpn",
       {"IpsecVpnTunnelTrafficStatisticsMsg", "IpsecVpnTunnelTrafficCountersMsg", "IpsecVpnSessionTrafficSummaryMsg",
        "IpsecVpnIkeSessionStatusMsg", "IpsecVpnSessionStatisticsMsg", "IpsecVpnSessionStatusMsg",
        "IpsecVpnServiceSummaryMsg", "L2VpnTransportTunnelStatusMsg", "L2VpnTunnelPortTrafficStatisticsMsg",
        "L2VpnSessionStatusMsg", "L2VpnSessionStatisticsMsg", "L2VpnPerLsTrafficStatisticsMsg",
        "L2VpnPerLsRemoteMacsMsg", "L2VpnSessionRemoteMacsMsg"}},
      {"agg_service.l3",
       {"LogicalRouterPortLocationMsg", "LogicalRouterPortArpMsg", "LogicalRouterPortArpTableMsg", "RouteEntryMsg",
        "RouteTableMsg", "MsrRouteTableMsg", "BgpNeighborAdvertisedRoutesMsg", "BgpNeighborRoutesMsg",
        "BgpNeighborEntryMsg", "BgpNeighborMsg", "LogicalRouterStatusMsg", "LogicalRoutersPerNodeMsg", "BfdStatusMsg",
        "PeerEdgeNodeStatusMsg", "EdgeNodeStatusMsg", "EdgeClusterStatusMsg"}},
      {"agg_service",
       {"LbErrorMsg", "LbPoolMemberStatusMsg", "LbPoolStatusMsg", "LbVirtualServerStatusMsg", "LbServiceStatusMsg",
        "HostLbServiceStatusMsg"}},
      {"agg_service.agent",
       {"TnAgentStatusRequestMsg", "TnThreatMsg", "TnThreatStateMsg", "AgentStatusMsg", "TnAgentStateMsg",
        "TnAgentStatusResponseMsg"}},
      {"agg_service",
       {"DhcpIpPoolUsageMsg", "DhcpServerStatisticsMsg", "DhcpServerNodeStatusMsg", "PerUpstreamServerStatisticMsg",
        "PerForwarderStatisticMsg", "DnsForwarderStatisticsMsg", "DnsForwarderNodeStatusMsg"}},
      {"agg_service.l2", {"BridgeEndpointsOnBridgeNodeMsg", "BridgeEndpointStatusMsg", "BridgeClusterStatusMsg"}},
      {"messaging.appinit", {"AppInitMsg"}},
      {"agg_service.l3",
       {"NodeInterSiteStatisticsMsg", "BgpNeighborStatusPerNodeMsg", "L2ForwarderStatusPerNodeMsg",
        "L2ForwarderStatisticsMsg", "L2ForwarderRemoteMacsMsg"}},
      {"agg_service.vpn", {"L2VpnServiceSummaryMsg"}},
      {"agg_service.l3",
       {"McastRouteEntryMsg", "McastRouteMsg", "McastForwardEntryMsg", "McastForwardTableMsg",
        "McastIgmpMembershipEntryMsg", "McastIgmpMembershipMsg", "McastPimRpMappingEntryMsg", "McastPimRpMappingMsg"}},
      {"agg_service.l2", {"RealizedIpToLogicalPortListMsg"}},
      {"agg_service.l3",
       {"OspfNeighborEntryMsg", "OspfNeighborMsg", "OspfRouteEntryMsg", "OspfRouteMsg", "OspfDatabaseEntryMsg",
        "OspfDatabaseMsg"}},
      {"agg_service.messaging", {"GenericRuntimeStatusResponseMsg"}},
      {"agg_service.l3", {"FrrRouteCountMsg", "GreTunnelStatsMsg"}},
      {"agg_service", {"DhcpV6LeasesPerPoolOrBdMsg"}},
  };
  return *groups;
}

}  // namespace

const std::vector<std::string>& MpaClientMpAggService::ReplyTypeOrder() {
  static const std::vector<std::string>* order = [] {
    auto* out = new std::vector<std::string>();
    for (const auto& group : ReplyGroups()) {
      for (const char* name : group.names) out->push_back(std::string("zumbra.qbx.") + group.package + "." + name);
    }
    return out;
  }();
  return *order;
}

const std::vector<const google::protobuf::FieldDescriptor*>& MpaClientMpAggService::ReplyFields() {
  static const std::vector<const google::protobuf::FieldDescriptor*>* fields = [] {
    std::unordered_map<std::string, const google::protobuf::FieldDescriptor*> byType;
    const auto* descriptor = AggSvcMpUnifiedMsg::descriptor();
    for (int i = 0; i < descriptor->field_count(); ++i) {
      const auto* field = descriptor->field(i);
      if (field->message_type() != nullptr) byType.emplace(field->message_type()->full_name(), field);
    }
    auto* out = new std::vector<const google::protobuf::FieldDescriptor*>();
    for (const auto& name : ReplyTypeOrder()) {
      auto it = byType.find(name);
      if (it != byType.end()) out->push_back(it->second);
    }
    return out;
  }();
  return *fields;
}

const google::protobuf::Message* MpaClientMpAggService::CarriedMessage(const AggSvcMpUnifiedMsg& unified) {
  const google::protobuf::Reflection* reflection = unified.GetReflection();
  for (const auto* field : ReplyFields()) {
    if (reflection->HasField(unified, field)) return &reflection->GetMessage(unified, field);
  }
  return nullptr;
}

std::string MpaClientMpAggService::UnknownFieldNumbers(const google::protobuf::Message& unified) {
  const google::protobuf::UnknownFieldSet& unknown = unified.GetReflection()->GetUnknownFields(unified);
  std::set<int> numbers;  // a repeated field comes once per element
  for (int i = 0; i < unknown.field_count(); ++i) numbers.insert(unknown.field(i).number());
  std::string out;
  for (int number : numbers) {
    if (!out.empty()) out += ",";
    out += std::to_string(number);
  }
  return out;
}

MpaClientMpAggService::MpaClientMpAggService(const std::string& appName, std::shared_ptr<MpaClient> owner,
                                             std::shared_ptr<const Clock> clock)
    : MpaClientAppSpecific(appName, std::move(owner), std::move(clock)) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientMpAggService  Ctor", appName_.c_str());
}

MpaClientMpAggService::~MpaClientMpAggService() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientMpAggService Dtor", appName_.c_str());
}

google::protobuf::Message* MpaClientMpAggService::GetHostUnifiedMsg(const std::string& typeId) {
  auto* unified = new AggSvcHostUnifiedMsg();
  unified->set_obj_type(typeId);
  unified->set_app_name(appName_);
  return unified;
}

google::protobuf::Message* MpaClientMpAggService::GetRequestMsg(google::protobuf::Message* unified,
                                                                const std::string& /*typeId*/) {
  // Every request to a smart NIC travels in the same field; its type id names what it is.
  if (unified == nullptr || unified->GetDescriptor() != AggSvcHostUnifiedMsg::descriptor()) return nullptr;
  return static_cast<AggSvcHostUnifiedMsg*>(unified)->mutable_pull_summation_stats_request();
}

rpc::CallObserver<MpaClientAppSpecific::GenericUnifiedMsg>* MpaClientMpAggService::GetRpcCallObserver(
    rmqClientMessage* request, const std::string& correlationId, uint32_t seq) {
  auto* observer = new AggMpServiceObserver(weak_from_this(), correlationId, seq);
  if (seq != 0) return observer;
  if (request == nullptr || !PopulateObserverRmqMsg(*observer->record(), *request)) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] MpaClientMpAggService::GetRpcCallObserver Failed to Fill in Observer Rmq msg", appName_.c_str());
    delete observer;
    return nullptr;
  }
  return observer;
}

rpc::CallObserver<zumbra::qbx::VoidMsg>* MpaClientMpAggService::GetVoidCallObserver(const std::string& correlationId) {
  return new VoidMsgObserver(weak_from_this(), correlationId, true);
}

void MpaClientMpAggService::SetAphUuidInRpcCallObserver(rpc::CallObserver<GenericUnifiedMsg>* observer,
                                                        const std::string& aphUuid) {
  SetAggObserverAphUuid<AggMpServiceObserver>(appName_, observer, aphUuid);
}

void MpaClientMpAggService::SetAphUuidInVoidCallObserver(rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                                                         const std::string& aphUuid) {
  SetAggVoidObserverAphUuid(appName_, observer, aphUuid);
}

bool MpaClientMpAggService::IsAppInitRequired() { return true; }

void MpaClientMpAggService::HandleSNResponse(const rpc::Status& status, const GenericUnifiedMsg& reply,
                                             rpc::CallObserver<GenericUnifiedMsg>* observer) {
  const char* app = appName_.c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleSNResponse Begin", app);
  auto* mp = dynamic_cast<AggMpServiceObserver*>(observer);
  if (mp == nullptr) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleSNResponse Null Observer", app);
    return;
  }
  if (status.code() != 0) {
    SendErrorToVertical(true, mp->correlationId(), true);
    return;
  }
  AggSvcMpUnifiedMsg unified;
  if (!unified.ParseFromString(reply.payload())) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Could not convert from GenericUnifiedMsg to AggSvcMpUnifiedMsg", app);
    return;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Received AggSvcMpUnifiedMsg in GenericUnifiedMsg", app);
  // The record and its header document belong to the observer, which frees them exactly
  // once when it deletes itself after this call.
  rmqClientMessage* record = mp->record();
  if (record->headers == nullptr) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] No bson header present in response message", app);
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleSNResponse End", app);
    return;
  }
  const google::protobuf::Message* carried = CarriedMessage(unified);
  if (carried == nullptr) {
    // A message of a type this host has no field for (a smart NIC of a newer release) must
    // not vanish without a trace; a reply that carries nothing at all stays silent.
    const std::string unknown = UnknownFieldNumbers(unified);
    if (!unknown.empty()) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("[%s] HandleSNResponse reply of type (%s) from (%s) carries a message this host does not know (field %s), "
               "dropped",
               app, unified.obj_type().c_str(), mp->aphUuid().c_str(), unknown.c_str());
    }
  }
  // The record names the smart NIC that answered, so that the host's collector counts
  // answers per smart NIC rather than per message.
  std::free(record->routingKey);
  record->routingKey = strdup(mp->aphUuid().c_str());
  DeliverAggReply(*this, record, unified.obj_type(), mp->aphUuid(), carried, true);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleSNResponse End", app);
}

// ---- observers ----

MpaClientMpAggService::AggMpServiceObserver::AggMpServiceObserver(std::weak_ptr<MpaClientMpAggService> owner,
                                                                  std::string correlationId, uint32_t seq)
    : record_(NewAggReplyRecord()),
      seq_(seq),
      owner_(std::move(owner)),
      correlationId_(std::move(correlationId)) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggMpServiceObserver  Ctor");
}

void MpaClientMpAggService::AggMpServiceObserver::Next(const GenericUnifiedMsg& reply) {
  auto owner = owner_.lock();
  if (!owner) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClient has been destroyed already.");
    return;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggMpServiceObserver::Next Begin");
  reply_ = reply;
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggMpServiceObserver::Next End");
}

void MpaClientMpAggService::AggMpServiceObserver::CallStatus(const rpc::Status& status) {
  auto owner = owner_.lock();
  if (!owner) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClient has been destroyed already.");
    delete this;
    return;
  }
  QBX_LOG(status.code() != 0 ? loglevel::kInfo : loglevel::kDebug)
      .subcomp(kSub)
      .put("AggMpServiceObserver::CallStatus (%s)", status.ToString().c_str());
  std::lock_guard<std::mutex> lock(owner->CompletionMutex());
  owner->HandleSNResponse(status, reply_, this);
  delete this;
}

}  // namespace qbx
