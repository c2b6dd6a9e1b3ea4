#include "channels/status/status_report_sender.h"

#include <exception>

#include "base/logger.h"

namespace qbx::StatusSource {

bool StatusReportSender::SendStatusReport(const StatusKey& key, const StatusUpdatePtr& update) {
  try {
    MonitoringStatusSourceMsg msg;
    msg.set_msg_type(MonitoringStatusSourceMsg::STATUS_REPORT);
    auto* report = msg.mutable_status_report_msg()->add_vertical_reports();
    report->set_vertical(key.first);
    report->set_msg_type(key.second);
    if (update) report->mutable_status()->CopyFrom(*update);
    const bool sent = link_.SendStatusReport(msg);
    if (sent) {
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sent status report to provider communicator.");
      last_report_times_[key] = clock_.Now();
    }
    return sent;
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Error sending status report to provider. %s", e.what());
    return false;
  }
}

bool StatusReportSender::SendHeartbeat(const std::map<StatusKey, TimePoint>& lastPollTimes) {
  try {
    MonitoringStatusSourceMsg msg;
    msg.set_msg_type(MonitoringStatusSourceMsg::STATUS_REPORT);
    auto* report = msg.mutable_status_report_msg();
    const TimePoint now = clock_.Now();
    for (const auto& entry : lastPollTimes) {
      if (now - entry.second < kHeartbeatWindow) report->add_verticals(entry.first.first);
    }
    const bool sent = link_.SendStatusReport(msg);
    if (sent) {
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sent heartbeat to provider communicator.");
    }
    return sent;
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Error sending heartbeat to provider. %s", e.what());
    return false;
  }
}

}  // namespace qbx::StatusSource
