#include "aggsvc/remote_collector.h"

#include <algorithm>
#include <set>
#include <utility>

#include "aggsvc/agg_service_client.h"
#include "base/logger.h"
#include "core/static_tables.h"
#include "platform/mq/rmq_client.h"
#include "platform/smartnic/sn_util.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace msg = zumbra::qbx::agg_service::messaging;

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr const char* kSummationResponse = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
constexpr const char* kOverwriteResponse = "com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg";
constexpr const char* kOnDemandResponse = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg";
constexpr const char* kGenericStatusResponse = "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg";

// Files the statistics of one parsed response; false when it does not parse.
template <class Response>
bool ParseStats(const uint8_t* body, size_t length, RemoteCollector::StatsReplies& out) {
  Response response;
  if (!response.ParseFromArray(body, static_cast<int>(length))) return false;
  if (!response.has_stats()) return true;
  for (const auto& record : response.stats().target_type_stats()) {
    out.push_back(std::make_shared<const msg::TargetTypeStatsMsg>(record));
  }
  return true;
}

}  // namespace

RemoteCollector::RemoteCollector() : RemoteCollector(nullptr, Topology{}) {}

RemoteCollector::RemoteCollector(std::shared_ptr<WaitClock> clock, Topology topology)
    : clock(clock ? std::move(clock) : std::make_shared<SteadyWaitClock>()), topology(std::move(topology)) {
  if (!this->topology.mgmtIpList) this->topology.mgmtIpList = [] { return SNUtil::GetSNMgmtIPListOnHost(); };
  if (!this->topology.uuidFromIp) {
    this->topology.uuidFromIp = [](const std::string& ip) { return SNUtil::GetSNUUIDFromIP(ip); };
  }
}

RemoteCollector::~RemoteCollector() = default;

void RemoteCollector::Start() {
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("SN RemoteCollector: starting");
  std::lock_guard<std::mutex> guard(mutex);
  for (const auto& entry : AggServiceClient::MpTypeNameTable()) mpNames.emplace(entry.first, entry.second);
}

std::string RemoteCollector::GetReplyProtobufName(const std::string& requestTypeId) {
  // A client-data reply names its own type.
  if (requestTypeId == AggServiceClient::kClientDataRequestTypeId) return qbx::SnReplyTypeKey();
  if (requestTypeId == AggServiceClient::kSummationRequestTypeId) return kSummationResponse;
  if (requestTypeId == AggServiceClient::kOverwriteRequestTypeId) return kOverwriteResponse;
  if (requestTypeId == AggServiceClient::kOnDemandRequestTypeId) return kOnDemandResponse;
  if (requestTypeId == AggServiceClient::kGenericRuntimeStatusRequestTypeId) return kGenericStatusResponse;
  QBX_LOG(qbx::loglevel::kWarning)
      .subcomp(kSubcomp)
      .put("GetReplyProtobufName: don't know protobuf %s", requestTypeId.c_str());
  return std::string();
}

void RemoteCollector::SetMpaStub(const std::string& appName, std::shared_ptr<SnRequestSender> sender) {
  std::lock_guard<std::mutex> guard(mutex);
  mpaStubMap[appName] = std::move(sender);
}

void RemoteCollector::WakeWaiters() {
  std::lock_guard<std::mutex> guard(mutex);
  cv.notify_all();
}

std::vector<std::string> RemoteCollector::SmartNicIds() {
  std::vector<std::string> ids;
  for (const auto& ip : topology.mgmtIpList()) ids.push_back(topology.uuidFromIp(ip));
  return ids;
}

void RemoteCollector::RetrieveInfo(const std::string& appName, const char* bytes, int32_t length,
                                   const MsgMetadata& metadata) {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: RetrieveInfo called", appName.c_str());
  FanOutAndWait(appName, bytes, length, metadata, nullptr);
}

void RemoteCollector::RetrieveInfo(const std::string& appName, const char* bytes, int32_t length,
                                   const MsgMetadata& metadata, const std::vector<std::string>& snIds) {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: SN RetrieveInfo called", appName.c_str());
  FanOutAndWait(appName, bytes, length, metadata, &snIds);
}

void RemoteCollector::FanOutAndWait(const std::string& appName, const char* bytes, int32_t length,
                                    const MsgMetadata& metadata, const std::vector<std::string>* snIds) {
  const char* app = appName.c_str();
  // The wait is measured from here: the sends count against the 5 s too, so the host's
  // answer is never later than that, however slow a send is.
  const qbx::Clock::time_point deadline = clock->Now() + std::chrono::seconds(waitTime);
  const bool runtimeStatus = metadata.GetTypeId() == AggServiceClient::kGenericRuntimeStatusRequestTypeId;

  auto fanOut = std::make_shared<FanOut>();
  fanOut->appName = appName;
  // Expected before the first send: a reply may arrive while the others are being sent.
  fanOut->type = GetReplyProtobufName(metadata.GetTypeId());
  fanOut->correlationId = metadata.GetCorrelationId();

  std::shared_ptr<SnRequestSender> sender;
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(mutex);
    Record& record = (runtimeStatus ? genericStatusRequests : requests)[appName];
    record.active.push_back(fanOut);
    auto stub = mpaStubMap.find(appName);
    known = stub != mpaStubMap.end();
    if (known) sender = stub->second;
  }
  if (!known) {
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("No mpa client for %s in mpaStubMap", app);
  } else if (!sender) {
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("Null mpa client for %s in mpaStubMap", app);
  }

  uint32_t sent = 0;
  std::set<std::string> asked;
  if (sender && length >= 0 && (bytes != nullptr || length == 0)) {
    SnRequest request;
    request.appName = appName;
    request.typeId = metadata.GetTypeId();
    request.correlationId = metadata.GetCorrelationId();
    if (length > 0) request.body.assign(bytes, static_cast<size_t>(length));
    const std::vector<std::string> targets = snIds != nullptr ? *snIds : SmartNicIds();
    for (const auto& id : targets) {
      int rc = -1;
      try {
        rc = sender->SendMsgToSN(request, id);
      } catch (const std::exception& e) {
        QBX_LOG(qbx::loglevel::kWarning)
            .subcomp(kSubcomp)
            .put("[%s]: Sending to SN %s failed: %s", app, id.c_str(), e.what());
      }
      if (rc == 0) {
        ++sent;
        asked.insert(id);
      }
    }
  }

  std::unique_lock<std::mutex> lock(mutex);
  fanOut->asked = std::move(asked);
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[%s]: Request sent to %d DPUs", app, static_cast<int>(sent));
  if (sent > 0) {
    for (;;) {
      if (fanOut->AllAnswered()) {
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: RetrieveInfo completes", app);
        break;
      }
      if (clock->Now() >= deadline) {
        QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("[%s]: RetrieveInfo timed out", app);
        break;
      }
      clock->WaitUntil(cv, lock, deadline);
      if (!fanOut->AllAnswered() && clock->Now() < deadline) {
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: RetrieveInfo continues wait", app);
      }
    }
  }
  // The fan-out ends: later replies no longer match, and what arrived becomes this
  // thread's result for the merge that follows.
  Record& record = (runtimeStatus ? genericStatusRequests : requests)[appName];
  record.active.remove(fanOut);
  ThreadResults& mine = record.last[std::this_thread::get_id()];
  mine.stamp = ++resultStamp;
  mine.results = std::move(fanOut->results);
  if (record.last.size() > kMaxResultThreads) {
    auto oldest = std::min_element(record.last.begin(), record.last.end(),
                                   [](const auto& a, const auto& b) { return a.second.stamp < b.second.stamp; });
    record.last.erase(oldest);
  }
}

void RemoteCollector::ProcessSnResponse(const rmqClientMessage* message, const std::string& appName,
                                        const std::string& typeId, const std::string& correlationId) {
  const bool runtimeStatus = typeId == kGenericStatusResponse;
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("ProcessSnResponse: %s", appName.c_str());
  if (message == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10005")
        .put("ProcessSnResponse: null message for %s", appName.c_str());
    return;
  }
  if (message->messageType != RMQ_ZLM_PAYLOAD && message->messageType != RMQ_CLIENT_RPC_RESPONSE) {
    QBX_LOG(qbx::loglevel::kFatal)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10006")
        .put("ProcessSnResponse: unknown message type %d", static_cast<int>(message->messageType));
    return;
  }
  if (message->payloadLen < 0 || (message->payload == nullptr && message->payloadLen > 0) ||
      message->payloadLen > static_cast<int64_t>(INT32_MAX)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10005")
        .put("[%s]: ProcessSnResponse: reply with invalid body length %lld dropped", appName.c_str(),
             static_cast<long long>(message->payloadLen));
    return;
  }
  const std::string snId = message->routingKey != nullptr ? std::string(message->routingKey) : std::string();
  try {
    ProcessPayload(appName, typeId, correlationId, snId, message->payload, static_cast<size_t>(message->payloadLen),
                   runtimeStatus);
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s]: ProcessSnResponse failed: %s", appName.c_str(), e.what());
  }
}

void RemoteCollector::ProcessPayload(const std::string& appName, const std::string& typeId,
                                     const std::string& correlationId, const std::string& snId,
                                     const uint8_t* body, size_t length, bool runtimeStatus) {
  const char* app = appName.c_str();
  std::lock_guard<std::mutex> guard(mutex);
  RecordMap& records = runtimeStatus ? genericStatusRequests : requests;
  auto recordIt = records.find(appName);
  std::shared_ptr<FanOut> fanOut;
  if (recordIt != records.end()) {
    for (const auto& candidate : recordIt->second.active) {
      const bool typeMatches =
          candidate->type == typeId || candidate->type == qbx::SnReplyTypeKey() || typeId == qbx::SnReplyTypeKey();
      if (candidate->appName == appName && typeMatches && candidate->correlationId == correlationId) {
        fanOut = candidate;
        break;
      }
    }
  }
  if (!fanOut) {
    std::string current = "NULL";
    if (recordIt != records.end()) {
      const std::shared_ptr<FanOut>* first = recordIt->second.active.empty() ? nullptr : &recordIt->second.active.front();
      current = "app_name:" + appName + ", proto_name=" + (first ? (*first)->type : std::string()) +
                ", corr_id=" + (first ? (*first)->correlationId : std::string());
    }
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[%s]: ProcessPayload: reply does not match request, cur_request=%s", app, current.c_str());
    return;
  }
  const char* bytes = reinterpret_cast<const char*>(body);
  if (fanOut->type == qbx::SnReplyTypeKey()) {
    std::string key = typeId;
    if (!key.empty()) {
      auto mapped = mpNames.find(key);
      if (mapped != mpNames.end()) key = mapped->second;
    }
    auto& cache = fanOut->results.statusCache;
    if (cache.find(key) == cache.end()) {
      QBX_LOG(qbx::loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("[%s]: ProcessPayload: adapter type %s missing in status_cache", app, key.c_str());
    }
    cache[key].emplace_back(bytes, length);
  } else if (typeId == kSummationResponse || typeId == kOverwriteResponse || typeId == kOnDemandResponse) {
    bool parsed = typeId == kSummationResponse
                      ? ParseStats<msg::SummationStatsResponseMsg>(body, length, fanOut->results.stats)
                  : typeId == kOverwriteResponse
                      ? ParseStats<msg::OverwriteStatsResponseMsg>(body, length, fanOut->results.stats)
                      : ParseStats<msg::OnDemandStatsResponseMsg>(body, length, fanOut->results.stats);
    if (!parsed) {
      // A body that does not parse carries nothing that can be trusted: it is left out of
      // the merge, but the smart NIC did answer.
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10005")
          .put("[%s]: ProcessPayload: cannot parse %s, reply skipped", app, typeId.c_str());
    }
  } else if (typeId == kGenericStatusResponse) {
    msg::GenericRuntimeStatusResponseMsg response;
    if (!response.ParseFromArray(body, static_cast<int>(length))) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10005")
          .put("[%s]: ProcessPayload: cannot parse %s, reply skipped", app, typeId.c_str());
    } else if (!response.target_type().empty() && response.status_obtained()) {
      fanOut->results.genericStatusCache[response.target_type()].push_back(response.status());
    }
  } else {
    QBX_LOG(qbx::loglevel::kFatal)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10005")
        .put("[%s]: ProcessPayload: unknown msg type  %s", app, typeId.c_str());
  }
  // Smart NICs are counted, not replies: a second message of one smart NIC is filed above
  // but does not end the wait for another smart NIC's answer.
  if (snId.empty()) {
    ++fanOut->anonymousAnswers;
  } else {
    fanOut->answeredBy.insert(snId);
  }
  cv.notify_all();
}

const RemoteCollector::Results* RemoteCollector::ThreadResultsOf(const std::string& appName, bool runtimeStatus) {
  RecordMap& records = runtimeStatus ? genericStatusRequests : requests;
  auto recordIt = records.find(appName);
  if (recordIt == records.end()) return nullptr;
  auto mine = recordIt->second.last.find(std::this_thread::get_id());
  return mine == recordIt->second.last.end() ? nullptr : &mine->second.results;
}

RemoteCollector::StatsReplies RemoteCollector::GetStatsReplies(const std::string& appName) {
  std::lock_guard<std::mutex> guard(mutex);
  const Results* results = ThreadResultsOf(appName, false);
  return results ? results->stats : StatsReplies();
}

std::list<std::string> RemoteCollector::GetStatusCache(const std::string& appName, const std::string& protoTypeName) {
  std::lock_guard<std::mutex> guard(mutex);
  const Results* results = ThreadResultsOf(appName, false);
  if (!results) return {};
  auto found = results->statusCache.find(protoTypeName);
  return found == results->statusCache.end() ? std::list<std::string>() : found->second;
}

std::list<std::string> RemoteCollector::GetGenericStatusCache(const std::string& appName, const std::string& typeName) {
  std::lock_guard<std::mutex> guard(mutex);
  const Results* results = ThreadResultsOf(appName, true);
  if (!results) return {};
  auto found = results->genericStatusCache.find(typeName);
  return found == results->genericStatusCache.end() ? std::list<std::string>() : found->second;
}

void RemoteCollector::ForgetResults(const std::string& appName, bool runtimeStatus) {
  std::lock_guard<std::mutex> guard(mutex);
  RecordMap& records = runtimeStatus ? genericStatusRequests : requests;
  auto recordIt = records.find(appName);
  if (recordIt != records.end()) recordIt->second.last.erase(std::this_thread::get_id());
}
