// Polls every registered (vertical, message type) pair on its own repeating timer, at an
// interval kept per vertical, and answers full syncs by calling every callback once.
//
// Threading: RegisterStatusCallback may be called from any thread (the aggregation clients
// register while the provider thread already runs); callbacks_mutex_ guards the callback
// map, and callbacks are copied out and called without it. Everything else runs on the
// status source's provider thread and takes no lock. Timer actions capture `this`: they run
// only on the owning source's provider, which is stopped and joined before the poller is
// destroyed, and the destructor cancels them as well.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "channels/status/status_observer.h"
#include "channels/status/status_types.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "zumbra/qbx/monitoring/monitoring_provider.pb.h"

namespace qbx::StatusSource {

class StatusPoller {
 public:
  // Intervals outside [1 s, kMaxPollingInterval] are refused: 0 would make the timer spin
  // and a huge value overflows the timer's nanoseconds.
  static constexpr uint64_t kMaxPollingInterval = 24 * 60 * 60;

  StatusPoller(AsioQbxProvider& provider, StatusObserver& observer,
               const std::map<AggServiceStatusVerticalType, uint64_t>& intervals);
  ~StatusPoller();
  StatusPoller(const StatusPoller&) = delete;
  StatusPoller& operator=(const StatusPoller&) = delete;

  bool RegisterStatusCallback(const StatusKey& key, StatusCallback callback);
  void Start();
  void Stop();
  void Poll(const StatusKey& key);
  bool PollAll();
  bool FullSync(zumbra::qbx::monitoring::MonitoringStatusFullSyncResponseMsg& response);
  void RestartPollTimers(AggServiceStatusVerticalType vertical);
  void UpdatePollingConfig(AggServiceStatusVerticalType vertical, uint64_t interval, bool noRestart);

  bool IsRunning() const { return running_; }
  bool IsCollectionEnabled() const { return collection_enabled_; }
  void SetCollectionEnabled(bool enabled) { collection_enabled_ = enabled; }
  bool IsPrevCollectionEnabled() const { return prev_collection_enabled_; }
  void SetPrevCollectionEnabled(bool enabled) { prev_collection_enabled_ = enabled; }
  const std::map<StatusKey, TimePoint>& LastPollTimes() const { return last_poll_times_; }
  // 0 for a vertical without polling configuration.
  uint64_t PollingInterval(AggServiceStatusVerticalType vertical) const;
  bool HasPollTimer(const StatusKey& key) const { return poll_timers_.count(key) != 0; }

 private:
  // The registered pairs with their callbacks, in key order.
  std::vector<std::pair<StatusKey, StatusCallback>> Callbacks() const;
  std::shared_ptr<Timer> ArmPollTimer(const StatusKey& key);

  AsioQbxProvider& provider_;
  StatusObserver& observer_;
  std::map<AggServiceStatusVerticalType, uint64_t> intervals_;
  mutable std::mutex callbacks_mutex_;  // guards status_callbacks_
  std::map<StatusKey, StatusCallback> status_callbacks_;
  std::map<StatusKey, std::shared_ptr<Timer>> poll_timers_;
  std::map<StatusKey, TimePoint> last_poll_times_;
  // Tried when a vertical's timers are restarted, in this order.
  const std::vector<AggServiceStatusMsgType> msg_types_;
  bool running_ = false;
  bool collection_enabled_ = true;
  // No configuration has been seen yet; starting from "enabled" keeps the first
  // configuration from counting as a switch from disabled to enabled.
  bool prev_collection_enabled_ = true;
};

}  // namespace qbx::StatusSource
