// A single worker thread that runs queued Runnable tasks one after another, in the order
// they were added, and stops on request once it has run every task it accepted.
//
// Threading: any number of producer threads call AddTask or OfferTask; the owner calls
// Start, RequestStop, Join and the destructor from one thread. The Thread mutex guards the
// stop state and the queue. The worker holds it only to check the state, wait and swap the
// queue out, never while a task runs, so a slow task never blocks a producer.
//
// Hand-over cost: a producer signals the worker only while it sleeps. After a batch the
// worker watches for new tasks for a short, bounded time (kSpinBudget, and only when it may
// run on more than one CPU) before it sleeps, so a steady stream of tasks does not pay a
// futex wake and a wait per task, and an idle worker burns nothing.
//
// Ownership: a task handed to AddTask belongs to the TaskThread from then on, whether it is
// queued or refused; the worker deletes each task after it ran, or hands it to the disposer
// when one is set. OfferTask leaves a refused task with the caller. Tasks still queued when
// the TaskThread is destroyed are deleted, never handed to the disposer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/thread.h"

// Runs `task` on the calling thread; what it throws is logged as from task thread `owner`,
// and then its Cleanup runs. A thread cancellation passes through.
void RunTaskContained(Runnable& task, const void* owner);

class TaskThread : public Thread {
 public:
  // Tasks waiting to run (not counting the batch the worker is running) beyond this many are
  // refused: a stalled consumer must not let its producers grow the queue without limit.
  static constexpr size_t kDefaultCapacity = 65536;
  // How long the worker looks for more work after a batch before it sleeps.
  static constexpr std::chrono::microseconds kSpinBudget{30};

  explicit TaskThread(size_t capacity = kDefaultCapacity);
  // Deletes every task still queued without running it. A thread still running is asked to
  // stop and joined first, so the worker never outlives its queue.
  ~TaskThread() override;

  // 0: queued. -1: refused (null task, stop already requested, or queue full); a refused
  // task is deleted here, never run.
  int AddTask(Runnable* task);
  // As AddTask, but a refused task stays in `task`, so the caller can say what it loses
  // before freeing it. 0: queued (`task` is empty afterwards). -1: refused.
  int OfferTask(std::unique_ptr<Runnable>& task);
  void RequestStop();
  // A TaskThread is never cancelled mid-task: Cancel asks it to stop.
  void Cancel() override { RequestStop(); }

  size_t Capacity() const { return capacity_; }

  // What the worker does with a task once it ran, instead of deleting it (a producer that
  // reuses its tasks keeps them). Runs on the worker thread; must not throw. Set before
  // Start.
  using Disposer = std::function<void(std::unique_ptr<Runnable>)>;
  void SetDisposer(Disposer disposer) { disposer_ = std::move(disposer); }

  // See Thread::Entry for the sanitizer attribute (cancellation passes through).
  __attribute__((no_sanitize("null"))) void Run() override;

 private:
  // A vector, swapped whole with the worker's batch: both keep their storage, so queuing a
  // task allocates nothing once the queue has grown to its working size.
  using Queue = std::vector<std::unique_ptr<Runnable>>;

  enum class Offer { kQueued, kStopped, kFull };
  Offer Enqueue(std::unique_ptr<Runnable>& task);
  // Polls `generation_` until it differs from `seen` or the spin budget is spent.
  void SpinForWork(uint64_t seen) const;

  const size_t capacity_;
  int32_t stop_ = 0;  // guarded by the Thread mutex
  Queue queue_;       // guarded by the Thread mutex
  // True while the worker sleeps in Wait; producers signal only then, so a busy worker
  // is not woken (a futex call) for every task. Guarded by the Thread mutex.
  bool workerWaiting_ = false;
  // Bumped under the mutex by every queued task and by RequestStop; read without it by the
  // worker's bounded spin.
  std::atomic<uint64_t> generation_{0};
  Disposer disposer_;  // set before Start, read by the worker only
};
