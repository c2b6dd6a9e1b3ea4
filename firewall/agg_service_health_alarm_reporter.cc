#include "firewall/agg_service_health_alarm_reporter.h"

#include <utility>

namespace qbx::AggSvc {

AggServiceHealthAlarmReporter::AggServiceHealthAlarmReporter(
    std::shared_ptr<qbx::StatusSource::StatusSource> statusSource, std::function<bool()> frameworkHealthy,
    AlarmManager* alarms)
    : statusSource(std::move(statusSource)), frameworkHealthy(std::move(frameworkHealthy)) {
  if (alarms == nullptr) {
    AlarmManager::CreateInstance();
    alarms = AlarmManager::GetInstance();
  }
  // The check reaches the reporter's state only through its own copies, so the alarm
  // manager never calls into a destroyed reporter.
  auto source = this->statusSource;
  auto framework = this->frameworkHealthy;
  check = std::make_shared<AlarmCheck>(AlarmCheck{kSourceName, kEventType, [source, framework] {
                                                    return source && source->IsAlive() && (!framework || framework());
                                                  }});
  alarms->AddSource(check);
}

bool AggServiceHealthAlarmReporter::IsHealthy() const { return check->healthy(); }

}  // namespace qbx::AggSvc
