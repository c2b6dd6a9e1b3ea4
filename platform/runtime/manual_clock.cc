#include "platform/runtime/manual_clock.h"

#include <algorithm>
#include <optional>

#include "platform/runtime/manual_timer_factory.h"

namespace qbx {

ManualClock::ManualClock() : ManualClock(time_point(std::chrono::hours(24 * 365))) {}

ManualClock::ManualClock(time_point start) : now_(start) {}

ManualClock::time_point ManualClock::Now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void ManualClock::Attach(const std::shared_ptr<ManualTimerFactory>& factory) {
  std::lock_guard<std::mutex> lock(mutex_);
  factories_.erase(std::remove_if(factories_.begin(), factories_.end(),
                                  [](const auto& w) { return w.expired(); }),
                   factories_.end());
  factories_.push_back(factory);
}

void ManualClock::Advance(std::chrono::nanoseconds by) {
  std::lock_guard<std::mutex> advancing(advance_mutex_);
  time_point target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target = now_ + std::max(by, std::chrono::nanoseconds::zero());
  }
  for (;;) {
    std::vector<std::shared_ptr<ManualTimerFactory>> factories;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& w : factories_) {
        if (auto f = w.lock()) factories.push_back(std::move(f));
      }
    }
    std::shared_ptr<ManualTimerFactory> best;
    std::pair<time_point, uint64_t> best_key;
    for (auto& f : factories) {
      auto key = f->NextDue();
      if (key && key->first <= target && (!best || *key < best_key)) {
        best = f;
        best_key = *key;
      }
    }
    if (!best) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      now_ = std::max(now_, best_key.first);
    }
    best->FireNext();  // no clock lock held: the action may read Now() or schedule timers
  }
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = std::max(now_, target);
}

}  // namespace qbx
