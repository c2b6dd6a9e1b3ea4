#include "channels/mpa/mpa_client.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "base/logger.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/mpa/mpa_client_sn_private.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "core/metric_counters.h"
#include "core/uuid.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"

namespace qbx {
namespace {

constexpr const char* kSub = "mpa-client";

using ClientMap = std::unordered_map<std::string, std::shared_ptr<MpaClient>>;

// Process-wide registry state, all under `lock`.
struct Registry {
  std::shared_mutex lock;
  ClientMap apps;
  ClientMap snHostApps;
  ClientMap snApps;
  std::unordered_map<std::string, uint64_t> ackWaitUs;
  std::unordered_map<std::string, uint64_t> reconnectDelayUs;
  // Read without the registry lock: code that runs under it (a client's
  // CreateAppSpecificInstance builds the host service, which reads the persona) must not
  // take it again.
  std::atomic<uint32_t> persona{0};
  MpaClient::ClientFactory aggAppFactory;
  MpaClient::ClientFactory snFactory;
  std::function<uint32_t()> personaSource;
  std::atomic<TimerFactory*> timersForTest{nullptr};
};

Registry& Reg() {
  static Registry* registry = new Registry();  // lives to the end of the process
  return *registry;
}

const char* const kAggregationApps[] = {
    "HostNodeStatusVertical", "AggSvc-L2-Switching", "AggSvc-Routing", "DFWRuleStats", "IDPSRuleStats",
    "PBRStats", "FabricStats", "TransportNodeStatusVertical", "edge_l2_exporter", "edge_l3_exporter",
    "edge_bridge_exporter", "edge_l4l7_exporter", "AggSvc-Lb", "edge_dfw_exporter", "edge_status_exporter",
    "vpn-vertical-name", "AggSvc-Vpn", "AggSvc-L4L7", "AggSvc-L2-Bridging", "SimpleL2Vertical"};

std::shared_ptr<MpaClient> Find(const ClientMap& map, const std::string& name) {
  auto it = map.find(name);
  return it == map.end() ? nullptr : it->second;
}

uint64_t DurationFor(const std::unordered_map<std::string, uint64_t>& map, const std::string& name,
                     uint64_t fallback) {
  auto it = map.find(name);
  return it == map.end() ? fallback : it->second;
}

}  // namespace

MpaClient::MpaClient(const CreateArgs& args)
    : provider_(args.provider),
      appName_(args.appName),
      clientKind_(args.clientKind),
      clientFlags_(args.clientFlags),
      rxCallback_(args.rxCallback),
      errorCallback_(args.errorCallback),
      port_(args.port) {
  if (!provider_) return;
  try {
    auto& registry = provider_->metrics();
    establishMetric_ = std::make_unique<metrics::Metric<metrics::UnitCounter>>(registry, "rmq/connection/establish");
    rxMetric_ = std::make_unique<metrics::Metric<metrics::UnitCounter>>(registry, "rmq/msg/rx", metrics::tags("app", appName_));
    txMetric_ = std::make_unique<metrics::Metric<metrics::UnitCounter>>(registry, "rmq/msg/tx", metrics::tags("app", appName_));
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] Failed to create the channel counters: %s", appName_.c_str(), e.what());
  }
}

namespace {
void Count(const std::unique_ptr<metrics::Metric<metrics::UnitCounter>>& metric) {
  if (metric) ++(**metric);
}
}  // namespace

MpaClient::~MpaClient() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("%s mpa client destroyed", appName_.c_str());
  std::shared_ptr<Timer> timer;
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    timer.swap(reconnectTimer_);
  }
  if (timer) timer->Cancel();
}

// ---- base behaviour of the virtual operations ----

bool MpaClient::IsMasterStubPending() { return false; }

void MpaClient::updateStubMap() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RPC Service Not Implemented.", appName_.c_str());
}

void MpaClient::AppInitHandshake() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClient::AppInitHandshake Begin", appName_.c_str());
  if (IsAppInitCompleted()) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("[%s] MpaClient::Reinitialization while in initialized state", appName_.c_str());
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClient::AppInitHandshake End", appName_.c_str());
}

void MpaClient::CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& /*self*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CreateAppSpecificInstance : Not Implemented.", appName_.c_str());
}

void MpaClient::ReleaseAppSpecificInstance() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] ReleaseAppSpecificInstance : Not Implemented.", appName_.c_str());
}

void MpaClient::RegisterWithTnProxyClient() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RegisterWithTnProxyClient: Not Implemented!", appName_.c_str());
}

int32_t MpaClient::SendMsgViaTnProxy(rmqClientMessage* /*message*/, const std::string& correlationId,
                                     const std::string& aphUuid) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] SendMsgViaTnProxy: (%s), (%s) Not Implemented!", appName_.c_str(), correlationId.c_str(),
           aphUuid.c_str());
  return -1;
}

void MpaClient::RegisterWithSNProxyClient() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s MpaClient::RegisterWithSNProxyClient not implemented", appName_.c_str());
}

void MpaClient::CreateSNHostAppSpecificInstance() {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] CreateSNHostAppSpecificInstance : Not Implemented.", appName_.c_str());
}

int32_t MpaClient::SendMsgViaSNProxy(rmqClientMessage* /*message*/, const std::string& snUuid) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] SendMsgViaSNProxy: (%s) Not Implemented!", appName_.c_str(), snUuid.c_str());
  return -1;
}

bool MpaClient::GetMpVersionSNMpaClient(uint32_t& /*major*/, uint32_t& /*minor*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetMpVersionSNMpaClient: Not Implemented!", appName_.c_str());
  return false;
}

int32_t MpaClient::MsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& /*request*/,
                              const std::string& /*aphUuid*/, rpc::CallObserver<zumbra::qbx::VoidMsg>* /*observer*/) {
  return 0;
}

int32_t MpaClient::RpcMsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& /*request*/,
                                 const std::string& aphUuid,
                                 rpc::CallObserver<zumbra::qbx::messaging::GenericUnifiedMsg>* /*observer*/,
                                 uint32_t /*seq*/) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] UNUSED RpcMsgHandler for APH (%s) entry.", appName_.c_str(), aphUuid.c_str());
  return 0;
}

void MpaClient::CreateRmqClient() {
  std::unique_lock<std::shared_mutex> lock(connLock_);
  rmqClient_ = std::make_shared<RmqClient>();
}

void MpaClient::DropRmqClient() {
  std::unique_lock<std::shared_mutex> lock(connLock_);
  rmqClient_.reset();
}

void MpaClient::CleanUpForStubs() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CleanUpForStubs: Not Implemented!", appName_.c_str());
}

bool MpaClient::GetMpVersionViaTnProxy(uint32_t& /*major*/, uint32_t& /*minor*/) { return false; }

bool MpaClient::CompleteAppInitHanshake(uint32_t seq, bool success) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("%s CompleteAppInitHanshake, Seq (%d) (%s)", appName_.c_str(), seq, success ? "Success" : "Failed");
  if (!IsCurrentAppInitSeq(seq)) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] CompleteAppInitHanshake : AppInit Sequence number has moved ahead seq (%d), current (%d)",
             appName_.c_str(), seq, app_init_seq_num_.load());
    return false;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] CompleteAppInitHanshake : Completed successfully seq (%d)", appName_.c_str(), seq);
  std::unique_lock<std::shared_mutex> lock(tnProxyStateLock_);
  appInitCompleted_ = success;
  return success;
}

// ---- registry ----

bool MpaClient::IsAggregationAppName(const std::string& appName) {
  for (const char* name : kAggregationApps) {
    if (appName == name) return true;
  }
  return false;
}

std::shared_ptr<MpaClient> MpaClient::CreateMpaClientForApp(const CreateArgs& args) {
  Registry& reg = Reg();
  if (IsAggregationAppName(args.appName)) {
    // Called with the registry lock held.
    MpaClient::ClientFactory factory = reg.aggAppFactory;
    // The management-plane transport over the process-wide proxy client, unless a test
    // put another factory in its place.
    if (!factory) factory = MpaClientPrivate<AggSvcMpStub>::Factory();
    if (auto client = factory(args)) return client;
    return std::make_shared<MpaClient>(args);
  }
  QBX_LOG(loglevel::kWarning).subcomp(kSub).put("Unknown app type in AggSvc %s", args.appName.c_str());
  return std::make_shared<MpaClient>(args);
}

void MpaClient::Register(const std::shared_ptr<AsioQbxProvider>& provider, RxCallback rxCallback,
                         const std::string& appName, const std::string& clientKind, uint32_t clientFlags,
                         uint32_t port, uint64_t ackWaitUs, uint64_t reconnectDelayUs,
                         ErrorCallback errorCallback) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s Register mpa client", appName.c_str());
  CreateArgs args{provider, std::move(rxCallback), appName, clientKind, clientFlags,
                  static_cast<uint16_t>(port % 65536), std::move(errorCallback)};
  Registry& reg = Reg();
  std::shared_ptr<MpaClient> previous;  // destroyed after the lock is released
  std::shared_ptr<MpaClient> client;
  {
    std::unique_lock<std::shared_mutex> lock(reg.lock);
    client = CreateMpaClientForApp(args);
    client->SetSelf(client);
    auto& slot = reg.apps[appName];
    previous.swap(slot);
    slot = client;
    reg.ackWaitUs[appName] = ackWaitUs;
    reg.reconnectDelayUs[appName] = reconnectDelayUs;
    client->CreateAppSpecificInstance(client);
    client->CreateRmqClient();
  }
}

namespace {

// Builds a smart-NIC client with the smart-NIC factory (a plain client when it gives none)
// and puts it in `slots` under its application's name, all under the registry lock; the
// client it replaces is released after the lock. `setSelf` runs before the client is
// stored, `attach` after.
template <class SetSelf, class Attach>
void InstallSNClient(ClientMap Registry::*slots, const MpaClient::CreateArgs& args, SetSelf&& setSelf,
                     Attach&& attach) {
  Registry& reg = Reg();
  std::shared_ptr<MpaClient> previous;
  std::unique_lock<std::shared_mutex> lock(reg.lock);
  // The smart-NIC variants over the process-wide smart-NIC proxy client, unless a test put
  // another factory in their place.
  auto client = reg.snFactory ? reg.snFactory(args) : MpaClientSNFactory()(args);
  if (!client) client = std::make_shared<MpaClient>(args);
  setSelf(client);
  previous.swap((reg.*slots)[args.appName]);
  (reg.*slots)[args.appName] = client;
  attach(client);
}

}  // namespace

void MpaClient::RegisterSNHost(const std::shared_ptr<AsioQbxProvider>& provider, RxCallback rxCallback,
                               const std::string& appName, const std::string& clientKind, uint32_t clientFlags,
                               uint32_t port) {
  // Only a host with smart NICs talks to smart NICs; elsewhere nothing is installed.
  if (NodePersona() != 1) return;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s Register SN Host mpa client", appName.c_str());
  CreateArgs args{provider, std::move(rxCallback), appName, clientKind, clientFlags,
                  static_cast<uint16_t>(port % 65536), nullptr};
  InstallSNClient(&Registry::snHostApps, args, [](const std::shared_ptr<MpaClient>& client) {
    client->SetSelf(client);
  }, [](const std::shared_ptr<MpaClient>& client) { client->CreateSNHostAppSpecificInstance(); });
}

void MpaClient::RegisterSN(const std::shared_ptr<AsioQbxProvider>& provider, RxCallback rxCallback,
                           const std::string& appName, const std::string& clientKind, uint32_t clientFlags,
                           uint32_t port) {
  // Only a smart NIC talks to its host this way; elsewhere nothing is installed.
  if (NodePersona() != 2) return;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s Register SN mpa client", appName.c_str());
  CreateArgs args{provider, std::move(rxCallback), appName, clientKind, clientFlags,
                  static_cast<uint16_t>(port % 65536), nullptr};
  InstallSNClient(&Registry::snApps, args, [](const std::shared_ptr<MpaClient>& client) {
    client->SetSelf(client);
  }, [](const std::shared_ptr<MpaClient>& client) { client->CreateAppSpecificInstance(client); });
}

void MpaClient::UnRegister(const std::string& appName) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s UnRegister mpa client", appName.c_str());
  Registry& reg = Reg();
  std::shared_ptr<MpaClient> gone;  // released after the lock
  std::unique_lock<std::shared_mutex> lock(reg.lock);
  auto it = reg.apps.find(appName);
  if (it == reg.apps.end()) return;
  gone = it->second;
  gone->DropRmqClient();
  gone->ReleaseAppSpecificInstance();
  reg.apps.erase(it);
}

void MpaClient::UnRegisterSN(const std::string& appName) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s UnRegisterSN mpa client", appName.c_str());
  Registry& reg = Reg();
  std::shared_ptr<MpaClient> gone;
  std::unique_lock<std::shared_mutex> lock(reg.lock);
  auto it = reg.snApps.find(appName);
  if (it == reg.snApps.end()) return;
  gone = it->second;
  gone->ReleaseAppSpecificInstance();
  reg.snApps.erase(it);
}

void MpaClient::UnRegisterSNHost(const std::string& appName) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s UnRegisterSNHost mpa client", appName.c_str());
  Registry& reg = Reg();
  std::shared_ptr<MpaClient> gone;
  std::unique_lock<std::shared_mutex> lock(reg.lock);
  auto it = reg.snHostApps.find(appName);
  if (it == reg.snHostApps.end()) return;
  gone = it->second;
  gone->ReleaseAppSpecificInstance();
  reg.snHostApps.erase(it);
}

std::shared_ptr<MpaClient> MpaClient::GetClient(const std::string& appName) {
  std::shared_lock<std::shared_mutex> lock(Reg().lock);
  return Find(Reg().apps, appName);
}

std::shared_ptr<MpaClient> MpaClient::GetSNClient(const std::string& appName) {
  std::shared_lock<std::shared_mutex> lock(Reg().lock);
  return Find(Reg().snApps, appName);
}

std::shared_ptr<MpaClient> MpaClient::GetSNHostClient(const std::string& appName) {
  std::shared_lock<std::shared_mutex> lock(Reg().lock);
  return Find(Reg().snHostApps, appName);
}

void MpaClient::StartMpaClientEventLoop(const std::string& clientId, const std::string& endpoint,
                                        const std::string& stubsEndpoint) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Starting MPA client event loop thread...");
  Registry& reg = Reg();
  std::function<uint32_t()> source;
  {
    std::shared_lock<std::shared_mutex> lock(reg.lock);
    source = reg.personaSource;
  }
  const uint32_t persona = source ? source() : 0;
  reg.persona = persona;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("MPA Client Got Node Persona %d", persona);
  // The proxy client's Start comes later, from the manager.
  TnProxyClientCommon::Init(clientId, endpoint, stubsEndpoint);
  // A node of persona 3 has no smart-NIC proxy.
  if (persona != 3) SNProxyClientCommon::Init(clientId, "tcp://127.0.0.1:5001");
}

void MpaClient::StopMpaClientEventLoop() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Stopping MPA client event loop thread...");
  if (auto tnProxy = TnProxyClientCommon::getInstance()) tnProxy->Stop();
  if (NodePersona() != 3) {
    if (auto snProxy = SNProxyClientCommon::getInstance()) snProxy->Stop();
  }
}

uint32_t MpaClient::NodePersona() { return Reg().persona.load(); }

void MpaClient::SetAggAppClientFactory(ClientFactory factory) {
  std::unique_lock<std::shared_mutex> lock(Reg().lock);
  Reg().aggAppFactory = std::move(factory);
}

void MpaClient::SetSNClientFactory(ClientFactory factory) {
  std::unique_lock<std::shared_mutex> lock(Reg().lock);
  Reg().snFactory = std::move(factory);
}

void MpaClient::SetNodePersonaSource(std::function<uint32_t()> source) {
  std::unique_lock<std::shared_mutex> lock(Reg().lock);
  Reg().personaSource = std::move(source);
}

void MpaClient::SetTimerFactoryForTest(TimerFactory* timers) { Reg().timersForTest = timers; }

void MpaClient::ResetRegistryForTest() {
  ClientMap apps;
  ClientMap snHost;
  ClientMap sn;
  {
    std::unique_lock<std::shared_mutex> lock(Reg().lock);
    apps.swap(Reg().apps);
    snHost.swap(Reg().snHostApps);
    sn.swap(Reg().snApps);
    Reg().ackWaitUs.clear();
    Reg().reconnectDelayUs.clear();
    Reg().persona = 0;
  }
  for (auto& [name, client] : apps) client->ReleaseAppSpecificInstance();
  for (auto& [name, client] : snHost) client->ReleaseAppSpecificInstance();
  for (auto& [name, client] : sn) client->ReleaseAppSpecificInstance();
}

TimerFactory* MpaClient::Timers() const {
  if (TimerFactory* timers = Reg().timersForTest.load()) return timers;
  return provider_ ? &provider_->timers() : nullptr;
}

// ---- open and send ----

void MpaClient::Open(OpenCallback openCallback) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Starting MPA client thread...\n", appName_.c_str());
  if (NodePersona() == 2) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Running on SN. Nothing to do...\n", appName_.c_str());
    return;
  }
  bool registered = false;
  {
    std::unique_lock<std::shared_mutex> lock(Reg().lock);
    openCallback_ = std::move(openCallback);
    registered = Find(Reg().apps, appName_) != nullptr;
  }
  if (registered) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Calling RegisterWithTnProxyClient\n", appName_.c_str());
    RegisterWithTnProxyClient();
  }
  // The legacy transport connects when the application opens; the RPC transport's
  // connection follows the proxy and its stubs.
  if (!IsQbxRpcEnabled()) ConnectToMpa();
}

MpaClient::OpenCallback MpaClient::GetOpenCallback() const {
  std::shared_lock<std::shared_mutex> lock(Reg().lock);
  return openCallback_;
}

void MpaClient::OpenSN() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OpenSN: Starting MPA client thread...\n", appName_.c_str());
  const uint32_t persona = NodePersona();
  std::shared_ptr<MpaClient> found;
  {
    std::shared_lock<std::shared_mutex> lock(Reg().lock);
    if (persona == 2) found = Find(Reg().snApps, appName_);
    if (persona == 1) found = Find(Reg().snHostApps, appName_);
  }
  if (!found) return;
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put(persona == 2 ? "[%s] SN: Calling RegisterWithSNProxyClient\n" : "[%s] SNHost: Calling RegisterWithSNProxyClient\n",
           appName_.c_str());
  found->RegisterWithSNProxyClient();
}

int32_t MpaClient::SendMsg(rmqClientMessage* message) {
  if (IsQbxRpcEnabled()) {
    const std::optional<UUID> correlationId = UUID::TryGenerate();
    if (!correlationId) {
      QBX_LOG(loglevel::kError)
          .subcomp(kSub)
          .put("%s failed to send message: random source failed, no correlationId", appName_.c_str());
      return -1;
    }
    const int32_t rc = SendMsgViaTnProxy(message, correlationId->ToString(), std::string());
    if (rc == 0) {
      ++txCount_;
      Count(txMetric_);
    }
    return rc;
  }
  std::shared_ptr<RmqClientInterface> transport;
  {
    std::shared_lock<std::shared_mutex> lock(connLock_);
    transport = rmqClient_;
  }
  if (!transport) return -1;
  const int32_t rc = transport->SendToZLM(message);
  if (rc != 0) {
    QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00103").put("%s failed to send message to MPA", appName_.c_str());
    return rc;
  }
  ++txCount_;
  Count(txMetric_);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("%s sent message to MPA", appName_.c_str());
  return 0;
}

int32_t MpaClient::SendMsg(rmqClientMessage* message, const std::string& correlationId) {
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] SendMsg : send message to MPA, corelationId (%s)", appName_.c_str(), correlationId.c_str());
  UUID parsed;
  if (correlationId.empty() || !UUID::Parse(correlationId, parsed)) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendMsg : correlationId (%s), not in uuid format.", appName_.c_str(), correlationId.c_str());
    return -1;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] SendMsg : send message to MPA, corelationId (%s)", appName_.c_str(), correlationId.c_str());
  if (IsQbxRpcEnabled()) {
    const int32_t rc = SendMsgViaTnProxy(message, correlationId, std::string());
    if (rc == 0) {
      ++txCount_;
      Count(txMetric_);
    }
    return rc;
  }
  return SendMsg(message);
}

int32_t MpaClient::SendMsgToSN(rmqClientMessage* message, const std::string& snUuid) {
  if (!IsQbxRpcEnabled()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA00103")
        .put("[%s] %s failed to send message to SN %s, QBX RPC not enabled", "SendMsgToSN", appName_.c_str(),
             snUuid.c_str());
    return -1;
  }
  const int32_t rc = SendMsgViaSNProxy(message, snUuid);
  if (rc != 0) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA00103")
        .put("[%s] %s failed to send message to SN %s", "SendMsgToSN", appName_.c_str(), snUuid.c_str());
  }
  return rc;
}

// ---- receive ----

void MpaClient::FreeRecordBuffer(rmqClientMessage* message) {
  if (message != nullptr && message->buffer != nullptr) {
    void* buffer = message->buffer;
    message->buffer = nullptr;
    std::free(buffer);
  }
}

void MpaClient::MpaRxCallback(rmqClientMessage* message) {
  if (message == nullptr) return;
  const std::string app = message->appType != nullptr ? message->appType : "";
  std::shared_ptr<MpaClient> client = GetClient(app);
  if (!client) {
    QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00106").put("No callback function for app type %s", app.c_str());
    FreeRecordBuffer(message);
    return;
  }
  client->ProcessMpaMessage(message, false);
}

void MpaClient::ProcessMpaMessage(rmqClientMessage* message, bool forSN) {
  if (message == nullptr) return;
  ProcessMpaMessageImpl(message, forSN);
  FreeRecordBuffer(message);  // exactly once, on every path
}

void MpaClient::ProcessMpaMessageImpl(rmqClientMessage* message, bool forSN) {
  const char* app = appName_.c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Received Message from MPA [%d]\n", app, message->messageType);
  ++rxCount_;
  Count(rxMetric_);
  if (message->messageType == RMQ_CLIENT_CLOSE) {
    {
      std::unique_lock<std::shared_mutex> lock(connLock_);
      if (message->cookieId != cookieId_) {
        QBX_LOG(loglevel::kError)
            .subcomp(kSub)
            .tag("errorCode:MPA00101")
            .put("[%s] Message's cookieId [%d] does not match with [%d], ignored\n", app, message->cookieId, cookieId_);
        return;
      }
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] Got CLIENT CLOSE Message for cookie:[%d], disconnected from MPA\n", app, message->cookieId);
      registrationAcked_ = false;
      if (connState_ == STATE_CONNECTED) {
        connState_ = STATE_INIT;
      } else {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] Got CLOSE Message in state %d\n", app, connState_);
      }
      cookieId_ = -1;
    }
    ScheduleTimer(1000000);
  } else {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("[%s] Got Message in app_type:[%s]\n", app, message->appType != nullptr ? message->appType : "");
  }
  if (message->routingKey != nullptr) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Message Routing Key %s\n", app, message->routingKey);
  }
  if (message->contentType != nullptr) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Message Content Type %s\n", app, message->contentType);
  }
  if (message->payloadLen != 0) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("[%s] Message Payload Len %llu\n", app, static_cast<unsigned long long>(message->payloadLen));
  }
  if (message->payload != nullptr && message->payloadLen > 0 && Logger::Enabled(loglevel::kTrace)) {
    DumpPayloadHex("Payload", message->payload, static_cast<size_t>(message->payloadLen));
  }
  if (message->messageType == RMQ_CLIENT_REGISTRATION_ACK) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("Received client registration ACK from MPA, sending/receiving messages is enabled\n");
    std::unique_lock<std::shared_mutex> lock(connLock_);
    registrationAcked_ = true;
    connState_ = STATE_CONNECTED;
  }
  switch (message->messageType) {
    case 2: case 3: case 5: case 8: case 9: case 10: case 11: case 12: case 13:
      break;
    default: {
      int32_t cookie;
      {
        std::shared_lock<std::shared_mutex> lock(connLock_);
        cookie = cookieId_;
      }
      QBX_LOG(loglevel::kError)
          .subcomp(kSub)
          .tag("errorCode:MPA00104")
          .put("[%s] Unrecognized RMQ messageType [%d] from MPA. Disconnect from mpa due to unrecognized message. "
               "CookieId :%d\n",
               app, message->messageType, cookie);
      return;
    }
  }
  // Copy the callback (and keep its client alive) out of the registry, then run it
  // without any registry lock held.
  std::shared_ptr<MpaClient> target;
  {
    std::shared_lock<std::shared_mutex> lock(Reg().lock);
    const std::string name = message->appType != nullptr ? message->appType : "";
    if (!forSN) {
      target = Find(Reg().apps, name);
    } else if (Reg().persona == 1) {
      target = Find(Reg().snHostApps, name);
    } else if (Reg().persona == 2) {
      target = Find(Reg().snApps, name);
    } else {
      QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] Message forSN on regular Host undelivered [%d]\n", app, Reg().persona.load());
    }
  }
  if (!target || !target->rxCallback_) return;
  // The registration provider's time source (a manual clock in tests).
  auto now = [this] { return provider_ ? provider_->clock().Now() : std::chrono::steady_clock::now(); };
  const auto start = now();
  try {
    target->rxCallback_(message);
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] rx-callback threw: %s", app, e.what());
  } catch (...) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] rx-callback threw", app);
  }
  const auto took = now() - start;
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
  if (ns > kSlowCallbackNs) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("Vertical (%s) rx-callback took (%ld) msecs", target->appName_.c_str(), static_cast<long>(ns / 1000000));
  }
}

// ---- legacy connection ----

void MpaClient::ConnectToMpa() {
  std::lock_guard<std::mutex> serial(connectMutex_);
  const char* app = appName_.c_str();
  if (IsQbxRpcEnabled()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] qbx rpc enabled\n", app);
    std::unique_lock<std::shared_mutex> lock(connLock_);
    cookieId_ = -1;
    return;
  }
  std::shared_ptr<RmqClientInterface> transport;
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    reconnectTimer_.reset();
    transport = rmqClient_;
    if (connState_ == STATE_CONNECTED) {
      if (registrationAcked_) {
        QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Already connected to mpa, cookie:[%d]\n", app, cookieId_);
        return;
      }
      if (cookieId_ > 0) {
        QBX_LOG(loglevel::kDebug)
            .subcomp(kSub)
            .put("[%s] Already conncted to [%d] but didn't receive RMQ_CLIENT_REGISTRATION_ACK. \n", app, cookieId_);
        connState_ = STATE_INIT;
        const int32_t stale = cookieId_;
        lock.unlock();
        if (transport) transport->CloseClient(stale);
        lock.lock();
        cookieId_ = -1;
      }
    }
  }
  if (!transport) return;  // unregistered meanwhile
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Connecting to mpa...\n", app);
  const int32_t cookie = transport->InitNETClient(const_cast<char*>(clientKind_.c_str()),
                                                  const_cast<char*>(appName_.c_str()),
                                                  static_cast<int>(clientFlags_), &MpaClient::MpaRxCallback);
  uint64_t ackWait;
  uint64_t reconnectDelay;
  {
    std::shared_lock<std::shared_mutex> lock(Reg().lock);
    ackWait = DurationFor(Reg().ackWaitUs, appName_, 30000000);
    reconnectDelay = DurationFor(Reg().reconnectDelayUs, appName_, 5000000);
  }
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    cookieId_ = cookie;
    if (cookie >= 0) {
      registrationAcked_ = false;
      connState_ = STATE_CONNECTED;
    }
  }
  if (cookie < 0) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] connecting to mpa return cookie [%s]\n", app, RmqErrorName(cookie));
    ScheduleTimer(reconnectDelay);
    return;
  }
  ++establishCount_;
  Count(establishMetric_);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Connected to mpa, cookie:[%d]\n", app, cookie);
  if (IsLegacyAckApp(appName_)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] need to retry connection since ACK not received ..", app);
    ScheduleTimer(ackWait);
  }
}

void MpaClient::ScheduleTimer(uint64_t delayUs) {
  std::shared_ptr<Timer> previous;
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    previous.swap(reconnectTimer_);
  }
  if (previous) previous->Cancel();
  if (IsQbxRpcEnabled()) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("%s qbx-rpc enabled. mpa client won't re-connect with rmqClient.", appName_.c_str());
    return;
  }
  TimerFactory* timers = Timers();
  if (timers == nullptr) return;
  std::weak_ptr<MpaClient> weak = self_;
  const std::string name = appName_;
  auto timer = timers->Schedule(std::chrono::nanoseconds(static_cast<int64_t>(delayUs) * 1000), [weak, name] {
    auto client = weak.lock();
    if (!client) {
      QBX_LOG(loglevel::kWarning).subcomp(kSub).put("%s MpaClient has been destroyed already", name.c_str());
      return;
    }
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("%s Mpa reconnect timeout", name.c_str());
    client->ConnectToMpa();
  });
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    reconnectTimer_ = timer;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] ScheduleTimer after %lu microseconds\n", appName_.c_str(), static_cast<unsigned long>(delayUs));
}

void MpaClient::CloseRmqConnection() {
  std::shared_ptr<Timer> timer;
  std::shared_ptr<RmqClientInterface> transport;
  int32_t cookie = -1;
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    if (cookieId_ <= 0) return;
    timer.swap(reconnectTimer_);
    registrationAcked_ = false;
    connState_ = STATE_INIT;
    transport = rmqClient_;
    cookie = cookieId_;
    cookieId_ = -1;
  }
  if (timer) timer->Cancel();
  if (transport) transport->CloseClient(cookie);
}

void MpaClient::Close() {
  CloseRmqConnection();
  HandleClose();
}

void MpaClient::DeliverErrorToApp(uint32_t code, const std::string& value, const std::string& appName, bool forSN) {
  const uint32_t persona = NodePersona();
  if (forSN) {
    if (persona == 1) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] SN host, No error callback registered\n", appName.c_str());
    } else if (persona == 2) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] SN, No error callback registered\n", appName.c_str());
    } else {
      QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] Message forSN on regular Host undelivered [%d]\n", appName.c_str(), persona);
    }
    return;
  }
  ErrorCallback callback;
  {
    std::shared_lock<std::shared_mutex> lock(Reg().lock);
    if (auto client = Find(Reg().apps, appName)) callback = client->errorCallback_;
  }
  if (!callback) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] No error callback registered\n", appName.c_str());
    return;
  }
  try {
    callback(code, value);
  } catch (...) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] error callback threw", appName.c_str());
  }
}

bool MpaClient::GetMpaClientAllSNAppsConnected() {
  std::shared_lock<std::shared_mutex> lock(Reg().lock);
  const ClientMap* map = nullptr;
  if (Reg().persona == 2) map = &Reg().snApps;
  if (Reg().persona == 1) map = &Reg().snHostApps;
  if (map == nullptr) return true;
  for (const auto& [name, client] : *map) {
    if (client->GetConnState() != STATE_CONNECTED) {
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("GetMpaClientAllSNAppsConnected: All SN apps not yet connected [%s]", name.c_str());
      return false;
    }
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("GetMpaClientAllSNAppsConnected: All SN apps connected");
  return true;
}

// ---- app-init primitives ----

uint32_t MpaClient::GetNewAppInitSequenceNumber() {
  const uint32_t seq = app_init_seq_num_.fetch_add(1);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] GetNewAppInitSequenceNumber (%d)", appName_.c_str(), seq);
  return seq;
}

bool MpaClient::IsCurrentAppInitSeq(uint32_t seq) {
  const uint32_t current = app_init_seq_num_.load();
  if (seq + 1 == current) return true;
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] AppInit sequence is not current seq: (%d), current: (%d)", appName_.c_str(), seq, current);
  return false;
}

void MpaClient::HandleClose() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleClose", appName_.c_str());
  std::unique_lock<std::shared_mutex> lock(tnProxyStateLock_);
  appInitCompleted_ = false;
}

bool MpaClient::RefuseRequest(const std::string& correlationId) {
  if (correlationId.empty()) return false;
  auto layer = AppSpecificLayer();
  return layer && layer->RefuseCall(correlationId, rpc::AppStatus::APPLICATION_ERROR);
}

bool MpaClient::IsRequestAnswered(const std::string& correlationId) {
  if (correlationId.empty()) return false;
  auto layer = AppSpecificLayer();
  return layer && layer->WasAnswered(correlationId);
}

bool MpaClient::IsAppInitCompleted() const {
  std::shared_lock<std::shared_mutex> lock(tnProxyStateLock_);
  return appInitCompleted_;
}

// ---- state accessors ----

int32_t MpaClient::GetCookieId() const {
  std::shared_lock<std::shared_mutex> lock(connLock_);
  return cookieId_;
}

void MpaClient::SetCookieId(int32_t cookie) {
  std::unique_lock<std::shared_mutex> lock(connLock_);
  cookieId_ = cookie;
}

bool MpaClient::IsRegistrationAcked() const {
  std::shared_lock<std::shared_mutex> lock(connLock_);
  return registrationAcked_;
}

void MpaClient::SetRegistrationAcked(bool acked) {
  std::unique_lock<std::shared_mutex> lock(connLock_);
  registrationAcked_ = acked;
}

int32_t MpaClient::GetConnState() const {
  std::shared_lock<std::shared_mutex> lock(connLock_);
  return connState_;
}

void MpaClient::SetConnState(int32_t state) {
  std::unique_lock<std::shared_mutex> lock(connLock_);
  connState_ = state;
}

bool MpaClient::CancelReconnectTimer() {
  std::shared_ptr<Timer> timer;
  {
    std::unique_lock<std::shared_mutex> lock(connLock_);
    timer.swap(reconnectTimer_);
  }
  if (!timer) return false;
  timer->Cancel();
  return true;
}

bool MpaClient::HasReconnectTimer() const {
  std::shared_lock<std::shared_mutex> lock(connLock_);
  return reconnectTimer_ != nullptr;
}

}  // namespace qbx
