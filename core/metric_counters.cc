#include "core/metric_counters.h"

#include <limits>
#include <mutex>
#include <sstream>

#include "base/logger.h"

namespace qbx {
namespace metrics {

namespace {
// Widens min/max to include `v`; the first update of a slot sets both.
template <class Slot>
void Widen(Slot& s, uint64_t v) {
  if (s.num == 1) {
    s.min = v;
    s.max = v;
  } else {
    if (v < s.min) s.min = v;
    if (v > s.max) s.max = v;
  }
}

std::string UnitsPrefix(const std::string& units) {
  return units.empty() ? std::string() : "units: " + units + ", ";
}

double Average(double sum, uint64_t num) { return num == 0 ? 0.0 : sum / static_cast<double>(num); }
}  // namespace

void ThrowWrongValueType(uint64_t found, uint64_t expected) {
  char text[128];
  snprintf(text, sizeof(text), "Metric: wrong value type (%lu != %lu)",
           static_cast<unsigned long>(found), static_cast<unsigned long>(expected));
  if (library_log_level.load(std::memory_order_relaxed) >= loglevel::kError) {
    QBX_LOG(loglevel::kError).s2comp("qbx-metrics").tag("errorCode:MXLIB200").put("%s", text);
  }
  throw std::runtime_error(text);
}

template <class T, class Aggregation, class Aggregators>
typename BaseCounter<T, Aggregation, Aggregators>::slot_type
BaseCounter<T, Aggregation, Aggregators>::snapshot(bool collected) const {
  std::lock_guard<SpinLock> lock(this->lock_);
  return chosen(collected);
}

// ---- unit counter

template <class T>
UnitCounterT<T>::UnitCounterT()
    : BaseCounter<T, aggregation::value_last, unit_aggregators>(kTypeCode, std::string()) {}

template <class T>
void UnitCounterT<T>::update(uint64_t value) {
  auto& s = this->live();
  s.value = value;
  ++s.num;
  Widen(s, value);
}

template <class T>
UnitCounterT<T>& UnitCounterT<T>::operator++() {
  std::lock_guard<SpinLock> lock(this->lock_);
  update(this->live().value + 1);
  return *this;
}

template <class T>
UnitCounterT<T>& UnitCounterT<T>::operator--() {
  std::lock_guard<SpinLock> lock(this->lock_);
  update(this->live().value - 1);  // unsigned: wraps below 0
  return *this;
}

template <class T>
UnitCounterT<T>& UnitCounterT<T>::operator-=(uint64_t amount) {
  std::lock_guard<SpinLock> lock(this->lock_);
  update(this->live().value - amount);
  return *this;
}

static std::string UnitText(const std::string& units, const unit_aggregators::slot& s) {
  std::ostringstream out;
  out << UnitsPrefix(units) << "v~last: " << s.value << ", "
      << "s~num: " << s.num << ", "
      << "s~min: " << s.min << ", s~max: " << s.max;
  return out.str();
}

template <class T>
std::string UnitCounterT<T>::string(bool collected) const {
  return UnitText(this->units(), this->snapshot(collected));
}

template <class T>
void UnitCounterT<T>::reset_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  auto& s = this->live();
  s.num = s.min = s.max = 0;
}

template <class T>
void UnitCounterT<T>::collect_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  this->collect_base();
  // The spare slot becomes the new live one: it continues from the same value with fresh
  // statistics, and the slot that was live is frozen as the collected one.
  auto& next = this->slots_[this->collected_];
  next.num = next.min = next.max = 0;
  next.value = this->live().value;
  this->swap_slots();
}

template <class T>
void UnitCounterT<T>::serialize_impl(Serializer& out, bool collected) const {
  // One snapshot for the text and the fields, so that both show the same updates. The
  // serializer is called after the spin lock is released.
  const unit_aggregators::slot s = this->snapshot(collected);
  out.Units(this->units());
  out.Text(UnitText(this->units(), s));
  out.Field("value", s.value);
  out.Field("num", s.num);
  out.Field("min", s.min);
  out.Field("max", s.max);
}

// ---- latency counter

template <class Aggregators>
LatencyCounterT<Aggregators>::LatencyCounterT()
    : BaseCounter<unsigned long, aggregation::sample_last, Aggregators>(kTypeCode, std::string()) {}

template <class Aggregators>
void LatencyCounterT<Aggregators>::record(uint64_t sample) {
  std::lock_guard<SpinLock> lock(this->lock_);
  auto& s = this->live();
  s.last = sample;
  ++s.num;
  Widen(s, sample);
  s.sum += static_cast<double>(sample);
}

template <class Slot>
static std::string LatencyText(const std::string& units, const Slot& s) {
  std::ostringstream out;
  out << UnitsPrefix(units) << "s~last: " << s.last << ", "
      << "s~num: " << s.num << ", "
      << "s~min: " << s.min << ", s~max: " << s.max << ", "
      << "s~sum: " << s.sum << ", "
      << "s~avg: " << s.avg;
  return out.str();
}

template <class Aggregators>
std::string LatencyCounterT<Aggregators>::string(bool collected) const {
  typename Aggregators::slot s = this->snapshot(collected);
  if (!collected) s.avg = Average(s.sum, s.num);
  return LatencyText(this->units(), s);
}

template <class Aggregators>
void LatencyCounterT<Aggregators>::reset_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  this->live() = typename Aggregators::slot();
}

template <class Aggregators>
void LatencyCounterT<Aggregators>::collect_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  this->collect_base();
  auto& s = this->live();
  s.avg = Average(s.sum, s.num);
  this->slots_[this->collected_] = typename Aggregators::slot();
  this->swap_slots();
}

template <class Aggregators>
void LatencyCounterT<Aggregators>::serialize_impl(Serializer& out, bool collected) const {
  typename Aggregators::slot s = this->snapshot(collected);
  if (!collected) s.avg = Average(s.sum, s.num);
  out.Units(this->units());
  out.Text(LatencyText(this->units(), s));
  out.Field("last", s.last);
  out.Field("num", s.num);
  out.Field("min", s.min);
  out.Field("max", s.max);
  out.Field("sum", s.sum);
  out.Field("avg", s.avg);
}

template class BaseCounter<unsigned long, aggregation::value_last, unit_aggregators>;
template class BaseCounter<unsigned long, aggregation::sample_last, latency_aggregators>;
template class UnitCounterT<unsigned long>;
template class LatencyCounterT<latency_aggregators>;

}  // namespace metrics
}  // namespace qbx
