#include "core/task_thread.h"

#include <cxxabi.h>

#include <utility>

#include "base/logger.h"
#include "core/spin_wait.h"

namespace {
constexpr const char* kSubcomp = "agg-service";
using qbx::MayRunOnSeveralCpus;
}  // namespace

void RunTaskContained(Runnable& task, const void* owner) {
  try {
    task.Run();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10070")
        .put("TaskThread [%p] : task [%p] threw exception\n", owner, static_cast<void*>(&task));
    try {
      task.Cleanup();
    } catch (...) {
    }
  }
}

TaskThread::TaskThread(size_t capacity) : Thread(true, nullptr, 0), capacity_(capacity == 0 ? 1 : capacity) {}

TaskThread::~TaskThread() {
  if (Started()) {
    try {
      RequestStop();
      Join();
    } catch (...) {
      // Joining from the worker itself, or a failed join: the queue is still freed below.
    }
  }
  Queue leftover;
  {
    Guard guard(*this);
    leftover.swap(queue_);
  }
  // Deleted outside the lock, in queue order, without running.
  for (auto& task : leftover) task.reset();
}

TaskThread::Offer TaskThread::Enqueue(std::unique_ptr<Runnable>& task) {
  bool wake = false;
  {
    Guard guard(*this);
    if (stop_ != 0) return Offer::kStopped;
    if (queue_.size() >= capacity_) return Offer::kFull;
    queue_.push_back(std::move(task));
    generation_.fetch_add(1, std::memory_order_release);
    // One wake per sleep: the producers behind this one see the flag cleared.
    wake = workerWaiting_;
    workerWaiting_ = false;
  }
  // Signalled after the unlock, so the woken worker does not block at once on the mutex this
  // producer still holds. The queued task is already visible to it (it checks the queue under
  // the mutex before every wait), and the owner joins the worker before the TaskThread goes.
  if (wake) {
    Signal();
  }
  return Offer::kQueued;
}

int TaskThread::OfferTask(std::unique_ptr<Runnable>& task) {
  void* self = static_cast<void*>(this);
  if (!task) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("TaskThread [%p] got null task\n", self);
    return -1;
  }
  void* taskAddress = static_cast<void*>(task.get());
  switch (Enqueue(task)) {
    case Offer::kQueued:
      QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("TaskThread [%p] got task [%p]\n", self, taskAddress);
      return 0;
    case Offer::kStopped:
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("TaskThread already stopped and it should not accept task anymore\n");
      return -1;
    case Offer::kFull:
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .put("TaskThread [%p] queue is full (%zu tasks waiting), task [%p] refused\n", self, capacity_,
               taskAddress);
      return -1;
  }
  return -1;
}

int TaskThread::AddTask(Runnable* task) {
  // The caller handed the task over: a refused one is deleted on return.
  std::unique_ptr<Runnable> owned(task);
  return OfferTask(owned);
}

void TaskThread::RequestStop() {
  {
    Guard guard(*this);
    stop_ = 1;
    generation_.fetch_add(1, std::memory_order_release);
    Signal();
  }
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("TaskThread [%p] is requested to stop\n", static_cast<void*>(this));
}

void TaskThread::SpinForWork(uint64_t seen) const {
  qbx::SpinUntil([&] { return generation_.load(std::memory_order_acquire) != seen; }, kSpinBudget);
}

void TaskThread::Run() {
  void* self = static_cast<void*>(this);
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("TaskThread [%p] starts processing tasks\n", self);
  const bool spin = MayRunOnSeveralCpus();
  Queue batch;
  bool ranBatch = false;
  uint64_t seen = 0;
  for (;;) {
    if (ranBatch && spin) {
      // Outside the lock: producers keep queuing while the worker looks.
      SpinForWork(seen);
    }
    {
      Guard guard(*this);
      while (queue_.empty()) {
        if (stop_ != 0) {
          break;
        }
        workerWaiting_ = true;
        Wait(0);
        workerWaiting_ = false;
      }
      if (queue_.empty()) {
        break;  // stop requested and nothing left to run
      }
      // Producers keep adding to the (emptied, still allocated) other queue while this
      // batch runs.
      batch.swap(queue_);
      seen = generation_.load(std::memory_order_relaxed);
    }
    for (auto& task : batch) {
      void* taskAddress = static_cast<void*>(task.get());
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("TaskThread [%p] is going to run task [%p]\n", self, taskAddress);
      RunTaskContained(*task, self);
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("TaskThread [%p] is deleting task [%p]\n", self, taskAddress);
      if (disposer_) {
        try {
          disposer_(std::move(task));
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (...) {
          // The task went with the call's argument; nothing is left to free here.
        }
      } else {
        task.reset();
      }
    }
    batch.clear();
    ranBatch = true;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("TaskThread [%p] stopped processing tasks\n", self);
}
