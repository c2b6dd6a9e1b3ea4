#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"

namespace qbx {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class ManualClockTest : public ::testing::TestWithParam<bool> {
 protected:
  // With the parameter true the provider runs its own loop thread; otherwise nobody runs
  // the loop and Advance runs it on the test thread.
  void SetUp() override {
    if (GetParam()) {
      ASSERT_TRUE(provider_.RunAsync(1));
    }
  }
  Clock::duration Since() const { return clock_->Now() - start_; }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  Clock::time_point start_ = clock_->Now();
  AsioQbxProvider provider_{{}, "manual", clock_};
};

TEST_P(ManualClockTest, FiresInDeadlineOrderWithTiesInSchedulingOrder) {
  std::vector<std::string> fired;
  std::vector<Clock::duration> at;
  auto record = [&](std::string name) {
    return [&, name] {
      fired.push_back(name);
      at.push_back(Since());
      EXPECT_TRUE(provider_.dispatcher().IsLoopThread());
    };
  };
  auto c = provider_.timers().Schedule(seconds(30), record("c"));
  auto a = provider_.timers().Schedule(seconds(10), record("a"));
  auto b1 = provider_.timers().Schedule(seconds(20), record("b1"));
  auto b2 = provider_.timers().Schedule(seconds(20), record("b2"));
  auto late = provider_.timers().Schedule(seconds(31), record("late"));
  clock_->Advance(seconds(30));
  EXPECT_EQ(fired, (std::vector<std::string>{"a", "b1", "b2", "c"}));
  EXPECT_EQ(at, (std::vector<Clock::duration>{seconds(10), seconds(20), seconds(20), seconds(30)}));
  EXPECT_EQ(Since(), seconds(30));
  clock_->Advance(seconds(1));
  EXPECT_EQ(fired.back(), "late");
}

TEST_P(ManualClockTest, RepeatedFiresOncePerPeriodAndStopsWhenCancelledInside) {
  int count = 0;
  std::shared_ptr<Timer> t;
  t = provider_.timers().ScheduleRepeated(seconds(10), [&] {
    if (++count == 4) t->Cancel();
  });
  clock_->Advance(seconds(35));
  EXPECT_EQ(count, 3);
  clock_->Advance(seconds(100));
  EXPECT_EQ(count, 4);
  EXPECT_TRUE(t->IsCancelled());
}

TEST_P(ManualClockTest, CancelledBeforeDueNeverFires) {
  bool fired = false;
  auto t = provider_.timers().Schedule(seconds(5), [&] { fired = true; });
  clock_->Advance(seconds(4));
  t->Cancel();
  clock_->Advance(seconds(10));
  EXPECT_FALSE(fired);
}

TEST_P(ManualClockTest, OneTimerCancelsAnotherDueAtTheSameTime) {
  bool second = false;
  std::shared_ptr<Timer> t2;
  auto t1 = provider_.timers().Schedule(seconds(1), [&] { t2->Cancel(); });
  t2 = provider_.timers().Schedule(seconds(1), [&] { second = true; });
  clock_->Advance(seconds(1));
  EXPECT_FALSE(second);
}

TEST_P(ManualClockTest, TimerScheduledInsideAnActionFiresWithinTheSameAdvance) {
  std::vector<Clock::duration> at;
  std::shared_ptr<Timer> inner;
  auto outer = provider_.timers().Schedule(seconds(1), [&] {
    at.push_back(Since());
    inner = provider_.timers().Schedule(seconds(2), [&] { at.push_back(Since()); });
  });
  clock_->Advance(seconds(5));
  EXPECT_EQ(at, (std::vector<Clock::duration>{seconds(1), seconds(3)}));
}

TEST_P(ManualClockTest, PostedWorkAndTimersShareTheLoop) {
  std::vector<std::string> order;
  provider_.dispatcher().Post([&] { order.push_back("posted"); });
  auto t = provider_.timers().Schedule(seconds(1), [&] { order.push_back("timer"); });
  clock_->Advance(seconds(1));
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "timer"}));
}

TEST_P(ManualClockTest, StopCancelsTimersAndAdvanceFiresNothingAfterwards) {
  int count = 0;
  auto t = provider_.timers().ScheduleRepeated(seconds(1), [&] { ++count; });
  clock_->Advance(seconds(2));
  EXPECT_EQ(count, 2);
  provider_.StopAndWait(true);
  clock_->Advance(seconds(10));
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(t->IsCancelled());
  auto late = provider_.timers().Schedule(seconds(1), [&] { ++count; });
  EXPECT_TRUE(late->IsCancelled());
}

TEST_P(ManualClockTest, ZeroIntervalIsRaisedToTheMinimum) {
  int count = 0;
  auto t = provider_.timers().ScheduleRepeated(milliseconds(0), [&] { ++count; });
  clock_->Advance(milliseconds(5));
  EXPECT_EQ(count, 5);
  t->Cancel();
}

INSTANTIATE_TEST_SUITE_P(LoopThread, ManualClockTest, ::testing::Bool());

TEST(ManualClock, ProvidersOnOneClockInterleaveByDeadline) {
  auto clock = std::make_shared<ManualClock>();
  AsioQbxProvider a({}, "a", clock);
  AsioQbxProvider b({}, "b", clock);
  ASSERT_TRUE(b.RunAsync(1));
  std::vector<std::string> order;
  std::mutex m;
  auto note = [&](const char* s) {
    return [&, s] {
      std::lock_guard<std::mutex> lock(m);
      order.push_back(s);
    };
  };
  auto t1 = a.timers().Schedule(seconds(3), note("a3"));
  auto t2 = b.timers().Schedule(seconds(1), note("b1"));
  auto t3 = a.timers().Schedule(seconds(2), note("a2"));
  auto t4 = b.timers().Schedule(seconds(4), note("b4"));
  clock->Advance(seconds(4));
  EXPECT_EQ(order, (std::vector<std::string>{"b1", "a2", "a3", "b4"}));
}

TEST(ManualClock, NegativeAdvanceDoesNotMoveTimeBack) {
  ManualClock clock;
  auto before = clock.Now();
  clock.Advance(seconds(-5));
  EXPECT_EQ(clock.Now(), before);
}

}  // namespace
}  // namespace qbx
