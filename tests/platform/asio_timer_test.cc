// Timers on real time. Delays are tiny and nothing asserts on elapsed time: each test waits
// for the events it needs through futures, and "never fires" is checked against a later
// timer or the loop's order.
#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/runtime/asio_qbx_provider.h"
#include "tests/platform/log_capture.h"

namespace qbx {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Waits until a one-shot timer of `delay` has fired on `p`; every timer due earlier (on the
// same single loop thread) has had its chance by then.
void WaitForTimer(AsioQbxProvider& p, nanoseconds delay) {
  std::promise<void> fired;
  auto t = p.timers().Schedule(delay, [&] { fired.set_value(); });
  fired.get_future().wait();
}

TEST(AsioTimer, OneShotFiresOnceOnTheLoop) {
  AsioQbxProvider p({}, "oneshot");
  ASSERT_TRUE(p.RunAsync(1));
  std::atomic<int> count{0};
  std::promise<bool> on_loop;
  auto t = p.timers().Schedule(milliseconds(1), [&] {
    on_loop.set_value(p.dispatcher().IsLoopThread());
    ++count;
  });
  EXPECT_TRUE(on_loop.get_future().get());
  WaitForTimer(p, milliseconds(10));
  EXPECT_EQ(count.load(), 1);
  t->Cancel();  // after it ran: nothing happens
  EXPECT_FALSE(t->IsCancelled());
}

TEST(AsioTimer, NegativeDelayFiresAndDroppedHandleDoesNotCancel) {
  AsioQbxProvider p({}, "dropped");
  ASSERT_TRUE(p.RunAsync(1));
  std::promise<void> fired;
  p.timers().Schedule(nanoseconds(-5), [&] { fired.set_value(); });  // handle dropped
  fired.get_future().wait();
}

TEST(AsioTimer, CancelBeforeExpiryNeverFires) {
  AsioQbxProvider p({}, "cancel");
  ASSERT_TRUE(p.RunAsync(1));
  std::atomic<bool> fired{false};
  auto t = p.timers().Schedule(milliseconds(1), [&] { fired = true; });
  t->Cancel();
  t->Cancel();  // twice is harmless
  EXPECT_TRUE(t->IsCancelled());
  WaitForTimer(p, milliseconds(20));
  EXPECT_FALSE(fired);
}

TEST(AsioTimer, RepeatedCancelledFromItsOwnAction) {
  AsioQbxProvider p({}, "repeat");
  ASSERT_TRUE(p.RunAsync(1));
  std::atomic<int> count{0};
  std::shared_ptr<Timer> t;
  std::promise<void> third;
  std::mutex m;
  {
    std::lock_guard<std::mutex> lock(m);
    t = p.timers().ScheduleRepeated(milliseconds(1), [&] {
      if (++count == 3) {
        std::lock_guard<std::mutex> lock(m);
        t->Cancel();
        third.set_value();
      }
    });
  }
  third.get_future().wait();
  WaitForTimer(p, milliseconds(30));
  EXPECT_EQ(count.load(), 3);
}

TEST(AsioTimer, RepeatedActionThatThrowsKeepsRunning) {
  testing::LogCapture log;
  AsioQbxProvider p({}, "throws");
  ASSERT_TRUE(p.RunAsync(1));
  std::atomic<int> count{0};
  std::promise<void> twice;
  auto t = p.timers().ScheduleRepeated(milliseconds(1), [&] {
    if (++count == 2) twice.set_value();
    if (count <= 2) throw std::runtime_error("tick failed");
  });
  twice.get_future().wait();
  t->Cancel();
  EXPECT_TRUE(log.Contains("tick failed"));
}

TEST(AsioTimer, CancelRacingWithExpiryNeverStartsAfterwards) {
  // Cancel from the test thread while the loop is firing a 1 ms repeated timer. Once the
  // loop has run a task posted after Cancel returned, any invocation that had started is
  // over, so the count must not move from then on.
  AsioQbxProvider p({}, "race");
  ASSERT_TRUE(p.RunAsync(1));
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> count{0};
    std::promise<void> first;
    std::atomic<bool> first_set{false};
    auto t = p.timers().ScheduleRepeated(milliseconds(1), [&] {
      ++count;
      if (!first_set.exchange(true)) first.set_value();
    });
    if (round % 2 == 0) first.get_future().wait();  // half the rounds cancel mid-stream
    t->Cancel();
    std::promise<int> barrier;
    ASSERT_TRUE(p.dispatcher().Post([&] { barrier.set_value(count.load()); }));
    int at_barrier = barrier.get_future().get();
    WaitForTimer(p, milliseconds(3));
    EXPECT_EQ(count.load(), at_barrier) << "round " << round;
  }
}

TEST(AsioTimer, OneShotCancelRacingFromManyThreadsFiresAtMostOnce) {
  AsioQbxProvider p({}, "oneshot-race");
  ASSERT_TRUE(p.RunAsync(2));
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> count{0};
    auto t = p.timers().Schedule(nanoseconds(0), [&] { ++count; });
    std::thread a([&] { t->Cancel(); });
    std::thread b([&] { t->Cancel(); });
    a.join();
    b.join();
    std::promise<void> barrier;
    p.dispatcher().Post([&] { barrier.set_value(); });
    barrier.get_future().wait();
    WaitForTimer(p, milliseconds(0));
    EXPECT_LE(count.load(), 1);
  }
}

TEST(AsioTimer, StopCancelsPendingTimersAndDoesNotWaitForThem) {
  AsioQbxProvider p({}, "stop");
  ASSERT_TRUE(p.RunAsync(1));
  std::atomic<bool> fired{false};
  auto once = p.timers().Schedule(hours(1), [&] { fired = true; });
  auto every = p.timers().ScheduleRepeated(hours(1), [&] { fired = true; });
  p.StopAndWait(true);  // would hang for an hour if the waits kept the loop alive
  EXPECT_TRUE(once->IsCancelled());
  EXPECT_TRUE(every->IsCancelled());
  EXPECT_FALSE(fired);
}

TEST(AsioTimer, ScheduledAfterStopIsBornCancelled) {
  testing::LogCapture log;
  AsioQbxProvider p({}, "late");
  ASSERT_TRUE(p.RunAsync(1));
  p.StopAndWait(true);
  bool fired = false;
  auto t = p.timers().Schedule(nanoseconds(0), [&] { fired = true; });
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->IsCancelled());
  EXPECT_FALSE(fired);
  EXPECT_TRUE(log.Contains("timer not armed"));
}

TEST(AsioTimer, HandleMayOutliveTheProvider) {
  std::shared_ptr<Timer> t;
  bool fired = false;
  {
    AsioQbxProvider p({}, "outlive");
    t = p.timers().ScheduleRepeated(milliseconds(1), [&] { fired = true; });
  }
  t->Cancel();
  EXPECT_TRUE(t->IsCancelled());
  EXPECT_FALSE(fired);
}

TEST(AsioTimer, ZeroRepeatIntervalIsRaisedNotABusyLoop) {
  testing::LogCapture log;
  AsioQbxProvider p({}, "zero");
  ASSERT_TRUE(p.RunAsync(1));
  std::atomic<int> count{0};
  std::promise<void> done;
  std::shared_ptr<Timer> t;
  std::mutex m;
  {
    std::lock_guard<std::mutex> lock(m);
    t = p.timers().ScheduleRepeated(nanoseconds(0), [&] {
      if (++count == 2) {
        std::lock_guard<std::mutex> lock(m);
        t->Cancel();
        done.set_value();
      }
    });
  }
  done.get_future().wait();
  EXPECT_TRUE(log.Contains("raised to the minimum"));
}

}  // namespace
}  // namespace qbx
