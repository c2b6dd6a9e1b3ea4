// The vertical adapter: one vertical's callbacks for one protobuf message type, behind the
// fixed set of operations through which the client's request handlers, the status source
// and the smart-NIC client reach the vertical. Also the per-type registration templates of
// AggServiceClient.
//
// Threading: an adapter has no lock. Its callbacks are installed while the vertical
// registers (manager's thread, before the client is opened) and only read afterwards. The
// operations run on the client's request thread and, for the generic-status getter and
// compare, on the status source's poller thread; the vertical's callbacks must tolerate
// both. The health-agent wrapper guards its own flag.
//
// An operation whose callback was never installed does not throw: it logs and answers
// empty (no payloads, no status, nothing polled), so a vertical that forgot a callback
// cannot end the request thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "base/logger.h"

class AggServiceClient::Adapter {
 public:
  virtual ~Adapter() = default;
  // Runs the pull callback and appends one serialised message per non-null result.
  virtual void RunVerticalCb(const std::vector<std::shared_ptr<PullTarget>>& targets,
                             std::vector<std::string>& payloads) = 0;
  virtual void SetRuntimeStatusGetter(const RuntimeStatusGetter& getter) = 0;
  virtual void SetRuntimeStatusDiff(const RuntimeStatusDiff& diff) = 0;
  virtual std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> GetGenericRuntimeStatus(bool sendMetric) = 0;
  // True when the two updates are the same.
  virtual bool DiffGenericRuntimeStatus(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                        const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second) = 0;
  virtual void PollStats(qbx::PollStatType type, std::shared_ptr<qbx::IStatsStoreFactory> factory) = 0;
  virtual void PollStatsWithMetrics(qbx::PollStatType type, bool& flag, std::shared_ptr<qbx::IStatsStoreFactory> factory,
                                    std::vector<std::shared_ptr<MetricsAgentMessage>>& metrics) = 0;
  virtual bool HasPollStatsWithMetrics() = 0;
  virtual void OnDemandStats(const std::vector<std::shared_ptr<qbx::TargetContext>>& targets,
                             std::shared_ptr<qbx::IStatsStoreFactory> factory) = 0;
  virtual void OnDemandStatsNew(const std::vector<std::shared_ptr<qbx::TargetContextNew>>& targets,
                                std::shared_ptr<qbx::IStatsStoreFactory> factory) = 0;
  virtual bool GetRemoteTargets(const std::shared_ptr<PullTarget>& target, std::vector<std::string>& ids) = 0;
  virtual void SetShaClientWrapper(const std::shared_ptr<qbx::AggSvc::ShaClientWrapper>& wrapper) = 0;
  virtual bool MergeGenericRuntimeStatus(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& statuses,
                                         const std::vector<StatusMessageSource>& sources,
                                         std::shared_ptr<GenericRuntimeStatusUpdateMsg>& merged, bool sendMetric) = 0;

  // Setters of the statistics callbacks, used by the client's statistics registrations.
  virtual void SetPollStatsHandler(const PollStatsHandler& handler) = 0;
  virtual void SetOnDemandStatsHandlers(const OnDemandStatsHandler& handler,
                                        const OnDemandStatsNewHandler& handlerNew) = 0;
  // Full protobuf type name of the adapter's message type (its key and metric key).
  virtual std::string MsgTypeName() const = 0;
};

// Merges the runtime status of several sources into `*merged`: every status is merged in
// list order (repeated fields accumulate), then the timestamp and the error are taken from
// the last status of the host itself (source 0), when there is one. `merged` must point to a
// message. Always true.
bool DefaultMergeGenericRuntimeStatus(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& statuses,
                                      const std::vector<AggServiceClient::StatusMessageSource>& sources,
                                      std::shared_ptr<GenericRuntimeStatusUpdateMsg>& merged);

namespace aggsvc_detail {
// Logs an operation asked of an adapter that lacks the callback for it.
void LogMissingCallback(const char* operation, const std::string& msgTypeName);
void LogNullMessage();
void LogSerializeFailure();
void LogPullCount(size_t count);
void LogEndOfRunVerticalCb();
void SendMetric(const std::shared_ptr<qbx::AggSvc::ShaClientWrapper>& wrapper, const std::string& key,
                const std::shared_ptr<MetricsAgentMessage>& metric);
enum class RegistrationForm { kPlain, kGeneric, kRuntimeStatus };
void LogRegistered(RegistrationForm form, const std::string& appName, const std::string& key);
void LogDuplicate(RegistrationForm form, const std::string& key);
}  // namespace aggsvc_detail

template <class Msg>
class AggServiceClient::VerticalAdapter : public AggServiceClient::Adapter {
 public:
  VerticalAdapter() = default;
  ~VerticalAdapter() override = default;

  void RunVerticalCb(const std::vector<std::shared_ptr<PullTarget>>& targets,
                     std::vector<std::string>& payloads) override {
    if (!pullHandler) {
      aggsvc_detail::LogMissingCallback("RunVerticalCb", MsgTypeName());
      return;
    }
    // The list's storage is kept by the thread from one pull to the next; a pull inside the
    // callback (on this thread) finds none kept and makes its own.
    static thread_local std::vector<std::shared_ptr<Msg>> kept;
    std::vector<std::shared_ptr<Msg>> msgs;
    msgs.swap(kept);
    pullHandler(targets, msgs);
    aggsvc_detail::LogPullCount(msgs.size());
    for (const auto& msg : msgs) {
      if (!msg) {
        aggsvc_detail::LogNullMessage();
        continue;
      }
      std::string& serialised = payloads.emplace_back();
      if (!msg->SerializeToString(&serialised)) {
        payloads.pop_back();
        aggsvc_detail::LogSerializeFailure();
        continue;
      }
    }
    // The messages go now, as they did when the list was the call's own.
    msgs.clear();
    if (msgs.capacity() <= kMaxKeptMessages) kept.swap(msgs);
    aggsvc_detail::LogEndOfRunVerticalCb();
  }

  void SetRuntimeStatusGetter(const RuntimeStatusGetter& getter) override { runtimeStatusGetter = getter; }
  void SetRuntimeStatusDiff(const RuntimeStatusDiff& diff) override { runtimeStatusDiff = diff; }

  std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> GetGenericRuntimeStatus(bool sendMetric) override {
    if (!runtimeStatusGetter) {
      if (!genericStatusGetter) {
        aggsvc_detail::LogMissingCallback("GetGenericRuntimeStatus", MsgTypeName());
        return std::nullopt;
      }
      return genericStatusGetter();
    }
    RuntimeStatusOptionsGet options;
    options.tsdbEnabled = shaClientWrapper ? shaClientWrapper->IsTsdbEnabled() : false;
    std::optional<RuntimeStatus> result = runtimeStatusGetter(options);
    if (!result) return std::nullopt;
    if (sendMetric && shaClientWrapper && shaClientWrapper->IsTsdbEnabled() && result->metric) {
      aggsvc_detail::SendMetric(shaClientWrapper, MsgTypeName(), result->metric);
    }
    return result->status;
  }

  bool DiffGenericRuntimeStatus(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second) override {
    if (runtimeStatusDiff) {
      RuntimeStatus filled;
      bool same = runtimeStatusDiff(first, second, filled);
      if (!same && shaClientWrapper && filled.metric && shaClientWrapper->IsTsdbEnabled()) {
        aggsvc_detail::SendMetric(shaClientWrapper, MsgTypeName(), filled.metric);
      }
      return same;
    }
    if (genericStatusDiff) return genericStatusDiff(first, second);
    return false;
  }

  void PollStats(qbx::PollStatType type, std::shared_ptr<qbx::IStatsStoreFactory> factory) override {
    if (!pollStatsHandler) {
      aggsvc_detail::LogMissingCallback("PollStats", MsgTypeName());
      return;
    }
    pollStatsHandler(type, std::move(factory));
  }

  void PollStatsWithMetrics(qbx::PollStatType type, bool& flag, std::shared_ptr<qbx::IStatsStoreFactory> factory,
                            std::vector<std::shared_ptr<MetricsAgentMessage>>& metrics) override {
    if (!pollStatsMetricsHandler) {
      aggsvc_detail::LogMissingCallback("PollStatsWithMetrics", MsgTypeName());
      return;
    }
    pollStatsMetricsHandler(type, flag, std::move(factory), metrics);
  }

  bool HasPollStatsWithMetrics() override { return static_cast<bool>(pollStatsMetricsHandler); }

  void OnDemandStats(const std::vector<std::shared_ptr<qbx::TargetContext>>& targets,
                     std::shared_ptr<qbx::IStatsStoreFactory> factory) override {
    if (!onDemandStatsHandler) {
      aggsvc_detail::LogMissingCallback("OnDemandStats", MsgTypeName());
      return;
    }
    onDemandStatsHandler(targets, std::move(factory));
  }

  void OnDemandStatsNew(const std::vector<std::shared_ptr<qbx::TargetContextNew>>& targets,
                        std::shared_ptr<qbx::IStatsStoreFactory> factory) override {
    if (!onDemandStatsNewHandler) {
      aggsvc_detail::LogMissingCallback("OnDemandStatsNew", MsgTypeName());
      return;
    }
    onDemandStatsNewHandler(targets, std::move(factory));
  }

  bool GetRemoteTargets(const std::shared_ptr<PullTarget>& target, std::vector<std::string>& ids) override {
    if (!remoteTargetMapper) return false;
    return remoteTargetMapper(target, ids);
  }

  void SetShaClientWrapper(const std::shared_ptr<qbx::AggSvc::ShaClientWrapper>& wrapper) override {
    shaClientWrapper = wrapper;
  }

  // Merges messages collected from several sources; false (nothing merged) without a merge
  // callback.
  virtual bool MergeStatus(const std::vector<std::shared_ptr<Msg>>& statuses,
                           const std::vector<StatusMessageSource>& sources, std::vector<std::shared_ptr<Msg>>& merged) {
    if (!statusMerge) {
      aggsvc_detail::LogMissingCallback("MergeStatus", MsgTypeName());
      return false;
    }
    return statusMerge(statuses, sources, merged);
  }

  bool MergeGenericRuntimeStatus(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& statuses,
                                 const std::vector<StatusMessageSource>& sources,
                                 std::shared_ptr<GenericRuntimeStatusUpdateMsg>& merged, bool sendMetric) override {
    if (runtimeStatusMerge) {
      RuntimeStatus shared;
      shared.status = merged;
      runtimeStatusMerge(statuses, sources, shared);
      // The callback may fill the status it was lent or hand back one of its own.
      if (shared.status) merged = shared.status;
      if (shared.metric && shaClientWrapper && sendMetric) {
        aggsvc_detail::SendMetric(shaClientWrapper, MsgTypeName(), shared.metric);
      }
      return true;
    }
    if (genericStatusMerge) return genericStatusMerge(statuses, sources, merged);
    return DefaultMergeGenericRuntimeStatus(statuses, sources, merged);
  }

  void SetPollStatsHandler(const PollStatsHandler& handler) override { pollStatsHandler = handler; }
  void SetOnDemandStatsHandlers(const OnDemandStatsHandler& handler,
                                const OnDemandStatsNewHandler& handlerNew) override {
    onDemandStatsHandler = handler;
    onDemandStatsNewHandler = handlerNew;
  }

  std::string MsgTypeName() const override { return Msg::default_instance().GetTypeName(); }

  // Longer lists of pulled messages are not kept for the next pull.
  static constexpr size_t kMaxKeptMessages = 1024;

  // Filled by the registration operations (here and in the smart-NIC client).
  PullHandler<Msg> pullHandler;
  GenericStatusGetter genericStatusGetter;
  GenericStatusDiff genericStatusDiff;
  PollStatsHandler pollStatsHandler;
  PollStatsMetricsHandler pollStatsMetricsHandler;
  OnDemandStatsHandler onDemandStatsHandler;
  OnDemandStatsNewHandler onDemandStatsNewHandler;
  GenericStatusMerge genericStatusMerge;
  StatusMerge<Msg> statusMerge;
  RemoteTargetMapper remoteTargetMapper;
  RuntimeStatusGetter runtimeStatusGetter;
  RuntimeStatusDiff runtimeStatusDiff;
  RuntimeStatusMerge runtimeStatusMerge;
  std::shared_ptr<qbx::AggSvc::ShaClientWrapper> shaClientWrapper;
};

template <class Msg>
int AggServiceClient::RegisterPullHandler(const PullHandler<Msg>& handler) {
  const std::string key = Msg::default_instance().GetTypeName();
  if (adapters.count(key) != 0) {
    aggsvc_detail::LogDuplicate(aggsvc_detail::RegistrationForm::kPlain, key);
    return aggresult::kDuplicateRegistration;
  }
  auto adapter = std::make_unique<VerticalAdapter<Msg>>();
  adapter->pullHandler = handler;
  AddAdapter(key, adapter.release());
  aggsvc_detail::LogRegistered(aggsvc_detail::RegistrationForm::kPlain, vertical->Name(), key);
  return aggresult::kOk;
}

template <class Msg>
int AggServiceClient::RegisterGenericPullHandler(const GenericStatusGetter& getter, const GenericStatusDiff& diff) {
  const std::string key = Msg::default_instance().GetTypeName();
  if (genericAdapters.count(key) != 0) {
    aggsvc_detail::LogDuplicate(aggsvc_detail::RegistrationForm::kGeneric, key);
    return aggresult::kDuplicateRegistration;
  }
  auto adapter = std::make_unique<VerticalAdapter<Msg>>();
  adapter->genericStatusGetter = getter;
  adapter->genericStatusDiff = diff;
  genericAdapters.emplace(key, adapter.release());
  aggsvc_detail::LogRegistered(aggsvc_detail::RegistrationForm::kGeneric, vertical->Name(), key);
  return aggresult::kOk;
}

template <class Msg>
int AggServiceClient::RegisterGenericPullHandler(const RuntimeStatusGetter& getter, const RuntimeStatusDiff& diff) {
  const std::string key = Msg::default_instance().GetTypeName();
  if (genericAdapters.count(key) != 0) {
    aggsvc_detail::LogDuplicate(aggsvc_detail::RegistrationForm::kGeneric, key);
    return aggresult::kDuplicateRegistration;
  }
  auto adapter = std::make_unique<VerticalAdapter<Msg>>();
  adapter->SetShaClientWrapper(shaClientWrapper);
  adapter->SetRuntimeStatusGetter(getter);
  adapter->SetRuntimeStatusDiff(diff);
  genericAdapters.emplace(key, adapter.release());
  aggsvc_detail::LogRegistered(aggsvc_detail::RegistrationForm::kRuntimeStatus, vertical->Name(), key);
  return aggresult::kOk;
}
