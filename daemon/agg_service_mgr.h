// The aggregation-service manager: the process-wide owner of one aggregation-service client
// per vertical. It validates the vertical list, builds the clients and lets each vertical
// register its callbacks; when run, it takes over the daemon's signals, starts the messaging
// channel and all clients in ascending name order, keeps the liveness stamp that the
// framework-health alarm reads, waits in the main loop until SIGINT or SIGTERM and stops
// everything again in name order.
//
// Threading model:
// - Construction, Start (with StartAllAggClients and StopAllAggClients) and the main loop run
//   on the main thread. `clients` is filled by the constructor and only read afterwards.
// - The signal handlers run on the process's signal-waiting thread (SignalWaiter), never in
//   an asynchronous signal context. OnTerminateSignal sets `stop` under `stopMutex` and wakes
//   the main loop, which tests the flag under the same mutex before every wait, so a stop
//   request is never missed. Without a signal thread the main loop itself runs the handlers
//   of the signals written to the signal pipe, and a stop comes only that way.
// - Heartbeat runs on the thread of the provider that carries the liveness timer;
//   IsHealthy may be called from any thread. The stamp is one atomic 64-bit value.
// - The two event-loop providers are created by Start and kept by the manager for the rest
//   of its life: the messaging clients keep using them (timers and posted work) after Start
//   has handed them over, so they run on threads of their own rather than on the main
//   thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/remote_collector.h"
#include "aggsvc/vertical.h"

namespace qbx {
class AsioQbxProvider;
class ManualClock;
class Timer;
}  // namespace qbx

// The messaging channel and its proxy clients, as the manager drives them.
class AggServiceMgrChannel {
 public:
  virtual ~AggServiceMgrChannel() = default;

  virtual void StartMpaClientEventLoop(const std::string& clientId, const std::string& tnProxyEndpoint,
                                       const std::string& stubEndpoint) = 0;
  virtual void StopMpaClientEventLoop() = 0;
  // Starts the transport-node proxy client (its result is not used).
  virtual void StartTnProxyClient() = 0;
  // The transport-node proxy client's provider, whose timers carry the liveness stamp; null
  // when there is none, and the manager's first provider carries it instead. The proxy
  // client keeps it for the life of the process.
  virtual qbx::AsioQbxProvider* TnProxyProvider() = 0;
  // 1 a host with smart NICs, 2 a smart NIC, 3 a node without the smart-NIC proxy.
  virtual int NodePersona() = 0;
  // How many smart NICs the smart-NIC proxy client serves (0 when it does not exist).
  virtual uint32_t SnProxySmartNicCount() = 0;
  virtual void StartSnProxyClient() = 0;
};

class AggServiceMgr {
 public:
  using StatusSourcePtr = std::shared_ptr<qbx::StatusSource::StatusSource>;
  using ShaWrapperPtr = std::shared_ptr<qbx::AggSvc::ShaClientWrapper>;
  using ClientPtr = std::shared_ptr<AggServiceClient>;
  using WallClock = std::function<std::chrono::system_clock::time_point()>;

  static constexpr const char* kClientId = "AggSvc";
  static constexpr const char* kTnProxyEndpoint = "tcp://127.0.0.1:9004";
  static constexpr const char* kStubEndpoint = "tcp://127.0.0.1:4096";
  static constexpr std::chrono::nanoseconds kHeartbeatInterval = std::chrono::seconds(30);
  static constexpr std::chrono::nanoseconds kHealthyWindow = std::chrono::seconds(300);

  // What the manager needs from its surroundings. Every empty member falls back to the
  // node's own (see agg_service_mgr.cc); tests inject doubles.
  struct Deps {
    std::shared_ptr<AggServiceMgrChannel> channel;
    // Makes the client of one vertical; `snic` when the vertical's types are also collected
    // from smart NICs, whose client then shares the manager's remote collector.
    std::function<ClientPtr(const std::shared_ptr<Vertical>&, bool snic, const StatusSourcePtr&,
                            const ShaWrapperPtr&, RemoteCollector*)>
        makeClient;
    // Makes the framework-health alarm source; the default is the "aggSvc_health" source
    // over this manager's IsHealthy.
    std::function<std::shared_ptr<void>(const StatusSourcePtr&)> makeHealthAlarmReporter;
    // Creates the process-wide "framework" work group on the first provider.
    std::function<void(qbx::AsioQbxProvider&)> createWorkGroup;
    // Receives the manager's signal handler when Start takes the signals over.
    std::function<void(std::function<void(int)>)> takeOverSignals;
    // Without a signal thread: the descriptor that signals are written to (-1 when there is
    // a signal thread), and what runs the signals waiting there. The main loop watches the
    // descriptor and runs them on the main thread.
    std::function<int()> signalPipe;
    std::function<void()> dispatchSignals;
    WallClock wallClock;
    // Time source of the manager's two providers; null means real time.
    std::shared_ptr<qbx::ManualClock> providerClock;
    // Where the component's config.json is looked for on SIGHUP.
    std::string configRoot;
  };

  // Creates the singleton with the node's status source and health-agent wrapper: 0 when it
  // created it, 1 when one existed (nothing is done then). Throws VerticalInitException
  // from the constructor; no singleton is stored then.
  static int CreateInstance(std::vector<std::shared_ptr<Vertical>>& verticals);
  static int CreateInstance(std::vector<std::shared_ptr<Vertical>>& verticals, Deps deps);
  // The singleton, null before creation. It is never destroyed.
  static AggServiceMgr* GetInstance();

  // Throws VerticalInitException for an empty list, a null or nameless vertical, or a
  // repeated name (logged with "errorCode:MPA10045", "MPA10046", "MPA10047").
  AggServiceMgr(std::vector<std::shared_ptr<Vertical>>& verticals, StatusSourcePtr statusSource,
                ShaWrapperPtr shaWrapper, Deps deps = {});
  ~AggServiceMgr();
  AggServiceMgr(const AggServiceMgr&) = delete;
  AggServiceMgr& operator=(const AggServiceMgr&) = delete;

  int Run(const std::string& programName);
  // 0 after an orderly shutdown, or the negative code of a failed start. Returns only then.
  int Start(const std::string& programName);
  // 0, or the negative code of the first client whose set-up or open failed.
  int StartAllAggClients(const std::shared_ptr<qbx::AsioQbxProvider>& first,
                         const std::shared_ptr<qbx::AsioQbxProvider>& second);
  void StopAllAggClients();
  void StartHealthAlarmReporter(qbx::AsioQbxProvider& provider);
  void Heartbeat();
  // True while the last liveness stamp is younger than 300 s.
  bool IsHealthy();

  // The manager's dispositions of the handled signals, run on the signal-waiting thread.
  void HandleSignal(int signum);
  void OnTerminateSignal(int signum);
  void OnHangupSignal(int signum);
  void OnUser1Signal(int signum);

  const std::map<std::string, ClientPtr>& Clients() const { return clients; }
  // The program name Start was given (kept process-wide); SIGHUP reads this component's
  // configuration.
  std::string ComponentName();
  bool StopRequested();

 private:
  void WaitForStop();

  // The process's one smart-NIC remote collector; every smart-NIC client keeps its address,
  // so it is declared before (and destroyed after) the clients.
  RemoteCollector remoteCollector;
  std::map<std::string, ClientPtr> clients;
  bool stop = false;  // guarded by stopMutex
  std::mutex stopMutex;
  std::condition_variable stopCond;
  StatusSourcePtr statusSource;
  ShaWrapperPtr shaWrapper;
  std::shared_ptr<qbx::Timer> heartbeatTimer;
  std::shared_ptr<void> healthAlarmReporter;
  std::atomic<int64_t> heartbeatStamp{0};  // system-clock nanoseconds since the epoch
  Deps deps;
  std::shared_ptr<qbx::AsioQbxProvider> firstProvider;
  std::shared_ptr<qbx::AsioQbxProvider> secondProvider;
};
