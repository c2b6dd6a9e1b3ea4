// The frequency counter: a count of events per collection period.
//
// Two slots of an event count; increment adds 1 to the live slot under the value's spin
// lock; collect freezes the live slot as the collected one and starts the next at 0.
#pragma once

#include <cstdint>
#include <string>

#include "platform/metrics/metric_registry.h"

namespace qbx {
namespace metrics {

class FrequencyCounter : public MetricValue {
 public:
  static constexpr uint64_t kTypeCode = 0x2080000000ULL;

  FrequencyCounter();

  void increment();
  FrequencyCounter& operator++() {
    increment();
    return *this;
  }
  // The event count of the live or the collected slot.
  uint64_t count(bool collected) const;

  // "s~count: N"
  std::string string(bool collected) const override;

 protected:
  void reset_impl() override;
  void collect_impl() override;
  void serialize_impl(Serializer& out, bool collected) const override;

 private:
  uint64_t counts_[2] = {0, 0};
  unsigned current_ = 0;
};

}  // namespace metrics
}  // namespace qbx
