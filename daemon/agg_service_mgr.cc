#include "daemon/agg_service_mgr.h"

#include <poll.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include "aggsvc/snic_agg_service_client.h"
#include "base/log_config.h"
#include "base/logger.h"
#include "channels/health/sha_client_wrapper_impl.h"
#include "channels/mpa/mpa_client.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "channels/status/status_source_impl.h"
#include "core/static_tables.h"
#include "core/work_group.h"
#include "daemon/agg_service_mgr_signals.h"
#include "daemon/daemon_signals.h"
#include "firewall/agg_service_health_alarm_reporter.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"
#include "platform/smartnic/sn_util.h"

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr int kPersonaWithoutSnProxy = 3;

std::atomic<AggServiceMgr*> gInstance{nullptr};
std::mutex gCreateMutex;  // serialises CreateInstance

// The node's messaging channel with its transport-node and smart-NIC proxy clients.
class NodeMessagingChannel : public AggServiceMgrChannel {
 public:
  void StartMpaClientEventLoop(const std::string& clientId, const std::string& tnProxyEndpoint,
                               const std::string& stubEndpoint) override {
    // Makes the process-wide proxy client too.
    qbx::MpaClient::StartMpaClientEventLoop(clientId, tnProxyEndpoint, stubEndpoint);
  }
  void StopMpaClientEventLoop() override { qbx::MpaClient::StopMpaClientEventLoop(); }
  void StartTnProxyClient() override {
    if (auto tnProxy = qbx::TnProxyClientCommon::getInstance()) tnProxy->Start();
  }
  qbx::AsioQbxProvider* TnProxyProvider() override {
    auto tnProxy = qbx::TnProxyClientCommon::getInstance();
    return tnProxy ? tnProxy->GetProvider() : nullptr;
  }
  // Read from the topology library, as every decision of the manager does.
  int NodePersona() override { return SNUtil::GetNodePersona(); }
  uint32_t SnProxySmartNicCount() override {
    auto snProxy = qbx::SNProxyClientCommon::getInstance();
    return snProxy && snProxy->NumSmartNics() > 0 ? static_cast<uint32_t>(snProxy->NumSmartNics()) : 0;
  }
  void StartSnProxyClient() override {
    if (auto snProxy = qbx::SNProxyClientCommon::getInstance()) snProxy->Start();
  }
};

AggServiceMgr::ClientPtr MakeNodeClient(const std::shared_ptr<Vertical>& vertical, bool snic,
                                        const AggServiceMgr::StatusSourcePtr& statusSource,
                                        const AggServiceMgr::ShaWrapperPtr& shaWrapper, RemoteCollector* collector) {
  if (snic) return std::make_shared<AggSvcSnic::SnicAggServiceClient>(vertical, statusSource, shaWrapper, collector);
  return std::make_shared<AggServiceClient>(vertical, statusSource, shaWrapper);
}

void FillDefaults(AggServiceMgr::Deps& deps) {
  if (!deps.channel) deps.channel = std::make_shared<NodeMessagingChannel>();
  if (!deps.makeClient) deps.makeClient = &MakeNodeClient;
  if (!deps.createWorkGroup) {
    deps.createWorkGroup = [](qbx::AsioQbxProvider& provider) { qbx::CreateFrameworkWorkGroup(provider); };
  }
  if (!deps.takeOverSignals) {
    deps.takeOverSignals = [](std::function<void(int)> handler) {
      qbx::SignalWaiter::Instance().SetHandler(std::move(handler));
      // No signal thread: SIGTERM and SIGHUP must not keep their default action.
      qbx::SignalWaiter::Instance().StartPipeHandlers();
    };
  }
  if (!deps.signalPipe) deps.signalPipe = [] { return qbx::SignalWaiter::Instance().PipeDescriptor(); };
  if (!deps.dispatchSignals) deps.dispatchSignals = [] { qbx::SignalWaiter::Instance().DispatchFromPipe(); };
  if (!deps.wallClock) deps.wallClock = [] { return std::chrono::system_clock::now(); };
  if (deps.configRoot.empty()) deps.configRoot = qbx::kComponentConfigRoot;
}

int64_t SinceEpochNs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void Ignore(int signum) {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(signum, &action, nullptr);
}

}  // namespace

int AggServiceMgr::CreateInstance(std::vector<std::shared_ptr<Vertical>>& verticals) {
  return CreateInstance(verticals, Deps());
}

int AggServiceMgr::CreateInstance(std::vector<std::shared_ptr<Vertical>>& verticals, Deps deps) {
  std::lock_guard<std::mutex> lock(gCreateMutex);
  if (gInstance.load() != nullptr) return 1;
  auto statusSource = std::make_shared<qbx::StatusSource::StatusSourceImpl>();
  auto shaWrapper = std::make_shared<qbx::AggSvc::ShaClientWrapperImpl>();
  shaWrapper->SetStatusSource(statusSource);
  gInstance.store(new AggServiceMgr(verticals, statusSource, shaWrapper, std::move(deps)));
  return 0;
}

AggServiceMgr* AggServiceMgr::GetInstance() { return gInstance.load(); }

AggServiceMgr::AggServiceMgr(std::vector<std::shared_ptr<Vertical>>& verticals, StatusSourcePtr statusSource,
                             ShaWrapperPtr shaWrapper, Deps deps)
    : statusSource(std::move(statusSource)), shaWrapper(std::move(shaWrapper)), deps(std::move(deps)) {
  FillDefaults(this->deps);
  if (verticals.empty()) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10045")
        .put("[%s] Vertical list is empty", "AggServiceMgr");
    throw VerticalInitException("Empty vertical list");
  }
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Adding %zd verticals", verticals.size());
  for (const std::shared_ptr<Vertical>& vertical : verticals) {
    if (!vertical || vertical->Name().empty()) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10046")
          .put("[%s] Null vertical object or empty vertical name", "AggServiceMgr");
      throw VerticalInitException("Vertical object or vertical name is empty");
    }
    const std::string& name = vertical->Name();
    if (clients.count(name) != 0) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10047")
          .put("[%s] Vertical with name %s is already registered", "AggServiceMgr", name.c_str());
      throw VerticalInitException("Duplicate entries in vertical list");
    }
    QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Adding vertical %s", name.c_str());
    const bool snic = vertical->HasSnicAdapter();
    if (snic) {
      QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Creating SnicAggServiceClient for %s", name.c_str());
    }
    ClientPtr client = this->deps.makeClient(vertical, snic, this->statusSource, this->shaWrapper, &remoteCollector);
    vertical->RegisterCallbacks(client);
    QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Added vertical %s", name.c_str());
    clients[name] = std::move(client);
  }
}

AggServiceMgr::~AggServiceMgr() {
  // Only test managers are destroyed; the process's singleton lives until the process ends.
  // The alarm source reads this manager's stamp, so it goes first.
  healthAlarmReporter.reset();
  if (heartbeatTimer) heartbeatTimer->Cancel();
  if (firstProvider) firstProvider->StopAndWait();
  if (secondProvider) secondProvider->StopAndWait();
}

int AggServiceMgr::Run(const std::string& programName) { return Start(programName); }

int AggServiceMgr::Start(const std::string& programName) {
  qbx::SetComponentName(programName);
  if (!firstProvider) {
    firstProvider = std::make_shared<qbx::AsioQbxProvider>(qbx::AsioQbxProvider::Options{true, false, 0}, "",
                                                           deps.providerClock);
    secondProvider = std::make_shared<qbx::AsioQbxProvider>(qbx::AsioQbxProvider::Options{false, false, 0}, "",
                                                            deps.providerClock);
    // The messaging clients schedule their timers on these providers from set-up on, so
    // both run for the manager's whole life on threads of their own.
    firstProvider->RunAsync(1);
    secondProvider->RunAsync(1);
  }

  Ignore(SIGPIPE);
  Ignore(SIGTSTP);
  Ignore(SIGCONT);
  Ignore(SIGUSR2);
  deps.takeOverSignals([this](int signum) { HandleSignal(signum); });

  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[%s] Start AggServiceMgr", "Start");
  int result = StartAllAggClients(firstProvider, secondProvider);
  if (result < 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10048")
        .put("[%s] Failed to start AggServiceMgr", "Start");
    return result;
  }

  WaitForStop();

  StopAllAggClients();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[%s] Shutting down AggServiceMgr", "Start");
  return 0;
}

void AggServiceMgr::WaitForStop() {
  const int signalPipe = deps.signalPipe();
  if (signalPipe < 0) {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopCond.wait(lock, [this] { return stop; });
    return;
  }
  while (!StopRequested()) {
    pollfd ready{signalPipe, POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPAERR_INTERNAL_ERROR")
          .put("[%s] Waiting for signals failed: %s", "Start", std::strerror(errno));
      return;
    }
    deps.dispatchSignals();
  }
}

int AggServiceMgr::StartAllAggClients(const std::shared_ptr<qbx::AsioQbxProvider>& first,
                                      const std::shared_ptr<qbx::AsioQbxProvider>& second) {
  deps.createWorkGroup(*first);
  // The smart-NIC clients' fan-outs map management-plane type names through its table.
  remoteCollector.Start();
  deps.channel->StartMpaClientEventLoop(kClientId, kTnProxyEndpoint, kStubEndpoint);
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Starting %zd AggSvc clients", clients.size());

  for (const auto& [name, client] : clients) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s] Starting AggSvc client: %s", "StartAllAggClients", name.c_str());
    int result = client->SetupAggServiceClient(first, second);
    if (result < 0) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10049")
          .put("[%s] SetupAggServiceClient failed for app %s", "StartAllAggClients", name.c_str());
      return result;
    }
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s] AggSvc client[%s] created", "StartAllAggClients", name.c_str());
  }

  for (const auto& [name, client] : clients) {
    int result = client->OpenAggServiceClient();
    if (result < 0) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10049")
          .put("[%s] OpenAggServiceClient failed for app %s", "StartAllAggClients", name.c_str());
      return result;
    }
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s] AggSvc client[%s] started", "StartAllAggClients", name.c_str());
  }

  deps.channel->StartTnProxyClient();
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] TnProxyClientCommon for AggSvc client started", "StartAllAggClients");
  qbx::AsioQbxProvider* timerProvider = deps.channel->TnProxyProvider();
  StartHealthAlarmReporter(timerProvider ? *timerProvider : *first);

  if (deps.channel->NodePersona() != kPersonaWithoutSnProxy && deps.channel->SnProxySmartNicCount() > 0) {
    deps.channel->StartSnProxyClient();
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s] SNProxyClientCommon for AggSvc client started", "StartAllAggClients");
  }

  shaWrapper->Start();
  statusSource->Start();
  return 0;
}

void AggServiceMgr::StartHealthAlarmReporter(qbx::AsioQbxProvider& provider) {
  if (deps.makeHealthAlarmReporter) {
    healthAlarmReporter = deps.makeHealthAlarmReporter(statusSource);
  } else {
    healthAlarmReporter =
        std::make_shared<qbx::AggSvc::AggServiceHealthAlarmReporter>(statusSource, [this] { return IsHealthy(); });
  }
  Heartbeat();
  if (heartbeatTimer) heartbeatTimer->Cancel();
  // The timer outlives nothing it touches: the manager cancels it before it goes, and the
  // process's manager is never destroyed.
  heartbeatTimer = provider.timers().ScheduleRepeated(kHeartbeatInterval, [this] { Heartbeat(); });
}

void AggServiceMgr::StopAllAggClients() {
  statusSource->Stop();
  shaWrapper->Stop();
  if (heartbeatTimer) heartbeatTimer->Cancel();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Stopping %zd AggSvc clients", clients.size());
  for (const auto& [name, client] : clients) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s] Stopping AggSvc client: %s", "StopAllAggClients", name.c_str());
    if (client) {
      client->StopAggServiceClient();
      QBX_LOG(qbx::loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("[%s] AggSvc client[%s] stopped", "StopAllAggClients", name.c_str());
    }
  }
  // The channel's proxy clients and their provider carry every client's answers: they stop
  // once, after the last client has stopped, so that answers still in flight from a later
  // client reach the management plane.
  deps.channel->StopMpaClientEventLoop();
}

void AggServiceMgr::Heartbeat() { heartbeatStamp.store(SinceEpochNs(deps.wallClock())); }

bool AggServiceMgr::IsHealthy() {
  const int64_t age = SinceEpochNs(deps.wallClock()) - heartbeatStamp.load();
  return age < std::chrono::duration_cast<std::chrono::nanoseconds>(kHealthyWindow).count();
}

void AggServiceMgr::HandleSignal(int signum) {
  switch (signum) {
    case SIGINT:
    case SIGTERM:
      OnTerminateSignal(signum);
      break;
    case SIGHUP:
      OnHangupSignal(signum);
      break;
    case SIGUSR1:
      OnUser1Signal(signum);
      break;
    default:
      break;
  }
}

void AggServiceMgr::OnTerminateSignal(int signum) {
  if (signum != SIGINT && signum != SIGTERM) return;
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    stop = true;
  }
  stopCond.notify_all();
}

void AggServiceMgr::OnHangupSignal(int signum) {
  if (signum != SIGHUP) return;
  qbx::ReloadLogLevelOnHangup(ComponentName(), deps.configRoot);
}

void AggServiceMgr::OnUser1Signal(int /*signum*/) {}

std::string AggServiceMgr::ComponentName() { return qbx::ComponentName(); }

bool AggServiceMgr::StopRequested() {
  std::lock_guard<std::mutex> lock(stopMutex);
  return stop;
}
