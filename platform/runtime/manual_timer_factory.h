// The test timer service behind a ManualClock: timers wait in a deadline-ordered table and
// fire only from ManualClock::Advance.
//
// Threading: the factory's mutex guards the table; it is never held while an action runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/runtime/clock.h"
#include "platform/runtime/loop_core.h"
#include "platform/runtime/timer.h"

namespace qbx {

class ManualClock;
class ManualTimer;

class ManualTimerFactory : public TimerFactory,
                           public StoppableTimerService,
                           public std::enable_shared_from_this<ManualTimerFactory> {
 public:
  ManualTimerFactory(std::shared_ptr<LoopCore> core, std::shared_ptr<ManualClock> clock);

  std::shared_ptr<Timer> Schedule(std::chrono::nanoseconds delay, Action action) override;
  std::shared_ptr<Timer> ScheduleRepeated(std::chrono::nanoseconds interval, Action action,
                                          const TimerOptions& options) override;
  void CancelAll() override;

  // For ManualClock::Advance: the earliest pending deadline and its order number, if any.
  std::optional<std::pair<Clock::time_point, uint64_t>> NextDue();
  // Takes the earliest pending timer (due at `due`) out of the table and fires it on the loop.
  void FireNext();
  // Number of timers waiting (tests).
  size_t PendingForTest();

 private:
  friend class ManualTimer;
  std::shared_ptr<Timer> Make(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                              Action action);
  void Insert(Clock::time_point due, const std::shared_ptr<ManualTimer>& timer);

  std::shared_ptr<LoopCore> core_;
  std::weak_ptr<ManualClock> clock_;
  std::mutex mutex_;
  std::map<std::pair<Clock::time_point, uint64_t>, std::shared_ptr<ManualTimer>> table_;
};

}  // namespace qbx
