#include "channels/health/sha_client_wrapper_impl.h"

#include <set>

#include <google/protobuf/text_format.h>

#include "aggsvc/status_source.h"
#include "base/logger.h"
#include "base/node_identity.h"
#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace qbx::AggSvc {

namespace {

constexpr const char* kSubcomp = "agg-service";

}  // namespace

ShaClientWrapperImpl::ShaClientWrapperImpl()
    : ShaClientWrapperImpl(std::make_shared<qbx::sha::ShaPmClient>(kClientName),
                           qbx::GetServiceNameForNodeType()) {}

ShaClientWrapperImpl::ShaClientWrapperImpl(std::shared_ptr<qbx::sha::ShaPmClient> client,
                                           const std::string& processName)
    : sha_pm_client_(std::move(client)) {
  if (sha_pm_client_) sha_pm_client_->SetProcessName(processName);
}

ShaClientWrapperImpl::~ShaClientWrapperImpl() {
  try {
    Stop();
  } catch (...) {
    // A destructor must not throw; the client is released with the members.
  }
}

void ShaClientWrapperImpl::SetStatusSource(const std::shared_ptr<qbx::StatusSource::StatusSource>& statusSource) {
  std::lock_guard<std::mutex> lock(source_mutex_);
  status_source_ = statusSource;
}

std::shared_ptr<qbx::StatusSource::StatusSource> ShaClientWrapperImpl::StatusSourceCopy() {
  std::lock_guard<std::mutex> lock(source_mutex_);
  return status_source_;
}

void ShaClientWrapperImpl::Start() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaPmClient START, %s", kClientName);
  if (!sha_pm_client_) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("ShaPmClient is null");
    return;
  }
  const std::set<qbx::sha::ShaEventType> events = {
      qbx::sha::ShaEventTypeMetricManagerConfigPresent, qbx::sha::ShaEventTypeMetricManagerConfigRevoked,
      qbx::sha::ShaEventTypeChannelRecover};
  sha_pm_client_->Start();
  StartProcessHeartbeat();
  // The agent delivers events on its own thread, possibly after the wrapper is gone, so the
  // subscription holds the wrapper weakly (the manager owns it through a shared pointer).
  std::weak_ptr<ShaClientWrapperImpl> weak = weak_from_this();
  sha_pm_client_->RegisterEventNotification(
      events, [weak](const std::shared_ptr<qbx::sha::ShaEventNotify>& event) {
        auto self = weak.lock();
        if (!self) {
          QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("ShaClientWrapper has been destroyed already");
          return;
        }
        self->EventNotifyCb(event);
      });
}

void ShaClientWrapperImpl::Stop() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaPmClient STOP, %s", kClientName);
  if (!sha_pm_client_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaPmClient is null");
    return;
  }
  sha_pm_client_->Stop();
  StopProcessHeartbeat();
}

void ShaClientWrapperImpl::StartProcessHeartbeat() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StartProcessHeartbeat");
  if (!sha_pm_client_) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("ShaPmClient is null");
    return;
  }
  sha_pm_client_->StartProcessHeartbeat(kHeartbeatInterval, kHeartbeatTimeout);
}

void ShaClientWrapperImpl::StopProcessHeartbeat() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StopProcessHeartbeat");
  if (!sha_pm_client_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaPmClient is null");
    return;
  }
  sha_pm_client_->StopProcessHeartbeat();
}

bool ShaClientWrapperImpl::IsTsdbEnabled() {
  std::lock_guard<std::mutex> lock(tsdb_mutex_);
  return tsdb_enabled_;
}

std::string ShaClientWrapperImpl::ShaEventTypeString(int32_t type) {
  switch (type) {
    case qbx::sha::ShaEventTypeChannelRecover:
      return "ShaEventTypeChannelRecover";
    case qbx::sha::ShaEventTypeMetricManagerChannelDown:
      return "ShaEventTypeMetricManagerChannelDown";
    case qbx::sha::ShaEventTypeMetricManagerHealthChange:
      return "ShaEventTypeMetricManagerHealthChange";
    case qbx::sha::ShaEventTypeMetricManagerConfigPresent:
      return "ShaEventTypeMetricManagerConfigPresent";
    case qbx::sha::ShaEventTypeMetricManagerConfigRevoked:
      return "ShaEventTypeMetricManagerConfigRevoked";
    default:
      QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaEventTypeString: Unknown event type (%d).", type);
      return "";
  }
}

void ShaClientWrapperImpl::EventNotifyCb(const std::shared_ptr<qbx::sha::ShaEventNotify>& event) {
  if (!event) return;
  bool fullSync = false;
  {
    std::lock_guard<std::mutex> lock(event_mutex_);
    const int32_t type = event->type;
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("ShaPmClient EventNotifyCb received event (%d):(%s).", type, ShaEventTypeString(type).c_str());
    switch (type) {
      case qbx::sha::ShaEventTypeMetricManagerConfigPresent: {
        std::lock_guard<std::mutex> tsdbLock(tsdb_mutex_);
        tsdb_enabled_ = true;
      }
        QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaPmClient EventNotifyCb tsdb update enabled.");
        fullSync = true;
        break;
      case qbx::sha::ShaEventTypeMetricManagerConfigRevoked: {
        std::lock_guard<std::mutex> tsdbLock(tsdb_mutex_);
        tsdb_enabled_ = false;
      }
        QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("ShaPmClient EventNotifyCb tsdb update disabled.");
        break;
      case qbx::sha::ShaEventTypeChannelRecover:
        fullSync = true;
        break;
      default:
        QBX_LOG(loglevel::kInfo)
            .subcomp(kSubcomp)
            .put("ShaPmClient EventNotifyCb unhandled event (%d), (%s).", type, ShaEventTypeString(type).c_str());
        break;
    }
  }
  // The status source only posts the request to its own loop, but it is still foreign code:
  // it is called after the event lock is released.
  if (fullSync) {
    if (auto source = StatusSourceCopy()) source->OnFullSyncRequest();
  }
}

bool ShaClientWrapperImpl::SendMetric(const std::string& key, const std::shared_ptr<MetricsAgentMessage>& value) {
  const std::string fullKey = "tsdb." + key;
  if (Logger::Enabled(loglevel::kDebug)) {
    std::string text;
    if (value) google::protobuf::TextFormat::PrintToString(*value, &text);
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Sending message to shaClient key[%s], Value[%s]", fullKey.c_str(), text.c_str());
  }
  const int result = sha_pm_client_ ? sha_pm_client_->SendMetric(fullKey, value) : -1;
  if (result != 0) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("SHA send metric failed, fullSync needed");
    if (auto source = StatusSourceCopy()) source->SetFullSyncNeeded();
  }
  return true;
}

}  // namespace qbx::AggSvc
