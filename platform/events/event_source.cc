#include "platform/events/event_source.h"

#include "base/logger.h"

namespace qbx::monitoring {

namespace {
constexpr const char* kSubcomp = "event-source";
}  // namespace

int LocalEventSource::RegisterSource(const std::string& source) {
  if (source.empty()) return kEventSourceInvalidArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  sources_.insert(source);
  return kEventSourceOk;
}

int LocalEventSource::Report(const Event& event) {
  if (event.eventType.empty()) return kEventSourceInvalidArgument;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sources_.count(event.source) == 0) return kEventSourceUnknownSource;
    EventState& current = states_[{event.source, event.eventType}];
    if (current != event.state) {
      current = event.state;
      changed = true;
      history_.push_back(event);
      if (history_.size() > kMaxHistory) history_.pop_front();
    }
  }
  if (changed) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[EventSource] %s event %s of source %s: %s", event.state == EVENT_STATE_RAISED ? "Raised" : "Cleared",
             event.eventType.c_str(), event.source.c_str(), event.detail.c_str());
  }
  return kEventSourceOk;
}

EventState LocalEventSource::State(const std::string& source, const std::string& eventType) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = states_.find({source, eventType});
  return found == states_.end() ? EVENT_STATE_CLEARED : found->second;
}

std::vector<Event> LocalEventSource::History() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {history_.begin(), history_.end()};
}

std::shared_ptr<EventSourceAPI> EventSource_Init() {
  // Never destroyed: alarm sources may still report from worker threads while the process
  // exits.
  static auto* instance = new std::shared_ptr<EventSourceAPI>(std::make_shared<LocalEventSource>());
  return *instance;
}

int EventSource_Register(EventSourceAPI& api, const std::string& source) { return api.RegisterSource(source); }

int EventSource_Raise(EventSourceAPI& api, const std::string& source, const std::string& eventType,
                      const std::string& detail) {
  return api.Report(Event{source, eventType, EVENT_STATE_RAISED, detail});
}

int EventSource_Clear(EventSourceAPI& api, const std::string& source, const std::string& eventType) {
  return api.Report(Event{source, eventType, EVENT_STATE_CLEARED, ""});
}

}  // namespace qbx::monitoring
