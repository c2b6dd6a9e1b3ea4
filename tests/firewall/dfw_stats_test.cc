// The firewall vertical and statistics module: thread periods are injected (1 ms) and the
// certificate monitor runs on a manual clock, so nothing waits for a real period.
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "aggsvc/agg_service_client.h"
#include "firewall/alarm_manager.h"
#include "firewall/dfw_stats.h"
#include "firewall/dfw_vertical_impl.h"
#include "nodedb/nodedb_client_exporter.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/base/log_test_support.h"

namespace {

using qbx::logtest::CapturingSink;
using qbx::logtest::TempDir;

TEST(DfwVertical, NameSkipFirstValueAndPollHandler) {
  auto vertical = std::make_shared<DFWVerticalImpl>("DFWRuleStats", nullptr);
  EXPECT_STREQ(vertical->GetName(), "DFWRuleStats");
  EXPECT_FALSE(vertical->SkipFirstValue());
  qbx::test::ClientHarness h(vertical);
  vertical->RegisterCallbacks(h.client);
  vertical->RegisterCallbacks(nullptr);
  // The vertical's poll handler is in place: a second one is refused.
  EXPECT_EQ(h.client->RegisterPollStatsHandler([](qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory>) {}),
            aggresult::kDuplicateRegistration);
}

class DfwStatsTest : public ::testing::Test {
 protected:
  DfwStatsTest()
      : clock_(std::make_shared<qbx::ManualClock>()),
        provider_(qbx::AsioQbxProvider::Options{}, "dfw-test", clock_),
        events_(std::make_shared<qbx::monitoring::LocalEventSource>()),
        alarms_(events_) {
    options_.pollPeriod = std::chrono::milliseconds(1);
    options_.thresholdPeriod = std::chrono::milliseconds(1);
    options_.certPath = dir_.Write("cert.pem", "c");
    options_.keyPath = dir_.Write("key.pem", "k");
    options_.alarms = &alarms_;
    options_.schedule = [this](std::chrono::nanoseconds delay, std::function<void()> action) {
      delays_.push_back(delay);
      action();
    };
    options_.exitProcess = [this](int status) { exits_.push_back(status); };
    SetTimes(1000);
  }
  void SetTimes(std::time_t t) {
    boost::filesystem::last_write_time(options_.certPath, t);
    boost::filesystem::last_write_time(options_.keyPath, t);
  }

  CapturingSink sink_;
  TempDir dir_;
  std::shared_ptr<qbx::ManualClock> clock_;
  qbx::AsioQbxProvider provider_;
  std::shared_ptr<qbx::monitoring::LocalEventSource> events_;
  AlarmManager alarms_;
  DfwStatsOptions options_;
  std::vector<std::chrono::nanoseconds> delays_;
  std::vector<int> exits_;
  std::shared_ptr<qbx::NodeDbClientExporter> holder_ = std::make_shared<qbx::NodeDbClientExporter>();
};

TEST_F(DfwStatsTest, InitAndStartRefuseWhatTheyCannotDo) {
  DfwStatsModule module(options_);
  EXPECT_EQ(module.Start(false), -1);  // not initialised
  EXPECT_EQ(module.Init(nullptr, &provider_.timers()), -1);
  EXPECT_EQ(module.Init(holder_, nullptr), -1);
  EXPECT_EQ(dfwStatsInit(nullptr), -1);
}

TEST_F(DfwStatsTest, ThreadsTickAndRunAlarmPassesUntilStopped) {
  bool healthy = false;
  auto check = std::make_shared<AlarmCheck>(AlarmCheck{"aggSvc_health", "down", [&] { return healthy; }});
  alarms_.AddSource(check);
  DfwStatsModule module(options_);
  ASSERT_EQ(module.Init(holder_, &provider_.timers()), 0);
  ASSERT_EQ(module.Start(false), 0);
  EXPECT_EQ(module.Start(false), -1);  // already started
  module.WaitForTicks(3, 3);
  EXPECT_EQ(events_->State("aggSvc_health", "down"), qbx::monitoring::EVENT_STATE_RAISED);
  module.Stop();
  const uint64_t polls = module.PollCount();
  module.Stop();  // idempotent; nothing ticks any more
  EXPECT_EQ(module.PollCount(), polls);
  EXPECT_EQ(sink_.Count("No firewall kernel module on this node"), 1);
}

TEST_F(DfwStatsTest, CertificateChangeIsIgnoredWithoutFlowExport) {
  DfwStatsModule module(options_);
  ASSERT_EQ(module.Init(holder_, &provider_.timers()), 0);
  ASSERT_NE(module.CertMonitor(), nullptr);
  ASSERT_TRUE(module.CertMonitor()->IsRunning());
  SetTimes(2000);
  clock_->Advance(std::chrono::milliseconds(60000));
  EXPECT_EQ(sink_.Count("flow export is disabled"), 1);
  EXPECT_TRUE(exits_.empty());
}

TEST_F(DfwStatsTest, CertificateChangeRestartsAfterTenSecondsWhileExporting) {
  options_.flowExportEnabled = [] { return true; };
  DfwStatsModule module(options_);
  ASSERT_EQ(module.Init(holder_, &provider_.timers()), 0);
  SetTimes(3000);
  clock_->Advance(std::chrono::milliseconds(60000));
  ASSERT_EQ(delays_.size(), 1u);
  EXPECT_EQ(delays_[0], std::chrono::seconds(10));
  EXPECT_EQ(exits_, std::vector<int>{0});
}

TEST_F(DfwStatsTest, MissingCertificateDoesNotFailTheModule) {
  boost::filesystem::remove(options_.certPath);
  DfwStatsModule module(options_);
  EXPECT_EQ(module.Init(holder_, &provider_.timers()), 0);
  EXPECT_FALSE(module.CertMonitor()->IsRunning());
  EXPECT_EQ(module.Start(false), 0);
}

}  // namespace
