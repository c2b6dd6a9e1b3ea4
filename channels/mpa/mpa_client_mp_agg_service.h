// The app-specific message layer of the aggregation applications on a host with smart NICs
// (qbx::MpaClientMpAggService): the peer is a smart NIC. A request to a smart NIC travels in
// an AggSvcHostUnifiedMsg (whatever its type id, inside the PullSummationStatsRequestMsg
// field) to the smart NIC's AggSvcHostService; the smart NIC's reply, an AggSvcMpUnifiedMsg
// with one status or statistics message, is handed back to the application as a channel
// record on its smart-NIC registration, carrying the smart NIC's uuid as routing key.
//
// Threading: observers are made per call and run on the RPC layer's dispatcher; each turns
// its weak reference to the layer into a strong one for the length of the call. The reply
// handling of one application runs under completion_mutex_, one reply at a time. Nothing
// here blocks the thread that sends: the send only starts the call.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "channels/mpa/mpa_agg_reply.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"

namespace google::protobuf {
class FieldDescriptor;
}

namespace qbx {

class MpaClientMpAggService : public MpaClientAppSpecific, public std::enable_shared_from_this<MpaClientMpAggService> {
 public:
  class AggMpServiceObserver : public rpc::CallObserver<GenericUnifiedMsg> {
   public:
    AggMpServiceObserver(std::weak_ptr<MpaClientMpAggService> owner, std::string correlationId, uint32_t seq);
    void Next(const GenericUnifiedMsg& reply) override;
    void CallStatus(const rpc::Status& status) override;

    rmqClientMessage* record() { return record_.get(); }
    uint32_t seq() const { return seq_; }
    const std::string& correlationId() const { return correlationId_; }
    const std::string& aphUuid() const { return aphUuid_; }
    void SetAphUuid(const std::string& uuid) { aphUuid_ = uuid; }

   private:
    std::shared_ptr<rmqClientMessage> record_;
    uint32_t seq_;
    std::weak_ptr<MpaClientMpAggService> owner_;
    GenericUnifiedMsg reply_;
    std::string correlationId_;
    std::string aphUuid_;
  };

  using VoidMsgObserver = AggVoidMsgObserver;

  MpaClientMpAggService(const std::string& appName, std::shared_ptr<MpaClient> owner,
                        std::shared_ptr<const Clock> clock = nullptr);
  ~MpaClientMpAggService() override;

  google::protobuf::Message* GetHostUnifiedMsg(const std::string& typeId) override;
  google::protobuf::Message* GetRequestMsg(google::protobuf::Message* unified, const std::string& typeId) override;
  rpc::CallObserver<GenericUnifiedMsg>* GetRpcCallObserver(rmqClientMessage* request, const std::string& correlationId,
                                                           uint32_t seq) override;
  rpc::CallObserver<zumbra::qbx::VoidMsg>* GetVoidCallObserver(const std::string& correlationId) override;
  void SetAphUuidInRpcCallObserver(rpc::CallObserver<GenericUnifiedMsg>* observer, const std::string& aphUuid) override;
  void SetAphUuidInVoidCallObserver(rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                                    const std::string& aphUuid) override;
  bool IsAppInitRequired() override;
  void HandleSNResponse(const rpc::Status& status, const GenericUnifiedMsg& reply,
                        rpc::CallObserver<GenericUnifiedMsg>* observer) override;

  // The full type names of the reply list, in the order in which a reply's fields are
  // tested (115 rows).
  static const std::vector<std::string>& ReplyTypeOrder();
  // The fields of AggSvcMpUnifiedMsg in reply-list order.
  static const std::vector<const google::protobuf::FieldDescriptor*>& ReplyFields();
  // The message a reply carries: its first present field in reply-list order; null when it
  // carries none that this host knows.
  static const google::protobuf::Message* CarriedMessage(const zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg& unified);
  // The numbers of the fields of `unified` that this host does not know, comma-separated;
  // empty when there are none. A newer peer can send a type this build has no field for.
  static std::string UnknownFieldNumbers(const google::protobuf::Message& unified);

  std::mutex& CompletionMutex() { return completion_mutex_; }
};

}  // namespace qbx
