#include "aggsvc/snic_agg_service_client.h"

#include <google/protobuf/message.h>

#include <set>
#include <utility>

#include "aggsvc/snic_vertical_adapter.h"
#include "base/logger.h"
#include "core/uuid.h"
#include "platform/smartnic/sn_util.h"
#include "zumbra/qbx/agg_service/messaging/client_data.pb.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace msg = zumbra::qbx::agg_service::messaging;

namespace {
constexpr const char* kSubcomp = "agg-service";
}  // namespace

namespace aggsvc_snic_detail {

void LogNotSnHost(const std::string& appName, const std::string& msgType) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s] Non KRX_SN_HOST. Nothing to merge for %s", appName.c_str(), msgType.c_str());
}

void LogInvoking(bool generic, const std::string& appName, const std::string& msgType) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put(generic ? "[%s:%s]: Invoking vertical generic runtime status cb" : "[%s:%s]: Invoking vertical runtime status cb",
           appName.c_str(), msgType.c_str());
}

void LogMergeSizes(const std::string& appName, size_t targets, size_t local, size_t remote) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s]: MergeStatusWithRemote: target_len=%zu, local_len=%zu, remote_len=%zu", appName.c_str(), targets,
           local, remote);
}

void LogMergedCount(const std::string& appName, const std::string& msgType, size_t count) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s]: MergeStatusWithRemote[%s]:  status_len=%zu", appName.c_str(), msgType.c_str(), count);
}

void LogMergedMessage(const std::string& appName, const std::string& msgType, const google::protobuf::Message& message) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s]: MergeStatusWithRemote[%s]: status_protobuf %s", appName.c_str(), msgType.c_str(),
           message.ShortDebugString().c_str());
}

void LogUnparsable(const std::string& appName, const std::string& msgType) {
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10005")
      .put("[%s]: Smart-NIC payload of %s does not parse, left out of the merge", appName.c_str(), msgType.c_str());
}

void LogNullMerged(const std::string& appName, const std::string& msgType) {
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10005")
      .put("[%s]: Merge of %s gave a null status, left out", appName.c_str(), msgType.c_str());
}

void LogNoGrsMessages() {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("Remote collector returned no GRS messages");
}

void LogRefused(SnicRefusal why, const std::string& name) {
  const char* tag = "errorCode:MPA10044";
  const char* text = nullptr;
  switch (why) {
    case SnicRefusal::kOnSmartNic:
      QBX_LOG(qbx::loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10075").put("API not supported for SN.");
      return;
    case SnicRefusal::kDuplicatePull:
      tag = "errorCode:MPA10024";
      text = "Vertical already has pullHandler registered: %s";
      break;
    case SnicRefusal::kDuplicateGeneric:
      tag = "errorCode:MPA10024";
      text = "Vertical already has generic message pullHandler registered: %s";
      break;
    case SnicRefusal::kNoSnicEntryPull:
      text = "No SmartNIC collection adapter registered for: %s.";
      break;
    case SnicRefusal::kNoSnicEntryGeneric:
      text = "No SNIC_ADAPTER registered for: %s.";
      break;
    case SnicRefusal::kWrongPairs:
      text = "Wrong merge or diff callback is registered for: %s.";
      break;
    case SnicRefusal::kIncompletePair:
      text = "MultiCollector merge or diff callback is not registered for: %s.";
      break;
  }
  QBX_LOG(qbx::loglevel::kError).subcomp(kSubcomp).tag(tag).put(text, name.c_str());
}

void LogSnicRegistered(bool generic, const std::string& appName, const std::string& key) {
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put(generic ? "App (%s) registered generic status handler for msgType: %s"
                   : "App (%s) registered status handler for msgType: %s",
           appName.c_str(), key.c_str());
}

}  // namespace aggsvc_snic_detail

namespace AggSvcSnic {

using aggsvc_snic_detail::kPersonaSn;
using aggsvc_snic_detail::kPersonaSnHost;

SnicAggServiceClient::SnicAggServiceClient(std::shared_ptr<Vertical> vertical,
                                           std::shared_ptr<qbx::StatusSource::StatusSource> statusSource,
                                           std::shared_ptr<qbx::AggSvc::ShaClientWrapper> shaClientWrapper,
                                           RemoteCollector* collector, Deps deps)
    : AggServiceClient(std::move(vertical), std::move(statusSource), std::move(shaClientWrapper), std::move(deps)),
      collector(collector) {
  if (collector == nullptr) throw VerticalInitException("SnicAggServiceClient needs a remote collector");
}

SnicAggServiceClient::~SnicAggServiceClient() {
  std::lock_guard<std::mutex> guard(observerMutex);
  if (restartObserverId != 0) SNUtil::RemoveDatapathRestartObserver(restartObserverId);
}

void SnicAggServiceClient::HandleSnReply(rmqClientMessage* msg, const std::string& appName, const std::string& typeId,
                                         const std::string& correlationId) {
  // On a smart NIC the same road carries the host's requests, which are answered as any
  // request; only on a host are these replies to a fan-out.
  if (NodePersona() == kPersonaSn) {
    AggServiceClient::HandleSnReply(msg, appName, typeId, correlationId);
    return;
  }
  collector->ProcessSnResponse(msg, appName, typeId, correlationId);
}

void SnicAggServiceClient::SetMPVersion(uint32_t major, uint32_t minor) {
  AggServiceClient::SetMPVersion(major, minor);
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s]: Calling SetMPVersion for app %s", "SetMPVersion", AppName());
}

void SnicAggServiceClient::InitExternalAdapters() {
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("Initializing external adapters for vertical; %s", AppName());
  collector->SetMpaStub(vertical->Name(), std::dynamic_pointer_cast<SnRequestSender>(sender));
  std::lock_guard<std::mutex> guard(observerMutex);
  if (restartObserverId != 0) return;
  std::weak_ptr<AggServiceClient> weakSelf = weak_from_this();
  restartObserverId = SNUtil::AddDatapathRestartObserver([weakSelf](const std::string& snUuid) {
    auto self = std::static_pointer_cast<SnicAggServiceClient>(weakSelf.lock());
    if (self) self->OnSmartNicDatapathRestart(snUuid);
  });
}

void SnicAggServiceClient::OnSmartNicDatapathRestart(const std::string& snUuid) {
  if (NodePersona() != kPersonaSnHost) return;
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Datapath of smart NIC %s restarted, resetting summation statistics", "OnSmartNicDatapathRestart",
           AppName(), snUuid.c_str());
  ResetStatisticsAsync();
}

void SnicAggServiceClient::CallExtraAdapter(const char* payload, int32_t length, const MsgMetadata& metadata) {
  const char* app = AppName();
  if (NodePersona() != kPersonaSnHost) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s] Non KRX_SN_HOST. Nothing to retrieve from DPUs.", app);
    return;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: Calling remote adapter for app %s", "CallExtraAdapter", app);
  const std::string& appName = vertical->Name();
  if (metadata.GetTypeId() != kClientDataRequestTypeId) {
    collector->RetrieveInfo(appName, payload, length, metadata);
    return;
  }
  msg::ClientDataRequestMsg request;
  if (payload == nullptr || length < 0 || !request.ParseFromArray(payload, length)) {
    collector->RetrieveInfo(appName, payload, length, metadata);
    return;
  }
  // One target that no smart NIC can be named for widens the fan-out to all of them for
  // good: a later mapped target must not narrow it again, or that target's data is lost.
  bool unmapped = false;
  std::vector<std::string> ids;
  std::set<std::string> seen;
  for (const auto& targetRequest : request.target_data_request()) {
    if (!targetRequest.has_target_type()) continue;
    std::string typeName = targetRequest.target_type();
    if (!typeName.empty()) {
      auto mapped = mpTypeNames.find(typeName);
      if (mapped != mpTypeNames.end()) typeName = mapped->second;
    }
    Adapter* adapter = FindAdapter(typeName);
    if (adapter == nullptr) continue;
    for (const auto& targetId : targetRequest.target_id()) {
      std::vector<std::string> targetIds;
      if (!adapter->GetRemoteTargets(std::make_shared<PullTarget>(targetId), targetIds)) {
        unmapped = true;
        break;
      }
      for (auto& id : targetIds) {
        if (seen.insert(id).second) ids.push_back(std::move(id));
      }
    }
  }
  if (unmapped || ids.empty()) {
    collector->RetrieveInfo(appName, payload, length, metadata);
  } else {
    collector->RetrieveInfo(appName, payload, length, metadata, ids);
  }
}

void SnicAggServiceClient::RequestRemoteGenericStatus(const msg::GenericRuntimeStatusRequestMsg& request) {
  if (NodePersona() != kPersonaSnHost) {
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s] Non KRX_SN_HOST. Nothing to retrieve from DPUs.", AppName());
    return;
  }
  std::string bytes;
  std::optional<qbx::UUID> correlation = qbx::UUID::TryGenerate();
  if (!request.SerializeToString(&bytes) || !correlation) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10005")
        .put("[%s]: Cannot build the runtime-status request for the smart NICs", AppName());
    // The merge that follows reads this thread's last answers: without a fan-out of its own
    // those would be an earlier request's.
    collector->ForgetResults(vertical->Name(), true);
    return;
  }
  const MsgMetadata metadata(kGenericRuntimeStatusRequestTypeId, correlation->ToString(), "");
  CallExtraAdapter(bytes.data(), static_cast<int32_t>(bytes.size()), metadata);
}

AggServiceClient::Adapter* SnicAggServiceClient::MakeSummationStatsAdapter() {
  return new SnicVerticalAdapter<msg::PullSummationStatsRequestMsg>(vertical->Name(), this);
}

AggServiceClient::Adapter* SnicAggServiceClient::MakeOverwriteStatsAdapter() {
  return new SnicVerticalAdapter<msg::PullOverwriteStatsRequestMsg>(vertical->Name(), this);
}

AggServiceClient::Adapter* SnicAggServiceClient::MakeOnDemandStatsAdapter() {
  return new SnicVerticalAdapter<msg::OnDemandStatsRequestMsg>(vertical->Name(), this);
}

}  // namespace AggSvcSnic
