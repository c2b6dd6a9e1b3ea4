// The certificate and key monitor on a provider driven by a manual clock; file times are
// set explicitly so that "replaced" never depends on how fast the test runs.
#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "core/cert_key_monitor.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "platform/runtime/timer.h"
#include "tests/base/log_test_support.h"

namespace {

using qbx::logtest::CapturingSink;
using qbx::logtest::TempDir;
using namespace std::chrono_literals;

constexpr uint32_t kIntervalMs = 60000;

class CertMonitorTest : public ::testing::Test {
 protected:
  CertMonitorTest()
      : clock_(std::make_shared<qbx::ManualClock>()),
        provider_(qbx::AsioQbxProvider::Options{}, "cert-test", clock_),
        cert_(dir_.Write("host-cert.pem", "cert")),
        key_(dir_.Write("host-privkey.pem", "key")) {
    SetTime(cert_, base_);
    SetTime(key_, base_);
  }

  std::unique_ptr<qbx::CertKeyMonitor> Make() {
    return std::make_unique<qbx::CertKeyMonitor>(&provider_.timers(), kIntervalMs, [this] { ++calls_; }, cert_,
                                                 key_);
  }
  static void SetTime(const std::string& path, std::time_t t) { boost::filesystem::last_write_time(path, t); }
  void Tick() { clock_->Advance(std::chrono::milliseconds(kIntervalMs)); }

  CapturingSink sink_;
  TempDir dir_;
  std::shared_ptr<qbx::ManualClock> clock_;
  qbx::AsioQbxProvider provider_;
  std::string cert_;
  std::string key_;
  const std::time_t base_ = 1700000000;
  int calls_ = 0;
};

TEST_F(CertMonitorTest, CallsBackOnlyOnceBothFilesChanged) {
  auto monitor = Make();
  ASSERT_EQ(monitor->Run(), 0);
  EXPECT_EQ(sink_.Count("CertKeyMonitor::Run started"), 1);
  Tick();
  EXPECT_EQ(calls_, 0);

  SetTime(key_, base_ + 10);  // key alone: nothing
  Tick();
  EXPECT_EQ(calls_, 0);
  SetTime(cert_, base_ + 20);  // now both differ from the stored times
  Tick();
  EXPECT_EQ(calls_, 1);
  EXPECT_EQ(sink_.Count("Cert change detected. Processing new cert and key"), 1);
  Tick();  // no further change
  EXPECT_EQ(calls_, 1);

  SetTime(cert_, base_ + 30);  // both replaced between two ticks: exactly one call
  SetTime(key_, base_ + 30);
  Tick();
  Tick();
  EXPECT_EQ(calls_, 2);
}

TEST_F(CertMonitorTest, MissingFileAtTickIsSkippedSilently) {
  auto monitor = Make();
  ASSERT_EQ(monitor->Run(), 0);
  boost::filesystem::remove(key_);
  SetTime(cert_, base_ + 5);
  sink_.Clear();
  Tick();
  EXPECT_EQ(calls_, 0);
  EXPECT_EQ(sink_.Count("Error processing"), 0);
  dir_.Write("host-privkey.pem", "new key");
  SetTime(key_, base_ + 6);
  Tick();
  EXPECT_EQ(calls_, 1);
}

TEST_F(CertMonitorTest, RunFailsWithoutFilesAndTwiceIsHarmless) {
  boost::filesystem::remove(cert_);
  auto monitor = Make();
  EXPECT_EQ(monitor->Run(), 2);
  EXPECT_EQ(sink_.Count("Cannot get last modified time for cert and key. Not starting cert change monitoring."), 1);
  EXPECT_FALSE(monitor->IsRunning());

  dir_.Write("host-cert.pem", "cert");
  EXPECT_EQ(monitor->Run(), 0);  // a failed Run can be retried
  EXPECT_EQ(monitor->Run(), 0);
  EXPECT_EQ(sink_.Count("CertKeyMonitor Service Already Running"), 1);
}

// A timer service that gives no timer until it is told to, then hands out the provider's.
// (The provider's own service always gives one; a platform service may not.)
class WithholdingTimers : public qbx::TimerFactory {
 public:
  explicit WithholdingTimers(qbx::TimerFactory& real) : real_(real) {}
  std::shared_ptr<qbx::Timer> Schedule(std::chrono::nanoseconds delay, Action action) override {
    return give ? real_.Schedule(delay, std::move(action)) : nullptr;
  }
  std::shared_ptr<qbx::Timer> ScheduleRepeated(std::chrono::nanoseconds interval, Action action,
                                               const qbx::TimerOptions& options) override {
    ++asked;
    return give ? real_.ScheduleRepeated(interval, std::move(action), options) : nullptr;
  }
  bool give = false;
  int asked = 0;

 private:
  qbx::TimerFactory& real_;
};

TEST_F(CertMonitorTest, NoTimerFailsRunWithThreeAndALaterRunAsksAgain) {
  WithholdingTimers timers(provider_.timers());
  qbx::CertKeyMonitor monitor(&timers, kIntervalMs, [this] { ++calls_; }, cert_, key_);
  EXPECT_EQ(monitor.Run(), 3);
  EXPECT_FALSE(monitor.IsRunning());
  EXPECT_EQ(sink_.Count("CertKeyMonitor::Run started"), 0);
  // Still stopped: the next Run asks the service again instead of claiming to run.
  EXPECT_EQ(monitor.Run(), 3);
  EXPECT_EQ(timers.asked, 2);
  EXPECT_EQ(sink_.Count("CertKeyMonitor Service Already Running"), 0);

  timers.give = true;
  EXPECT_EQ(monitor.Run(), 0);
  EXPECT_EQ(timers.asked, 3);
  EXPECT_TRUE(monitor.IsRunning());
  EXPECT_EQ(sink_.Count("CertKeyMonitor::Run started"), 1);
  SetTime(cert_, base_ + 1);
  SetTime(key_, base_ + 1);
  Tick();
  EXPECT_EQ(calls_, 1);
}

TEST_F(CertMonitorTest, ThrowingOrEmptyCallbackIsLoggedAndTimerKeepsRunning) {
  int throws = 0;
  qbx::CertKeyMonitor monitor(&provider_.timers(), kIntervalMs, [&] {
    ++throws;
    throw std::runtime_error("boom");
  }, cert_, key_);
  ASSERT_EQ(monitor.Run(), 0);
  SetTime(cert_, base_ + 1);
  SetTime(key_, base_ + 1);
  Tick();
  EXPECT_EQ(sink_.Count("Error processing modified cert and key. boom"), 1);
  SetTime(cert_, base_ + 2);
  SetTime(key_, base_ + 2);
  Tick();
  EXPECT_EQ(throws, 2);

  qbx::CertKeyMonitor empty(&provider_.timers(), kIntervalMs, nullptr, cert_, key_);
  ASSERT_EQ(empty.Run(), 0);
  SetTime(cert_, base_ + 3);
  SetTime(key_, base_ + 3);
  Tick();  // both monitors see this change
  EXPECT_EQ(throws, 3);
  EXPECT_EQ(sink_.Count("Error processing modified cert and key."), 4);
}

TEST_F(CertMonitorTest, DestroyedMonitorIsNeverTicked) {
  auto monitor = Make();
  ASSERT_EQ(monitor->Run(), 0);
  monitor.reset();
  SetTime(cert_, base_ + 1);
  SetTime(key_, base_ + 1);
  Tick();
  EXPECT_EQ(calls_, 0);
}

}  // namespace
