// The task queue's limits and hand-over: a full queue refuses (and says so) instead of
// growing, a refused offer stays with its producer, and a worker that alternates between
// running, watching for work and sleeping never misses a wake-up.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/task_thread.h"
#include "tests/base/log_test_support.h"
#include "tests/core/gate_task.h"

namespace {

using qbx::testing::GateTask;

using qbx::logtest::CapturingSink;

struct Journal {
  std::mutex mutex;
  std::vector<std::string> events;
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(e);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
};

class NamedTask : public Runnable {
 public:
  NamedTask(Journal& journal, std::string id) : journal_(journal), id_(std::move(id)) {}
  ~NamedTask() override { journal_.Add("del " + id_); }
  void Run() override { journal_.Add("run " + id_); }
  void Cleanup() override {}

 private:
  Journal& journal_;
  std::string id_;
};


// Counts runs and lets the producer wait for a given count, with a guard against a lost
// wake-up turning into a hung test.
class Counter {
 public:
  void Hit() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++runs_;
    cv_.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return runs_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int runs_ = 0;
};

class CountingTask : public Runnable {
 public:
  explicit CountingTask(Counter& counter) : counter_(counter) {}
  void Run() override { counter_.Hit(); }
  void Cleanup() override {}

 private:
  Counter& counter_;
};

TEST(TaskQueue, FullQueueRefusesLogsAndDeletesTheTask) {
  CapturingSink logs;
  Journal journal;
  TaskThread worker(2);
  EXPECT_EQ(worker.AddTask(new NamedTask(journal, "a")), 0);
  EXPECT_EQ(worker.AddTask(new NamedTask(journal, "b")), 0);
  EXPECT_EQ(worker.AddTask(new NamedTask(journal, "c")), -1);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"del c"}));
  EXPECT_EQ(logs.Count("queue is full (2 tasks waiting)"), 1);
  worker.Start();
  worker.RequestStop();
  worker.Join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"del c", "run a", "del a", "run b", "del b"}));
}

TEST(TaskQueue, RefusedOfferStaysWithTheProducer) {
  CapturingSink logs;
  Journal journal;
  TaskThread worker(1);
  std::unique_ptr<Runnable> first = std::make_unique<NamedTask>(journal, "first");
  EXPECT_EQ(worker.OfferTask(first), 0);
  EXPECT_EQ(first, nullptr);
  std::unique_ptr<Runnable> second = std::make_unique<NamedTask>(journal, "second");
  EXPECT_EQ(worker.OfferTask(second), -1);  // full
  ASSERT_NE(second, nullptr);
  worker.Start();
  worker.RequestStop();
  EXPECT_EQ(worker.OfferTask(second), -1);  // stopping
  ASSERT_NE(second, nullptr);
  std::unique_ptr<Runnable> none;
  EXPECT_EQ(worker.OfferTask(none), -1);
  EXPECT_EQ(logs.Count("got null task"), 1);
  worker.Join();
  second.reset();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run first", "del first", "del second"}));
}

TEST(TaskQueue, TheBatchBeingRunLeavesRoomForNewTasks) {
  CapturingSink logs;
  Journal journal;
  TaskThread worker(1);
  worker.Start();
  auto* gate = new GateTask();
  ASSERT_EQ(worker.AddTask(gate), 0);
  gate->AwaitEntered();  // taken out of the queue, running
  EXPECT_EQ(worker.AddTask(new NamedTask(journal, "x")), 0);
  EXPECT_EQ(worker.AddTask(new NamedTask(journal, "y")), -1);
  gate->Open();
  worker.RequestStop();
  worker.Join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"del y", "run x", "del x"}));
}

// One task at a time, each offered only after the previous one ran: every offer races the
// worker on its way from the finished batch to its sleep.
void PingPong(TaskThread& worker, int rounds) {
  Counter counter;
  for (int i = 1; i <= rounds; ++i) {
    ASSERT_EQ(worker.AddTask(new CountingTask(counter)), 0);
    ASSERT_TRUE(counter.WaitFor(i)) << "task " << i << " was queued but never run";
  }
}

TEST(TaskQueue, NoWakeUpIsLostWhileTheWorkerWatchesForWork) {
  TaskThread worker;
  worker.Start();
  PingPong(worker, 3000);
  worker.RequestStop();
  worker.Join();
}

TEST(TaskQueue, NoWakeUpIsLostWhenTheWorkerSleepsAtOnce) {
  // A worker confined to one CPU does not watch for work; it goes straight to sleep.
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof(saved), &saved), 0);
  int cpu = 0;
  while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &saved)) ++cpu;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  TaskThread worker;
  worker.Start();  // inherits the single CPU
  ASSERT_EQ(sched_setaffinity(0, sizeof(saved), &saved), 0);
  PingPong(worker, 3000);
  // Several producers at once: the wake is handed to one of them only.
  Counter counter;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) EXPECT_EQ(worker.AddTask(new CountingTask(counter)), 0);
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(counter.WaitFor(2000));
  worker.RequestStop();
  worker.Join();
}

}  // namespace
