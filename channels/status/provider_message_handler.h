// What the monitoring provider link hands the provider's requests to: the status source.
//
// Threading: every operation is called on the status source's provider thread.
#pragma once

#include "zumbra/qbx/monitoring/monitoring_provider.pb.h"

namespace qbx::StatusSource {

using MonitoringStatusProviderMsg = zumbra::qbx::monitoring::MonitoringStatusProviderMsg;
using MonitoringStatusSourceMsg = zumbra::qbx::monitoring::MonitoringStatusSourceMsg;
using MonitoringStatusFullSyncResponseMsg = zumbra::qbx::monitoring::MonitoringStatusFullSyncResponseMsg;

class ProviderMessageHandler {
 public:
  virtual ~ProviderMessageHandler() = default;
  // Fills `response` for the provider's full-sync `request`; the result goes in its result field.
  virtual bool FullSync(MonitoringStatusFullSyncResponseMsg& response, const MonitoringStatusProviderMsg& request) = 0;
  // A polling configuration; `fromFullSync` is true when it came with a full-sync request.
  virtual void PollCfgMsgHandler(const MonitoringStatusProviderMsg& msg, bool fromFullSync) = 0;
  virtual void StartPeriodicPoll() = 0;
  // A new stream to the provider is open and announced: reports that could not be
  // delivered before may be sent now.
  virtual void OnStreamReady() = 0;
  // The stream that reports were written to has ended: what was written to it since it was
  // announced may not have reached the provider.
  virtual void OnStreamLost() = 0;
};

}  // namespace qbx::StatusSource
