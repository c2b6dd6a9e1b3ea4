// Metric counters the daemon updates itself, over the metrics registry of
// platform/metrics: the unit counter, the latency counter with its stopwatch, and the named
// handle Metric<T> that binds a name in a registry to a value of one kind. The frequency
// counter is the metrics library's (platform/metrics/frequency_counter.h).
//
// Every value keeps two slots: the live one, which updates change, and the collected one,
// which the last collect froze. Updates are a few arithmetic operations under the value's
// spin lock and allocate nothing.
//
// Threading: values may be updated, collected, reset, printed and serialised from any
// thread; each of those takes the value's spin lock. A Metric handle itself is owned by one
// object and is not copied.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "platform/metrics/frequency_counter.h"
#include "platform/metrics/metric_registry.h"

namespace qbx {
namespace metrics {

namespace aggregation {
// How the slot's main value follows the updates: the last value reached / the last sample.
struct value_last {};
struct sample_last {};
}  // namespace aggregation

// The statistics a unit counter keeps per slot.
struct unit_aggregators {
  struct slot {
    uint64_t value = 0;  // the last value
    uint64_t num = 0;    // number of updates
    uint64_t min = 0;
    uint64_t max = 0;
  };
};

// The statistics a latency counter keeps per slot.
struct latency_aggregators {
  struct slot {
    uint64_t last = 0;
    uint64_t num = 0;
    uint64_t min = 0;
    uint64_t max = 0;
    double sum = 0;
    double avg = 0;  // sum / num, 0 without samples; computed at collection and on output
  };
};

// Two slots of `Aggregators::slot` with the live and the collected index.
template <class T, class Aggregation, class Aggregators>
class BaseCounter : public MetricValue {
 public:
  using slot_type = typename Aggregators::slot;

  // A copy of the live or the collected slot (avg of the live slot computed on the copy).
  slot_type snapshot(bool collected) const;

 protected:
  BaseCounter(uint64_t type, std::string units) : MetricValue(type, std::move(units)) {}

  slot_type& live() { return slots_[current_]; }
  const slot_type& chosen(bool collected) const { return slots_[collected ? collected_ : current_]; }
  void swap_slots() { std::swap(current_, collected_); }

  slot_type slots_[2];
  unsigned current_ = 0;
  unsigned collected_ = 1;
};

template <class T>
class UnitCounterT
    : public BaseCounter<T, aggregation::value_last, unit_aggregators> {
 public:
  static constexpr uint64_t kTypeCode = 0x180000000ULL;

  UnitCounterT();

  UnitCounterT& operator++();                // plus 1
  UnitCounterT& operator--();                // minus 1, wrapping below 0
  UnitCounterT& operator-=(uint64_t amount);  // wrapping below 0

  std::string string(bool collected) const override;

 protected:
  void reset_impl() override;
  void collect_impl() override;
  void serialize_impl(Serializer& out, bool collected) const override;

 private:
  void update(uint64_t value);  // with lock_ held
};

template <class Aggregators>
class LatencyCounterT
    : public BaseCounter<unsigned long, aggregation::sample_last, Aggregators> {
 public:
  static constexpr uint64_t kTypeCode = 0xD80000000ULL;

  LatencyCounterT();

  void record(uint64_t sample);

  std::string string(bool collected) const override;

 protected:
  void reset_impl() override;
  void collect_impl() override;
  void serialize_impl(Serializer& out, bool collected) const override;
};

using UnitCounter = UnitCounterT<unsigned long>;
using LatencyCounter = LatencyCounterT<latency_aggregators>;

// Records into the latency counter, when destroyed, the time since construction divided by
// 1000: microseconds of the steady clock.
template <class Counter>
class LatencyStopwatchT {
 public:
  explicit LatencyStopwatchT(Counter& counter)
      : counter_(counter), start_(std::chrono::steady_clock::now()) {}
  ~LatencyStopwatchT() {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start_);
    counter_.record(static_cast<uint64_t>(elapsed.count()) / 1000);
  }
  LatencyStopwatchT(const LatencyStopwatchT&) = delete;
  LatencyStopwatchT& operator=(const LatencyStopwatchT&) = delete;

 private:
  Counter& counter_;
  std::chrono::steady_clock::time_point start_;
};

using LatencyStopwatch = LatencyStopwatchT<LatencyCounter>;

// The named handle: the key of `name` (and tags) in a registry and a reference to its value
// of kind T, created by the first handle of that name. Throws std::runtime_error ("Metric:
// wrong value type (%lu != %lu)", logged with errorCode:MXLIB200) when the name already holds
// a value of another kind. Handles of one kind and name share one value.
template <class T>
class Metric {
 public:
  Metric(MetricRegistry& registry, const std::string& name, const tags& t = tags());
  ~Metric();
  Metric(const Metric&) = delete;
  Metric& operator=(const Metric&) = delete;

  // The value, created and attached to the key on first use.
  T& check_or_create_value();

  T& operator*() const { return *typed_; }
  T* operator->() const { return typed_; }
  T* get() const { return typed_; }
  const MetricKey& key() const { return *key_; }

 private:
  MetricKey* key_;
  MetricValuePtr value_;
  T* typed_ = nullptr;
};

// Builds the MXLIB200 text, logs it (when both levels allow) and throws it.
[[noreturn]] void ThrowWrongValueType(uint64_t found, uint64_t expected);

template <class T>
Metric<T>::Metric(MetricRegistry& registry, const std::string& name, const tags& t)
    : key_(registry.key(name, t)) {
  try {
    check_or_create_value();
  } catch (...) {
    value_.reset();
    key_->release();
    throw;
  }
}

template <class T>
Metric<T>::~Metric() {
  typed_ = nullptr;
  value_.reset();
  key_->release();
}

template <class T>
T& Metric<T>::check_or_create_value() {
  if (typed_ != nullptr) return *typed_;
  MetricValuePtr v = key_->instance([] { return MetricValuePtr(new T()); });
  value_ = v;
  if (v->type() != T::kTypeCode) ThrowWrongValueType(v->type(), T::kTypeCode);
  typed_ = static_cast<T*>(v.get());
  return *typed_;
}

}  // namespace metrics
}  // namespace qbx
