// Internal to the runtime stand-in: the state shared by a provider, its dispatcher and its
// timer services. Held by shared pointer so that timers and handles that outlive the
// provider still find a valid io_context (on which they then simply never run).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "platform/runtime/dispatcher.h"

namespace qbx {

struct LoopCore : std::enable_shared_from_this<LoopCore> {
  LoopCore(std::shared_ptr<boost::asio::io_context> io_context, std::string provider_name)
      : io(std::move(io_context)),
        name(std::move(provider_name)),
        shared_name(std::make_shared<const std::string>(name)) {}

  // Queues `task` unless the provider is stopping; the check and the queuing happen under
  // post_mutex shared, and the stop flag is set under it exclusively, so that every task
  // accepted before the stop is in the queue when the loop starts draining.
  bool Post(std::function<void()> task, const char* caller);
  // Queues an internal handler even while stopping (timer cancellation, clean-up).
  void PostInternal(std::function<void()> task);
  // Sets the stop flag; true on the first call.
  bool MarkStopping();
  bool stopping() const { return stopping_flag.load(std::memory_order_acquire); }

  bool IsLoopThread() const;
  // Runs `fn` on the loop and returns when it has run (see ManualClock::Advance).
  void RunOnLoopAndWait(const std::function<void()>& fn);
  // Runs the io_context on the calling thread, marked as a loop thread. `mode` 0 run,
  // 1 poll, otherwise run_for(limit).
  void RunHere(int mode, std::chrono::nanoseconds limit = {});

  // Runs `fn`, logging and swallowing any exception.
  static void Guarded(const std::function<void()>& fn, const char* what, const std::string& name);

  std::shared_ptr<boost::asio::io_context> io;
  const std::string name;
  // Handlers queued on the io_context carry this rather than the core, so that a handler
  // that is never run cannot keep the core (and with it the io_context) alive.
  const std::shared_ptr<const std::string> shared_name;
  std::shared_mutex post_mutex;
  std::atomic<bool> stopping_flag{false};
  std::atomic<bool> async_running{false};  // loop threads started by RunAsync hold a guard
  std::atomic<int> running_threads{0};     // threads inside RunHere
};

class LoopDispatcher : public Dispatcher {
 public:
  explicit LoopDispatcher(std::shared_ptr<LoopCore> core) : core_(std::move(core)) {}
  bool Post(Task task) override { return core_->Post(std::move(task), "Dispatcher::Post"); }
  bool IsLoopThread() const override { return core_->IsLoopThread(); }

 private:
  std::shared_ptr<LoopCore> core_;
};

// Implemented by the timer services so that the provider can cancel every timer on stop.
class StoppableTimerService {
 public:
  virtual ~StoppableTimerService() = default;
  virtual void CancelAll() = 0;
};

}  // namespace qbx
