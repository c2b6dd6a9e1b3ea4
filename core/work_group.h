// A named pool of worker threads that take shared work items from one first-in, first-out
// queue and run them, measuring themselves through six metrics in a metrics registry.
//
// The process has one such group, "framework", made by CreateFrameworkWorkGroup; it is
// released (and so stopped and joined) when a later call replaces it, or at process exit.
//
// Threading: Submit may be called from any thread. Start, Stop and the last Release are
// the owner's, from one thread that is not a worker of this group. mutex_ guards queue_,
// running_ and threads_ changes made by Start; cv_ works with it. idle_ is atomic because it
// is read without the mutex; each metric value has its own spin lock. A worker never holds
// mutex_ while an item runs, so items of different workers run in parallel.
//
// Lifecycle: created stopped; Start makes it running; Stop refuses new items, lets the
// workers run every item already queued, and joins them. The destructor stops the group.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "core/metric_counters.h"
#include "platform/runtime/ref_counted.h"

namespace qbx {

class AsioQbxProvider;

// A unit of work for a WorkGroup. The group stamps the queueing time when it accepts it.
class WorkItem {
 public:
  virtual ~WorkItem() = default;
  virtual void Run() = 0;

  std::chrono::steady_clock::time_point queued_time() const { return queued_time_; }

 private:
  friend class WorkGroup;
  std::chrono::steady_clock::time_point queued_time_{};  // written under the group mutex
};

using WorkItemPtr = std::shared_ptr<WorkItem>;

class WorkGroup : public RefCounted<WorkGroup, IRefCountable> {
 public:
  static constexpr const char* kQueueLength = "work_group/queue/length";
  static constexpr const char* kEnqueueFreq = "work_group/queue/enqueue_freq";
  static constexpr const char* kDequeueFreq = "work_group/queue/dequeue_freq";
  static constexpr const char* kQueuedTime = "work_group/item/queued_time";
  static constexpr const char* kProcessingTime = "work_group/item/processing_time";
  static constexpr const char* kIdleCount = "work_group/thread/idle_count";

  // A stopped, empty group with its six metrics. A metric name already holding a value of
  // another kind throws std::runtime_error. `requestedThreads` is recorded only.
  WorkGroup(std::string name, metrics::MetricRegistry& registry, int32_t requestedThreads);
  ~WorkGroup() override;

  WorkGroup(const WorkGroup&) = delete;
  WorkGroup& operator=(const WorkGroup&) = delete;

  // Starts `workers` worker threads. A group that already has workers is left as it is.
  void Start(int32_t workers);
  // Refuses new items, wakes the workers, and joins them once the queue is drained.
  void Stop();

  // 0: queued. -1: refused (null item, or the group is not running).
  int Submit(WorkItemPtr item);

  const std::string& name() const { return name_; }
  int32_t worker_count() const { return workerCount_.load(); }
  int32_t requested_thread_count() const { return requestedThreads_; }
  int32_t idle_workers() const { return idle_.load(); }
  bool running() const;

 private:
  void WorkerLoop();

  const std::string name_;
  std::atomic<int32_t> workerCount_{0};
  const int32_t requestedThreads_;
  bool running_ = false;        // guarded by mutex_
  std::atomic<int32_t> idle_{0};
  std::deque<WorkItemPtr> queue_;  // guarded by mutex_
  mutable std::mutex mutex_;
  std::condition_variable_any cv_;
  std::mutex threadsMutex_;  // serialises Start and Stop over threads_
  std::vector<std::thread> threads_;

  metrics::Metric<metrics::UnitCounter> queueLength_;
  metrics::Metric<metrics::FrequencyCounter> enqueueFreq_;
  metrics::Metric<metrics::FrequencyCounter> dequeueFreq_;
  metrics::Metric<metrics::LatencyCounter> queuedTime_;
  metrics::Metric<metrics::LatencyCounter> processingTime_;
  metrics::Metric<metrics::UnitCounter> idleCount_;
};

using WorkGroupPtr = boost::intrusive_ptr<WorkGroup>;

// Builds a "framework" group on `registry`, makes it the process-wide group, releases the
// group it replaces (stopping and joining it when that was the last reference) and starts
// ten workers on the new one. The registry must outlive the group.
WorkGroupPtr CreateFrameworkWorkGroup(metrics::MetricRegistry& registry);
// The same on the event-loop provider's metrics registry.
WorkGroupPtr CreateFrameworkWorkGroup(AsioQbxProvider& provider);
// The process-wide group, or null before the first CreateFrameworkWorkGroup.
WorkGroupPtr FrameworkWorkGroup();

}  // namespace qbx
