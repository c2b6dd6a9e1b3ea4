#include "aggsvc/mpa_answer_queue.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/logger.h"
#include "core/spin_wait.h"
#include "core/task_thread.h"

namespace {

constexpr const char* kSubcomp = "agg-service";
using qbx::MayRunOnSeveralCpus;

// Runs on the dispatcher thread for as long as answers keep coming; queued there only when
// none is queued or running.
class Drainer : public Runnable {
 public:
  explicit Drainer(std::shared_ptr<MpaAnswerQueue> queue) : queue(std::move(queue)) {}
  void Run() override { queue->Drain(); }
  void Cleanup() override {}

 private:
  std::shared_ptr<MpaAnswerQueue> queue;
};

}  // namespace

void MpaAnswerQueue::DeleteList(MpaMessageTask* list) {
  while (list != nullptr) {
    MpaMessageTask* following = list->next;
    delete list;
    list = following;
  }
}

MpaAnswerQueue::MpaAnswerQueue(size_t capacity, std::shared_ptr<MpaMessageTaskPool> pool, const void* dispatcher)
    : capacity(capacity == 0 ? 1 : capacity), pool(std::move(pool)), dispatcher(dispatcher) {}

MpaAnswerQueue::~MpaAnswerQueue() {
  DeleteList(shared.head.exchange(nullptr, std::memory_order_acquire));
}

MpaAnswerQueue::PushResult MpaAnswerQueue::Push(std::unique_ptr<MpaMessageTask>& task) {
  // Only the drainer lowers the count and producers push one at a time, so the bound holds.
  if (shared.waiting.load(std::memory_order_relaxed) >= capacity) return PushResult::kFull;
  shared.waiting.fetch_add(1, std::memory_order_relaxed);
  MpaMessageTask* pushed = task.release();
  pushed->next = shared.head.load(std::memory_order_relaxed);
  // Sequentially consistent, as the drainer's finish: either the finishing drainer sees this
  // task, or this producer sees that no drainer is scheduled any more.
  while (!shared.head.compare_exchange_weak(pushed->next, pushed, std::memory_order_seq_cst,
                                            std::memory_order_relaxed)) {
  }
  if (shared.drainerScheduled.load(std::memory_order_seq_cst) ||
      shared.drainerScheduled.exchange(true, std::memory_order_seq_cst)) {
    return PushResult::kQueued;
  }
  return PushResult::kStartDrainer;
}

std::unique_ptr<Runnable> MpaAnswerQueue::MakeDrainer() { return std::make_unique<Drainer>(shared_from_this()); }

std::vector<std::unique_ptr<MpaMessageTask>> MpaAnswerQueue::TakeBack() {
  std::vector<MpaMessageTask*> taken;
  TakeAll(taken);
  shared.drainerScheduled.store(false, std::memory_order_seq_cst);
  std::vector<std::unique_ptr<MpaMessageTask>> tasks;
  tasks.reserve(taken.size());
  for (MpaMessageTask* task : taken) tasks.emplace_back(task);
  return tasks;
}

void MpaAnswerQueue::TakeAll(std::vector<MpaMessageTask*>& oldestFirst) {
  oldestFirst.clear();
  // The links are only read here: the tasks stay clean in this core's cache for the request
  // thread that fills them again.
  for (MpaMessageTask* task = shared.head.exchange(nullptr, std::memory_order_acquire); task != nullptr;
       task = task->next) {
    oldestFirst.push_back(task);
  }
  std::reverse(oldestFirst.begin(), oldestFirst.end());
  if (!oldestFirst.empty()) shared.waiting.fetch_sub(oldestFirst.size(), std::memory_order_relaxed);
}

bool MpaAnswerQueue::SpinForWork() const {
  return qbx::SpinUntil([this] { return shared.head.load(std::memory_order_relaxed) != nullptr; }, kSpinBudget);
}

void MpaAnswerQueue::RunOne(MpaMessageTask* raw) {
  std::unique_ptr<MpaMessageTask> task(raw);
  RunTaskContained(*task, dispatcher);
  pool->Give(std::move(task));
}

void MpaAnswerQueue::Drain() {
  const bool spin = MayRunOnSeveralCpus();
  for (;;) {
    TakeAll(batch);
    if (batch.empty()) {
      if (spin && SpinForWork()) continue;
      // Finishing. A producer that pushes from here on finds no drainer and queues one,
      // unless this drainer sees its task first and stays.
      shared.drainerScheduled.store(false, std::memory_order_seq_cst);
      if (shared.head.load(std::memory_order_seq_cst) == nullptr) return;
      if (shared.drainerScheduled.exchange(true, std::memory_order_seq_cst)) return;  // a new drainer takes over
      continue;
    }
    size_t done = 0;
    try {
      for (; done < batch.size(); ++done) RunOne(batch[done]);
    } catch (abi::__forced_unwind&) {
      // The thread is being cancelled: what it has not run is freed, not sent.
      for (size_t i = done + 1; i < batch.size(); ++i) delete batch[i];
      batch.clear();
      throw;
    }
    batch.clear();
  }
}
