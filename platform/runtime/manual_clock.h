// A clock for tests: time moves only when the test calls Advance.
//
// Providers constructed with a ManualClock take their timers from it. Advance(d) moves the
// time forward by d and fires every timer that falls due on the way, in deadline order
// (ties in scheduling order), each on its provider's loop: Now() reads the timer's deadline
// while its action runs. Repeated timers fire once per period that fits in the advance.
// Advance returns when all those actions have run:
// - called on a loop thread of the timer's provider, the action runs inline;
// - when the provider runs loop threads (RunAsync), the action is posted there and Advance
//   waits for it;
// - when the provider runs no thread, the action runs on the calling thread through the
//   provider's io_context (which also runs whatever else was posted before it).
// Actions scheduled during an Advance that fall due within it fire within it too.
//
// Threading: Now may be called from any thread. Advance is meant for the test's own thread;
// concurrent Advance calls are serialised.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/runtime/clock.h"

namespace qbx {

class ManualTimerFactory;

class ManualClock : public Clock, public std::enable_shared_from_this<ManualClock> {
 public:
  // Starts at an arbitrary fixed point, not at the epoch, so that code subtracting
  // durations from "now" does not underflow.
  ManualClock();
  explicit ManualClock(time_point start);

  time_point Now() const override;
  void Advance(std::chrono::nanoseconds by);

  // Used by the timer services built on this clock.
  void Attach(const std::shared_ptr<ManualTimerFactory>& factory);

 private:
  mutable std::mutex mutex_;  // guards now_ and factories_
  time_point now_;
  std::vector<std::weak_ptr<ManualTimerFactory>> factories_;
  std::mutex advance_mutex_;  // serialises Advance; held while actions run (test-only clock)
};

}  // namespace qbx
