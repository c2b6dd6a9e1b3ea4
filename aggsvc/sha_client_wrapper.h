// The framework's health-agent wrapper, as the aggregation clients and the vertical adapters
// use it: a time-series flag that the health agent switches, and metric sending.
//
// The implementation (ShaClientWrapperImpl, with the health-agent client, heartbeat and
// event subscription) lives with the channels; tests use doubles.
//
// Threading: IsTsdbEnabled and SendMetric are called from request threads and from the
// status source's poller thread; implementations guard their flag with their own mutex.
// SetStatusSource, Start and Stop run on the manager's thread.
#pragma once

#include <memory>
#include <string>

namespace zumbra::qbx::sha {
class MetricsAgentMessage;
}
// The health agent's metric message.
using MetricsAgentMessage = zumbra::qbx::sha::MetricsAgentMessage;

namespace qbx::StatusSource {
class StatusSource;
}

namespace qbx::AggSvc {

class ShaClientWrapper {
 public:
  virtual ~ShaClientWrapper() = default;

  virtual void SetStatusSource(const std::shared_ptr<qbx::StatusSource::StatusSource>& statusSource) = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  // Sends `value` under "tsdb." + key. Always true: a failed send is handled inside (it asks
  // the status source for a full sync), so callers ignore the result.
  virtual bool SendMetric(const std::string& key, const std::shared_ptr<MetricsAgentMessage>& value) = 0;
  // Whether the health agent currently wants time-series metrics.
  virtual bool IsTsdbEnabled() = 0;
};

}  // namespace qbx::AggSvc
