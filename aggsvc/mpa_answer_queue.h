// The hand-over of a client's answer tasks from its request threads to its dispatcher thread.
//
// Request threads push filled tasks onto a lock-free list. A drainer (a task of the queue's
// own, queued on the dispatcher thread only when no drainer is queued or running) takes
// every pushed task at once, runs them in the order they were pushed, gives each back to
// the client's pool, and then watches the list for a short, bounded time (kSpinBudget, and
// only when it may run on more than one CPU) before it finishes. So, in a steady stream of
// requests, an answer passes from thread to thread by one atomic exchange on each side, with
// no lock the two threads share and no wake-up per answer; an idle queue has no drainer and
// burns nothing.
//
// Bounded: while `capacity` tasks are pushed and not yet taken by the drainer, a push is
// refused (the dispatcher thread is stalled, most likely in its sender).
//
// Threading: Push, TakeBack and MakeDrainer are called by producers that serialise among
// themselves (the client holds its dispatcherMutex around them); Drain runs on the dispatcher
// thread, one drainer at a time. What the two sides share is atomic: the list, its length and
// whether a drainer is scheduled, kept on one cache line. A task belongs to the producer until
// it is pushed and to the drainer from when it is taken; the list's exchange orders the two.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "aggsvc/mpa_message_task.h"
#include "core/thread.h"

class MpaAnswerQueue : public std::enable_shared_from_this<MpaAnswerQueue> {
 public:
  // How long a drainer watches for more answers after its last batch before it finishes.
  static constexpr std::chrono::microseconds kSpinBudget{30};

  // `pool` takes the tasks back once they ran; `dispatcher` names the dispatcher thread in
  // the queue's records.
  MpaAnswerQueue(size_t capacity, std::shared_ptr<MpaMessageTaskPool> pool, const void* dispatcher);
  // Deletes the tasks that no drainer took (a dispatcher thread that stopped without running
  // its drainer), without sending them.
  ~MpaAnswerQueue();
  MpaAnswerQueue(const MpaAnswerQueue&) = delete;
  MpaAnswerQueue& operator=(const MpaAnswerQueue&) = delete;

  enum class PushResult {
    kQueued,
    // Queued, and no drainer is scheduled: the caller queues MakeDrainer() on the dispatcher
    // thread, or, if that thread refuses it, takes the queued tasks back with TakeBack.
    kStartDrainer,
    // Refused: the queue is full. The task stays with the caller.
    kFull,
  };
  PushResult Push(std::unique_ptr<MpaMessageTask>& task);
  std::unique_ptr<Runnable> MakeDrainer();
  // After a refused drainer: every task pushed and not taken, in push order. No drainer is
  // scheduled afterwards.
  std::vector<std::unique_ptr<MpaMessageTask>> TakeBack();

  size_t Capacity() const { return capacity; }
  // Tasks pushed and not yet taken by the drainer.
  size_t Waiting() const { return shared.waiting.load(std::memory_order_relaxed); }

  // The drainer's work, on the dispatcher thread: runs what is pushed until nothing more
  // comes within the spin budget. A task that throws is recorded and the others still run.
  void Drain();

 private:
  // Everything pushed so far, oldest first.
  void TakeAll(std::vector<MpaMessageTask*>& oldestFirst);
  // Polls the list until a task is there (true) or the spin budget is spent (false).
  bool SpinForWork() const;
  void RunOne(MpaMessageTask* task);
  static void DeleteList(MpaMessageTask* list);

  const size_t capacity;
  const std::shared_ptr<MpaMessageTaskPool> pool;
  const void* const dispatcher;
  // The drainer's batch; drainers run one at a time, on the dispatcher thread.
  std::vector<MpaMessageTask*> batch;
  // The state both sides touch, on a line of its own.
  struct alignas(64) Shared {
    // Newest first, linked by MpaMessageTask::next.
    std::atomic<MpaMessageTask*> head{nullptr};
    std::atomic<size_t> waiting{0};
    std::atomic<bool> drainerScheduled{false};
  };
  Shared shared;
};
