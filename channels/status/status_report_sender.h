// Turns one polled update, or the poller's poll times, into a report message for the
// provider link, and remembers when each pair was last reported.
//
// Threading: used only on the status source's provider thread.
#pragma once

#include <map>

#include "channels/status/provider_communicator.h"
#include "channels/status/status_types.h"
#include "platform/runtime/clock.h"

namespace qbx::StatusSource {

class StatusReportSender {
 public:
  // A heartbeat lists the verticals of the pairs polled less than this long ago.
  static constexpr std::chrono::seconds kHeartbeatWindow{300};

  StatusReportSender(ProviderCommunicatorFacade& link, const Clock& clock) : link_(link), clock_(clock) {}

  bool SendStatusReport(const StatusKey& key, const StatusUpdatePtr& update);
  bool SendHeartbeat(const std::map<StatusKey, TimePoint>& lastPollTimes);
  const std::map<StatusKey, TimePoint>& LastReportTimes() const { return last_report_times_; }

 private:
  ProviderCommunicatorFacade& link_;
  const Clock& clock_;
  std::map<StatusKey, TimePoint> last_report_times_;
};

}  // namespace qbx::StatusSource
