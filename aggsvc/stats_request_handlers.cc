// The statistics and runtime-status request handlers of AggServiceClient: summation
// statistics under the delta protocol, overwrite and on-demand statistics (absolute values),
// and the generic runtime status of one message type.
//
// Threading: every handler runs on the client's receive thread with the request lock
// (resetMutex) held by ProcessReceivedMessage, so a statistics reset or a protocol version
// change never runs in the middle of a delta computation.
//
// The summation handler records a request as answered (delta worker, delta store, full
// response as the new base) only once its response exists. A request that fails before that
// (the vertical's callback threw, encoding or serialisation failed) leaves the protocol state
// as it was, so the management plane's retry is answered from the same base: nothing that it
// already acknowledged is sent twice and nothing is lost.

#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/stats/delta_worker.h"
#include "aggsvc/stats/proto_store_factory.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace msg = zumbra::qbx::agg_service::messaging;
using qbx::DeltaWorker;
using qbx::DiffStoreFactoryImpl;
using qbx::ProtoStoreFactoryImpl;

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr const char* kSummationResponseTypeId = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
constexpr const char* kOverwriteResponseTypeId = "com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg";
constexpr const char* kOnDemandResponseTypeId = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg";
constexpr const char* kGenericRuntimeStatusResponseTypeId =
    "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg";

// Undoes the delta store's last UpdatePreviousWithCurrent unless the response was made.
class DeltaUpdateGuard {
 public:
  explicit DeltaUpdateGuard(std::shared_ptr<DiffStoreFactoryImpl> store) : store(std::move(store)) {}
  ~DeltaUpdateGuard() {
    if (store) store->RollbackUpdate();
  }
  DeltaUpdateGuard(const DeltaUpdateGuard&) = delete;
  DeltaUpdateGuard& operator=(const DeltaUpdateGuard&) = delete;
  void Commit() {
    if (store) store->CommitUpdate();
    store.reset();
  }

 private:
  std::shared_ptr<DiffStoreFactoryImpl> store;
};

std::string IdText(const msg::TargetStatsRequestMsg& target, bool parent) {
  const msg::UuidOrStringIdMsg& id = parent ? target.parent_id() : target.target_id();
  return id.has_string_id() ? id.string_id() : std::string();
}

// Parses a request of the message `name`; logs and returns false when the payload is not one.
template <typename Request>
bool ParseRequest(Request& request, const char* payload, int32_t length, const char* name, const char* fn,
                  const char* app, const MsgMetadata& metadata) {
  if (request.ParseFromArray(payload, length)) return true;
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10009")
      .put("[%s][%s]: Unable to parse %s from msg type: %s\n", fn, app, name, metadata.GetTypeId().c_str());
  return false;
}

// The vertical adapter registered for the request type `key`, or nullptr (logged as `what`).
AggServiceClient::Adapter* FindStatsAdapter(const AggServiceClient& client, const std::string& key, const char* what,
                                            const char* fn) {
  AggServiceClient::Adapter* adapter = client.FindAdapter(key);
  if (adapter == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10012")
        .put("[%s][%s]: No vertical adapter registered for %s: %s\n", fn, client.AppName(), what, key.c_str());
  }
  return adapter;
}

// Serialises a reply of type `typeId` with `serialise`; logs `failure` when that fails.
template <typename Serialise>
bool SerialiseReply(Serialise&& serialise, const char* typeId, const char* failure, const char* fn, const char* app) {
  QBX_LOG(qbx::loglevel::kTrace)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Create & enqueue msg for send, msgtype: %s\n", fn, app, typeId);
  if (serialise()) return true;
  QBX_LOG(qbx::loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10017").put("[%s][%s]: %s", fn, app, failure);
  return false;
}

// Serialises the response to a reply of type `typeId`; logs `failure` when that fails.
template <typename Response>
bool SerialiseResponse(const Response& response, const char* typeId, const char* failure, const char* fn,
                       const char* app, std::string& out) {
  return SerialiseReply([&] { return response.SerializeToString(&out); }, typeId, failure, fn, app);
}

// Logs a failed hand-over of a reply to the transport; returns its result.
int CheckDispatch(int result, const char* fn, const char* app) {
  if (result < 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10011")
        .put("[%s][%s]: Dispatch message to mpa failed\n", fn, app);
  }
  return result;
}

// Serialises the response and hands it over as the reply (of type `typeId`) to the request.
template <typename Response>
int SendResponse(AggServiceClient& client, const Response& response, const char* typeId, const char* failure,
                 const char* fn, const MsgMetadata& metadata) {
  MsgMetadata replyMetadata(typeId, metadata.GetCorrelationId(), metadata.GetReplyTo());
  std::string serialised;
  if (!SerialiseResponse(response, typeId, failure, fn, client.AppName(), serialised)) {
    return aggresult::kSerializationFailed;
  }
  return CheckDispatch(client.CreateAndEnqueueMpaMessageTask(std::move(serialised), replyMetadata), fn,
                       client.AppName());
}

// Encodes the collected absolute values (`what` stats) into a new response and sends it.
// The response's one field is its statistics: they are written as bytes straight into the
// reply, without building the message of thousands of targets and serialising it.
template <typename Response>
int EncodeAndSendResponse(AggServiceClient& client, ProtoStoreFactoryImpl& store, const char* what, const char* typeId,
                          const char* failure, const char* fn, const MsgMetadata& metadata) {
  static_assert(Response::kStatsFieldNumber == 1, "the reply is its statistics field alone");
  // Four bytes of length cover answers from 2 MiB to 256 MiB exactly; others are moved once.
  constexpr size_t kLengthWidth = 4;
  std::string serialised;
  const size_t slot = qbx::wire::OpenField(serialised, 1, kLengthWidth);
  if (!store.EncodeWire(&serialised)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10015")
        .put("[%s][%s]: Response encoding failed for %s stats\n", fn, client.AppName(), what);
    return aggresult::kEncodingFailed;
  }
  qbx::wire::CloseField(serialised, slot, kLengthWidth);
  // Protobuf neither serialises nor parses a message beyond 2 GiB.
  if (!SerialiseReply([&] { return serialised.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max()); },
                      typeId, failure, fn, client.AppName())) {
    return aggresult::kSerializationFailed;
  }
  MsgMetadata replyMetadata(typeId, metadata.GetCorrelationId(), metadata.GetReplyTo());
  return CheckDispatch(client.CreateAndEnqueueMpaMessageTask(std::move(serialised), replyMetadata), fn,
                       client.AppName());
}

}  // namespace

int AggServiceClient::SummationStatsRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata) {
  static const char* fn = "SummationStatsRequestHandler";
  msg::PullSummationStatsRequestMsg request;
  if (!ParseRequest(request, payload, length, "PullSummationStatsRequestMsg", fn, AppName(), metadata)) {
    return aggresult::kUnparsableRequest;
  }
  const std::string& key = msg::PullSummationStatsRequestMsg::default_instance().GetTypeName();
  Adapter* adapter = FindStatsAdapter(*this, key, "statistics message type", fn);
  if (adapter == nullptr) return aggresult::kNoAdapter;
  if (!request.has_seq_num() || !request.has_last_ack()) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10034")
        .put("[%s][%s]: Summation stats request is missing seq_num/last_ack\n", fn, AppName());
    return aggresult::kNoSeqNumOrAck;
  }
  const uint64_t seq = request.seq_num();
  const uint64_t ack = request.last_ack();
  const bool smartNicMode = IsSmartNicMode();
  deltaWorker.SetSmartNicMode(smartNicMode);
  // A worker waiting for its first request was reset (version change, datapath restart)
  // after the cached response was made: that response describes counters that no longer
  // exist and must never be resent.
  if (deltaWorker.IsFirstRequest()) lastSummationStats.reset();

  const int status = deltaWorker.Classify(seq, ack);
  if (status < 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10014")
        .put("[%s][%s]: Bad summation stats request: %d \n", fn, AppName(), status);
    return aggresult::kGeneral;
  }
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Valid summation stats request: %d \n", fn, AppName(), status);

  // Collects absolute values; with `full` also the delta store that takes them as its base.
  std::shared_ptr<DiffStoreFactoryImpl> newDiffStore;
  std::shared_ptr<std::string> absolute;
  auto getResponse = [&](bool full) {
    auto store = std::make_shared<ProtoStoreFactoryImpl>();
    CallExtraAdapter(payload, length, metadata);
    adapter->PollStats(qbx::SUMMATION, store);
    absolute = std::make_shared<std::string>();
    bool ok = store->EncodeWire(absolute.get());
    if (ok && full) {
      newDiffStore = std::make_shared<DiffStoreFactoryImpl>(store->GetCurrentStatsMap(), store->GetCurrentStatsMapNew(),
                                                            vertical->SkipFirstValue());
    }
    return ok;
  };

  // The serialised StatsResponseMsg of the answer: the reply is its request's seq_num and
  // these bytes, and a resend sends the same bytes again.
  std::shared_ptr<const std::string> stats;
  std::unique_ptr<DeltaUpdateGuard> pendingDelta;
  switch (status) {
    case DeltaWorker::DELTA_RESEND_RESPONSE:
      if (!lastSummationStats) {
        QBX_LOG(qbx::loglevel::kFatal)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10022")
            .put("[%s][%s]: Status: 'DELTA_RESEND_RESPONSE', no previous response, should not happen", fn, AppName());
        return aggresult::kGeneral;
      }
      QBX_LOG(qbx::loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Status: 'DELTA_RESEND_RESPONSE', resending previous response", fn, AppName());
      stats = lastSummationStats;
      break;
    case DeltaWorker::DELTA_MP_FIRST_OR_RESET_REQUEST:
      if (lastSummationStats && lastSummationStatus == DeltaWorker::DELTA_MP_FIRST_OR_RESET_REQUEST) {
        QBX_LOG(qbx::loglevel::kInfo)
            .subcomp(kSubcomp)
            .put("[%s][%s]: Status: 'DELTA_MP_FIRST_OR_RESET_REQUEST', previous response was a full sync got full "
                 "sync again. Assuming previous full sync response was lost, resending previous cached response",
                 fn, AppName());
        stats = lastSummationStats;
        break;
      }
      QBX_LOG(qbx::loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Status: 'DELTA_MP_FIRST_OR_RESET_REQUEST', A new full sync request, do callback and send "
               "absolute values.\n",
               fn, AppName());
      if (!getResponse(true)) {
        QBX_LOG(qbx::loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10015")
            .put("[%s][%s]: Summation stats GetResponse for full stats failed.\n", fn, AppName());
        return aggresult::kEncodingFailed;
      }
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Summation stats GetResponse for full stats succeeded.\n", fn, AppName());
      break;
    case DeltaWorker::DELTA_ACKNOWLEDGED_RESPONSE:
    case DeltaWorker::DELTA_FIRST_RECEIVED_REQUEST: {
      if (!diffStore) {
        QBX_LOG(qbx::loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10016")
            .put("[%s][%s]: Diff Callback interface for delta stats is Null", fn, AppName());
        return aggresult::kNoDeltaStore;
      }
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Status: 'DELTA_FIRST_RECEIVED_REQUEST or DELTA_ACKNOWLEDGED_RESPONSE', update previous "
               "with current before doing callback.\n",
               fn, AppName());
      std::shared_ptr<DiffStoreFactoryImpl> store = diffStore;
      store->UpdatePreviousWithCurrent();
      // Rolled back on every way out (failure or a throwing callback) until committed.
      pendingDelta = std::make_unique<DeltaUpdateGuard>(store);
      bool ok;
      if (smartNicMode) {
        QBX_LOG(qbx::loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("[%s] skipping diff for %s and returning absolute values", fn, AppName());
        ok = getResponse(false);
      } else {
        QBX_LOG(qbx::loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("[%s][%s]: Summation callback to send delta values.\n", fn, AppName());
        CallExtraAdapter(payload, length, metadata);
        adapter->PollStats(qbx::SUMMATION, store);
        // Reuses the memory of the delta answer sent before the cached one.
        std::shared_ptr<std::string> bytes = store->NewBuffer();
        ok = store->EncodeWire(bytes.get());
        stats = std::move(bytes);
      }
      if (!ok) {
        QBX_LOG(qbx::loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10015")
            .put("[%s][%s]: Summation stats GetResponse for delta stats failed.\n", fn, AppName());
        return aggresult::kEncodingFailed;
      }
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Summation stats GetResponse for delta stats succeeded.\n", fn, AppName());
      break;
    }
    default:
      QBX_LOG(qbx::loglevel::kFatal)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10023")
          .put("[%s][%s]: Status: %d, should not have happened\n", fn, AppName(), status);
      return aggresult::kImpossibleSummationStatus;
  }

  static const char* kSerialiseFailure = "SummationStatsResponseMsg serialize to string failed for delta stats.";
  // Absolute values are written once, in the form that is cached for a resend.
  if (absolute) stats = std::move(absolute);
  MsgMetadata replyMetadata(kSummationResponseTypeId, metadata.GetCorrelationId(), metadata.GetReplyTo());
  // A resent response carries the new request's number.
  std::string serialised;
  if (!SerialiseReply([&] { return qbx::SerialiseSummationResponse(seq, *stats, serialised); },
                      kSummationResponseTypeId, kSerialiseFailure, fn, AppName())) {
    return aggresult::kSerializationFailed;
  }

  // The response exists: from here on the request counts as answered.
  deltaWorker.UpdateDeltaState(seq, ack, status);
  if (pendingDelta) pendingDelta->Commit();
  // The absolute values of a full answer are the base of the next delta.
  if (newDiffStore) diffStore = std::move(newDiffStore);

  int result = CreateAndEnqueueMpaMessageTask(std::move(serialised), replyMetadata);
  if (status != DeltaWorker::DELTA_RESEND_RESPONSE) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Caching current summation response message\n", fn, AppName());
    lastSummationStats = std::move(stats);
  }
  lastSummationStatus = static_cast<uint32_t>(status);
  return CheckDispatch(result, fn, AppName());
}

int AggServiceClient::OverwriteStatsRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata) {
  static const char* fn = "OverwriteStatsRequestHandler";
  msg::PullOverwriteStatsRequestMsg request;
  if (!ParseRequest(request, payload, length, "PullOverwriteStatsRequestMsg", fn, AppName(), metadata)) {
    return aggresult::kUnparsableRequest;
  }
  const std::string& key = msg::PullOverwriteStatsRequestMsg::default_instance().GetTypeName();
  Adapter* adapter = FindStatsAdapter(*this, key, "overwrite statistics msg type", fn);
  if (adapter == nullptr) return aggresult::kNoAdapter;
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Invoke callback to collect overwrite stats\n", fn, AppName());
  auto store = std::make_shared<ProtoStoreFactoryImpl>();
  CallExtraAdapter(payload, length, metadata);
  if (adapter->HasPollStatsWithMetrics()) {
    bool flag = true;
    std::vector<std::shared_ptr<MetricsAgentMessage>> metrics;
    adapter->PollStatsWithMetrics(qbx::OVERWRITE, flag, store, metrics);
    for (const auto& metric : metrics) {
      if (shaClientWrapper && metric) shaClientWrapper->SendMetric(key, metric);
    }
  } else {
    adapter->PollStats(qbx::OVERWRITE, store);
  }
  return EncodeAndSendResponse<msg::OverwriteStatsResponseMsg>(*this, *store, "overwrite", kOverwriteResponseTypeId,
                                                  "OverwriteStatsResponseMsg serialize to string failed.", fn, metadata);
}

int AggServiceClient::OnDemandStatsRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata) {
  static const char* fn = "OnDemandStatsRequestHandler";
  msg::OnDemandStatsRequestMsg request;
  if (!ParseRequest(request, payload, length, "OnDemandStatsRequestMsg", fn, AppName(), metadata)) {
    return aggresult::kUnparsableRequest;
  }
  if (request.target_request_size() == 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10019")
        .put("[%s][%s]: OnDemand statsMsg targetRequest is empty, skipping callback\n", fn, AppName());
    return aggresult::kNoOnDemandTargets;
  }
  if (static_cast<size_t>(request.target_request_size()) > kMaxTargetsPerRequest) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Request names %d targets, more than the %zu allowed; refused\n", fn, AppName(),
             request.target_request_size(), kMaxTargetsPerRequest);
    return aggresult::kTooManyTargets;
  }
  // The first target decides the form of the whole request.
  const bool statTypeForm = request.target_request(0).has_stat_type();
  const std::string& key = msg::OnDemandStatsRequestMsg::default_instance().GetTypeName();
  Adapter* adapter = FindStatsAdapter(*this, key, "on-demand statistics msg type", fn);
  if (adapter == nullptr) return aggresult::kNoAdapter;

  std::vector<std::shared_ptr<qbx::TargetContext>> contexts;
  std::vector<std::shared_ptr<qbx::TargetContextNew>> contextsNew;
  for (const msg::TargetStatsRequestMsg& target : request.target_request()) {
    const std::string parentType = target.has_parent_type() ? target.parent_type() : std::string();
    const std::string parentId = IdText(target, true);
    const std::string targetType = target.has_target_type() ? target.target_type() : std::string();
    const std::string targetId = IdText(target, false);
    const int32_t statType = target.has_stat_type() ? target.stat_type() : qbx::kStatTypeUnset;
    if (!statTypeForm) {
      try {
        auto context = std::make_shared<qbx::TargetContext>(targetId, targetType, parentId, parentType);
        QBX_LOG(qbx::loglevel::kTrace)
            .subcomp(kSubcomp)
            .put("[%s][%s]: Adding target:[%s:%s:%s:%s] to TargetContext List\n", fn, AppName(), parentType.c_str(),
                 parentId.c_str(), targetType.c_str(), targetId.c_str());
        contexts.push_back(std::move(context));
      } catch (const ::Exception&) {
        QBX_LOG(qbx::loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10018")
            .put("[%s][%s]: Creating TargetContext instance failed for target: [%s:%s:%s:%s]\n", fn, AppName(),
                 parentType.c_str(), parentId.c_str(), targetType.c_str(), targetId.c_str());
      }
    } else {
      try {
        auto context = std::make_shared<qbx::TargetContextNew>(targetId, statType, parentId);
        QBX_LOG(qbx::loglevel::kTrace)
            .subcomp(kSubcomp)
            .put("[%s][%s]: Adding target:[%d:%s:%s] to TargetContext List\n", fn, AppName(), statType,
                 parentId.c_str(), targetId.c_str());
        contextsNew.push_back(std::move(context));
      } catch (const ::Exception&) {
        QBX_LOG(qbx::loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10018")
            .put("[%s][%s]: Creating TargetContextNew instance failed for target: [%d:%s:%s]\n", fn, AppName(),
                 statType, parentId.c_str(), targetId.c_str());
      }
    }
  }

  auto store = std::make_shared<ProtoStoreFactoryImpl>();
  if (!contexts.empty()) {
    QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[%s] Invoke callback to collect on-demand stats\n", AppName());
    CallExtraAdapter(payload, length, metadata);
    adapter->OnDemandStats(contexts, store);
  } else if (!contextsNew.empty()) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s] Invoke callback to collect on-demand stats with statType support\n", AppName());
    CallExtraAdapter(payload, length, metadata);
    adapter->OnDemandStatsNew(contextsNew, store);
  } else {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10019")
        .put("[%s][%s]: OnDemand TargetContextList empty, skipping callback\n", fn, AppName());
    return aggresult::kNoOnDemandTargets;
  }

  return EncodeAndSendResponse<msg::OnDemandStatsResponseMsg>(*this, *store, "on-demand", kOnDemandResponseTypeId,
                                                  "OnDemandStatsResponseMsg serialize to string failed.", fn, metadata);
}

int AggServiceClient::GenericRuntimeStatusRequestHandler(const char* payload, int32_t length,
                                                         const MsgMetadata& metadata) {
  static const char* fn = "GenericRuntimeStatusRequestHandler";
  msg::GenericRuntimeStatusRequestMsg request;
  if (!ParseRequest(request, payload, length, "GenericRuntimeStatusRequestMsg", fn, AppName(), metadata)) {
    return aggresult::kUnparsableRequest;
  }
  if (!request.has_target_type() || request.target_type().empty()) return aggresult::kGeneral;
  const std::string& targetType = request.target_type();
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s][%s]: Got generic runtime status request for targetType: %s\n", fn, AppName(), targetType.c_str());
  Adapter* adapter = FindGenericAdapter(targetType);
  if (adapter == nullptr) return aggresult::kGeneral;

  msg::GenericRuntimeStatusResponseMsg response;
  bool obtained = false;
  std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> status = adapter->GetGenericRuntimeStatus(false);
  if (status && *status) {
    std::string bytes;
    if ((*status)->SerializeToString(&bytes)) {
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("[%s][%s]: Generic status Callback returned payload for %s", fn, AppName(), targetType.c_str());
      response.set_status(std::move(bytes));
      obtained = true;
    }
  }
  if (!obtained) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[%s][%s]: Generic status Callback failed for %s", fn, AppName(), targetType.c_str());
  }
  response.set_target_type(targetType);
  response.set_status_obtained(obtained);
  return SendResponse(*this, response, kGenericRuntimeStatusResponseTypeId,
                      "GenericRuntimeStatusResponseMsg serialize to string failed.", fn, metadata);
}
