#include "channels/mpa/mpa_agg_reply.h"

#include <cstdlib>
#include <cstring>

#include <google/protobuf/message.h>

#include "base/logger.h"
#include "channels/mpa/mpa_client.h"
#include "channels/transport/bson_headers.h"

namespace qbx {
namespace {

constexpr const char* kSub = "mpa-client";

void FreeRecord(rmqClientMessage* msg) {
  MpaClientAppSpecific::FreeObserverRmqMsg(msg);
  std::free(msg);
}

}  // namespace

std::shared_ptr<rmqClientMessage> NewAggReplyRecord() {
  return std::shared_ptr<rmqClientMessage>(static_cast<rmqClientMessage*>(std::calloc(1, sizeof(rmqClientMessage))),
                                           &FreeRecord);
}

void DeliverAggReply(MpaClientAppSpecific& layer, rmqClientMessage* record, const std::string& typeId,
                     const std::string& routingKey, const google::protobuf::Message* carried, bool smartNic) {
  auto* doc = static_cast<bson_t*>(record->headers);
  BsonHeaders::AppendString(doc, "__TypeId__", typeId);
  BsonHeaders::AppendString(doc, "amqp_routing_key", routingKey);
  if (carried == nullptr) return;
  std::string bytes;
  if (!carried->SerializeToString(&bytes)) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] HandleMpResponse Failed to serialize protobuf msg to array", layer.appName().c_str());
    return;
  }
  std::free(record->payload);
  record->payload = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (record->payload == nullptr) return;
  std::memcpy(record->payload, bytes.data(), bytes.size());
  record->payloadLen = static_cast<int64_t>(bytes.size());
  // Delivered with the header block as raw bytes, as every received record is.
  rmqClientMessage delivered = *record;
  delivered.headers = const_cast<uint8_t*>(bson_get_data(doc));
  delivered.headersLen = doc->len;
  layer.SendMsgToVertical(&delivered, smartNic);
}

void SetAggVoidObserverAphUuid(const std::string& appName, rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                               const std::string& aphUuid) {
  if (observer == nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] SetAphUuidInVoidCallObserver callObserver is NULL.", appName.c_str());
    return;
  }
  if (auto* v = dynamic_cast<AggVoidMsgObserver*>(observer)) v->SetAphUuid(aphUuid);
}

AggVoidMsgObserver::AggVoidMsgObserver(std::weak_ptr<MpaClientAppSpecific> owner, std::string correlationId,
                                       bool smartNic)
    : owner_(std::move(owner)), correlationId_(std::move(correlationId)), smartNic_(smartNic) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("VoidMsgObserver  Ctor");
}

void AggVoidMsgObserver::Next(const zumbra::qbx::VoidMsg& /*reply*/) {
  if (owner_.expired()) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClient has been destroyed already.");
  }
}

void AggVoidMsgObserver::CallStatus(const rpc::Status& status) {
  auto owner = owner_.lock();
  if (!owner) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClient has been destroyed already.");
    delete this;
    return;
  }
  if (status.code() != 0) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] VoidMsgObserver::CallStatus (%s)", owner->appName().c_str(), status.ToString().c_str());
  }
  owner->SendErrorToVertical(status.code() != 0, correlationId_, smartNic_ || MpaClient::NodePersona() == 2);
  delete this;
}

}  // namespace qbx
