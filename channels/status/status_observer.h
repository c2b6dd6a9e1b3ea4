// What the poller and the full-sync state machine report to: the status source.
//
// Threading: every operation is called on the status source's provider thread.
#pragma once

#include <optional>

#include "channels/status/status_types.h"

namespace qbx::StatusSource {

class StatusObserver {
 public:
  virtual ~StatusObserver() = default;
  // One polled update of `key`; no value when the pair had nothing to report.
  virtual void OnStatusUpdate(const StatusKey& key, const OptionalStatusUpdate& update) = 0;
  // Polls every pair once and reports what changed; false when that cannot be done now.
  virtual bool DoFullSync() = 0;
  // When the last full sync ran (provider clock); no value before the first one.
  virtual std::optional<TimePoint> GetLastFullSyncTime() = 0;
  virtual void SetLastFullSyncTime() = 0;
};

}  // namespace qbx::StatusSource
