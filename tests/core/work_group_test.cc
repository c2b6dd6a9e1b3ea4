#include "core/work_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"

namespace {

using qbx::WorkGroup;
using qbx::WorkItem;
using qbx::metrics::FrequencyCounter;
using qbx::metrics::LatencyCounter;
using qbx::metrics::MetricRegistry;
using qbx::metrics::UnitCounter;

// Silences the error records of throwing items and counts them.
class LogCapture {
 public:
  LogCapture() {
    qbx::Logger::SetSinkForTest([this](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { qbx::Logger::SetSinkForTest(nullptr); }
  int Count(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) {
      n += line.find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class Gate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void AwaitEntered(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return entered_ >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int entered_ = 0;
  bool open_ = false;
};

class FnItem : public WorkItem {
 public:
  explicit FnItem(std::function<void()> fn) : fn_(std::move(fn)) {}
  void Run() override { fn_(); }

 private:
  std::function<void()> fn_;
};

std::shared_ptr<WorkItem> Item(std::function<void()> fn) { return std::make_shared<FnItem>(std::move(fn)); }

template <class T>
const T& ValueOf(const MetricRegistry& registry, const char* name) {
  auto value = registry.Find(name);
  EXPECT_TRUE(value) << name;
  EXPECT_EQ(value->type(), T::kTypeCode) << name;
  return static_cast<const T&>(*value);
}

void AwaitIdle(const WorkGroup& group, int n) {
  while (group.idle_workers() != n) {
    std::this_thread::yield();
  }
}

TEST(WorkGroupTest, CreatesItsSixMetricsStopped) {
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  EXPECT_FALSE(group.running());
  EXPECT_EQ(group.requested_thread_count(), -1);
  EXPECT_EQ(registry.Names(),
            (std::vector<std::string>{"work_group/item/processing_time", "work_group/item/queued_time",
                                      "work_group/queue/dequeue_freq", "work_group/queue/enqueue_freq",
                                      "work_group/queue/length", "work_group/thread/idle_count"}));
  // Not running: nothing is accepted, and a null item never is.
  EXPECT_EQ(group.Submit(Item([] {})), -1);
  group.Start(1);
  EXPECT_EQ(group.Submit(nullptr), -1);
}

TEST(WorkGroupTest, MetricNameOfAnotherKindFailsConstruction) {
  MetricRegistry registry;
  LogCapture log;
  qbx::metrics::Metric<LatencyCounter> squatter(registry, WorkGroup::kQueueLength);
  EXPECT_THROW(WorkGroup("g", registry, -1), std::runtime_error);
}

TEST(WorkGroupTest, QueueMetricsFollowEveryItem) {
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  group.Start(1);
  Gate gate;
  std::atomic<int> ran{0};
  ASSERT_EQ(group.Submit(Item([&] { gate.Enter(); })), 0);
  gate.AwaitEntered(1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(group.Submit(Item([&] { ++ran; })), 0);
  }
  const auto& length = ValueOf<UnitCounter>(registry, WorkGroup::kQueueLength);
  EXPECT_EQ(length.snapshot(false).value, 3u);
  EXPECT_EQ(ValueOf<FrequencyCounter>(registry, WorkGroup::kEnqueueFreq).count(false), 4u);
  EXPECT_EQ(ValueOf<FrequencyCounter>(registry, WorkGroup::kDequeueFreq).count(false), 1u);

  gate.Open();
  group.Stop();
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(length.snapshot(false).value, 0u);
  EXPECT_EQ(length.snapshot(false).max, 3u);
  EXPECT_EQ(ValueOf<FrequencyCounter>(registry, WorkGroup::kDequeueFreq).count(false), 4u);
  EXPECT_EQ(ValueOf<LatencyCounter>(registry, WorkGroup::kQueuedTime).snapshot(false).num, 4u);
  EXPECT_EQ(ValueOf<LatencyCounter>(registry, WorkGroup::kProcessingTime).snapshot(false).num, 4u);
  EXPECT_EQ(ValueOf<UnitCounter>(registry, WorkGroup::kIdleCount).snapshot(false).value, 0u);
  // Stopped: refused.
  EXPECT_EQ(group.Submit(Item([] {})), -1);
}

// Queued time is recorded in microseconds: an item held behind a busy worker for at least
// 20 ms records at least 20,000, and no sample exceeds the span the test watched.
TEST(WorkGroupTest, QueuedTimeIsRecordedInMicroseconds) {
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  group.Start(1);
  Gate gate;
  const auto before = std::chrono::steady_clock::now();
  ASSERT_EQ(group.Submit(Item([&] { gate.Enter(); })), 0);
  gate.AwaitEntered(1);
  auto held = Item([] {});
  ASSERT_EQ(group.Submit(held), 0);
  // Real time must pass here: the metric measures the steady clock. Only a lower bound is
  // relied on, so a slow machine cannot make this fail.
  std::this_thread::sleep_until(held->queued_time() + std::chrono::milliseconds(20));
  gate.Open();
  group.Stop();
  const auto span =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - before).count();
  const auto queued = ValueOf<LatencyCounter>(registry, WorkGroup::kQueuedTime).snapshot(false);
  EXPECT_EQ(queued.num, 2u);
  EXPECT_GE(queued.max, 20000u);
  EXPECT_LE(queued.max, static_cast<uint64_t>(span));
}

TEST(WorkGroupTest, IdleCountTracksWaitingWorkers) {
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  group.Start(4);
  EXPECT_EQ(group.worker_count(), 4);
  AwaitIdle(group, 4);
  EXPECT_EQ(ValueOf<UnitCounter>(registry, WorkGroup::kIdleCount).snapshot(false).value, 4u);
  Gate gate;
  group.Submit(Item([&] { gate.Enter(); }));
  gate.AwaitEntered(1);
  AwaitIdle(group, 3);
  gate.Open();
  AwaitIdle(group, 4);
  group.Stop();
  EXPECT_EQ(group.idle_workers(), 0);
  EXPECT_EQ(ValueOf<UnitCounter>(registry, WorkGroup::kIdleCount).snapshot(false).value, 0u);
}

TEST(WorkGroupTest, ThrowingItemsDoNotStopTheWorkers) {
  LogCapture log;
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  group.Start(1);
  std::atomic<int> ran{0};
  group.Submit(Item([] { throw std::runtime_error("bad item"); }));
  group.Submit(Item([] { throw 42; }));
  group.Submit(Item([&] { ++ran; }));
  group.Stop();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(log.Count("work item threw exception"), 2);
  EXPECT_EQ(log.Count("bad item"), 1);
  EXPECT_EQ(ValueOf<LatencyCounter>(registry, WorkGroup::kProcessingTime).snapshot(false).num, 3u);
  EXPECT_EQ(ValueOf<UnitCounter>(registry, WorkGroup::kQueueLength).snapshot(false).value, 0u);
}

TEST(WorkGroupTest, StopRunsQueuedItemsBeforeWorkersEnd) {
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  group.Start(2);
  Gate gate;
  std::atomic<int> ran{0};
  group.Submit(Item([&] { gate.Enter(); }));
  group.Submit(Item([&] { gate.Enter(); }));
  gate.AwaitEntered(2);
  for (int i = 0; i < 10; ++i) {
    group.Submit(Item([&] { ++ran; }));
  }
  std::thread stopper([&] { group.Stop(); });
  gate.Open();
  stopper.join();
  EXPECT_EQ(ran, 10);
}

TEST(WorkGroupTest, ManyProducersRacingStopLoseNothing) {
  MetricRegistry registry;
  WorkGroup group("g", registry, -1);
  group.Start(4);
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 1000;
  std::atomic<int> accepted{0};
  std::atomic<int> ran{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < kPerProducer; ++i) {
        if (group.Submit(Item([&] { ++ran; })) == 0) {
          ++accepted;
        }
      }
    });
  }
  std::thread stopper([&] { group.Stop(); });
  for (auto& t : producers) {
    t.join();
  }
  stopper.join();
  EXPECT_EQ(ran.load(), accepted.load());
  EXPECT_EQ(ValueOf<UnitCounter>(registry, WorkGroup::kQueueLength).snapshot(false).value, 0u);
  EXPECT_EQ(ValueOf<FrequencyCounter>(registry, WorkGroup::kEnqueueFreq).count(false),
            static_cast<uint64_t>(accepted.load()));
  EXPECT_EQ(ValueOf<FrequencyCounter>(registry, WorkGroup::kDequeueFreq).count(false),
            static_cast<uint64_t>(accepted.load()));
}

// The process-wide group outlives the test; its registry must too.
MetricRegistry& ProcessRegistry() {
  static MetricRegistry* registry = new MetricRegistry();
  return *registry;
}

TEST(FrameworkWorkGroupTest, StartsTenIdleWorkersAndReplacementStopsThePrevious) {
  auto first = qbx::CreateFrameworkWorkGroup(ProcessRegistry());
  EXPECT_EQ(first->name(), "framework");
  EXPECT_EQ(first->requested_thread_count(), -1);
  EXPECT_EQ(first->worker_count(), 10);
  EXPECT_EQ(qbx::FrameworkWorkGroup(), first);
  AwaitIdle(*first, 10);

  // Another reference keeps a replaced group alive and running.
  auto second = qbx::CreateFrameworkWorkGroup(ProcessRegistry());
  EXPECT_EQ(qbx::FrameworkWorkGroup(), second);
  EXPECT_TRUE(first->running());
  EXPECT_EQ(first->RefCountForTest(), 1);

  // Without one, replacing it stops the group after its queued work and joins its workers.
  Gate gate;
  std::atomic<bool> ran{false};
  second->Submit(Item([&] { gate.Enter(); }));
  second->Submit(Item([&] { ran = true; }));
  gate.AwaitEntered(1);
  second.reset();
  first.reset();
  std::thread replacer([] { qbx::CreateFrameworkWorkGroup(ProcessRegistry()); });
  gate.Open();
  replacer.join();
  EXPECT_TRUE(ran);
  AwaitIdle(*qbx::FrameworkWorkGroup(), 10);
}

}  // namespace
