// The incoming RPC services of the messaging channel and their conversion of a unified
// envelope into the channel record (rmqClientMessage) that an application's receive
// callback expects.
//
// - qbx::AggSvcHostService (generated AggSvcHostService, instance "AggSvc"): the
//   management plane's application proxies, and on a smart NIC the smart-NIC host, deliver
//   requests to the node's applications through it. Served once per process.
// - qbx::AggSvcMpService (generated AggSvcMpService, instance "AggSvcMpSvc"): on a host
//   with smart NICs, the smart NICs send messages up through it.
// The conversion lives in the bases qbx::MpaClientHostService and qbx::MpaClientMPService.
//
// For a request that expects a reply, the service stores the call handle under the
// correlation id in the application's message layer before it hands the record over; the
// application's reply completes the call later (MpaClientAppSpecific::RespondMsg). A layer
// whose client released it leaves the service (Unregister) and stores no call any more. Every
// refused request is answered at once with APPLICATION_ERROR, and a publish is
// answered with an empty VoidMsg, so no caller is left waiting. A request whose control
// header carries an empty correlation id gets a fresh one, as one without the header does
// (an empty id could never be answered); a request or publish whose id is longer than
// kMaxCorrelationIdLength is refused with APPLICATION_ERROR.
//
// Threading: the RPC methods run on the RPC server's threads, any number at once. Each
// service's module mutex guards its instance pointer and its application map (look-ups
// included); it is never held while a record is delivered. The record, its header
// document and its payload live for one call.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <bson/bson.h>
#include <grpcpp/grpcpp.h>

#include "channels/mpa/mpa_client_app_specific.h"
#include "channels/mpa/server_call_handle.h"
#include "platform/mq/rmq_client.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"

namespace qbx {

// The largest request the host service reads: the management plane's requests are small, and
// a larger one is refused before it is read whole.
constexpr int kAggSvcHostMaxRequestBytes = 4 * 1024 * 1024;

// The conversion shared by both services; `Host` selects the host form (record types 8/13,
// cookie -1, legacy type names, tracking id) or the management-plane form (10/12, cookie 0).
class MpaClientServiceBase {
 public:
  using GenericUnifiedMsg = zumbra::qbx::messaging::GenericUnifiedMsg;
  using RpcCallPtr = ServerCallHandlePtr<GenericUnifiedMsg>;
  using VoidCallPtr = ServerCallHandlePtr<zumbra::qbx::VoidMsg>;

  virtual ~MpaClientServiceBase() = default;

  virtual google::protobuf::Message* ParseUnifiedMsg(const GenericUnifiedMsg& request, std::string& objType) = 0;
  virtual google::protobuf::Message* GetRequestMsg(google::protobuf::Message* unified) = 0;
  virtual std::string GetAppName(google::protobuf::Message* unified);
  virtual std::shared_ptr<MpaClientAppSpecific> GetAppInstance(const std::string& appName);

  // Entry points; `peerId` is the caller's identity from the call's metadata.
  void MpaRpcMsgHandler(const std::string& peerId, const GenericUnifiedMsg& request, const RpcCallPtr& call);
  void MpaMsgHandler(const std::string& peerId, const GenericUnifiedMsg& request, const VoidCallPtr& call);
  void MsgHandler(const std::string& peerId, const GenericUnifiedMsg& request, const std::string& correlationId,
                  const RpcCallPtr& call, bool publish);
  // Fills `out` (and `doc`, `payload`, `appName`, which must outlive `out`); false when the
  // envelope cannot be converted.
  bool BuildRmqClientMessage(const GenericUnifiedMsg& request, const std::string& peerId, bson_t*& doc,
                             const std::string& correlationId, rmqClientMessage& out, std::string& appName,
                             bool publish, std::string& payload);
  // The legacy name of an object type ("...IdaMessage" -> "...IdaMsg"); empty when none.
  std::string ConvertObjTypeToOldName(const std::string& objType);

  const std::string& instanceName() const { return instanceName_; }
  // The calls this service holds open for its applications; the server that serves it
  // ends them when it shuts down (ServerBuilder::TrackOpenCalls).
  const std::shared_ptr<rpc::OpenCalls>& OpenCalls() const { return openCalls_; }

  // Correlation ids longer than this are refused: every open call and the last answered
  // ids of an application are kept by id.
  static constexpr size_t kMaxCorrelationIdLength = 256;

 protected:
  MpaClientServiceBase(std::string instanceName, bool host, uint32_t nodePersona);

  // True (logged) when the request's correlation id is over kMaxCorrelationIdLength; both
  // roads, call and publish, refuse it.
  bool CorrelationIdTooLong(const GenericUnifiedMsg& request, const char* handler) const;
  // The bodies of the generated RpcMsgHandler and MsgHandler methods, shared by both services.
  grpc::ServerUnaryReactor* ServeRpcMsg(grpc::CallbackServerContext* context, const GenericUnifiedMsg* request,
                                        GenericUnifiedMsg* response);
  grpc::ServerUnaryReactor* ServeMsg(grpc::CallbackServerContext* context, const GenericUnifiedMsg* request,
                                     zumbra::qbx::VoidMsg* response);

  uint32_t nodePersona_;
  std::unordered_set<std::string> legacyTypeApps_;
  std::unordered_map<std::string, std::string> newToOldTypeNames_;
  const std::string instanceName_;
  const bool host_;
  const char* logName_;  // "MpaClientHostService" or "MpaClientMPService"
  const std::shared_ptr<rpc::OpenCalls> openCalls_ = std::make_shared<rpc::OpenCalls>();
};

class MpaClientHostService : public MpaClientServiceBase {
 protected:
  explicit MpaClientHostService(uint32_t nodePersona);
};

class MpaClientMPService : public MpaClientServiceBase {
 protected:
  MpaClientMPService();
};

class AggSvcHostService : public zumbra::qbx::agg_service::messaging::AggSvcHostService::CallbackService,
                          public MpaClientHostService {
 public:
  // 1 when this call created the process-wide instance, else 0.
  static int CreateInstance();
  static std::shared_ptr<AggSvcHostService> GetInstance();
  static void Register(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName);
  // Takes `appName` out of the served applications while `instance` is still the one
  // registered under it (a later registration of the name stays); false otherwise.
  static bool Unregister(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName);
  // Drops the instance and every application (tests).
  static void ResetForTest();

  AggSvcHostService();
  ~AggSvcHostService() override;

  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context, const GenericUnifiedMsg* request,
                                          GenericUnifiedMsg* response) override;
  grpc::ServerUnaryReactor* MsgHandler(grpc::CallbackServerContext* context, const GenericUnifiedMsg* request,
                                       zumbra::qbx::VoidMsg* response) override;

  google::protobuf::Message* ParseUnifiedMsg(const GenericUnifiedMsg& request, std::string& objType) override;
  google::protobuf::Message* GetRequestMsg(google::protobuf::Message* unified) override;
  std::string GetAppName(google::protobuf::Message* unified) override;
  std::shared_ptr<MpaClientAppSpecific> GetAppInstance(const std::string& appName) override;
};

class AggSvcMpService : public zumbra::qbx::agg_service::messaging::AggSvcMpService::CallbackService,
                        public MpaClientMPService {
 public:
  static int CreateInstance();
  static std::shared_ptr<AggSvcMpService> GetInstance();
  static void Register(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName);
  static bool Unregister(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName);
  static void ResetForTest();

  AggSvcMpService();
  ~AggSvcMpService() override;

  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context, const GenericUnifiedMsg* request,
                                          GenericUnifiedMsg* response) override;
  grpc::ServerUnaryReactor* MsgHandler(grpc::CallbackServerContext* context, const GenericUnifiedMsg* request,
                                       zumbra::qbx::VoidMsg* response) override;

  google::protobuf::Message* ParseUnifiedMsg(const GenericUnifiedMsg& request, std::string& objType) override;
  google::protobuf::Message* GetRequestMsg(google::protobuf::Message* unified) override;
  std::string GetAppName(google::protobuf::Message* unified) override;
  std::shared_ptr<MpaClientAppSpecific> GetAppInstance(const std::string& appName) override;
};

}  // namespace qbx
