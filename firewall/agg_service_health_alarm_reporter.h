// The framework-health alarm source "aggSvc_health": raised while the aggregation framework
// is not healthy, that is while the monitoring status source is not alive or the manager's
// liveness stamp has gone stale. The alarm manager evaluates it on its passes.
//
// Threading: constructed on the manager's thread; the predicate runs on the alarm
// manager's checking thread and reads only thread-safe state (the status source's IsAlive
// and the manager's atomic stamp through `frameworkHealthy`). The reporter owns its check;
// destroying the reporter unregisters it.
#pragma once

#include <functional>
#include <memory>

#include "aggsvc/status_source.h"
#include "firewall/alarm_manager.h"

namespace qbx::AggSvc {

class AggServiceHealthAlarmReporter {
 public:
  static constexpr const char* kSourceName = "aggSvc_health";
  static constexpr const char* kEventType = "aggsvc_framework_unhealthy";

  // `frameworkHealthy` is the manager's IsHealthy; `alarms` defaults to the process's alarm
  // manager (created when missing).
  explicit AggServiceHealthAlarmReporter(std::shared_ptr<qbx::StatusSource::StatusSource> statusSource,
                                         std::function<bool()> frameworkHealthy = {},
                                         AlarmManager* alarms = nullptr);
  AggServiceHealthAlarmReporter(const AggServiceHealthAlarmReporter&) = delete;
  AggServiceHealthAlarmReporter& operator=(const AggServiceHealthAlarmReporter&) = delete;

  bool IsHealthy() const;

 private:
  std::shared_ptr<qbx::StatusSource::StatusSource> statusSource;
  std::function<bool()> frameworkHealthy;
  std::shared_ptr<AlarmCheck> check;
};

}  // namespace qbx::AggSvc
