// Stand-in of the node health agent's client library.
//
// The real library talks to the local health agent; this one keeps everything in process:
// it records the process name, the heartbeat parameters and the metrics it was given, and
// delivers agent events only when a test (or the demo) fires them. What the callers rely
// on is the call surface and its results: 0 is success, a negative value a failure.
//
// Threading: every operation may be called from any thread; one mutex guards the state.
// Event callbacks run on the thread that fires the event, never under that mutex, so a
// callback may call back into the client.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace qbx::sha {

// Events the health agent announces to its clients.
enum ShaEventType : int32_t {
  ShaEventTypeChannelRecover = 1,
  ShaEventTypeMetricManagerChannelDown = 3,
  ShaEventTypeMetricManagerHealthChange = 4,
  ShaEventTypeMetricManagerConfigPresent = 5,
  ShaEventTypeMetricManagerConfigRevoked = 6,
};

// One event as handed to a subscriber; the type comes first.
struct ShaEventNotify {
  ShaEventType type = ShaEventTypeChannelRecover;
  std::string detail;
};

using ShaEventNotifyCb = std::function<void(const std::shared_ptr<ShaEventNotify>&)>;
// A notification of a named kind (for example pNIC health) with its text payload.
using ShaNotificationCb = std::function<void(const std::string& kind, const std::string& payload)>;
using MetricsAgentMessage = zumbra::qbx::sha::MetricsAgentMessage;

class ShaPmClient {
 public:
  static constexpr int kOk = 0;
  static constexpr int kNotStarted = -1;
  static constexpr int kInvalidArgument = -2;
  // How many sent metrics are kept for inspection; older ones are dropped.
  static constexpr size_t kMaxKeptMetrics = 1024;

  struct SentMetric {
    std::string key;
    MetricsAgentMessage value;
  };

  explicit ShaPmClient(std::string client_name);
  virtual ~ShaPmClient();
  ShaPmClient(const ShaPmClient&) = delete;
  ShaPmClient& operator=(const ShaPmClient&) = delete;

  void SetProcessName(const std::string& name);
  virtual int Start();
  virtual int Stop();
  virtual int StartProcessHeartbeat(int interval_s, int timeout_s);
  virtual int StopProcessHeartbeat();
  // Subscribes `cb` to the given event types; a later call replaces the subscription.
  virtual int RegisterEventNotification(const std::set<ShaEventType>& types, ShaEventNotifyCb cb);
  // Registers a handler for notifications of one kind; a later call for the kind replaces it.
  virtual int RegisterNotificationHandler(const std::string& kind, ShaNotificationCb cb);
  // Hands a metric to the agent. Fails while the client is not started or without a value.
  virtual int SendMetric(const std::string& key, const std::shared_ptr<MetricsAgentMessage>& value);

  const std::string& ClientName() const { return client_name_; }
  std::string ProcessName() const;
  bool IsStarted() const;
  bool IsHeartbeatRunning() const;
  int HeartbeatIntervalSeconds() const;
  int HeartbeatTimeoutSeconds() const;
  int StartCount() const;
  int StopCount() const;
  std::set<ShaEventType> SubscribedEvents() const;

  // Test and demo controls.
  // Delivers an event to the subscriber when it subscribed to the type; returns whether a
  // callback ran. Exceptions from the callback are contained here.
  bool FireEventForTest(ShaEventType type, const std::string& detail = "");
  // Delivers a notification to the handler of its kind; returns whether one ran.
  bool DeliverNotificationForTest(const std::string& kind, const std::string& payload);
  // The result the next `count` metric sends return instead of success (count < 0: all).
  void FailSendMetricForTest(int result, int count = -1);
  std::vector<SentMetric> SentMetricsForTest() const;
  int FailedSendsForTest() const;

 private:
  const std::string client_name_;
  mutable std::mutex mutex_;
  std::string process_name_;
  bool started_ = false;
  bool heartbeat_running_ = false;
  int heartbeat_interval_s_ = 0;
  int heartbeat_timeout_s_ = 0;
  int start_count_ = 0;
  int stop_count_ = 0;
  std::set<ShaEventType> subscribed_;
  ShaEventNotifyCb event_cb_;
  std::vector<std::pair<std::string, ShaNotificationCb>> notification_handlers_;
  int forced_send_result_ = kOk;
  int forced_send_count_ = 0;
  int failed_sends_ = 0;
  std::deque<SentMetric> sent_;
};

}  // namespace qbx::sha
