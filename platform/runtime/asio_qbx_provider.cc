#include "platform/runtime/asio_qbx_provider.h"

#include <algorithm>
#include <exception>

#include "base/logger.h"
#include "platform/metrics/metric_registry.h"
#include "platform/runtime/asio_timer_factory.h"
#include "platform/runtime/loop_core.h"
#include "platform/runtime/manual_clock.h"
#include "platform/runtime/manual_timer_factory.h"

namespace qbx {

using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

AsioQbxProvider::AsioQbxProvider(const Options& options, const std::string& name)
    : options_(options), name_(name), io_(std::make_shared<boost::asio::io_context>()) {
  Init(nullptr);
}

AsioQbxProvider::AsioQbxProvider(std::shared_ptr<boost::asio::io_context> io,
                                 const Options& options, const std::string& name)
    : options_(options),
      name_(name),
      io_(io ? std::move(io) : std::make_shared<boost::asio::io_context>()) {
  Init(nullptr);
}

AsioQbxProvider::AsioQbxProvider(const Options& options, const std::string& name,
                                 std::shared_ptr<ManualClock> clock)
    : options_(options), name_(name), io_(std::make_shared<boost::asio::io_context>()) {
  Init(std::move(clock));
}

void AsioQbxProvider::Init(std::shared_ptr<ManualClock> manual_clock) {
  core_ = std::make_shared<LoopCore>(io_, name_);
  dispatcher_ = std::make_unique<LoopDispatcher>(core_);
  if (manual_clock) {
    auto factory = std::make_shared<ManualTimerFactory>(core_, manual_clock);
    manual_clock->Attach(factory);
    timers_ = factory;
    clock_ = manual_clock;
  } else {
    timers_ = std::make_shared<AsioTimerFactory>(core_);
    clock_ = std::make_shared<SteadyClock>();
  }
  metrics_ = std::make_unique<metrics::MetricRegistry>();
}

AsioQbxProvider::~AsioQbxProvider() {
  StopAndWait(true);
  // The RPC side may still refer to the loop: release it before the loop's parts go, and
  // outside the provider's lock.
  std::shared_ptr<rpc::AsioQbxRpcProvider> rpc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rpc.swap(rpc_);
  }
  rpc.reset();
}

bool AsioQbxProvider::Run(int threads) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (core_->stopping() || core_->running_threads.load() > 0 || !threads_.empty()) return false;
    if (io_->stopped()) io_->restart();
    for (int i = 1; i < threads; ++i) {
      threads_.emplace_back([core = core_] { core->RunHere(0); });
    }
  }
  core_->RunHere(0);
  JoinThreads();
  return true;
}

bool AsioQbxProvider::RunAsync(int threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (core_->stopping() || core_->running_threads.load() > 0 || !threads_.empty()) {
    QBX_LOG(loglevel::kWarning).put("[%s] provider '%s' is stopped or already running", __func__,
                                    name_.c_str());
    return false;
  }
  if (io_->stopped()) io_->restart();
  // The guard keeps run() from returning while the loop is idle; Stop drops it.
  auto guard = std::make_shared<WorkGuard>(io_->get_executor());
  core_->async_running.store(true);
  for (int i = 0; i < std::max(threads, 1); ++i) {
    threads_.emplace_back([core = core_] { core->RunHere(0); });
  }
  // The guard is released by Stop through this internal handler-free holder.
  guard_ = std::move(guard);
  return true;
}

bool AsioQbxProvider::RunFor(std::chrono::nanoseconds limit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (core_->stopping() || !threads_.empty()) return false;
    if (io_->stopped()) io_->restart();
  }
  core_->RunHere(2, limit);
  return true;
}

void AsioQbxProvider::Stop() {
  if (!core_->MarkStopping()) return;
  QBX_LOG(loglevel::kDebug).put("[%s] stopping provider '%s'", __func__, name_.c_str());
  // No timer action starts after this point; queued tasks still drain.
  if (auto service = std::dynamic_pointer_cast<StoppableTimerService>(timers_)) {
    service->CancelAll();
  }
  std::shared_ptr<void> guard;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    guard.swap(guard_);
  }
  guard.reset();  // run() now returns once the queue is empty
  core_->async_running.store(false);
}

void AsioQbxProvider::StopAndWait(bool wait) {
  Stop();
  if (wait) JoinThreads();
}

void AsioQbxProvider::JoinThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      // Destroyed or stopped from its own loop thread: that thread ends by itself.
      t.detach();
    } else if (t.joinable()) {
      t.join();
    }
  }
}

bool AsioQbxProvider::IsStopped() const { return core_->stopping(); }

bool AsioQbxProvider::IsRunning() const { return core_->running_threads.load() > 0; }

std::shared_ptr<rpc::AsioQbxRpcProvider> AsioQbxProvider::RpcSlot(
    const std::function<std::shared_ptr<rpc::AsioQbxRpcProvider>(AsioQbxProvider&)>& make) {
  std::call_once(rpc_once_, [&] {
    std::shared_ptr<rpc::AsioQbxRpcProvider> made = make ? make(*this) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    rpc_ = std::move(made);
  });
  std::lock_guard<std::mutex> lock(mutex_);
  return rpc_;
}

std::shared_ptr<rpc::AsioQbxRpcProvider> AsioQbxProvider::RpcSlotIfSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rpc_;
}

}  // namespace qbx
