#include "platform/metrics/metric_registry.h"

namespace qbx {
namespace metrics {

std::atomic<LibraryLogLevel> library_log_level{loglevel::kInfo};

std::string tags::to_string() const {
  if (pairs_.empty()) return std::string();
  std::string text = "{";
  for (size_t i = 0; i < pairs_.size(); ++i) {
    if (i > 0) text += ",";
    text += pairs_[i].first + "=" + pairs_[i].second;
  }
  return text + "}";
}

MetricValue::MetricValue(uint64_t type, std::string units)
    : type_(type),
      reset_time_(std::chrono::steady_clock::now()),
      collect_time_(reset_time_),
      units_(std::move(units)) {}

MetricValue::~MetricValue() = default;

MetricValue::time_point MetricValue::reset_time() const {
  std::lock_guard<SpinLock> lock(lock_);
  return reset_time_;
}

MetricValue::time_point MetricValue::collect_time() const {
  std::lock_guard<SpinLock> lock(lock_);
  return collect_time_;
}

void MetricValue::reset_base() { reset_time_ = std::chrono::steady_clock::now(); }

void MetricValue::collect_base() {
  collect_time_ = std::chrono::steady_clock::now();
  reset_time_ = collect_time_;
}

MetricKey::MetricKey(MetricRegistry* registry, std::string name, metrics::tags t)
    : registry_(registry), name_(std::move(name)), tags_(std::move(t)) {}

MetricValuePtr MetricKey::instance(const std::function<MetricValuePtr()>& make) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!value_ && make) value_ = make();
  return value_;
}

MetricValuePtr MetricKey::instance() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return value_;
}

void MetricKey::release() { registry_->Release(this); }

MetricRegistry::MetricRegistry() = default;
MetricRegistry::~MetricRegistry() = default;

MetricKey* MetricRegistry::key(const std::string& name, const metrics::tags& t) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = keys_[std::make_pair(name, t)];
  if (!slot) slot.reset(new MetricKey(this, name, t));
  ++slot->users_;
  return slot.get();
}

void MetricRegistry::Release(MetricKey* key) {
  std::unique_ptr<MetricKey> gone;  // destroyed (with its value reference) after unlocking
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = keys_.find(std::make_pair(key->name(), key->key_tags()));
    if (it == keys_.end() || it->second.get() != key) return;
    if (key->users_ > 0) --key->users_;
    if (key->users_ == 0) {
      gone = std::move(it->second);
      keys_.erase(it);
    }
  }
}

MetricValuePtr MetricRegistry::Find(const std::string& name, const metrics::tags& t) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = keys_.find(std::make_pair(name, t));
  if (it == keys_.end()) return nullptr;
  return it->second->instance();
}

std::vector<std::string> MetricRegistry::Names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : keys_) names.push_back(entry.first.first + entry.first.second.to_string());
  return names;
}

void MetricRegistry::CollectAll() {
  std::vector<MetricValuePtr> values;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : keys_) {
      if (auto v = entry.second->instance()) values.push_back(std::move(v));
    }
  }
  for (auto& v : values) v->collect();
}

size_t MetricRegistry::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.size();
}

}  // namespace metrics
}  // namespace qbx
