// The event-source stand-in, the alarm manager's passes and the framework-health source.
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "firewall/agg_service_health_alarm_reporter.h"
#include "firewall/alarm_manager.h"
#include "platform/events/event_source.h"

namespace {

using qbx::monitoring::EVENT_STATE_CLEARED;
using qbx::monitoring::EVENT_STATE_RAISED;
using qbx::monitoring::LocalEventSource;

class AliveStatusSource : public qbx::StatusSource::StatusSource {
 public:
  bool RegisterStatusCallback(const std::string&, const std::string&, qbx::StatusSource::StatusCallback,
                              qbx::StatusSource::CompareCallback) override {
    return true;
  }
  bool OnFullSyncRequest() override { return true; }
  void SetFullSyncNeeded() override {}
  void Start() override {}
  void Stop() override {}
  bool IsAlive() override { return alive; }
  bool alive = true;
};

TEST(EventSource, KeepsStatePerPairAndBoundedHistoryOfChanges) {
  LocalEventSource events;
  EXPECT_EQ(qbx::monitoring::EventSource_Raise(events, "src", "t", "d"), qbx::monitoring::kEventSourceUnknownSource);
  EXPECT_EQ(qbx::monitoring::EventSource_Register(events, ""), qbx::monitoring::kEventSourceInvalidArgument);
  ASSERT_EQ(qbx::monitoring::EventSource_Register(events, "src"), 0);
  EXPECT_EQ(qbx::monitoring::EventSource_Raise(events, "src", "", "d"), qbx::monitoring::kEventSourceInvalidArgument);
  EXPECT_EQ(events.State("src", "t"), EVENT_STATE_CLEARED);
  qbx::monitoring::EventSource_Raise(events, "src", "t", "d");
  qbx::monitoring::EventSource_Raise(events, "src", "t", "d");  // unchanged: not repeated
  EXPECT_EQ(events.State("src", "t"), EVENT_STATE_RAISED);
  EXPECT_EQ(events.State("src", "other"), EVENT_STATE_CLEARED);
  EXPECT_EQ(events.History().size(), 1u);
  for (size_t i = 0; i < LocalEventSource::kMaxHistory + 10; ++i) {
    qbx::monitoring::EventSource_Clear(events, "src", "t");
    qbx::monitoring::EventSource_Raise(events, "src", "t", "again");
  }
  EXPECT_EQ(events.History().size(), LocalEventSource::kMaxHistory);
}

TEST(AlarmManagerTest, PassesRaiseAndClearOnChangeAndDropExpiredChecks) {
  auto events = std::make_shared<LocalEventSource>();
  AlarmManager alarms(events);
  bool healthy = true;
  auto check = std::make_shared<AlarmCheck>(AlarmCheck{"disk", "full", [&] { return healthy; }});
  ASSERT_EQ(alarms.AddSource(check), 0);
  EXPECT_LT(alarms.AddSource(std::make_shared<AlarmCheck>(AlarmCheck{"x", "y", nullptr})), 0);

  EXPECT_EQ(alarms.CheckSources(), 0);
  healthy = false;
  EXPECT_EQ(alarms.CheckSources(), 1);
  EXPECT_EQ(alarms.CheckSources(), 1);
  EXPECT_EQ(events->State("disk", "full"), EVENT_STATE_RAISED);
  healthy = true;
  EXPECT_EQ(alarms.CheckSources(), 0);
  EXPECT_EQ(events->State("disk", "full"), EVENT_STATE_CLEARED);
  EXPECT_EQ(events->History().size(), 2u);  // one raise, one clear

  auto throwing = std::make_shared<AlarmCheck>(AlarmCheck{"t", "e", []() -> bool { throw std::runtime_error("x"); }});
  alarms.AddSource(throwing);
  EXPECT_EQ(alarms.CheckSources(), 1);  // a check that cannot answer counts as unhealthy
  throwing.reset();
  check.reset();
  EXPECT_EQ(alarms.CheckSources(), 0);
}

TEST(AlarmManagerTest, SingletonIsCreatedOnce) {
  int first = AlarmManager::CreateInstance();
  EXPECT_EQ(AlarmManager::CreateInstance(), 0);
  EXPECT_NE(AlarmManager::GetInstance(), nullptr);
  EXPECT_TRUE(first == 0 || first == 1);
}

TEST(HealthAlarmReporter, HealthyOnlyWhileStatusSourceAliveAndStampFresh) {
  auto events = std::make_shared<LocalEventSource>();
  AlarmManager alarms(events);
  auto source = std::make_shared<AliveStatusSource>();
  bool fresh = true;
  auto reporter = std::make_unique<qbx::AggSvc::AggServiceHealthAlarmReporter>(source, [&] { return fresh; }, &alarms);
  using Reporter = qbx::AggSvc::AggServiceHealthAlarmReporter;
  EXPECT_TRUE(reporter->IsHealthy());
  alarms.CheckSources();
  EXPECT_EQ(events->State(Reporter::kSourceName, Reporter::kEventType), EVENT_STATE_CLEARED);

  fresh = false;
  alarms.CheckSources();
  EXPECT_EQ(events->State("aggSvc_health", Reporter::kEventType), EVENT_STATE_RAISED);
  fresh = true;
  source->alive = false;
  EXPECT_FALSE(reporter->IsHealthy());
  source->alive = true;
  alarms.CheckSources();
  EXPECT_EQ(events->State("aggSvc_health", Reporter::kEventType), EVENT_STATE_CLEARED);

  reporter.reset();  // unregistered with it: the pass no longer calls into it
  fresh = false;
  EXPECT_EQ(alarms.CheckSources(), 0);

  qbx::AggSvc::AggServiceHealthAlarmReporter noSource(nullptr, {}, &alarms);
  EXPECT_FALSE(noSource.IsHealthy());
}

}  // namespace
