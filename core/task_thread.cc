#include "core/task_thread.h"

#include <cxxabi.h>

#include <utility>

#include "core/logger.h"

namespace {
constexpr const char* kSubcomp = "agg-service";
}

TaskThread::TaskThread() : Thread(true, nullptr, 0) {}

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
  while (!leftover.empty()) {
    leftover.pop_front();
  }
}

int TaskThread::AddTask(Runnable* task) {
  if (task == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("TaskThread [%p] got null task\n", static_cast<void*>(this));
    return -1;
  }
  std::unique_ptr<Runnable> owned(task);
  bool queued = false;
  {
    Guard guard(*this);
    if (stop_ == 0) {
      queue_.push_back(std::move(owned));
      if (workerWaiting_) {
        Signal();
      }
      queued = true;
    }
  }
  if (!queued) {
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("TaskThread already stopped and it should not accept task anymore\n");
    // `owned` deletes the refused task on return: the caller handed it over.
    return -1;
  }
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("TaskThread [%p] got task [%p]\n", static_cast<void*>(this), static_cast<void*>(task));
  return 0;
}

void TaskThread::RequestStop() {
  {
    Guard guard(*this);
    stop_ = 1;
    Signal();
  }
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("TaskThread [%p] is requested to stop\n", static_cast<void*>(this));
}

void TaskThread::Run() {
  void* self = static_cast<void*>(this);
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("TaskThread [%p] starts processing tasks\n", self);
  Queue batch;
  for (;;) {
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
      // Producers keep adding to a fresh queue while this batch runs.
      batch.swap(queue_);
    }
    while (!batch.empty()) {
      std::unique_ptr<Runnable> task = std::move(batch.front());
      batch.pop_front();
      void* taskAddress = static_cast<void*>(task.get());
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("TaskThread [%p] is going to run task [%p]\n", self, taskAddress);
      try {
        task->Run();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        QBX_LOG(qbx::loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10070")
            .put("TaskThread [%p] : task [%p] threw exception\n", self, taskAddress);
        try {
          task->Cleanup();
        } catch (...) {
        }
      }
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("TaskThread [%p] is deleting task [%p]\n", self, taskAddress);
      task.reset();
    }
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("TaskThread [%p] stopped processing tasks\n", self);
}
