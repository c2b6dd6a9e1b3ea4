#include "platform/runtime/retry_policy.h"

#include <algorithm>
#include <cmath>

namespace qbx {

namespace {
std::chrono::milliseconds NonNegative(std::chrono::milliseconds d) {
  return std::max(d, std::chrono::milliseconds::zero());
}
}  // namespace

RetryPolicy::RetryPolicy()
    : RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(30000), 2.0,
                  kUnlimitedAttempts) {}

RetryPolicy::RetryPolicy(std::chrono::milliseconds interval)
    : RetryPolicy(interval, interval, 1.0, kUnlimitedAttempts) {}

RetryPolicy::RetryPolicy(std::chrono::milliseconds initial_delay,
                         std::chrono::milliseconds max_delay, double factor, uint32_t max_attempts)
    : initial_(NonNegative(initial_delay)),
      max_(std::max(NonNegative(max_delay), NonNegative(initial_delay))),
      factor_(std::isfinite(factor) && factor >= 1.0 ? factor : 1.0),
      max_attempts_(max_attempts),
      next_ms_(static_cast<double>(initial_.count())) {}

int64_t RetryPolicy::NextDelay() {
  if (max_attempts_ != kUnlimitedAttempts) {
    if (attempts_ >= max_attempts_) return -1;
    ++attempts_;
  } else if (attempts_ < kUnlimitedAttempts - 1) {
    ++attempts_;  // counted for diagnostics only; saturates instead of wrapping
  }
  const double max_ms = static_cast<double>(max_.count());
  const double current = std::min(next_ms_, max_ms);
  next_ms_ = std::min(current * factor_, max_ms);
  // A maximum near INT64_MAX does not survive the round trip through double exactly.
  if (current >= max_ms) return max_.count();
  return static_cast<int64_t>(current);
}

void RetryPolicy::Reset() {
  attempts_ = 0;
  next_ms_ = static_cast<double>(initial_.count());
}

}  // namespace qbx
