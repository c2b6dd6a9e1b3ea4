// A health-agent wrapper double: a settable time-series flag and a record of the metrics.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/sha_client_wrapper.h"

namespace qbx::test {

class FakeShaClientWrapper : public qbx::AggSvc::ShaClientWrapper {
 public:
  void SetStatusSource(const std::shared_ptr<qbx::StatusSource::StatusSource>&) override {}
  void Start() override {}
  void Stop() override {}
  bool SendMetric(const std::string& key, const std::shared_ptr<MetricsAgentMessage>& value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    metrics.emplace_back(key, value);
    return true;
  }
  bool IsTsdbEnabled() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return tsdbEnabled;
  }
  void SetTsdbEnabled(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    tsdbEnabled = on;
  }
  size_t MetricCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return metrics.size();
  }
  std::vector<std::pair<std::string, std::shared_ptr<MetricsAgentMessage>>> metrics;

 private:
  std::mutex mutex_;
  bool tsdbEnabled = false;
};

}  // namespace qbx::test
