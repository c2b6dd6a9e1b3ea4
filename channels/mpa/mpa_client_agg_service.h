// The app-specific message layer of the aggregation applications on a host
// (qbx::MpaClientAggService): the management plane is reached through its application
// proxies, messages towards it travel in AggSvcMpUnifiedMsg (sub-message chosen by the
// type-identifier table), and the management plane's replies either finish the app-init
// handshake or carry a request that is handed to the application as a channel record.
//
// Threading: observers are made per call and run on the RPC layer's dispatcher; each turns
// its weak reference to the layer into a strong one for the length of the call, so a
// layer released while calls are open is neither kept alive nor touched. The reply
// handling of one application runs under completion_mutex_, one reply at a time.
#pragma once

#include <memory>
#include <string>

#include "channels/mpa/mpa_agg_reply.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"

namespace qbx {

class MpaClientAggService : public MpaClientAppSpecific, public std::enable_shared_from_this<MpaClientAggService> {
 public:
  class AggServiceObserver : public rpc::CallObserver<GenericUnifiedMsg> {
   public:
    // `appInit`: the call carries the app-init request of handshake `seq`. The flag, not the
    // number, tells the two kinds apart: a sequence number may take any value.
    AggServiceObserver(std::weak_ptr<MpaClientAggService> owner, std::string correlationId, uint32_t seq,
                       bool appInit);
    ~AggServiceObserver() override;
    void Next(const GenericUnifiedMsg& reply) override;
    void CallStatus(const rpc::Status& status) override;

    rmqClientMessage* record() { return record_.get(); }
    uint32_t seq() const { return seq_; }
    bool appInit() const { return appInit_; }
    const std::string& correlationId() const { return correlationId_; }
    const std::string& aphUuid() const { return aphUuid_; }
    void SetAphUuid(const std::string& uuid) { aphUuid_ = uuid; }
    bool hasReply() const { return hasReply_; }

   private:
    std::shared_ptr<rmqClientMessage> record_;
    uint32_t seq_;
    bool appInit_;
    std::weak_ptr<MpaClientAggService> owner_;
    GenericUnifiedMsg reply_;
    bool hasReply_ = false;
    std::string correlationId_;
    std::string aphUuid_;
  };

  using VoidMsgObserver = AggVoidMsgObserver;

  MpaClientAggService(const std::string& appName, std::shared_ptr<MpaClient> owner,
                      std::shared_ptr<const Clock> clock = nullptr);
  ~MpaClientAggService() override;

  google::protobuf::Message* GetMpUnifiedMsg(const std::string& typeId) override;
  google::protobuf::Message* GetRequestMsg(google::protobuf::Message* unified, const std::string& typeId) override;
  rpc::CallObserver<GenericUnifiedMsg>* GetRpcCallObserver(rmqClientMessage* request, const std::string& correlationId,
                                                           uint32_t seq) override;
  rpc::CallObserver<zumbra::qbx::VoidMsg>* GetVoidCallObserver(const std::string& correlationId) override;
  void SetAphUuidInRpcCallObserver(rpc::CallObserver<GenericUnifiedMsg>* observer, const std::string& aphUuid) override;
  void SetAphUuidInVoidCallObserver(rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                                    const std::string& aphUuid) override;
  bool IsAppInitRequired() override;
  void HandleMpResponse(const rpc::Status& status, const GenericUnifiedMsg& reply,
                        rpc::CallObserver<GenericUnifiedMsg>* observer) override;

  std::mutex& CompletionMutex() { return completion_mutex_; }
};

}  // namespace qbx
