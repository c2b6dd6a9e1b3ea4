// The monitoring status source: the aggregation clients register their (vertical, message
// type) pairs with it; it polls them (after the provider asks for it), sends the updates
// that differ from the previous ones to the local monitoring provider, answers the
// provider's full syncs and polling configurations, and keeps a liveness stamp, a
// statistics dump and a heartbeat to the provider.
//
// An update that could not be delivered (no open stream, or written to a stream that then
// ended) is not counted as sent: it is sent again as soon as a new stream is announced,
// and a later equal update is not dropped while the pair is still undelivered.
//
// Threading: the source runs its own provider with one thread; timers, the provider link,
// the poller, the full-sync state machine and the configuration monitor all run there and
// take no lock. Entry points from other threads:
// - RegisterStatusCallback (the clients' opening thread): guarded by registration_mutex_,
//   which also guards compare_callbacks_ (read by the provider thread, copied out);
//   lock order registration_mutex_ -> the poller's callback lock;
// - OnFullSyncRequest, SetFullSyncNeeded (any thread): only post;
// - Start, Stop (the manager's thread): run their work on the provider thread and wait;
// - IsAlive (any thread): reads an atomic stamp.
// Timer actions and posted work capture `this`: they run only on the source's own
// provider, which Stop and the destructor stop and join before any member goes away.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "aggsvc/status_source.h"
#include "channels/status/provider_communicator.h"
#include "channels/status/provider_message_handler.h"
#include "channels/status/status_config_monitor.h"
#include "channels/status/status_full_sync_fsm.h"
#include "channels/status/status_observer.h"
#include "channels/status/status_poller.h"
#include "channels/status/status_report_sender.h"
#include "channels/status/status_types.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"

namespace qbx::StatusSource {

class StatusSourceImpl : public StatusSource,
                         public StatusObserver,
                         public ProviderMessageHandler,
                         public std::enable_shared_from_this<StatusSourceImpl> {
 public:
  static constexpr int64_t kHeartbeatIntervalSeconds = 150;
  static constexpr int64_t kStatsDumpIntervalSeconds = 300;
  static constexpr int64_t kLivenessIntervalSeconds = 30;
  static constexpr int64_t kAliveWindowSeconds = 300;
  static constexpr uint64_t kFullSyncGapSeconds = 60;
  static constexpr uint64_t kFullSyncTimerSeconds = 60;

  // Where the source's surroundings come from; the defaults are the node's.
  struct Options {
    std::shared_ptr<ManualClock> clock;  // null: real time
    std::string endpoint = kProviderEndpoint;
    std::string configFile = kStatusCollectionConfigFile;
    std::string issueFile = kIssueFile;
    ProviderCommunicator::RpcFactory rpcFactory;  // empty: the platform RPC layer
  };

  StatusSourceImpl();
  explicit StatusSourceImpl(Options options);
  ~StatusSourceImpl() override;
  StatusSourceImpl(const StatusSourceImpl&) = delete;
  StatusSourceImpl& operator=(const StatusSourceImpl&) = delete;

  // StatusSource
  bool RegisterStatusCallback(const std::string& verticalName, const std::string& msgTypeName,
                              StatusCallback statusCb, CompareCallback compareCb) override;
  bool OnFullSyncRequest() override;
  void SetFullSyncNeeded() override;
  void Start() override;
  void Stop() override;
  bool IsAlive() override;

  // StatusObserver
  void OnStatusUpdate(const StatusKey& key, const OptionalStatusUpdate& update) override;
  bool DoFullSync() override;
  std::optional<TimePoint> GetLastFullSyncTime() override;
  void SetLastFullSyncTime() override;

  // ProviderMessageHandler
  bool FullSync(MonitoringStatusFullSyncResponseMsg& response, const MonitoringStatusProviderMsg& request) override;
  void PollCfgMsgHandler(const MonitoringStatusProviderMsg& msg, bool fromFullSync) override;
  void StartPeriodicPoll() override;
  void OnStreamReady() override;
  void OnStreamLost() override;

  // Runs `fn` on the provider thread and waits for it; false when the provider refused it.
  bool RunOnLoopForTest(const std::function<void()>& fn) { return RunOnLoop(fn); }
  AsioQbxProvider& ProviderForTest() { return *provider_; }
  StatusPoller& PollerForTest() { return *poller_; }
  StatusFullSyncFSM& FullSyncFSMForTest() { return *fsm_; }
  StatusConfigMonitor& ConfigMonitorForTest() { return *config_monitor_; }
  ProviderCommunicator& LinkForTest() { return *link_; }
  const StatusReportSender& ReportSenderForTest() const { return *report_sender_; }
  // Loop thread only.
  bool IsUndeliveredForTest(const StatusKey& key) const { return undelivered_.count(key) != 0; }

 private:
  bool RunOnLoop(const std::function<void()>& fn);
  void Stamp();
  void DumpStats();
  void SendHeartbeat();
  // Sends one update and keeps the delivery bookkeeping.
  void Report(const StatusKey& key, const StatusUpdatePtr& update);

  std::unique_ptr<AsioQbxProvider> provider_;
  const Options options_;
  std::shared_ptr<ProviderCommunicator> link_;
  std::mutex registration_mutex_;  // guards compare_callbacks_
  std::map<StatusKey, CompareCallback> compare_callbacks_;
  std::unique_ptr<StatusReportSender> report_sender_;
  std::unique_ptr<StatusPoller> poller_;
  std::unique_ptr<StatusFullSyncFSM> fsm_;
  std::unique_ptr<StatusConfigMonitor> config_monitor_;
  std::map<StatusKey, StatusUpdatePtr> last_updates_;
  // Pairs whose last update has not been delivered, and pairs written to the current stream.
  std::set<StatusKey> undelivered_;
  std::set<StatusKey> written_to_stream_;
  std::shared_ptr<Timer> heartbeat_timer_;
  std::shared_ptr<Timer> stats_dump_timer_;
  std::shared_ptr<Timer> liveness_timer_;
  const int64_t heartbeat_interval_ = kHeartbeatIntervalSeconds;
  const int64_t stats_dump_interval_ = kStatsDumpIntervalSeconds;
  std::atomic<int64_t> liveness_stamp_{0};  // provider-clock ticks since its epoch
  std::optional<TimePoint> last_full_sync_time_;
  bool stopped_ = false;  // manager's thread
};

}  // namespace qbx::StatusSource
