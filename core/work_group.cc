#include "core/work_group.h"

#include <cstdlib>
#include <exception>
#include <system_error>
#include <utility>

#include "base/logger.h"
#include "platform/runtime/asio_qbx_provider.h"

namespace qbx {

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr int32_t kFrameworkWorkers = 10;

uint64_t MicrosSince(std::chrono::steady_clock::time_point start,
                     std::chrono::steady_clock::time_point now) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
  return ns > 0 ? static_cast<uint64_t>(ns) / 1000 : 0;
}

}  // namespace

WorkGroup::WorkGroup(std::string name, metrics::MetricRegistry& registry, int32_t requestedThreads)
    : name_(std::move(name)),
      requestedThreads_(requestedThreads),
      queueLength_(registry, kQueueLength),
      enqueueFreq_(registry, kEnqueueFreq),
      dequeueFreq_(registry, kDequeueFreq),
      queuedTime_(registry, kQueuedTime),
      processingTime_(registry, kProcessingTime),
      idleCount_(registry, kIdleCount) {}

// Stop drains the queue before the workers end, and Submit refuses items while the group
// is not running, so nothing is left queued here.
WorkGroup::~WorkGroup() { Stop(); }

bool WorkGroup::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void WorkGroup::Start(int32_t workers) {
  std::lock_guard<std::mutex> threadsLock(threadsMutex_);
  if (!threads_.empty()) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[%s] work group %s is already started\n", __func__, name_.c_str());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
  }
  workerCount_ = workers > 0 ? workers : 0;
  for (int32_t i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { WorkerLoop(); });
    } catch (const std::system_error& e) {
      // Carry on with the workers that did start.
      workerCount_ = static_cast<int32_t>(threads_.size());
      QBX_LOG(loglevel::kError)
          .subcomp(kSubcomp)
          .put("[%s] work group %s started %d of %d workers: %s\n", __func__, name_.c_str(),
               static_cast<int>(threads_.size()), static_cast<int>(workers), e.what());
      break;
    }
  }
}

void WorkGroup::Stop() {
  std::lock_guard<std::mutex> threadsLock(threadsMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  cv_.notify_all();
  const std::thread::id self = std::this_thread::get_id();
  for (std::thread& t : threads_) {
    if (t.get_id() == self) {
      // Stopped from one of its own items: that worker ends on its own after the item.
      t.detach();
    } else if (t.joinable()) {
      t.join();
    }
  }
  threads_.clear();
}

int WorkGroup::Submit(WorkItemPtr item) {
  if (!item) {
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) {
      return -1;
    }
    item->queued_time_ = std::chrono::steady_clock::now();
    queue_.push_back(std::move(item));
    ++*queueLength_;
    ++*enqueueFreq_;
  }
  cv_.notify_one();
  return 0;
}

void WorkGroup::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!queue_.empty()) {
      WorkItemPtr item = std::move(queue_.front());
      queue_.pop_front();
      const auto now = std::chrono::steady_clock::now();
      --*queueLength_;
      ++*dequeueFreq_;
      queuedTime_->record(MicrosSince(item->queued_time_, now));
      lock.unlock();
      {
        metrics::LatencyStopwatch stopwatch(*processingTime_);
        try {
          item->Run();
        } catch (const std::exception& e) {
          QBX_LOG(loglevel::kError)
              .subcomp(kSubcomp)
              .put("[%s] work group %s: work item threw exception: %s\n", __func__, name_.c_str(),
                   e.what());
        } catch (...) {
          QBX_LOG(loglevel::kError)
              .subcomp(kSubcomp)
              .put("[%s] work group %s: work item threw exception\n", __func__, name_.c_str());
        }
      }
      // The item's last reference may run arbitrary code: drop it before taking the lock.
      item.reset();
      lock.lock();
      continue;
    }
    if (!running_) {
      break;
    }
    ++idle_;
    ++*idleCount_;
    cv_.wait(lock);
    --idle_;
    --*idleCount_;
  }
}

namespace {

// The process-wide "framework" group. The mutex keeps a reader from taking a reference to
// a group that a concurrent replacement is releasing.
std::mutex g_frameworkMutex;
WorkGroup* g_framework = nullptr;  // holds one reference; guarded by g_frameworkMutex

void ReleaseFrameworkAtExit() {
  WorkGroup* group = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_frameworkMutex);
    std::swap(group, g_framework);
  }
  if (group != nullptr) {
    group->Release();
  }
}

}  // namespace

WorkGroupPtr CreateFrameworkWorkGroup(metrics::MetricRegistry& registry) {
  static std::once_flag atExitOnce;
  std::call_once(atExitOnce, [] { std::atexit(&ReleaseFrameworkAtExit); });

  WorkGroupPtr group(new WorkGroup("framework", registry, -1));
  WorkGroup* previous = group.get();
  previous->AddRef();  // the process-wide pointer's reference
  {
    std::lock_guard<std::mutex> lock(g_frameworkMutex);
    std::swap(previous, g_framework);
  }
  if (previous != nullptr) {
    // Stops and joins the old group when this was its last reference.
    previous->Release();
  }
  group->Start(kFrameworkWorkers);
  return group;
}

WorkGroupPtr CreateFrameworkWorkGroup(AsioQbxProvider& provider) {
  return CreateFrameworkWorkGroup(provider.metrics());
}

WorkGroupPtr FrameworkWorkGroup() {
  std::lock_guard<std::mutex> lock(g_frameworkMutex);
  return WorkGroupPtr(g_framework);
}

}  // namespace qbx
