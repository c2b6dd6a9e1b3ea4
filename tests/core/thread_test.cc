#include "core/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "core/task_thread.h"
#include "tests/core/gate_task.h"

namespace {

using qbx::testing::GateTask;

// Captures every log line (from any thread) at the most verbose level.
class LogCapture {
 public:
  LogCapture() : savedLevel_(qbx::Logger::logLevel.load()) {
    qbx::Logger::logLevel = qbx::loglevel::kTrace;
    qbx::Logger::SetSinkForTest([this](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() {
    qbx::Logger::SetSinkForTest(nullptr);
    qbx::Logger::logLevel = savedLevel_;
  }
  int Count(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) {
      if (line.find(needle) != std::string::npos) {
        ++n;
      }
    }
    return n;
  }
  // Index of the first line holding `needle`, or -1.
  int IndexOf(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].find(needle) != std::string::npos) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

 private:
  qbx::LibraryLogLevel savedLevel_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Records its id into a shared journal when run and when deleted.
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

class RecordingTask : public Runnable {
 public:
  RecordingTask(Journal& journal, std::string id, bool throws = false)
      : journal_(journal), id_(std::move(id)), throws_(throws) {}
  ~RecordingTask() override { journal_.Add("del " + id_); }
  void Run() override {
    journal_.Add("run " + id_);
    if (throws_) {
      throw std::runtime_error("task failure");
    }
  }
  void Cleanup() override {}

 private:
  Journal& journal_;
  std::string id_;
  bool throws_;
};


// ---- Thread ----

TEST(ThreadTest, MisuseRaisesException) {
  Thread never;
  EXPECT_EQ(never.GetThreadId(), -1);
  try {
    never.Join();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.GetMessage(), "Thread not started yet");
    EXPECT_EQ(e.GetCode(), 0);
  }
  try {
    never.Cancel();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.GetMessage(), "Thread not started yet");
  }

  Thread once;
  once.Start();
  try {
    once.Start();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.GetMessage(), "thread has been started");
    EXPECT_EQ(e.GetCode(), 0);
  }
  once.Join();
  EXPECT_NO_THROW(once.Join());  // a second join of an ended thread is harmless
}

class CountingTarget : public Runnable {
 public:
  CountingTarget(std::atomic<int>& runs, std::atomic<int>& deletions) : runs_(runs), deletions_(deletions) {}
  ~CountingTarget() override { ++deletions_; }
  void Run() override { ++runs_; }
  void Cleanup() override {}

 private:
  std::atomic<int>& runs_;
  std::atomic<int>& deletions_;
};

TEST(ThreadTest, RunsOwnedTargetAndDeletesIt) {
  std::atomic<int> runs{0};
  std::atomic<int> deletions{0};
  {
    Thread thread(true, new CountingTarget(runs, deletions), 1 << 20);
    thread.Start();
    EXPECT_NE(thread.GetThreadId(), -1);
    thread.Join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(deletions, 0);
  }
  EXPECT_EQ(deletions, 1);
}

class ThrowingThread : public Thread {
 public:
  void Run() override { throw Exception("boom", 7); }
  void Cleanup() override {
    ++cleanups;
    Thread::Cleanup();
  }
  std::atomic<int> cleanups{0};
};

TEST(ThreadTest, ExceptionInRunIsContainedAndCleansUp) {
  LogCapture log;
  ThrowingThread thread;
  thread.Start();
  thread.Join();
  EXPECT_EQ(thread.cleanups, 1);
  EXPECT_EQ(log.Count("boom"), 1);
}

TEST(ThreadTest, TimedWaitWithoutSignalTimesOut) {
  Thread thread;
  Thread::Guard guard(thread);
  EXPECT_FALSE(thread.Wait(1));
}

class SignalledThread : public Thread {
 public:
  void Run() override {
    Guard guard(*this);
    ready = true;
    Signal();
  }
  bool ready = false;  // guarded by the thread mutex
};

TEST(ThreadTest, WaitWakesOnSignal) {
  SignalledThread thread;
  bool woken = true;
  {
    Thread::Guard guard(thread);
    thread.Start();
    while (!thread.ready) {
      woken = thread.Wait(0) && woken;
    }
  }
  thread.Join();
  EXPECT_TRUE(woken);
}

#if !defined(__SANITIZE_THREAD__)
class ForeverWaitingThread : public Thread {
 public:
  explicit ForeverWaitingThread(bool scoped) : scoped_(scoped) {}
  void Run() override {
    if (scoped_) {
      Guard guard(*this);  // released by the unwinding, not again by Cleanup
      WaitForever();
    }
    LockMutex();
    WaitForever();
  }
  void WaitForever() {
    entered = true;
    for (;;) {
      Wait(0);
    }
  }
  void Cleanup() override {
    cleaned = true;
    Thread::Cleanup();
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> cleaned{false};

 private:
  bool scoped_;
};

TEST(ThreadTest, CancelDuringWaitRunsCleanupAndReleasesMutexOnce) {
  for (bool scoped : {false, true}) {
    ForeverWaitingThread thread(scoped);
    thread.Start();
    while (!thread.entered) {
      std::this_thread::yield();
    }
    thread.Cancel();
    thread.Join();
    EXPECT_TRUE(thread.cleaned);
    // The mutex that the cancelled wait re-acquired is free again, and usable.
    Thread::Guard guard(thread);
    thread.Signal();
  }
}
#endif

// ---- TaskThread ----

TEST(TaskThreadTest, RunsTasksInOrderAndDeletesEachAfterItRan) {
  Journal journal;
  TaskThread worker;
  EXPECT_EQ(worker.AddTask(new RecordingTask(journal, "A")), 0);
  EXPECT_EQ(worker.AddTask(new RecordingTask(journal, "B")), 0);
  EXPECT_EQ(worker.AddTask(new RecordingTask(journal, "C")), 0);
  worker.Start();
  worker.RequestStop();
  worker.Join();
  EXPECT_EQ(journal.Events(),
            (std::vector<std::string>{"run A", "del A", "run B", "del B", "run C", "del C"}));
}

TEST(TaskThreadTest, StopWhileTasksQueuedDrainsThemFirst) {
  LogCapture log;
  Journal journal;
  TaskThread worker;
  worker.Start();
  auto* gate = new GateTask();
  worker.AddTask(gate);
  gate->AwaitEntered();
  worker.AddTask(new RecordingTask(journal, "1"));
  worker.AddTask(new RecordingTask(journal, "2"));
  worker.AddTask(new RecordingTask(journal, "3"));
  worker.RequestStop();
  gate->Open();
  worker.Join();
  EXPECT_EQ(journal.Events(),
            (std::vector<std::string>{"run 1", "del 1", "run 2", "del 2", "run 3", "del 3"}));
  const int stopped = log.IndexOf("stopped processing tasks");
  ASSERT_GE(stopped, 0);
  EXPECT_GT(stopped, log.IndexOf("is requested to stop"));
}

TEST(TaskThreadTest, TaskAfterStopIsRefusedDeletedAndNotRun) {
  LogCapture log;
  Journal journal;
  TaskThread worker;
  worker.Start();
  worker.RequestStop();
  EXPECT_EQ(worker.AddTask(new RecordingTask(journal, "late")), -1);
  // Refused means freed at once, never run.
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"del late"}));
  EXPECT_EQ(log.Count("TaskThread already stopped and it should not accept task anymore"), 1);
  worker.Join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"del late"}));
}

TEST(TaskThreadTest, ThrowingTaskIsLoggedAndNextTaskRuns) {
  LogCapture log;
  Journal journal;
  TaskThread worker;
  worker.AddTask(new RecordingTask(journal, "bad", true));
  worker.AddTask(new RecordingTask(journal, "good"));
  worker.Start();
  worker.RequestStop();
  worker.Join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run bad", "del bad", "run good", "del good"}));
  EXPECT_EQ(log.Count("errorCode=\"MPA10070\""), 1);
  EXPECT_EQ(log.Count("threw exception"), 1);
}

TEST(TaskThreadTest, NullTaskIsLoggedAndIgnored) {
  LogCapture log;
  Journal journal;
  TaskThread worker;
  EXPECT_EQ(worker.AddTask(nullptr), -1);
  EXPECT_EQ(log.Count("errorCode=\"MPA10044\""), 1);
  EXPECT_EQ(log.Count("got null task"), 1);
  worker.AddTask(new RecordingTask(journal, "only"));
  worker.Start();
  worker.RequestStop();
  worker.Join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run only", "del only"}));
}

TEST(TaskThreadTest, DestroyingUnstartedThreadDeletesQueuedTasksWithoutRunning) {
  Journal journal;
  {
    TaskThread worker;
    worker.AddTask(new RecordingTask(journal, "x"));
    worker.AddTask(new RecordingTask(journal, "y"));
  }
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"del x", "del y"}));
}

TEST(TaskThreadTest, DestroyingRunningThreadStopsAndJoinsIt) {
  Journal journal;
  {
    TaskThread worker;
    worker.Start();
    worker.AddTask(new RecordingTask(journal, "z"));
  }
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run z", "del z"}));
}

TEST(TaskThreadTest, CancelAsksForAGracefulStop) {
  Journal journal;
  TaskThread worker;
  worker.AddTask(new RecordingTask(journal, "q"));
  worker.Start();
  worker.Cancel();
  worker.Join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run q", "del q"}));
}

class CountTask : public Runnable {
 public:
  CountTask(std::atomic<int>& runs, std::vector<int>& order, int producer, int seq)
      : runs_(runs), order_(order), producer_(producer), seq_(seq) {}
  void Run() override {
    ++runs_;
    // Only the single worker writes here.
    order_[producer_] = (order_[producer_] + 1 == seq_) ? seq_ : -1000000;
  }
  void Cleanup() override {}

 private:
  std::atomic<int>& runs_;
  std::vector<int>& order_;
  int producer_;
  int seq_;
};

TEST(TaskThreadTest, ManyProducersRacingStopLoseNothing) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 2000;
  std::atomic<int> runs{0};
  std::atomic<int> accepted{0};
  std::vector<int> lastSeq(kProducers, 0);
  TaskThread worker;
  worker.Start();
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 1; i <= kPerProducer; ++i) {
        if (worker.AddTask(new CountTask(runs, lastSeq, p, i)) == 0) {
          ++accepted;
        }
      }
    });
  }
  // Stop while producers are still adding: later tasks are refused, none is lost.
  worker.RequestStop();
  for (auto& t : producers) {
    t.join();
  }
  worker.Join();
  EXPECT_EQ(runs.load(), accepted.load());
  for (int p = 0; p < kProducers; ++p) {
    EXPECT_GE(lastSeq[p], 0) << "tasks of producer " << p << " ran out of order";
  }
}

}  // namespace
