#include "aggsvc/vertical_adapter.h"

#include "base/logger.h"

namespace {
constexpr const char* kSubcomp = "agg-service";
}

bool DefaultMergeGenericRuntimeStatus(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& statuses,
                                      const std::vector<AggServiceClient::StatusMessageSource>& sources,
                                      std::shared_ptr<GenericRuntimeStatusUpdateMsg>& merged) {
  if (!merged) {
    // The callers always supply a message; without one there is nothing to merge into.
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s] No message to merge generic runtime status into", "DefaultMergeGenericRuntimeStatus");
    return false;
  }
  const GenericRuntimeStatusUpdateMsg* local = nullptr;
  // The two lists are built together; a shorter source list only loses the host marks.
  for (size_t i = 0; i < statuses.size(); ++i) {
    const auto& status = statuses[i];
    if (!status) continue;
    if (i < sources.size() && sources[i] == AggServiceClient::STATUS_SOURCE_LOCAL) local = status.get();
    merged->MergeFrom(*status);
  }
  if (local != nullptr) {
    if (local->has_timestamp()) merged->set_timestamp(local->timestamp());
    if (local->has_error()) merged->mutable_error()->CopyFrom(local->error());
  }
  return true;
}

namespace aggsvc_detail {

void LogMissingCallback(const char* operation, const std::string& msgTypeName) {
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSubcomp)
      .put("[%s] No callback registered for msgType: %s, answering empty", operation, msgTypeName.c_str());
}

void LogNullMessage() {
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10033")
      .put("[%s] Null/Empty msg from vertical", "RunVerticalCb");
}

void LogSerializeFailure() {
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10017")
      .put("[%s] Cannot serialize protobuf msg to string", "RunVerticalCb");
}

void LogPullCount(size_t count) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s] Number of protobufs msgs from vertical %zu\n", "RunVerticalCb", count);
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s] Serialize protos from vertical\n", "RunVerticalCb");
}

void LogEndOfRunVerticalCb() {
  QBX_LOG(qbx::loglevel::kTrace).subcomp(kSubcomp).put("[%s] End of RunVerticalCb\n", "RunVerticalCb");
}

void SendMetric(const std::shared_ptr<qbx::AggSvc::ShaClientWrapper>& wrapper, const std::string& key,
                const std::shared_ptr<MetricsAgentMessage>& metric) {
  // The wrapper handles a failed send itself (it asks for a full sync); nothing to do here.
  (void)wrapper->SendMetric(key, metric);
}

void LogRegistered(RegistrationForm form, const std::string& appName, const std::string& key) {
  if (form == RegistrationForm::kRuntimeStatus) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("App (%s) register status handler for msgType: %s", appName.c_str(), key.c_str());
  } else {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("App (%s) registered status handler for msgType: %s", appName.c_str(), key.c_str());
  }
}

void LogDuplicate(RegistrationForm form, const std::string& key) {
  if (form == RegistrationForm::kPlain) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10024")
        .put("Vertical already has pullHandler registered: %s", key.c_str());
  } else {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10024")
        .put("Vertical already has generic message pullHandler registered: %s", key.c_str());
  }
}

}  // namespace aggsvc_detail
