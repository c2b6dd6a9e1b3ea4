// The event-loop provider: one Boost.Asio io_context with its threads, the dispatcher that
// is the only way into it, its timer service, its metrics registry and a slot for its RPC
// side.
//
// Lifecycle: constructed idle. Run executes the loop on the calling thread until it has no
// more work (or Stop); RunAsync starts threads that keep the loop alive until
// Stop/StopAndWait; RunFor runs it on the caller for at most a given time. Stop (also
// StopAndWait) is final: Post is refused from then on, pending timers are cancelled, and
// the loop threads drain the work that was accepted before the stop and end. A stopped
// provider cannot be run again. The destructor stops the provider and joins its threads
// (a provider destroyed on one of its own loop threads detaches that thread instead of
// joining itself).
//
// Threading: every operation may be called from any thread. Run/RunAsync/RunFor are
// meant to be called by the owner, once. Internal state is guarded by one mutex that is
// never held while a task, a timer action or any other callback runs.
//
// Tests: construct with a ManualClock to get a timer service driven by
// ManualClock::Advance instead of real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "platform/runtime/clock.h"
#include "platform/runtime/dispatcher.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace metrics {
class MetricRegistry;
}
namespace rpc {
class AsioQbxRpcProvider;
}

class ManualClock;
struct LoopCore;

class AsioQbxProvider {
 public:
  // Construction options. The values are recorded for callers that pass them; none of them
  // changes the behaviour of this provider.
  struct Options {
    bool first_flag = false;
    bool second_flag = false;
    int32_t number = 0;
  };

  // A provider with its own io_context and real (steady) time.
  AsioQbxProvider(const Options& options, const std::string& name);
  // A provider on an io_context owned with others (the configuration-database holder builds
  // its own io_context first). Nobody else should run that io_context.
  AsioQbxProvider(std::shared_ptr<boost::asio::io_context> io, const Options& options,
                  const std::string& name);
  // A provider whose timers follow `clock` (tests). Null means real time.
  AsioQbxProvider(const Options& options, const std::string& name,
                  std::shared_ptr<ManualClock> clock);
  ~AsioQbxProvider();

  AsioQbxProvider(const AsioQbxProvider&) = delete;
  AsioQbxProvider& operator=(const AsioQbxProvider&) = delete;

  // Runs the loop on the calling thread plus `threads - 1` helper threads until no work is
  // left or the provider is stopped; returns then. Returns false at once when the provider
  // is stopped or already running.
  bool Run(int threads = 1);
  // Starts `threads` loop threads (at least 1) that run until Stop. Returns false when the
  // provider is stopped or already running.
  bool RunAsync(int threads = 1);
  // Runs the loop on the calling thread for at most `limit`, or until no work is left.
  bool RunFor(std::chrono::nanoseconds limit);

  // Requests the stop and returns; the loop threads drain and end on their own.
  void Stop();
  // Stop, then, when `wait` is true, join the loop threads started by RunAsync (never the
  // calling thread itself).
  void StopAndWait(bool wait = true);

  bool IsStopped() const;
  bool IsRunning() const;
  const std::string& name() const { return name_; }
  const Options& options() const { return options_; }

  Dispatcher& dispatcher() { return *dispatcher_; }
  TimerFactory& timers() { return *timers_; }
  const Clock& clock() const { return *clock_; }
  metrics::MetricRegistry& metrics() { return *metrics_; }
  boost::asio::io_context& io_context() { return *io_; }

  // The RPC side of this provider lives in the RPC layer's library, which builds on this
  // one, so the provider only keeps a slot for it. The RPC layer defines rpc(), creating
  // its object on first use through RpcSlot().
  rpc::AsioQbxRpcProvider& rpc();
  // Returns the slot's object, creating it with `make` on the first call (once, also under
  // concurrent calls; `make` runs without the provider's lock held by another caller's
  // `make`). The object is destroyed after the loop threads have ended and before the
  // io_context, and never while the provider's lock is held.
  std::shared_ptr<rpc::AsioQbxRpcProvider> RpcSlot(
      const std::function<std::shared_ptr<rpc::AsioQbxRpcProvider>(AsioQbxProvider&)>& make);
  // The slot's object if one was created, else null.
  std::shared_ptr<rpc::AsioQbxRpcProvider> RpcSlotIfSet() const;

 private:
  void Init(std::shared_ptr<ManualClock> manual_clock);
  void JoinThreads();

  const Options options_;
  const std::string name_;
  std::shared_ptr<boost::asio::io_context> io_;
  std::shared_ptr<LoopCore> core_;
  std::shared_ptr<Clock> clock_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::shared_ptr<TimerFactory> timers_;
  std::unique_ptr<metrics::MetricRegistry> metrics_;

  mutable std::mutex mutex_;  // guards threads_, rpc_ and the run flags in core_
  std::vector<std::thread> threads_;
  std::shared_ptr<void> guard_;  // keeps the loop alive between RunAsync and Stop
  std::once_flag rpc_once_;
  std::shared_ptr<rpc::AsioQbxRpcProvider> rpc_;
};

}  // namespace qbx
