#include "channels/status/status_poller.h"

#include <exception>

#include <boost/lexical_cast.hpp>

#include "base/logger.h"

namespace qbx::StatusSource {

namespace st = zumbra::qbx::agg_service::status;

namespace {

std::vector<AggServiceStatusMsgType> RestartOrder() {
  std::vector<AggServiceStatusMsgType> order;
  for (int v = 1; v <= 10; ++v) order.push_back(static_cast<AggServiceStatusMsgType>(v));
  order.push_back(st::STATUS_MSG_CONTROL_CONN_STATUSES);
  order.push_back(st::STATUS_MSG_PNIC_BONDS);
  order.push_back(st::STATUS_MSG_TUNNELS_SUMMARY);
  order.push_back(st::STATUS_MSG_SIMPLE_LOGICAL_PORT_STATE);
  order.push_back(st::STATUS_MSG_GRE_TUNNEL_STATUS);
  order.push_back(st::STATUS_MSG_EDGE_CLUSTER_STATUS);
  return order;
}

bool HasValue(const OptionalStatusUpdate& update) { return update.has_value() && *update != nullptr; }

void LogCallbackException(LibraryLogLevel level, const StatusKey& key, const char* what) {
  QBX_LOG(level)
      .subcomp(kSubcomp)
      .put("Exception during status callback for %s:%s - %s", VerticalName(key.first).c_str(),
           MsgTypeName(key.second).c_str(), what);
}

// Runs `body` (one status callback and what follows it), logging whatever it throws; a
// bad_lexical_cast is logged at debug level only when `quietBadCast` is set.
template <class Body>
void GuardStatusCallback(const StatusKey& key, bool quietBadCast, Body&& body) {
  try {
    body();
  } catch (const boost::bad_lexical_cast& e) {
    LogCallbackException(quietBadCast ? loglevel::kDebug : loglevel::kWarning, key, e.what());
  } catch (const std::exception& e) {
    LogCallbackException(loglevel::kWarning, key, e.what());
  } catch (...) {
    LogCallbackException(loglevel::kWarning, key, "unknown exception");
  }
}

}  // namespace

StatusPoller::StatusPoller(AsioQbxProvider& provider, StatusObserver& observer,
                           const std::map<AggServiceStatusVerticalType, uint64_t>& intervals)
    : provider_(provider), observer_(observer), intervals_(intervals), msg_types_(RestartOrder()) {}

StatusPoller::~StatusPoller() {
  for (auto& entry : poll_timers_) entry.second->Cancel();
}

bool StatusPoller::RegisterStatusCallback(const StatusKey& key, StatusCallback callback) {
  std::lock_guard<std::mutex> lock(callbacks_mutex_);
  if (status_callbacks_.count(key) != 0) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Status callback already registered for vertical:message-type : %s:%s", VerticalName(key.first).c_str(),
             MsgTypeName(key.second).c_str());
    return false;
  }
  status_callbacks_.emplace(key, std::move(callback));
  return true;
}

std::vector<std::pair<StatusKey, StatusCallback>> StatusPoller::Callbacks() const {
  std::lock_guard<std::mutex> lock(callbacks_mutex_);
  return {status_callbacks_.begin(), status_callbacks_.end()};
}

uint64_t StatusPoller::PollingInterval(AggServiceStatusVerticalType vertical) const {
  auto it = intervals_.find(vertical);
  return it == intervals_.end() ? 0 : it->second;
}

std::shared_ptr<Timer> StatusPoller::ArmPollTimer(const StatusKey& key) {
  const uint64_t interval = PollingInterval(key.first);
  if (interval == 0) return nullptr;
  return provider_.timers().ScheduleRepeated(Seconds(std::chrono::seconds(interval)), [this, key] { Poll(key); });
}

void StatusPoller::Start() {
  if (running_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Poller is already in running state. Skipping start");
    return;
  }
  for (const auto& entry : Callbacks()) {
    const StatusKey& key = entry.first;
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("Starting polling for vertical:message-type: %s:%s", VerticalName(key.first).c_str(),
             MsgTypeName(key.second).c_str());
    if (auto timer = ArmPollTimer(key)) {
      auto& slot = poll_timers_[key];
      if (slot) slot->Cancel();
      slot = std::move(timer);
    }
  }
  running_ = true;
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusPoller started");
}

void StatusPoller::Stop() {
  if (!running_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Poller is already in stopped state. Skipping stop");
    return;
  }
  for (auto& entry : poll_timers_) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("Stopping polling for vertical:message-type: %s:%s", VerticalName(entry.first.first).c_str(),
             MsgTypeName(entry.first.second).c_str());
    entry.second->Cancel();
  }
  poll_timers_.clear();
  running_ = false;
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusPoller stopping");
}

void StatusPoller::Poll(const StatusKey& key) {
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("Polling status for %s:%s", VerticalName(key.first).c_str(), MsgTypeName(key.second).c_str());
  StatusCallback callback;
  {
    std::lock_guard<std::mutex> lock(callbacks_mutex_);
    auto it = status_callbacks_.find(key);
    if (it == status_callbacks_.end()) return;
    callback = it->second;
  }
  GuardStatusCallback(key, true, [&] {
    if (!callback) throw std::runtime_error("call to empty status callback");
    OptionalStatusUpdate result = callback(false);
    observer_.OnStatusUpdate(key, result);
    last_poll_times_[key] = provider_.clock().Now();
  });
}

bool StatusPoller::FullSync(zumbra::qbx::monitoring::MonitoringStatusFullSyncResponseMsg& response) {
  for (const auto& entry : Callbacks()) {
    const StatusKey& key = entry.first;
    GuardStatusCallback(key, true, [&] {
      if (!entry.second) throw std::runtime_error("call to empty status callback");
      OptionalStatusUpdate result = entry.second(true);
      if (!HasValue(result)) return;
      auto* report = response.add_vertical_reports();
      report->set_vertical(key.first);
      report->set_msg_type(key.second);
      report->mutable_status()->CopyFrom(**result);
    });
  }
  return true;
}

bool StatusPoller::PollAll() {
  for (const auto& entry : Callbacks()) {
    const StatusKey& key = entry.first;
    GuardStatusCallback(key, false, [&] {
      if (!entry.second) throw std::runtime_error("call to empty status callback");
      OptionalStatusUpdate result = entry.second(true);
      if (!HasValue(result)) return;
      observer_.OnStatusUpdate(key, result);
      last_poll_times_[key] = provider_.clock().Now();
    });
  }
  observer_.SetLastFullSyncTime();
  return true;
}

void StatusPoller::RestartPollTimers(AggServiceStatusVerticalType vertical) {
  for (AggServiceStatusMsgType msgType : msg_types_) {
    const StatusKey key(vertical, msgType);
    auto it = poll_timers_.find(key);
    if (it == poll_timers_.end()) continue;
    it->second->Cancel();
    poll_timers_.erase(it);
    if (collection_enabled_) {
      if (auto timer = ArmPollTimer(key)) poll_timers_[key] = std::move(timer);
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("Restarting Poll timer for vertical:message-type : %s %s", VerticalName(vertical).c_str(),
               MsgTypeName(msgType).c_str());
    } else {
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("Skip restarting Poll timer for vertical:message-type : %s %s", VerticalName(vertical).c_str(),
               MsgTypeName(msgType).c_str());
    }
  }
}

void StatusPoller::UpdatePollingConfig(AggServiceStatusVerticalType vertical, uint64_t interval, bool noRestart) {
  auto it = intervals_.find(vertical);
  if (it == intervals_.end()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("PollingConfig not available for vertical: %s ",
                                                   VerticalName(vertical).c_str());
    return;
  }
  if (interval == 0 || interval > kMaxPollingInterval) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Ignoring invalid poll interval %lu for %s", static_cast<unsigned long>(interval),
             VerticalName(vertical).c_str());
    return;
  }
  if (it->second == interval && collection_enabled_ == prev_collection_enabled_) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("Polling configuration is changed for vertical %s, StatusCollection Enabled: %s",
             VerticalName(vertical).c_str(), collection_enabled_ ? "true" : "false");
    return;
  }
  it->second = interval;
  if (!noRestart) RestartPollTimers(vertical);
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("Update received for %s with poll interval %ld", VerticalName(vertical).c_str(),
           static_cast<long>(interval));
}

}  // namespace qbx::StatusSource
