#include "platform/metrics/frequency_counter.h"

#include <mutex>

namespace qbx {
namespace metrics {

FrequencyCounter::FrequencyCounter() : MetricValue(kTypeCode, std::string()) {}

void FrequencyCounter::increment() {
  std::lock_guard<SpinLock> lock(lock_);
  ++counts_[current_];
}

uint64_t FrequencyCounter::count(bool collected) const {
  std::lock_guard<SpinLock> lock(lock_);
  return counts_[collected ? 1 - current_ : current_];
}

std::string FrequencyCounter::string(bool collected) const {
  return "s~count: " + std::to_string(count(collected));
}

void FrequencyCounter::reset_impl() {
  std::lock_guard<SpinLock> lock(lock_);
  reset_base();
  counts_[current_] = 0;
}

void FrequencyCounter::collect_impl() {
  std::lock_guard<SpinLock> lock(lock_);
  collect_base();
  current_ = 1 - current_;
  counts_[current_] = 0;
}

void FrequencyCounter::serialize_impl(Serializer& out, bool collected) const {
  std::lock_guard<SpinLock> lock(lock_);
  const uint64_t n = counts_[collected ? 1 - current_ : current_];
  out.Units(units());
  out.Text("s~count: " + std::to_string(n));
  out.Field("count", n);
}

}  // namespace metrics
}  // namespace qbx
