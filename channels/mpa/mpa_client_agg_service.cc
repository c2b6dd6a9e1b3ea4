#include "channels/mpa/mpa_client_agg_service.h"


#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include "base/logger.h"
#include "channels/mpa/agg_svc_type_id_table.h"
#include "channels/mpa/mpa_client.h"
#include "core/uuid.h"

namespace qbx {
namespace {

constexpr const char* kSub = "mpa-client";
using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;

}  // namespace

MpaClientAggService::MpaClientAggService(const std::string& appName, std::shared_ptr<MpaClient> owner,
                                         std::shared_ptr<const Clock> clock)
    : MpaClientAppSpecific(appName, std::move(owner), std::move(clock)) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAggService  Ctor", appName_.c_str());
}

MpaClientAggService::~MpaClientAggService() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAggService Dtor", appName_.c_str());
}

google::protobuf::Message* MpaClientAggService::GetMpUnifiedMsg(const std::string& typeId) {
  auto* unified = new AggSvcMpUnifiedMsg();
  unified->set_obj_type(typeId);
  unified->set_app_name(appName_);
  return unified;
}

google::protobuf::Message* MpaClientAggService::GetRequestMsg(google::protobuf::Message* unified,
                                                              const std::string& typeId) {
  const AggSvcTypeIdTable::Row* row = AggSvcTypeIdTable::Find(typeId);
  if (row == nullptr || unified == nullptr || unified->GetDescriptor() != AggSvcMpUnifiedMsg::descriptor()) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAggService::%s Unknown message type (%s)", appName_.c_str(), "GetRequestMsg", typeId.c_str());
    return nullptr;
  }
  const auto* field = AggSvcMpUnifiedMsg::descriptor()->FindFieldByNumber(row->field);
  if (field == nullptr || field->message_type() == nullptr || field->message_type()->full_name() != row->fullName) {
    // Every row has its carrier field; a table out of step with the unified message is
    // refused here rather than written into a field of another type.
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAggService::%s No carrier for message type (%s)", appName_.c_str(), "GetRequestMsg",
             typeId.c_str());
    return nullptr;
  }
  // MutableMessage marks the field present and creates the sub-message on first use.
  return unified->GetReflection()->MutableMessage(unified, field);
}

rpc::CallObserver<MpaClientAppSpecific::GenericUnifiedMsg>* MpaClientAggService::GetRpcCallObserver(
    rmqClientMessage* request, const std::string& correlationId, uint32_t seq) {
  // Only the app-init call comes without a request record.
  const bool appInit = request == nullptr;
  auto* observer = new AggServiceObserver(weak_from_this(), correlationId, seq, appInit);
  if (appInit) return observer;
  if (!PopulateObserverRmqMsg(*observer->record(), *request)) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] MpaClientAggService::GetRpcCallObserver Failed to Fill in Observer Rmq msg", appName_.c_str());
    delete observer;
    return nullptr;
  }
  return observer;
}

rpc::CallObserver<zumbra::qbx::VoidMsg>* MpaClientAggService::GetVoidCallObserver(const std::string& correlationId) {
  return new VoidMsgObserver(weak_from_this(), correlationId, false);
}

void MpaClientAggService::SetAphUuidInRpcCallObserver(rpc::CallObserver<GenericUnifiedMsg>* observer,
                                                      const std::string& aphUuid) {
  SetAggObserverAphUuid<AggServiceObserver>(appName_, observer, aphUuid);
}

void MpaClientAggService::SetAphUuidInVoidCallObserver(rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                                                       const std::string& aphUuid) {
  SetAggVoidObserverAphUuid(appName_, observer, aphUuid);
}

bool MpaClientAggService::IsAppInitRequired() { return true; }

void MpaClientAggService::HandleMpResponse(const rpc::Status& status, const GenericUnifiedMsg& reply,
                                           rpc::CallObserver<GenericUnifiedMsg>* observer) {
  const char* app = appName_.c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleMpResponse Begin", app);
  auto* agg = dynamic_cast<AggServiceObserver*>(observer);
  if (agg == nullptr) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleMpResponse Null Observer", app);
    return;
  }
  const bool onSmartNic = MpaClient::NodePersona() == 2;
  if (!status.ok()) {
    if (agg->appInit()) {
      FinishInitHandshake(agg->seq(), false);
    } else {
      SendErrorToVertical(true, agg->correlationId(), onSmartNic);
    }
    return;
  }
  AggSvcHostUnifiedMsg host;
  if (!host.ParseFromString(reply.payload())) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Could not convert from GenericUnifiedMsg to AggSvcHostUnifiedMsg", app);
    return;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Received AggSvcHostUnifiedMsg in GenericUnifiedMsg", app);
  if (host.has_app_init_config()) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] AppInit Response", app);
    const std::string sender = host.app_init_config().sender();
    if (host.app_init_config().has_sender()) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] AppInitCfg from: %s", app, sender.c_str());
    }
    if (FinishInitHandshake(agg->seq(), true)) {
      SendRegistrationAckToVertical(false);
    } else {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] AppInitCfg from: %s, Seq (%d)", app, sender.c_str(), agg->seq());
    }
    return;
  }
  rmqClientMessage* record = agg->record();
  if (record->headers == nullptr) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] No bson header present in response message", app);
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleMpResponse End", app);
    return;
  }
  const google::protobuf::Message* carried = nullptr;
  if (host.has_pull_summation_stats_request()) {
    carried = &host.pull_summation_stats_request();
  } else if (host.has_pull_overwrite_stats_request()) {
    carried = &host.pull_overwrite_stats_request();
  } else if (host.has_on_demand_stats_request()) {
    carried = &host.on_demand_stats_request();
  } else if (host.has_client_data_request()) {
    carried = &host.client_data_request();
  }
  DeliverAggReply(*this, record, host.obj_type(), agg->aphUuid(), carried, false);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleMpResponse End", app);
}

// ---- observers ----

MpaClientAggService::AggServiceObserver::AggServiceObserver(std::weak_ptr<MpaClientAggService> owner,
                                                            std::string correlationId, uint32_t seq,
                                                            bool appInit)
    : record_(NewAggReplyRecord()),
      seq_(seq),
      appInit_(appInit),
      owner_(std::move(owner)),
      correlationId_(std::move(correlationId)) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggServiceObserver  Ctor");
}

MpaClientAggService::AggServiceObserver::~AggServiceObserver() = default;

void MpaClientAggService::AggServiceObserver::Next(const GenericUnifiedMsg& reply) {
  auto owner = owner_.lock();
  if (!owner) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClient has been destroyed already.");
    return;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggServiceObserver::Next Begin");
  std::string tracking;
  if (reply.has_cookies() && reply.cookies().has_tracking_id()) {
    tracking = UUID(reply.cookies().tracking_id().first_half(), reply.cookies().tracking_id().second_half()).ToString();
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] Rpc response with correlationId: (%s), trackingId: (%s).", owner->appName().c_str(),
           reply.has_ctrl_headers() ? reply.ctrl_headers().correlation_id().c_str() : "", tracking.c_str());
  reply_ = reply;
  hasReply_ = true;
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggServiceObserver::Next End");
}

void MpaClientAggService::AggServiceObserver::CallStatus(const rpc::Status& status) {
  auto owner = owner_.lock();
  if (!owner) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClient has been destroyed already.");
    delete this;
    return;
  }
  QBX_LOG(status.code() != 0 ? loglevel::kInfo : loglevel::kDebug)
      .subcomp(kSub)
      .put("AggServiceObserver::CallStatus (%s)", status.ToString().c_str());
  std::lock_guard<std::mutex> lock(owner->CompletionMutex());
  // A call that ended without a reply delivers nothing to the application.
  if (hasReply_ || status.code() != 0) owner->HandleMpResponse(status, reply_, this);
  if (appInit_) owner->DeleteFromSeqToCallHandleMap(seq_);
  delete this;
}

}  // namespace qbx
