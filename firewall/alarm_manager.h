// The alarm manager: the process's one link between alarm sources and the monitoring event
// source. A source hands it a check (source name, event type, health predicate) that it
// keeps weakly; every CheckSources pass evaluates the live checks and raises or clears the
// event of each through the event source. The threshold monitor thread runs the passes.
//
// Threading: CreateInstance/GetInstance may be called from any thread (the instance mutex
// guards the singleton). AddSource and CheckSources may be called from any thread; the
// sources mutex guards the list and is never held while a predicate or the event source
// runs. A check's owner drops it to unregister: an expired check is skipped and pruned.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/events/event_source.h"

struct AlarmCheck {
  std::string source;
  std::string eventType;
  // True while the watched thing is healthy. Runs on the thread of CheckSources.
  std::function<bool()> healthy;
};

class AlarmManager {
 public:
  // 1 when it created the singleton, 0 when one existed.
  static int CreateInstance();
  // The singleton, null before CreateInstance. Never destroyed.
  static AlarmManager* GetInstance();

  explicit AlarmManager(std::shared_ptr<qbx::monitoring::EventSourceAPI> events);
  AlarmManager(const AlarmManager&) = delete;
  AlarmManager& operator=(const AlarmManager&) = delete;

  // Registers the check's source with the event source and keeps the check weakly.
  int AddSource(const std::shared_ptr<const AlarmCheck>& check);
  // Evaluates every live check once; returns how many are raised after the pass.
  int CheckSources();

  qbx::monitoring::EventSourceAPI& Events() { return *events; }

 private:
  std::shared_ptr<qbx::monitoring::EventSourceAPI> events;
  std::mutex sourcesMutex;
  std::vector<std::weak_ptr<const AlarmCheck>> sources;
};
