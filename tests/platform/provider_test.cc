#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/metrics/metric_registry.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/platform/log_capture.h"

namespace qbx {
namespace {

// Blocks the loop until Open() is called, so that tests can queue work behind it.
class Gate {
 public:
  void Wait() { future_.wait(); }
  void Open() { promise_.set_value(); }

 private:
  std::promise<void> promise_;
  std::shared_future<void> future_ = promise_.get_future().share();
};

void Drain(AsioQbxProvider& p) {
  std::promise<void> done;
  ASSERT_TRUE(p.dispatcher().Post([&] { done.set_value(); }));
  done.get_future().wait();
}

TEST(ProviderPost, RunsInPostingOrderOnOneThread) {
  AsioQbxProvider p({}, "order");
  ASSERT_TRUE(p.RunAsync(1));
  std::vector<int> seen;
  std::thread::id loop_id;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(p.dispatcher().Post([&, i] {
      seen.push_back(i);
      loop_id = std::this_thread::get_id();
      EXPECT_TRUE(p.dispatcher().IsLoopThread());
    }));
  }
  Drain(p);
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_NE(loop_id, std::this_thread::get_id());
  EXPECT_FALSE(p.dispatcher().IsLoopThread());
}

TEST(ProviderPost, NeverRunsInlineEvenFromTheLoop) {
  AsioQbxProvider p({}, "reentry");
  ASSERT_TRUE(p.RunAsync(1));
  std::vector<std::string> steps;
  std::promise<void> done;
  p.dispatcher().Post([&] {
    p.dispatcher().Post([&] {
      steps.push_back("inner");
      done.set_value();
    });
    steps.push_back("outer end");
  });
  done.get_future().wait();
  EXPECT_EQ(steps, (std::vector<std::string>{"outer end", "inner"}));
}

TEST(ProviderPost, ExceptionInTaskIsLoggedAndLoopGoesOn) {
  testing::LogCapture log;
  AsioQbxProvider p({}, "throwing");
  ASSERT_TRUE(p.RunAsync(1));
  p.dispatcher().Post([] { throw std::runtime_error("boom"); });
  p.dispatcher().Post([] { throw 42; });
  Drain(p);
  EXPECT_TRUE(log.Contains("boom"));
  EXPECT_TRUE(log.Contains("non-standard exception"));
}

TEST(ProviderPost, EmptyTaskIsRefused) {
  AsioQbxProvider p({}, "empty");
  EXPECT_FALSE(p.dispatcher().Post(nullptr));
}

TEST(ProviderStop, PostAfterStopIsRefusedAndLogged) {
  testing::LogCapture log;
  AsioQbxProvider p({}, "stopped");
  ASSERT_TRUE(p.RunAsync(1));
  p.StopAndWait(true);
  bool ran = false;
  EXPECT_FALSE(p.dispatcher().Post([&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(log.Contains("task refused"));
  EXPECT_TRUE(p.IsStopped());
  EXPECT_FALSE(p.RunAsync(1));  // a stopped provider stays stopped
  EXPECT_FALSE(p.Run(1));
}

TEST(ProviderStop, WorkAcceptedBeforeStopDrainsLaterWorkIsRefused) {
  AsioQbxProvider p({}, "drain");
  ASSERT_TRUE(p.RunAsync(1));
  Gate gate;
  std::vector<int> ran;
  ASSERT_TRUE(p.dispatcher().Post([&] { gate.Wait(); }));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(p.dispatcher().Post([&ran, i] { ran.push_back(i); }));
  p.Stop();  // the loop is still blocked in the first task
  std::atomic<bool> late{false};
  EXPECT_FALSE(p.dispatcher().Post([&] { late = true; }));
  gate.Open();
  p.StopAndWait(true);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(late);
}

TEST(ProviderStop, TaskPostedWhileDrainingIsRefused) {
  AsioQbxProvider p({}, "drain-post");
  ASSERT_TRUE(p.RunAsync(1));
  Gate gate;
  bool inner_accepted = true;
  bool inner_ran = false;
  p.dispatcher().Post([&] { gate.Wait(); });
  p.dispatcher().Post([&] { inner_accepted = p.dispatcher().Post([&] { inner_ran = true; }); });
  p.Stop();
  gate.Open();
  p.StopAndWait(true);
  EXPECT_FALSE(inner_accepted);
  EXPECT_FALSE(inner_ran);
}

TEST(ProviderStop, ConcurrentPostersNeverLoseAcceptedWork) {
  // Every Post that returned true must run, however it races with the stop.
  AsioQbxProvider p({}, "race");
  ASSERT_TRUE(p.RunAsync(2));
  std::atomic<int> accepted{0}, ran{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 2000; ++i) {
        if (p.dispatcher().Post([&] { ran++; })) accepted++;
      }
    });
  }
  go = true;
  p.StopAndWait(true);
  for (auto& t : posters) t.join();
  EXPECT_EQ(ran.load(), accepted.load());
}

TEST(ProviderRun, RunReturnsOnceNoWorkIsLeft) {
  AsioQbxProvider p({}, "run");
  int count = 0;
  for (int i = 0; i < 3; ++i) p.dispatcher().Post([&] { ++count; });
  EXPECT_TRUE(p.Run(1));
  EXPECT_EQ(count, 3);
  // Idle provider: Run returns at once, and can be used again.
  EXPECT_TRUE(p.Run(1));
  p.dispatcher().Post([&] { ++count; });
  EXPECT_TRUE(p.RunFor(std::chrono::hours(1)));  // returns when the work is done
  EXPECT_EQ(count, 4);
}

TEST(ProviderRun, RunAsyncTwiceIsRefused) {
  AsioQbxProvider p({}, "twice");
  EXPECT_TRUE(p.RunAsync(2));
  EXPECT_FALSE(p.RunAsync(1));
  EXPECT_FALSE(p.Run(1));
}

TEST(ProviderLifetime, DestructorJoinsLoopThreadsAfterDraining) {
  auto tracker = std::make_shared<std::atomic<int>>(0);
  {
    AsioQbxProvider p({}, "dtor");
    ASSERT_TRUE(p.RunAsync(3));
    for (int i = 0; i < 100; ++i) p.dispatcher().Post([tracker] { ++*tracker; });
  }
  // The threads are joined: every task ran and released its copy.
  EXPECT_EQ(tracker->load(), 100);
  EXPECT_EQ(tracker.use_count(), 1);
}

TEST(ProviderLifetime, DestroyedFromItsOwnLoopThread) {
  auto p = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "self");
  ASSERT_TRUE(p->RunAsync(1));
  std::promise<void> done;
  p->dispatcher().Post([&p, &done] {
    p.reset();  // last reference: joining would be a self-join
    done.set_value();
  });
  done.get_future().wait();
  EXPECT_EQ(p, nullptr);
}

TEST(ProviderLifetime, UnrunQueuedWorkIsReleasedWithTheProvider) {
  auto tracker = std::make_shared<int>(0);
  {
    AsioQbxProvider p({}, "unrun");
    p.dispatcher().Post([tracker] { ++*tracker; });
  }
  EXPECT_EQ(tracker.use_count(), 1);
}

TEST(ProviderParts, OptionsNameAndMetricsRegistry) {
  AsioQbxProvider::Options options;
  options.first_flag = true;
  AsioQbxProvider p(options, "parts");
  EXPECT_EQ(p.name(), "parts");
  EXPECT_TRUE(p.options().first_flag);
  EXPECT_EQ(p.metrics().size(), 0u);
  EXPECT_EQ(p.RpcSlotIfSet(), nullptr);
  auto io = std::make_shared<boost::asio::io_context>();
  AsioQbxProvider shared(io, {}, "");
  EXPECT_EQ(&shared.io_context(), io.get());
}

}  // namespace
}  // namespace qbx
