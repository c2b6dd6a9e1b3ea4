#include "platform/runtime/asio_timer_factory.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "base/logger.h"

namespace qbx {

namespace {
enum State : int { kArmed = 0, kFiring = 1, kDone = 2, kCancelled = 3 };

std::chrono::nanoseconds NonNegative(std::chrono::nanoseconds d) {
  return std::max(d, std::chrono::nanoseconds::zero());
}
}  // namespace

// One steady timer. The state decides atomically whether an expiry may start the action,
// so that a Cancel that returned is never followed by a new start of the action.
class AsioTimer : public Timer, public std::enable_shared_from_this<AsioTimer> {
 public:
  AsioTimer(std::shared_ptr<LoopCore> core, std::weak_ptr<AsioTimerRegistry> registry,
            std::chrono::nanoseconds interval, TimerFactory::Action action)
      : core_(std::move(core)),
        registry_(std::move(registry)),
        timer_(*core_->io),
        interval_(interval),
        action_(std::move(action)) {}

  void Start(std::chrono::nanoseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_.load() != kArmed) return;
    deadline_ = std::chrono::steady_clock::now() + NonNegative(delay);
    ArmLocked();
  }

  void Cancel() override {
    int expected = kArmed;
    while (!state_.compare_exchange_weak(expected, kCancelled)) {
      if (expected == kCancelled || expected == kDone) return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timer_.cancel();  // completes a pending wait with operation_aborted
    }
    Unregister();
  }

  bool IsCancelled() const override { return state_.load() == kCancelled; }

 private:
  void ArmLocked() {
    timer_.expires_at(deadline_);
    timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      if (auto self = weak.lock()) self->OnExpiry(ec);
    });
  }

  // Drops the registry's reference; the caller holds its own.
  void Unregister() {
    if (auto registry = registry_.lock()) {
      std::shared_ptr<AsioTimer> mine;
      {
        std::lock_guard<std::mutex> lock(registry->mutex);
        auto it = registry->live.find(this);
        if (it != registry->live.end()) {
          mine = std::move(it->second);
          registry->live.erase(it);
        }
      }
    }
  }

  void OnExpiry(const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    int expected = kArmed;
    if (interval_.count() == 0) {
      if (!state_.compare_exchange_strong(expected, kDone)) return;
      Unregister();
      LoopCore::Guarded(action_, "timer action", core_->name);
      action_ = nullptr;  // drop what the action captured
      return;
    }
    if (!state_.compare_exchange_strong(expected, kFiring)) return;
    LoopCore::Guarded(action_, "repeated timer action", core_->name);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      expected = kFiring;
      if (!core_->stopping() && state_.compare_exchange_strong(expected, kArmed)) {
        // Next deadline on the original grid; periods missed while the loop was busy are
        // skipped rather than replayed back to back.
        auto now = std::chrono::steady_clock::now();
        deadline_ += interval_;
        if (deadline_ <= now) deadline_ += ((now - deadline_) / interval_ + 1) * interval_;
        ArmLocked();
        return;
      }
    }
    state_.store(kCancelled);
    Unregister();
  }

  std::shared_ptr<LoopCore> core_;
  std::weak_ptr<AsioTimerRegistry> registry_;
  std::mutex mutex_;  // guards timer_ and deadline_
  boost::asio::steady_timer timer_;
  std::chrono::steady_clock::time_point deadline_;
  const std::chrono::nanoseconds interval_;  // 0 for a one-shot timer
  TimerFactory::Action action_;              // used on the loop thread only
  std::atomic<int> state_{kArmed};
};

AsioTimerFactory::AsioTimerFactory(std::shared_ptr<LoopCore> core)
    : core_(std::move(core)), registry_(std::make_shared<AsioTimerRegistry>()) {}

AsioTimerFactory::~AsioTimerFactory() { CancelAll(); }

std::shared_ptr<Timer> AsioTimerFactory::Schedule(std::chrono::nanoseconds delay, Action action) {
  return Make(delay, std::chrono::nanoseconds::zero(), std::move(action));
}

std::shared_ptr<Timer> AsioTimerFactory::ScheduleRepeated(std::chrono::nanoseconds interval,
                                                          Action action, const TimerOptions&) {
  if (interval < kMinRepeatInterval) {
    QBX_LOG(loglevel::kWarning).put("[%s] interval of %lld ns raised to the minimum", __func__,
                                    static_cast<long long>(interval.count()));
    interval = kMinRepeatInterval;
  }
  return Make(interval, interval, std::move(action));
}

std::shared_ptr<Timer> AsioTimerFactory::Make(std::chrono::nanoseconds delay,
                                              std::chrono::nanoseconds interval, Action action) {
  auto timer = std::make_shared<AsioTimer>(core_, registry_, interval, std::move(action));
  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(registry_->mutex);
    // Checked under the mutex that CancelAll takes: a timer is either seen by CancelAll or
    // born cancelled.
    if (core_->stopping()) {
      refused = true;
    } else {
      registry_->live.emplace(timer.get(), timer);
    }
  }
  if (refused) {
    timer->Cancel();
    QBX_LOG(loglevel::kWarning).put("[%s] provider '%s' is stopping, timer not armed", __func__,
                                    core_->name.c_str());
    return timer;
  }
  timer->Start(delay);
  return timer;
}

void AsioTimerFactory::CancelAll() {
  std::vector<std::shared_ptr<AsioTimer>> timers;
  {
    std::lock_guard<std::mutex> lock(registry_->mutex);
    for (auto& entry : registry_->live) timers.push_back(entry.second);
  }
  for (auto& t : timers) t->Cancel();
}

}  // namespace qbx
