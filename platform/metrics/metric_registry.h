// The metrics registry: named keys, each holding at most one reference-counted metric value.
//
// A key is identified by its name and its tags. Handles (qbx::metrics::Metric, in
// core/metric_counters.h) take a key with MetricRegistry::key, attach or share the key's
// value through MetricKey::instance, and give the key back with MetricKey::release; the
// registry forgets a key, and drops its reference to the value, when its last user
// released it. Values are concrete counter kinds deriving from MetricValue; each carries a
// type code so that two users of one name cannot disagree on its kind unnoticed.
//
// Threading: the registry's mutex guards the key table and the keys' user counts; each
// key's mutex guards its value pointer; each value's spin lock guards its slots. Lock
// order: registry mutex, then key mutex, then value spin lock. No callback of user code
// runs under any of them: a value hands a Serializer a snapshot taken under its spin lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "base/logger.h"
#include "platform/runtime/ref_counted.h"
#include "platform/runtime/spin_lock.h"

namespace qbx {
namespace metrics {

// The metrics library's own log threshold: its records are emitted only when both this
// and the global level allow them.
extern std::atomic<LibraryLogLevel> library_log_level;

// An ordered list of (key, value) labels of a metric.
class tags {
 public:
  tags() = default;
  tags(std::string key, std::string value) { add(std::move(key), std::move(value)); }
  tags& add(std::string key, std::string value) {
    pairs_.emplace_back(std::move(key), std::move(value));
    return *this;
  }
  const std::vector<std::pair<std::string, std::string>>& pairs() const { return pairs_; }
  bool empty() const { return pairs_.empty(); }
  // "{k1=v1,k2=v2}", or "" without tags.
  std::string to_string() const;
  bool operator<(const tags& o) const { return pairs_ < o.pairs_; }
  bool operator==(const tags& o) const { return pairs_ == o.pairs_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// Receives the content of one value slot (MetricValue::serialize).
class Serializer {
 public:
  virtual ~Serializer() = default;
  virtual void Units(const std::string& units) = 0;
  virtual void Text(const std::string& text) = 0;
  virtual void Field(const char* name, uint64_t value) = 0;
  virtual void Field(const char* name, double value) = 0;
};

class MetricValue : public RefCounted<MetricValue, IRefCountable> {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  uint64_t type() const { return type_; }
  const std::string& units() const { return units_; }

  // Text of the live slot (collected = false) or of the slot frozen by the last collect.
  virtual std::string string(bool collected) const = 0;
  // Clears the live slot's statistics.
  void reset() { reset_impl(); }
  // Freezes the live slot as the collected one and starts a new live slot.
  void collect() { collect_impl(); }
  void serialize(Serializer& out, bool collected) const { serialize_impl(out, collected); }

  time_point reset_time() const;
  time_point collect_time() const;

 protected:
  MetricValue(uint64_t type, std::string units);
  ~MetricValue() override;

  // Stamps the reset (and, from collect_impl, the collection) time. Call with lock_ held.
  void reset_base();
  void collect_base();

  virtual void reset_impl() = 0;
  virtual void collect_impl() = 0;
  virtual void serialize_impl(Serializer& out, bool collected) const = 0;

  mutable SpinLock lock_;

 private:
  const uint64_t type_;
  time_point reset_time_;
  time_point collect_time_;
  const std::string units_;
};

using MetricValuePtr = boost::intrusive_ptr<MetricValue>;

class MetricRegistry;

class MetricKey {
 public:
  const std::string& name() const { return name_; }
  const metrics::tags& key_tags() const { return tags_; }

  // Under the key's mutex: when the key has no value, attaches the one `make` builds.
  // Returns the key's value (null only when `make` returned null).
  MetricValuePtr instance(const std::function<MetricValuePtr()>& make);
  // The key's value, or null.
  MetricValuePtr instance() const;
  // Gives the key back to its registry; the key must not be used afterwards.
  void release();

 private:
  friend class MetricRegistry;
  MetricKey(MetricRegistry* registry, std::string name, metrics::tags t);

  MetricRegistry* const registry_;
  const std::string name_;
  const metrics::tags tags_;
  mutable std::mutex mutex_;
  MetricValuePtr value_;
  uint32_t users_ = 0;  // guarded by the registry's mutex
};

class MetricRegistry {
 public:
  MetricRegistry();
  ~MetricRegistry();
  MetricRegistry(const MetricRegistry&) = delete;
  MetricRegistry& operator=(const MetricRegistry&) = delete;

  // The key of (name, tags), created on first use; the caller must release it.
  MetricKey* key(const std::string& name, const metrics::tags& t = metrics::tags());

  // Read-back, e.g. for tests and exporters. The value of (name, tags), or null.
  MetricValuePtr Find(const std::string& name, const metrics::tags& t = metrics::tags()) const;
  // "name" or "name{k=v}" of every key in use, sorted.
  std::vector<std::string> Names() const;
  // Collects every value that is attached.
  void CollectAll();
  size_t size() const;

 private:
  friend class MetricKey;
  void Release(MetricKey* key);

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, metrics::tags>, std::unique_ptr<MetricKey>> keys_;
};

}  // namespace metrics
}  // namespace qbx
