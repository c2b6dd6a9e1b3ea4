// A back-off policy: a sequence of waits (milliseconds) that grows by a factor from an
// initial delay up to a maximum, for a limited or unlimited number of attempts.
//
// NextDelay returns the wait before the next attempt, or -1 once the attempts are used up
// (at the first call with 0 attempts). An attempt count of UINT32_MAX (what -1 becomes in
// the unsigned parameter) never runs out. Reset starts the sequence again. The returned wait
// is never negative and never above the maximum: negative inputs count as 0, a maximum
// below the initial delay is raised to it, and a factor below 1 (or not a number) counts as 1.
//
// A value type; not thread-safe (its owners keep it under their own locks).
#pragma once

#include <chrono>
#include <cstdint>

namespace qbx {

class RetryPolicy {
 public:
  static constexpr uint32_t kUnlimitedAttempts = UINT32_MAX;

  // 1000 ms, doubling up to 30000 ms, unlimited attempts.
  RetryPolicy();
  // The same interval every time, unlimited attempts.
  explicit RetryPolicy(std::chrono::milliseconds interval);
  RetryPolicy(std::chrono::milliseconds initial_delay, std::chrono::milliseconds max_delay,
              double factor, uint32_t max_attempts);

  int64_t NextDelay();
  void Reset();

  std::chrono::milliseconds initial_delay() const { return initial_; }
  std::chrono::milliseconds max_delay() const { return max_; }
  double factor() const { return factor_; }
  uint32_t max_attempts() const { return max_attempts_; }
  uint32_t attempts_made() const { return attempts_; }

 private:
  std::chrono::milliseconds initial_;
  std::chrono::milliseconds max_;
  double factor_;
  uint32_t max_attempts_;
  uint32_t attempts_ = 0;
  double next_ms_;
};

}  // namespace qbx
