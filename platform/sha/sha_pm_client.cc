#include "platform/sha/sha_pm_client.h"

#include <exception>
#include <utility>

namespace qbx::sha {

ShaPmClient::ShaPmClient(std::string client_name) : client_name_(std::move(client_name)) {}

ShaPmClient::~ShaPmClient() = default;

void ShaPmClient::SetProcessName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  process_name_ = name;
}

int ShaPmClient::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = true;
  ++start_count_;
  return kOk;
}

int ShaPmClient::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = false;
  ++stop_count_;
  return kOk;
}

int ShaPmClient::StartProcessHeartbeat(int interval_s, int timeout_s) {
  if (interval_s <= 0 || timeout_s <= 0) return kInvalidArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  heartbeat_running_ = true;
  heartbeat_interval_s_ = interval_s;
  heartbeat_timeout_s_ = timeout_s;
  return kOk;
}

int ShaPmClient::StopProcessHeartbeat() {
  std::lock_guard<std::mutex> lock(mutex_);
  heartbeat_running_ = false;
  return kOk;
}

int ShaPmClient::RegisterEventNotification(const std::set<ShaEventType>& types, ShaEventNotifyCb cb) {
  if (!cb) return kInvalidArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  subscribed_ = types;
  event_cb_ = std::move(cb);
  return kOk;
}

int ShaPmClient::RegisterNotificationHandler(const std::string& kind, ShaNotificationCb cb) {
  if (!cb) return kInvalidArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : notification_handlers_) {
    if (entry.first == kind) {
      entry.second = std::move(cb);
      return kOk;
    }
  }
  notification_handlers_.emplace_back(kind, std::move(cb));
  return kOk;
}

int ShaPmClient::SendMetric(const std::string& key, const std::shared_ptr<MetricsAgentMessage>& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  int result = kOk;
  if (!value || key.empty()) {
    result = kInvalidArgument;
  } else if (!started_) {
    result = kNotStarted;
  } else if (forced_send_count_ != 0) {
    result = forced_send_result_;
    if (forced_send_count_ > 0) --forced_send_count_;
  }
  if (result != kOk) {
    ++failed_sends_;
    return result;
  }
  sent_.push_back(SentMetric{key, *value});
  if (sent_.size() > kMaxKeptMetrics) sent_.pop_front();
  return kOk;
}

std::string ShaPmClient::ProcessName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return process_name_;
}

bool ShaPmClient::IsStarted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

bool ShaPmClient::IsHeartbeatRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heartbeat_running_;
}

int ShaPmClient::HeartbeatIntervalSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heartbeat_interval_s_;
}

int ShaPmClient::HeartbeatTimeoutSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heartbeat_timeout_s_;
}

int ShaPmClient::StartCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return start_count_;
}

int ShaPmClient::StopCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_count_;
}

std::set<ShaEventType> ShaPmClient::SubscribedEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscribed_;
}

bool ShaPmClient::FireEventForTest(ShaEventType type, const std::string& detail) {
  ShaEventNotifyCb cb;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!event_cb_ || subscribed_.count(type) == 0) return false;
    cb = event_cb_;
  }
  auto event = std::make_shared<ShaEventNotify>();
  event->type = type;
  event->detail = detail;
  try {
    cb(event);
  } catch (const std::exception&) {
    // A subscriber's failure must not reach the agent's delivery path.
  } catch (...) {
  }
  return true;
}

bool ShaPmClient::DeliverNotificationForTest(const std::string& kind, const std::string& payload) {
  ShaNotificationCb cb;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : notification_handlers_) {
      if (entry.first == kind) cb = entry.second;
    }
  }
  if (!cb) return false;
  try {
    cb(kind, payload);
  } catch (...) {
    // Contained for the same reason as events.
  }
  return true;
}

void ShaPmClient::FailSendMetricForTest(int result, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  forced_send_result_ = result;
  forced_send_count_ = result == kOk ? 0 : count;
}

std::vector<ShaPmClient::SentMetric> ShaPmClient::SentMetricsForTest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {sent_.begin(), sent_.end()};
}

int ShaPmClient::FailedSendsForTest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_sends_;
}

}  // namespace qbx::sha
