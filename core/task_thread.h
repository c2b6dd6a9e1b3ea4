// A single worker thread that runs queued Runnable tasks one after another, in the order
// they were added, and stops on request once it has run every task it accepted.
//
// Threading: any number of producer threads call AddTask; the owner calls Start,
// RequestStop, Join and the destructor from one thread. The Thread mutex guards the stop
// state and the queue. The worker holds it only to check the state, wait and swap the
// queue out, never while a task runs, so a slow task never blocks a producer.
//
// Ownership: a task handed to AddTask belongs to the TaskThread from then on, whether it is
// queued or refused; the worker deletes each task after it ran.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "core/thread.h"

class TaskThread : public Thread {
 public:
  TaskThread();
  // Deletes every task still queued without running it. A thread still running is asked to
  // stop and joined first, so the worker never outlives its queue.
  ~TaskThread() override;

  // 0: queued. -1: refused (null task, or stop already requested); a refused task is
  // deleted here, never run.
  int AddTask(Runnable* task);
  void RequestStop();
  // A TaskThread is never cancelled mid-task: Cancel asks it to stop.
  void Cancel() override { RequestStop(); }

  // See Thread::Entry for the sanitizer attribute (cancellation passes through).
  __attribute__((no_sanitize("null"))) void Run() override;

 private:
  using Queue = std::deque<std::unique_ptr<Runnable>>;

  int32_t stop_ = 0;  // guarded by the Thread mutex
  Queue queue_;       // guarded by the Thread mutex
  // True while the worker sleeps in Wait; producers signal only then, so a busy worker
  // is not woken (a futex call) for every task. Guarded by the Thread mutex.
  bool workerWaiting_ = false;
};
