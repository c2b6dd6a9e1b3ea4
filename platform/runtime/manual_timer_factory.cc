#include "platform/runtime/manual_timer_factory.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/logger.h"
#include "platform/runtime/manual_clock.h"

namespace qbx {

namespace {
enum State : int { kArmed = 0, kFiring = 1, kDone = 2, kCancelled = 3 };

// One order across all manual timer services, so that ties between providers on one clock
// fire in scheduling order too.
std::atomic<uint64_t> next_order{0};
}  // namespace

class ManualTimer : public Timer {
 public:
  ManualTimer(std::weak_ptr<ManualTimerFactory> factory, std::chrono::nanoseconds interval,
              TimerFactory::Action action)
      : factory_(std::move(factory)), interval_(interval), action_(std::move(action)) {}

  void Cancel() override {
    int expected = kArmed;
    while (!state_.compare_exchange_weak(expected, kCancelled)) {
      if (expected == kCancelled || expected == kDone) return;
    }
    // The table entry is skipped and dropped lazily by the factory.
  }
  bool IsCancelled() const override { return state_.load() == kCancelled; }
  bool Pending() const { return state_.load() == kArmed; }

  // On the loop: runs the action unless cancelled meanwhile; re-arms a repeated timer.
  void Fire(Clock::time_point due, const std::shared_ptr<ManualTimer>& self,
            const std::string& provider) {
    int expected = kArmed;
    if (interval_.count() == 0) {
      if (!state_.compare_exchange_strong(expected, kDone)) return;
      LoopCore::Guarded(action_, "timer action", provider);
      action_ = nullptr;
      return;
    }
    if (!state_.compare_exchange_strong(expected, kFiring)) return;
    LoopCore::Guarded(action_, "repeated timer action", provider);
    expected = kFiring;
    auto factory = factory_.lock();
    if (factory && !factory->core_->stopping() && state_.compare_exchange_strong(expected, kArmed)) {
      factory->Insert(due + interval_, self);
      return;
    }
    state_.store(kCancelled);
  }

 private:
  std::weak_ptr<ManualTimerFactory> factory_;
  const std::chrono::nanoseconds interval_;
  TimerFactory::Action action_;  // used on the loop only
  std::atomic<int> state_{kArmed};
};

ManualTimerFactory::ManualTimerFactory(std::shared_ptr<LoopCore> core,
                                       std::shared_ptr<ManualClock> clock)
    : core_(std::move(core)), clock_(clock) {}

std::shared_ptr<Timer> ManualTimerFactory::Schedule(std::chrono::nanoseconds delay, Action action) {
  return Make(delay, std::chrono::nanoseconds::zero(), std::move(action));
}

std::shared_ptr<Timer> ManualTimerFactory::ScheduleRepeated(std::chrono::nanoseconds interval,
                                                            Action action, const TimerOptions&) {
  interval = std::max(interval, kMinRepeatInterval);
  return Make(interval, interval, std::move(action));
}

std::shared_ptr<Timer> ManualTimerFactory::Make(std::chrono::nanoseconds delay,
                                                std::chrono::nanoseconds interval, Action action) {
  auto timer = std::make_shared<ManualTimer>(weak_from_this(), interval, std::move(action));
  auto clock = clock_.lock();
  if (!clock || core_->stopping()) {
    timer->Cancel();
    return timer;
  }
  Insert(clock->Now() + std::max(delay, std::chrono::nanoseconds::zero()), timer);
  return timer;
}

void ManualTimerFactory::Insert(Clock::time_point due, const std::shared_ptr<ManualTimer>& timer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (core_->stopping()) {
    timer->Cancel();
    return;
  }
  table_.emplace(std::make_pair(due, next_order.fetch_add(1)), timer);
}

void ManualTimerFactory::CancelAll() {
  std::map<std::pair<Clock::time_point, uint64_t>, std::shared_ptr<ManualTimer>> table;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    table.swap(table_);
  }
  for (auto& entry : table) entry.second->Cancel();
}

std::optional<std::pair<Clock::time_point, uint64_t>> ManualTimerFactory::NextDue() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!table_.empty() && !table_.begin()->second->Pending()) table_.erase(table_.begin());
  if (table_.empty()) return std::nullopt;
  return table_.begin()->first;
}

void ManualTimerFactory::FireNext() {
  std::shared_ptr<ManualTimer> timer;
  Clock::time_point due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (table_.empty()) return;
    due = table_.begin()->first.first;
    timer = std::move(table_.begin()->second);
    table_.erase(table_.begin());
  }
  std::string provider = core_->name;
  core_->RunOnLoopAndWait([timer, due, provider] { timer->Fire(due, timer, provider); });
}

size_t ManualTimerFactory::PendingForTest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(table_.begin(), table_.end(),
                                           [](const auto& e) { return e.second->Pending(); }));
}

}  // namespace qbx
