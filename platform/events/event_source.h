// The monitoring event source: the node's alarm channel. A component registers an alarm
// source by name and then raises or clears events of a type on it; the monitoring service
// sees the current state of every (source, event type) pair.
//
// EventSourceAPI is the contract; LocalEventSource is this node's implementation, which keeps
// the states in memory, remembers a bounded history of changes and logs each change. The
// EventSource_* calls are the C-style entry points callers use, on the process-wide default
// instance unless given another.
//
// Threading: every operation may be called from any thread; LocalEventSource guards its
// tables with one mutex and calls nothing outside while holding it.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qbx::monitoring {

enum EventState { EVENT_STATE_CLEARED = 0, EVENT_STATE_RAISED = 1 };

struct Event {
  std::string source;
  std::string eventType;
  EventState state = EVENT_STATE_CLEARED;
  std::string detail;
};

// Results of the event-source calls.
constexpr int kEventSourceOk = 0;
constexpr int kEventSourceUnknownSource = -1;
constexpr int kEventSourceInvalidArgument = -2;

class EventSourceAPI {
 public:
  virtual ~EventSourceAPI() = default;
  // Registers a source name; registering it again is harmless.
  virtual int RegisterSource(const std::string& source) = 0;
  // Sets the state of (source, eventType). Unchanged states are accepted and not repeated.
  virtual int Report(const Event& event) = 0;
  // The current state of a pair; cleared when it was never raised.
  virtual EventState State(const std::string& source, const std::string& eventType) const = 0;
};

class LocalEventSource : public EventSourceAPI {
 public:
  static constexpr size_t kMaxHistory = 256;

  int RegisterSource(const std::string& source) override;
  int Report(const Event& event) override;
  EventState State(const std::string& source, const std::string& eventType) const override;

  // Changes of state in order, the oldest dropped beyond kMaxHistory.
  std::vector<Event> History() const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> sources_;
  std::map<std::pair<std::string, std::string>, EventState> states_;
  std::deque<Event> history_;
};

// The process-wide event source (a LocalEventSource), created on first use.
std::shared_ptr<EventSourceAPI> EventSource_Init();
int EventSource_Register(EventSourceAPI& api, const std::string& source);
int EventSource_Raise(EventSourceAPI& api, const std::string& source, const std::string& eventType,
                      const std::string& detail);
int EventSource_Clear(EventSourceAPI& api, const std::string& source, const std::string& eventType);

}  // namespace qbx::monitoring
