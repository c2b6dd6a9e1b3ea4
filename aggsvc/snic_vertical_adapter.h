// The smart-NIC vertical adapter: runs a vertical's callbacks for one message type exactly
// as the plain adapter does, then merges what the smart NICs answered (filed by the remote
// collector during the fan-out that precedes the callback) into the host's result: status
// lists by MergeStatusWithRemote, generic runtime status by MergeGenericStatusWithRemote,
// statistics by the client's MergeStatsWithRemote. Also the smart-NIC registration
// templates of SnicAggServiceClient.
//
// Merges happen only on a host with smart NICs (persona 1). A smart NIC's payload that
// does not parse, and a null message among the merged ones, are left out with a record;
// the host's own messages always go out.
//
// Threading: as the plain adapter (no lock of its own). The merges run on the thread that
// ran the fan-out, and read copies of what the collector filed for that thread.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/snic_agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"

namespace aggsvc_snic_detail {
constexpr int kPersonaSnHost = 1;
constexpr int kPersonaSn = 2;
void LogNotSnHost(const std::string& appName, const std::string& msgType);
void LogInvoking(bool generic, const std::string& appName, const std::string& msgType);
void LogMergeSizes(const std::string& appName, size_t targets, size_t local, size_t remote);
void LogMergedCount(const std::string& appName, const std::string& msgType, size_t count);
// The merged message's text is made only when debug records are on: a pull on a host with
// smart NICs does not pay for text nobody reads.
void LogMergedMessage(const std::string& appName, const std::string& msgType, const google::protobuf::Message& message);
void LogUnparsable(const std::string& appName, const std::string& msgType);
void LogNullMerged(const std::string& appName, const std::string& msgType);
void LogNoGrsMessages();
enum class SnicRefusal { kOnSmartNic, kDuplicatePull, kDuplicateGeneric, kNoSnicEntryPull, kNoSnicEntryGeneric,
                         kWrongPairs, kIncompletePair };
void LogRefused(SnicRefusal why, const std::string& name);
void LogSnicRegistered(bool generic, const std::string& appName, const std::string& key);
}  // namespace aggsvc_snic_detail

namespace AggSvcSnic {

// Replaces `payloads` (the host's serialised messages) by the merge of the host's messages
// and the smart NICs' for (appName, msgType). Nothing changes on a node that is not a host
// with smart NICs.
template <class Msg>
void MergeStatusWithRemote(SnicAggServiceClient* client, const std::string& appName, const std::string& msgType,
                           const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::string>& payloads) {
  using namespace aggsvc_snic_detail;
  if (client->NodePersona() != kPersonaSnHost) {
    LogNotSnHost(appName, msgType);
    return;
  }
  std::vector<std::shared_ptr<Msg>> all;
  std::vector<AggServiceClient::StatusMessageSource> sources;
  for (const auto& payload : payloads) {
    auto local = std::make_shared<Msg>();
    // The host's own messages were serialised by this process a moment ago.
    local->ParseFromString(payload);
    all.push_back(std::move(local));
    sources.push_back(AggServiceClient::STATUS_SOURCE_LOCAL);
  }
  const size_t localCount = payloads.size();
  payloads.clear();
  std::list<std::string> remote = client->GetRemoteCollector()->GetStatusCache(appName, msgType);
  LogMergeSizes(appName, targets.size(), localCount, remote.size());
  for (const auto& payload : remote) {
    auto message = std::make_shared<Msg>();
    if (!message->ParseFromString(payload)) {
      LogUnparsable(appName, msgType);
      continue;
    }
    all.push_back(std::move(message));
    sources.push_back(AggServiceClient::STATUS_SOURCE_SNIC);
  }
  std::vector<std::shared_ptr<Msg>> merged;
  auto* adapter = dynamic_cast<AggServiceClient::VerticalAdapter<Msg>*>(client->FindAdapter(msgType));
  if (adapter != nullptr && adapter->statusMerge) {
    adapter->MergeStatus(all, sources, merged);  // a false result still leaves its output
  } else {
    merged = all;
  }
  LogMergedCount(appName, msgType, merged.size());
  for (const auto& message : merged) {
    if (!message) {
      LogNullMerged(appName, msgType);
      continue;
    }
    LogMergedMessage(appName, msgType, *message);
    std::string bytes;
    if (message->SerializeToString(&bytes)) payloads.push_back(std::move(bytes));
  }
}

// The host's runtime status merged with the smart NICs' for (appName, msgType): always a
// status, empty when the host has none (the smart NICs' are then not used).
template <class Msg>
std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> MergeGenericStatusWithRemote(
    SnicAggServiceClient* client, const std::string& appName, const std::string& msgType,
    const std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& local, bool sendMetric) {
  using namespace aggsvc_snic_detail;
  auto merged = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  // A status that is present but null is no status.
  if (!local || !*local) return merged;
  std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> statuses{*local};
  std::vector<AggServiceClient::StatusMessageSource> sources{AggServiceClient::STATUS_SOURCE_LOCAL};
  std::list<std::string> remote = client->GetRemoteCollector()->GetGenericStatusCache(appName, msgType);
  if (remote.empty()) LogNoGrsMessages();
  for (const auto& payload : remote) {
    auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
    if (!status->ParseFromString(payload)) {
      LogUnparsable(appName, msgType);
      continue;
    }
    statuses.push_back(std::move(status));
    sources.push_back(AggServiceClient::STATUS_SOURCE_SNIC);
  }
  AggServiceClient::Adapter* adapter = client->FindGenericAdapter(msgType);
  if (adapter != nullptr) {
    adapter->MergeGenericRuntimeStatus(statuses, sources, merged, sendMetric);
  } else {
    DefaultMergeGenericRuntimeStatus(statuses, sources, merged);
  }
  if (!merged) {
    LogNullMerged(appName, msgType);
    merged = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  }
  return merged;
}

template <class Msg>
class SnicAggServiceClient::SnicVerticalAdapter : public AggServiceClient::VerticalAdapter<Msg> {
 public:
  using Base = AggServiceClient::VerticalAdapter<Msg>;

  SnicVerticalAdapter(const std::string& appName, SnicAggServiceClient* client)
      : appName(appName), msgTypeName(Msg::default_instance().GetTypeName()), snicClient(client) {}
  ~SnicVerticalAdapter() override = default;

  void RunVerticalCb(const std::vector<std::shared_ptr<PullTarget>>& targets,
                     std::vector<std::string>& payloads) override {
    aggsvc_snic_detail::LogInvoking(false, appName, msgTypeName);
    Base::RunVerticalCb(targets, payloads);
    MergeStatusWithRemote<Msg>(snicClient, appName, msgTypeName, targets, payloads);
  }

  std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> GetGenericRuntimeStatus(bool sendMetric) override {
    aggsvc_snic_detail::LogInvoking(true, appName, msgTypeName);
    zumbra::qbx::agg_service::messaging::GenericRuntimeStatusRequestMsg request;
    request.set_target_type(msgTypeName);
    snicClient->RequestRemoteGenericStatus(request);
    auto local = Base::GetGenericRuntimeStatus(sendMetric);
    if (snicClient->NodePersona() != aggsvc_snic_detail::kPersonaSnHost) {
      aggsvc_snic_detail::LogNotSnHost(appName, msgTypeName);
      return local;
    }
    return MergeGenericStatusWithRemote<Msg>(snicClient, appName, msgTypeName, local, sendMetric);
  }

  void PollStats(qbx::PollStatType type, std::shared_ptr<qbx::IStatsStoreFactory> factory) override {
    Base::PollStats(type, factory);
    snicClient->MergeStatsWithRemote(appName, factory);
  }

  void OnDemandStats(const std::vector<std::shared_ptr<qbx::TargetContext>>& targets,
                     std::shared_ptr<qbx::IStatsStoreFactory> factory) override {
    Base::OnDemandStats(targets, factory);
    snicClient->MergeStatsWithRemote(appName, factory);
  }

  void OnDemandStatsNew(const std::vector<std::shared_ptr<qbx::TargetContextNew>>& targets,
                        std::shared_ptr<qbx::IStatsStoreFactory> factory) override {
    Base::OnDemandStatsNew(targets, factory);
    snicClient->MergeStatsWithRemote(appName, factory);
  }

 private:
  std::string appName;
  std::string msgTypeName;
  SnicAggServiceClient* snicClient;
};

template <class Msg>
int SnicAggServiceClient::RegisterSnicPullHandler(const PullHandler<Msg>& handler,
                                                  const SnicPullCallbacks<Msg>& callbacks) {
  using namespace aggsvc_snic_detail;
  const std::string key = Msg::default_instance().GetTypeName();
  if (NodePersona() == kPersonaSn) {
    LogRefused(SnicRefusal::kOnSmartNic, key);
    return aggresult::kSnicRegistrationOnSnic;
  }
  if (adapters.count(key) != 0) {
    LogRefused(SnicRefusal::kDuplicatePull, key);
    return aggresult::kDuplicateRegistration;
  }
  if (!vertical->HasAdapter(key, SNIC_ADAPTER)) {
    LogRefused(SnicRefusal::kNoSnicEntryPull, key);
    return aggresult::kInvalidArgs;
  }
  auto adapter = std::make_unique<SnicVerticalAdapter<Msg>>(vertical->Name(), this);
  adapter->pullHandler = handler;
  if (callbacks.merge) adapter->statusMerge = callbacks.merge;
  if (callbacks.targets) adapter->remoteTargetMapper = callbacks.targets;
  AddAdapter(key, adapter.release());
  LogSnicRegistered(false, vertical->Name(), key);
  return aggresult::kOk;
}

template <class Msg>
int SnicAggServiceClient::RegisterSnicGenericPullHandler(const GenericStatusGetter& getter,
                                                         const MultiCollectorCallbacks& callbacks) {
  using namespace aggsvc_snic_detail;
  const std::string key = Msg::default_instance().GetTypeName();
  if (NodePersona() == kPersonaSn) {
    LogRefused(SnicRefusal::kOnSmartNic, key);
    return aggresult::kSnicRegistrationOnSnic;
  }
  if (genericAdapters.count(key) != 0) {
    LogRefused(SnicRefusal::kDuplicateGeneric, key);
    return aggresult::kDuplicateRegistration;
  }
  if (!vertical->HasAdapter(key, SNIC_ADAPTER)) {
    LogRefused(SnicRefusal::kNoSnicEntryGeneric, key);
    return aggresult::kInvalidArgs;
  }
  const bool firstPair = callbacks.genericStatusDiff || callbacks.genericStatusMerge;
  const bool secondPair = callbacks.runtimeStatusDiff || callbacks.runtimeStatusMerge;
  if (firstPair && secondPair) {
    LogRefused(SnicRefusal::kWrongPairs, key);
    return aggresult::kInvalidArgs;
  }
  if (static_cast<bool>(callbacks.runtimeStatusDiff) != static_cast<bool>(callbacks.runtimeStatusMerge)) {
    LogRefused(SnicRefusal::kIncompletePair, key);
    return aggresult::kInvalidArgs;
  }
  auto adapter = std::make_unique<SnicVerticalAdapter<Msg>>(vertical->Name(), this);
  adapter->genericStatusGetter = getter;
  if (callbacks.runtimeStatusMerge) {
    adapter->runtimeStatusMerge = callbacks.runtimeStatusMerge;
    adapter->SetShaClientWrapper(shaClientWrapper);
    adapter->SetRuntimeStatusDiff(callbacks.runtimeStatusDiff);
  } else if (callbacks.genericStatusMerge) {
    adapter->genericStatusMerge = callbacks.genericStatusMerge;
    if (callbacks.genericStatusDiff) adapter->genericStatusDiff = callbacks.genericStatusDiff;
  }
  genericAdapters.emplace(key, adapter.release());
  LogSnicRegistered(true, vertical->Name(), key);
  return aggresult::kOk;
}

// Registers a vertical's pull handler for a type that is also collected from smart NICs:
// in smart-NIC form on a host with smart NICs (persona 1) whose client is a smart-NIC
// client, in plain form on every other node. The persona is read at the call. A smart-NIC
// form that is refused (-1011, -1006) falls back to the plain form, so the host's own data
// is served in every case. 0, or the refusal of the form used.
template <class Msg>
int RegisterPullHandlerWithSnic(const std::shared_ptr<AggServiceClient>& client,
                                const AggServiceClient::PullHandler<Msg>& handler,
                                const SnicPullCallbacks<Msg>& callbacks) {
  if (!client) return aggresult::kInvalidArgs;
  if (client->NodePersona() == aggsvc_snic_detail::kPersonaSnHost) {
    if (auto snic = std::dynamic_pointer_cast<SnicAggServiceClient>(client)) {
      int rc = snic->template RegisterSnicPullHandler<Msg>(handler, callbacks);
      if (rc != aggresult::kSnicRegistrationOnSnic && rc != aggresult::kInvalidArgs) return rc;
    }
  }
  return client->template RegisterPullHandler<Msg>(handler);
}

// The same for a generic runtime-status registration: the smart-NIC form with `getter` and
// `callbacks` on a host with smart NICs, else (and when that form is refused) `plain`, the
// vertical's own plain registration of the type.
template <class Msg>
int RegisterGenericPullHandlerWithSnic(const std::shared_ptr<AggServiceClient>& client,
                                       const AggServiceClient::GenericStatusGetter& getter,
                                       const MultiCollectorCallbacks& callbacks, const std::function<int()>& plain) {
  if (!client) return aggresult::kInvalidArgs;
  if (client->NodePersona() == aggsvc_snic_detail::kPersonaSnHost) {
    if (auto snic = std::dynamic_pointer_cast<SnicAggServiceClient>(client)) {
      int rc = snic->template RegisterSnicGenericPullHandler<Msg>(getter, callbacks);
      if (rc != aggresult::kSnicRegistrationOnSnic && rc != aggresult::kInvalidArgs) return rc;
    }
  }
  return plain ? plain() : aggresult::kInvalidArgs;
}

}  // namespace AggSvcSnic
