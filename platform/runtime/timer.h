// Timers of an event-loop provider: the handle (qbx::Timer) and the service that makes them
// (qbx::TimerFactory).
//
// Contract of every implementation:
// - The action runs on the provider's loop, never inline in Schedule/ScheduleRepeated and
//   never while the timer service holds one of its locks.
// - Cancel may be called from any thread, also from inside the timer's own action. Once
//   Cancel has returned, the action does not start again; an invocation that had already
//   started when Cancel was called runs to its end. Cancelling twice, or after a one-shot
//   timer ran, does nothing.
// - Dropping the last handle does NOT cancel: a one-shot timer whose handle was dropped
//   still fires, and a repeated one keeps firing until the provider stops. Keep the handle
//   and Cancel it to stop a timer.
// - A negative delay counts as 0. A repeated interval below kMinRepeatInterval is raised to
//   it, so that a zero interval cannot turn the loop into a busy loop.
// - When the provider stops, every pending timer is cancelled and no action starts after
//   the stop request.
// - An exception thrown by an action is caught and logged; a repeated timer keeps running.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace qbx {

class Timer {
 public:
  virtual ~Timer() = default;
  virtual void Cancel() = 0;
  // True once Cancel was called or the provider stopped the timer.
  virtual bool IsCancelled() const = 0;
};

// Options of a timer. The default options are the only ones the daemon uses.
struct TimerOptions {};

class TimerFactory {
 public:
  using Action = std::function<void()>;
  static constexpr std::chrono::nanoseconds kMinRepeatInterval = std::chrono::milliseconds(1);

  virtual ~TimerFactory() = default;

  // Runs `action` once after `delay` (nanoseconds; any std::chrono duration of a coarser
  // unit such as milliseconds converts implicitly). Returns the timer's handle; never null,
  // but a timer scheduled after the provider was stopped is born cancelled and never fires.
  virtual std::shared_ptr<Timer> Schedule(std::chrono::nanoseconds delay, Action action) = 0;

  // Runs `action` every `interval`, the first time one interval from now. Each expiry is
  // measured from the previous deadline, not from the end of the action, so the period
  // does not drift; expiries missed while the loop was busy are not replayed one by one.
  virtual std::shared_ptr<Timer> ScheduleRepeated(std::chrono::nanoseconds interval, Action action,
                                                  const TimerOptions& options = TimerOptions()) = 0;
};

}  // namespace qbx
