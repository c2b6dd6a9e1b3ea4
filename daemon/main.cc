// qbx-exporter: the status-and-statistics exporter daemon.
//
// main builds every long-lived object in one fixed order, hands the vertical list to the
// aggregation-service manager, starts the configuration-database client and then gives the
// main thread to the manager, whose result is the exit status.
//
// Signals: SIGPIPE is ignored and SIGINT, SIGTERM, SIGHUP and SIGUSR1 are blocked before
// anything else runs, so every thread started later inherits the mask; the one signal
// thread (SignalWaiter) takes them and acts on an ordinary stack. Until the manager takes
// the signals over, SIGUSR1 toggles verbose logging and the others keep their default
// action (they end the process, after the socket files are removed). Without the signal
// thread the manager takes them through a pipe instead.
//
// Before anything else (before main, see FillStandardDescriptors), /dev/null fills whichever
// of descriptors 0-2 is closed, so that no file the daemon opens becomes its stderr; the soft
// descriptor limit is raised to the hard one. One daemon serves a node: besides the instance
// lock, start-up refuses inbound sockets that another process still answers on, at once and
// without waiting for them.
//
// Every way out ends in qbx::ExitProcess (base/process_exit.h), with _Exit once the manager
// has stopped what it runs: detached threads (the database loop and the status source's,
// among others) still run then, and static destructors must not tear down objects under
// them.
#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "base/log_config.h"
#include "base/logger.h"
#include "base/process_exit.h"
#include "channels/mpa/mpa_client.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "daemon/agg_service_mgr.h"
#include "daemon/agg_service_mgr_signals.h"
#include "daemon/agg_service_mgr_verticals.h"
#include "daemon/daemon_signals.h"
#include "daemon/instance_lock.h"
#include "daemon/listen_retry.h"
#include "daemon/process_start.h"
#include "firewall/alarm_manager.h"
#include "firewall/cli_server.h"
#include "firewall/dfw_cli.h"
#include "firewall/dfw_stats.h"
#include "firewall/ip_reputation_server.h"
#include "nodedb/nodedb_client_exporter.h"
#include "platform/rpc/server_builder.h"
#include "platform/sha/sha_pm_client.h"
#include "platform/smartnic/sn_demux_util.h"
#include "platform/smartnic/sn_util.h"
#include "verticals/transport_node_status_reporter.h"

namespace {

constexpr const char* kSubcomp = "agg-service";
// Made mode 0700 by the first server that listens there.
constexpr const char* kLocalSocketDirectory = "/var/run/zumbra/exporter/rpc";

// Written once before any thread that reads it exists; never destroyed, because the
// database thread reads it until the process ends.
std::shared_ptr<qbx::NodeDbClientExporter>& NodeDbHolder() {
  static auto* holder = new std::shared_ptr<qbx::NodeDbClientExporter>();
  return *holder;
}

struct ThreadStarter {
  const char* name;
  void* (*entry)(void*);
  const char* tag;
  const char* attributeFailure;
  const char* completion;
  const char* launchFailure;
};

// Starts one detached thread with default attributes; false (logged) when it did not start.
bool LaunchDetachedThread(const ThreadStarter& starter) {
  pthread_attr_t attributes;
  int rc = pthread_attr_init(&attributes);
  if (rc != 0) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSubcomp).tag(starter.tag).put(starter.attributeFailure, starter.name,
                                                                            std::strerror(rc));
    return false;
  }
  pthread_t thread;
  rc = pthread_create(&thread, &attributes, starter.entry, nullptr);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSubcomp).tag(starter.tag).put(starter.launchFailure, starter.name,
                                                                            std::strerror(rc));
    return false;
  }
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put(starter.completion, starter.name);
  pthread_detach(thread);
  return true;
}

void* NodedbClientMonitorThread(void*) {
  std::shared_ptr<qbx::NodeDbClientExporter> holder = NodeDbHolder();
  if (!holder) return nullptr;
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[Core][%s] nodedb client starting monitor", "NodedbClientMonitorThread");
  try {
    holder->RunEventLoop();
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] nodedb client event loop failed: %s", "NodedbClientMonitorThread", e.what());
  }
  return nullptr;
}

bool StartNodedbClientMonitor() {
  return LaunchDetachedThread({"StartNodedbClientMonitor", &NodedbClientMonitorThread,
                               "errorCode:MPAERR_INTERNAL_ERROR",
                               "[Core][%s] Initializing exporter nodedb client thread attribute failed with errno(%s).",
                               "[Core][%s] Launching exporter nodedb client monitor thread completed.",
                               "[Core][%s] Launching exporter nodedb client monitor thread failed with errno(%s)."});
}

void* ExporterCommonCliThread(void*) {
  try {
    CommonCliServer* server = CommonCliServer::GetInstance();
    if (server == nullptr) return nullptr;
    // The operator's way in is kept listening like the inbound services: a socket that
    // cannot listen (the reason is logged by Open), at start or after its file was removed
    // or replaced, is tried again, and the daemon ends rather than run on without it. A
    // socket another process listens on is theirs: the daemon ends at once, at any try. Once
    // the process is ending, the end has removed the file and nothing listens again.
    for (;;) {
      const std::string why = qbx::ListenRetry::WaitUntilListening(
          [server] {
            const int opened = server->Open();
            if (opened == CommonCliServer::kSocketLive) {
              QBX_LOG(qbx::loglevel::kError)
                  .subcomp(kSubcomp)
                  .tag("errorCode:MPA12101")
                  .put("[Core][%s] Giving up the command socket: another process listens on %s",
                       "ExporterCommonCliThread", server->SocketPath().c_str());
              qbx::ExitProcess(qbx::kCannotListenExitStatus);
            }
            return opened == 0 ? std::string() : server->OpenFailure();
          },
          qbx::ListenRetry::kSchedule, "The command socket");
      if (!why.empty()) qbx::ExitProcess(qbx::kCannotListenExitStatus);
      if (server->Serve() != CommonCliServer::kSocketPathLost || qbx::ProcessIsEnding()) break;
    }
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA12101")
        .put("[Core][%s] command-line server failed: %s", "ExporterCommonCliThread", e.what());
  }
  return nullptr;
}

void StartExporterCommonCli() {
  LaunchDetachedThread({"StartExporterCommonCli", &ExporterCommonCliThread, "errorCode:MPA12101",
                        "[Core][%s] Initializing exporter common CLI thread attribute failed with errno(%s).",
                        "[Core][%s] Launching exporter common CLI thread completed.",
                        "[Core][%s] Launching exporter common CLI thread failed with errno(%s)."});
}

void* IpReputationDataThread(void*) {
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[Core][%s] Starting IpReputationData server", "IpReputationDataThread");
  try {
    RunIpReputationDataServer(nullptr, 0);
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] IpReputationData server failed: %s", "IpReputationDataThread", e.what());
  }
  return nullptr;
}

void StartIpReputationDataServer() {
  LaunchDetachedThread(
      {"StartIpReputationDataServer", &IpReputationDataThread, "errorCode:MPAERR_INTERNAL_ERROR",
       "[Core][%s] Initializing exporter ip reputation server thread attribute failed with errno(%s).",
       "[Core][%s] Launching exporter ip reputation server thread completed.",
       "[Core][%s] Launching exporter ip reputation server thread failed with errno(%s)."});
}

// Until the manager takes the signals over: SIGUSR1 toggles verbose logging, the others do
// what their default disposition would. It runs on the signal thread (SignalWaiter), never
// as an asynchronous handler, so it may take the socket registry's lock like any thread.
void StartupSignalHandler(int signum) {
  if (signum == SIGUSR1) {
    qbx::SigUser1Handler(signum);
    return;
  }
  // The default action ends the process without a word: the socket files go first, and no
  // server listens again meanwhile.
  qbx::RemoveSocketFilesForExit();
  qbx::SignalWaiter::TerminateWithDefaultAction(signum);
}

// Held until the process ends: a second daemon started beside this one exits at once
// instead of taking over its sockets.
bool TakeInstanceLock() {
  std::string why;
  std::unique_ptr<qbx::InstanceLock> lock = qbx::InstanceLock::Take(qbx::InstanceLock::kPath, why);
  if (!lock) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Not starting: %s", "main", why.c_str());
    return false;
  }
  // Held for the life of the process (its end, by _Exit, runs no destructor): the kernel
  // drops the lock with the process. Kept in a static so that the leak checker sees it held.
  static std::unique_ptr<qbx::InstanceLock> held;
  held = std::move(lock);
  return true;
}

// Empty when the inbound sockets can be used now or once their directory is repaired;
// otherwise why the daemon must not start.
std::string WaitForInboundSockets() {
  const qbx::rpc::SocketPreparation found = qbx::ProbeInboundSockets(kLocalSocketDirectory);
  if (found.ready()) return std::string();
  // Another daemon answers there (it runs beside this one since the instance lock was taken
  // away): waiting changes nothing, and replacing its sockets would leave it unreachable.
  if (found.live()) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Not starting: %s", "main", found.why.c_str());
    return found.why;
  }
  return qbx::ListenRetry::WaitUntilListening([] { return qbx::ProbeInboundSockets(kLocalSocketDirectory).why; });
}

int RunDaemon(int argc, char* argv[]) {
  qbx::EnsureLogSettingsInitialised();
  // A burst of connections must not exhaust the common soft limit while the hard one allows
  // far more.
  if (const std::string why = qbx::RaiseDescriptorLimit(); !why.empty()) {
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("[Core][%s] %s", "main", why.c_str());
  }
  if (!TakeInstanceLock()) return -1;

  // 1. The start-up signal disposition.
  if (!qbx::SignalWaiter::Instance().Start(&StartupSignalHandler)) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[Core][%s] Cannot register handler to change log level", "main");
    // Nobody takes the blocked signals: give SIGINT and SIGTERM back their default action
    // (no other thread exists yet, so later ones inherit this mask) and keep SIGUSR1 from
    // ending the process.
    ::signal(SIGUSR1, SIG_IGN);
    sigset_t handled = qbx::SignalWaiter::HandledSignals();
    pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
  }

  // The inbound services (host aggregation, smart-NIC and IP-reputation services) listen on
  // Unix-domain sockets that only the daemon's user can reach: the local proxies run as that
  // user, and nobody else may pull from the daemon or feed it requests.
  qbx::rpc::ServerBuilder::SetLocalSocketDirectory(kLocalSocketDirectory);
  // A daemon that cannot serve them must not run on looking healthy: not at start, and not
  // when a socket bound later cannot listen.
  if (!WaitForInboundSockets().empty()) return qbx::kCannotListenExitStatus;
  qbx::KeepInboundServicesListening();

  // 2. Smart-NIC topology library.
  SNUtil::Init();

  // 3-4. The configuration-database holder and its event-loop thread.
  NodeDbHolder() = std::make_shared<qbx::NodeDbClientExporter>();
  std::shared_ptr<qbx::NodeDbClientExporter> nodeDb = NodeDbHolder();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[Core][%s] nodedb client is created", "main");
  if (!StartNodedbClientMonitor()) {
    // Without its loop the client would never connect, and start-up would wait for ever.
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] nodedb client has no event loop thread, giving up", "main");
    return -1;
  }

  // 5. Demultiplexing utility.
  auto demux = std::make_shared<qbx::smartnic::demux::SNDemuxUtil>();
  demux->Init(nodeDb->client());

  // 6-8. Firewall command set, command-line server thread, alarm manager.
  dfwRegisterCLI();
  StartExporterCommonCli();
  AlarmManager::CreateInstance();

  // 9-11. The collectors, in their fixed order, each given its smart-NIC adapter entries
  //        right after it is made, and the vertical list.
  DaemonVerticals daemonVerticals = MakeDaemonVerticals(nodeDb, demux);
  std::shared_ptr<TransportNodeStatusReporter> transportNodeStatus = daemonVerticals.transportNodeStatus;
  std::vector<std::shared_ptr<Vertical>>& verticals = daemonVerticals.list;

  // 12. Firewall statistics module; start-up goes on whatever it reports.
  if (dfwStatsInit(nodeDb) != 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA12101")
        .put("[Core][%s] dfwStatsInit() failed", "main");
  } else if (dfwStatsStart(false) != 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA12101")
        .put("[Core][%s] dfwStatsStart() failed", "main");
  }

  // 13. Program name.
  const std::string programName = qbx::ProgramNameFromInvocation(argc > 0 ? argv[0] : nullptr);

  // 14. The manager. Its clients reach the messaging channel through the channel's
  //     registration, installed here once before any client is set up.
  InstallNodePersonaSources();
  AggServiceClient::SetDefaultRegistrar(std::make_shared<AggSvcMpaClientRegistrar>());
  try {
    AggServiceMgr::CreateInstance(verticals);
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Cannot create AggServiceMgr: %s", "main", e.what());
    return -1;
  } catch (...) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Cannot create AggServiceMgr", "main");
    return -1;
  }

  // 15. Returns once the client is connected.
  nodeDb->client()->Start();

  // 16. IP-reputation data server thread.
  StartIpReputationDataServer();

  // 17-18. Health-agent client of transport node status and pNIC health reporting.
  auto tnStatusSha = std::make_shared<qbx::sha::ShaPmClient>("transport_node_status_reporter");
  tnStatusSha->Start();
  if (!transportNodeStatus->InitHZCHealthReporting(tnStatusSha)) return -1;

  // 19. The main thread belongs to the manager from here on.
  const int status = AggServiceMgr::GetInstance()->Run(programName);
  // The IP-reputation server stops with the manager's services, and its socket goes too.
  StopIpReputationDataServer();
  return status;
}

// Descriptors 0-2 are filled before anything opens a file, and that is before main: the
// static initialisers (the shared libraries' among them) already keep an eventfd and the
// log's socket. The loader runs the executable's pre-initialisers before every other one.
void FillStandardDescriptors(int, char**, char**) { qbx::OpenStandardDescriptors(); }
__attribute__((section(".preinit_array"), used)) void (*const kFillStandardDescriptors)(int, char**, char**) =
    &FillStandardDescriptors;

}  // namespace

int main(int argc, char* argv[]) {
  ::signal(SIGPIPE, SIG_IGN);
  qbx::SignalWaiter::BlockHandledSignals();
  int status = -1;
  try {
    status = RunDaemon(argc, argv);
  } catch (const std::exception& e) {
    // A collector that cannot be built ends start-up with a record instead of an abort.
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Start-up failed: %s", "main", e.what());
  } catch (...) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Start-up failed", "main");
  }
  qbx::ExitProcess(status);
}
