// The time source of an event-loop provider.
//
// Production code reads the steady clock; tests hand a provider a ManualClock
// (platform/runtime/manual_clock.h) and move time on explicitly, so that nothing waits
// through a real protocol period.
#pragma once

#include <chrono>

namespace qbx {

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;
  // Monotonic; safe to call from any thread.
  virtual time_point Now() const = 0;
};

class SteadyClock : public Clock {
 public:
  time_point Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace qbx
