// Pieces shared by the two aggregation message layers (qbx::MpaClientAggService towards the
// management plane, qbx::MpaClientMpAggService towards the smart NICs): the channel record
// a reply observer carries, the way a reply's carried message is handed back to the
// application, and the observer of calls that answer with nothing.
#pragma once

#include <memory>
#include <string>

#include "base/logger.h"
#include "channels/mpa/mpa_client_app_specific.h"

namespace google::protobuf {
class Message;
}

namespace qbx {

// A zeroed channel record owned by a reply observer; the deleter frees the record's buffers
// and the record itself, exactly once.
std::shared_ptr<rmqClientMessage> NewAggReplyRecord();

// Adds the type id and the routing key to `record`'s header document (which must exist),
// makes `carried` the record's payload and hands the record to the application of `layer`.
// A null `carried` delivers nothing.
void DeliverAggReply(MpaClientAppSpecific& layer, rmqClientMessage* record, const std::string& typeId,
                     const std::string& routingKey, const google::protobuf::Message* carried, bool smartNic);

// Observer of a call whose reply carries nothing: its end tells the application whether the
// request went through.
class AggVoidMsgObserver : public rpc::CallObserver<zumbra::qbx::VoidMsg> {
 public:
  // `smartNic`: the error goes to the smart-NIC registration; when false, the node's persona
  // decides at the call's end.
  AggVoidMsgObserver(std::weak_ptr<MpaClientAppSpecific> owner, std::string correlationId, bool smartNic);
  void Next(const zumbra::qbx::VoidMsg& reply) override;
  void CallStatus(const rpc::Status& status) override;
  void SetAphUuid(const std::string& uuid) { aphUuid_ = uuid; }
  const std::string& aphUuid() const { return aphUuid_; }

 private:
  std::weak_ptr<MpaClientAppSpecific> owner_;
  std::string correlationId_;
  std::string aphUuid_;
  bool smartNic_;
};

// Gives `observer` (an AggVoidMsgObserver, or null) the uuid of the peer its call goes to.
void SetAggVoidObserverAphUuid(const std::string& appName, rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                               const std::string& aphUuid);

// Gives `observer` (one of `Observer`, or null) the uuid of the peer its call goes to.
template <class Observer>
void SetAggObserverAphUuid(const std::string& appName, rpc::CallObserver<MpaClientAppSpecific::GenericUnifiedMsg>* observer,
                           const std::string& aphUuid) {
  if (observer == nullptr) {
    QBX_LOG(loglevel::kInfo)
        .subcomp("mpa-client")
        .put("[%s] SetAphUuidInRpcCallObserver : callObserver is NULL.", appName.c_str());
    return;
  }
  if (auto* typed = dynamic_cast<Observer*>(observer)) typed->SetAphUuid(aphUuid);
}

}  // namespace qbx
