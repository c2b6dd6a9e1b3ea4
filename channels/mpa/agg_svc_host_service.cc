#include "channels/mpa/agg_svc_host_service.h"

#include <cstring>
#include <typeinfo>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>
#include <google/protobuf/text_format.h>

#include "base/logger.h"
#include "channels/mpa/mpa_client.h"
#include "channels/mpa/mpa_client_mp_agg_service.h"
#include "channels/transport/bson_headers.h"
#include "core/uuid.h"
#include "platform/rpc/client_context.h"

namespace qbx {
namespace {

constexpr const char* kSub = "mpa-client";
using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;

template <class Service>
struct ServiceModule {
  std::mutex mutex;
  std::shared_ptr<Service> instance;
  std::unordered_map<std::string, std::shared_ptr<MpaClientAppSpecific>> apps;
};

ServiceModule<AggSvcHostService>& HostModule() {
  static auto* module = new ServiceModule<AggSvcHostService>();
  return *module;
}

ServiceModule<AggSvcMpService>& MpModule() {
  static auto* module = new ServiceModule<AggSvcMpService>();
  return *module;
}

template <class Service>
int CreateModuleInstance(ServiceModule<Service>& module) {
  std::lock_guard<std::mutex> lock(module.mutex);
  if (module.instance) return 0;
  module.instance = std::make_shared<Service>();
  return 1;
}

template <class Service>
std::shared_ptr<Service> ModuleInstance(ServiceModule<Service>& module) {
  std::lock_guard<std::mutex> lock(module.mutex);
  return module.instance;
}

template <class Service>
void RegisterModuleApp(ServiceModule<Service>& module, const std::shared_ptr<MpaClientAppSpecific>& instance,
                       const std::string& appName) {
  std::lock_guard<std::mutex> lock(module.mutex);
  module.apps[appName] = instance;
}

template <class Service>
bool UnregisterModuleApp(ServiceModule<Service>& module, const std::shared_ptr<MpaClientAppSpecific>& instance,
                         const std::string& appName) {
  std::shared_ptr<MpaClientAppSpecific> gone;  // released after the lock
  std::lock_guard<std::mutex> lock(module.mutex);
  auto it = module.apps.find(appName);
  if (it == module.apps.end() || it->second != instance) return false;
  gone = std::move(it->second);
  module.apps.erase(it);
  return true;
}

// Empties the module; the instance and the applications are released after the lock.
template <class Service>
void ResetModule(ServiceModule<Service>& module) {
  std::shared_ptr<Service> instance;
  std::unordered_map<std::string, std::shared_ptr<MpaClientAppSpecific>> apps;
  {
    std::lock_guard<std::mutex> lock(module.mutex);
    instance.swap(module.instance);
    apps.swap(module.apps);
  }
}

template <class Service>
std::shared_ptr<MpaClientAppSpecific> ModuleApp(ServiceModule<Service>& module, const std::string& appName) {
  std::lock_guard<std::mutex> lock(module.mutex);
  auto it = module.apps.find(appName);
  return it == module.apps.end() ? nullptr : it->second;
}

// Parses the service's own unified envelope out of the generic one; null when it does not parse.
template <class Unified>
google::protobuf::Message* ParseUnified(const zumbra::qbx::messaging::GenericUnifiedMsg& request, std::string& objType) {
  auto* unified = new Unified();
  if (!unified->ParseFromString(request.payload())) {
    delete unified;
    return nullptr;
  }
  if (unified->has_obj_type()) objType = unified->obj_type();
  return unified;
}

template <class Unified>
std::string UnifiedAppName(google::protobuf::Message* unified) {
  auto* typed = dynamic_cast<Unified*>(unified);
  return typed ? typed->app_name() : std::string();
}

std::string TextFormat(const google::protobuf::Message& msg) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(msg, &text);
  return text;
}

std::string TypeName(const google::protobuf::Message& msg) { return typeid(msg).name(); }

// False while the application's RPC client waits for its registration acknowledgement
// (app-init not completed, or the channel closed since), and once the client is gone.
bool KnownCaller(const MpaClientAppSpecific& instance, const std::string& callerId) {
  auto owner = instance.owner();
  return owner && owner->IsKnownCaller(callerId);
}

bool ReadyForRequests(const MpaClientAppSpecific& instance) {
  auto owner = instance.owner();
  return owner && (!owner->IsQbxRpcEnabled() || owner->IsRegistrationAcked());
}

}  // namespace

std::string CallerIdFromContext(const grpc::CallbackServerContext* context) {
  if (context == nullptr) return std::string();
  const auto& metadata = context->client_metadata();
  auto it = metadata.find(rpc::kCallerMetadataKey);
  if (it == metadata.end()) return std::string();
  return std::string(it->second.data(), it->second.size());
}

// ---- conversion ----

MpaClientServiceBase::MpaClientServiceBase(std::string instanceName, bool host, uint32_t nodePersona)
    : nodePersona_(nodePersona),
      instanceName_(std::move(instanceName)),
      host_(host),
      logName_(host ? "MpaClientHostService" : "MpaClientMPService") {
  if (host_) {
    legacyTypeApps_ = {"INVENTORY_DISCOVERY_APPLICATION", "FileMonitor", "SERVICE_FABRIC_APPLICATION"};
    newToOldTypeNames_ = {{"IdaMessage", "IdaMsg"}};
  }
}

std::string MpaClientServiceBase::GetAppName(google::protobuf::Message* /*unified*/) { return instanceName_; }

std::shared_ptr<MpaClientAppSpecific> MpaClientServiceBase::GetAppInstance(const std::string& /*appName*/) {
  return nullptr;
}

std::string MpaClientServiceBase::ConvertObjTypeToOldName(const std::string& objType) {
  const size_t dot = objType.rfind('.');
  if (objType.empty() || (dot != std::string::npos && dot + 1 == objType.size())) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientHostService::ConvertObjTypeToOldName: Malformed obj_type (%s).", instanceName_.c_str(),
             objType.c_str());
    return std::string();
  }
  const std::string prefix = dot == std::string::npos ? std::string() : objType.substr(0, dot + 1);
  const std::string shortName = dot == std::string::npos ? objType : objType.substr(dot + 1);
  auto it = newToOldTypeNames_.find(shortName);
  return it == newToOldTypeNames_.end() ? std::string() : prefix + it->second;
}

bool MpaClientServiceBase::CorrelationIdTooLong(const GenericUnifiedMsg& request, const char* handler) const {
  if (!request.has_ctrl_headers() || request.ctrl_headers().correlation_id().size() <= kMaxCorrelationIdLength) {
    return false;
  }
  QBX_LOG(loglevel::kWarning)
      .subcomp(kSub)
      .put("[%s] %s::%s: correlationId of %zu bytes is longer than %zu, refusing", instanceName_.c_str(), logName_,
           handler, request.ctrl_headers().correlation_id().size(), kMaxCorrelationIdLength);
  return true;
}

void MpaClientServiceBase::MpaRpcMsgHandler(const std::string& peerId, const GenericUnifiedMsg& request,
                                            const RpcCallPtr& call) {
  std::string correlationId;
  if (CorrelationIdTooLong(request, "MpaRpcMsgHandler")) {
    if (call) call->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
    return;
  }
  // An empty id is taken as absent: the answer of a call stored under it could not find
  // the call again, and would leave as a publish instead.
  if (request.has_ctrl_headers() && !request.ctrl_headers().correlation_id().empty()) {
    correlationId = request.ctrl_headers().correlation_id();
  } else {
    const std::optional<UUID> fresh = UUID::TryGenerate();
    if (!fresh) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("[%s] %s::MpaRpcMsgHandler: no CtrlHeader and random source failed, refusing", instanceName_.c_str(),
               logName_);
      if (call) call->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
      return;
    }
    correlationId = fresh->ToString();
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] %s::MpaRpcMsgHandler: no CtrlHeader, corelationId (%s)", instanceName_.c_str(), logName_,
             correlationId.c_str());
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] %s::MpaRpcMsgHandler: correlationId (%s)", instanceName_.c_str(), logName_, correlationId.c_str());
  MsgHandler(peerId, request, correlationId, call, false);
}

void MpaClientServiceBase::MpaMsgHandler(const std::string& peerId, const GenericUnifiedMsg& request,
                                         const VoidCallPtr& call) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] %s::MpaMsgHandler", instanceName_.c_str(), logName_);
  if (CorrelationIdTooLong(request, "MpaMsgHandler")) {
    if (call) call->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
    return;
  }
  const std::string correlationId = request.has_ctrl_headers() ? request.ctrl_headers().correlation_id() : "";
  MsgHandler(peerId, request, correlationId, nullptr, true);
  if (call) call->writer()->Last(zumbra::qbx::VoidMsg());
}

bool MpaClientServiceBase::BuildRmqClientMessage(const GenericUnifiedMsg& request, const std::string& peerId,
                                                 bson_t*& doc, const std::string& correlationId, rmqClientMessage& out,
                                                 std::string& appName, bool publish, std::string& payload) {
  if (Logger::Enabled(loglevel::kDebug)) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("[%s] %s::BuildRmqClientMessage:GenericUnifiedMsg :: %s", instanceName_.c_str(), logName_,
             TextFormat(request).c_str());
  }
  std::string objType;
  std::unique_ptr<google::protobuf::Message> unified(ParseUnifiedMsg(request, objType));
  if (!unified) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put(host_ ? "[%s] MpaClientHostService::BuildRmqClientMessage: Unable to get HostUnifiedMsg"
                   : "[%s] MpaClientMPService::BuildRmqClientMessage: Unable to get MPUnifiedMsg",
             instanceName_.c_str());
    return false;
  }
  if (Logger::Enabled(loglevel::kDebug)) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put(host_ ? "[%s] MpaClientHostService::BuildRmqClientMessage HostUnifiedMsg :: %s"
                   : "[%s] MpaClientMPService::BuildRmqClientMessage MPUnifiedMsg :: %s",
             instanceName_.c_str(), TextFormat(*unified).c_str());
  }
  appName = GetAppName(unified.get());
  if (host_ && legacyTypeApps_.count(appName) != 0) {
    const std::string converted = ConvertObjTypeToOldName(objType);
    if (!converted.empty()) {
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] MpaClientHostService: converted obj_type (%s) -> (%s)", appName.c_str(), objType.c_str(),
               converted.c_str());
      objType = converted;
    }
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put(host_ ? "[%s] MpaClientHostService::BuildRmqClientMessage: aph_uuid=(%s), corelationId=(%s)"
                 : "[%s] MpaClientMPService::BuildRmqClientMessage: sn_uuid=(%s), corelationId=(%s)",
           appName.c_str(), peerId.c_str(), correlationId.c_str());
  doc = BsonHeaders::New();
  BsonHeaders::AppendString(doc, "__TypeId__", objType);
  if (!publish) {
    BsonHeaders::AppendString(doc, "amqp_correlationId", correlationId);
    BsonHeaders::AppendString(doc, "amqp_replyTo", peerId);
  }
  // Records on the receive road carry their header block as raw BSON bytes, as the
  // channel delivers them.
  out.headers = const_cast<uint8_t*>(bson_get_data(doc));
  out.headersLen = doc->len;
  out.messageType = host_ ? (publish ? 13 : 8) : (publish ? 12 : 10);
  out.cookieId = host_ ? -1 : 0;
  out.appType = appName.data();
  google::protobuf::Message* carried = GetRequestMsg(unified.get());
  if (carried == nullptr) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] %s::BuildRmqClientMessage: fail to derive message", appName.c_str(), logName_);
    return false;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put(host_ ? "[%s] MpaClientHostService::BuildRmqClientMessage: hostMsg = %s, reqMsg = %s"
                 : "[%s] MpaClientMPService::BuildRmqClientMessage: mpMsg = %s, reqMsg = %s",
           appName.c_str(), TypeName(*unified).c_str(), TypeName(*carried).c_str());
  if (carried->GetDescriptor() == zumbra::qbx::messaging::RawPayloadMsg::descriptor()) {
    const auto* raw = static_cast<const zumbra::qbx::messaging::RawPayloadMsg*>(carried);
    if (!raw->has_payload()) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("%s::BuildRmqClientMessage: [%s] Invalid raw message", logName_, appName.c_str());
      return false;
    }
    payload = raw->payload();
  } else if (!carried->SerializeToString(&payload)) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("%s::BuildRmqClientMessage: [%s] Unable to serialize message", logName_, appName.c_str());
    return false;
  }
  out.payload = reinterpret_cast<uint8_t*>(payload.data());
  out.payloadLen = static_cast<int64_t>(payload.size());
  std::string trackingId;
  if (host_ && request.has_cookies() && request.cookies().has_tracking_id()) {
    trackingId =
        UUID(request.cookies().tracking_id().first_half(), request.cookies().tracking_id().second_half()).ToString();
  }
  if (host_) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put(publish ? "[%s] MpaClientHostService Received: Publish msg, type (%s) corelationId (%s) trackingId (%s) from APH (%s)"
                     : "[%s] MpaClientHostService Received: Msg type (%s)corelationId (%s) trackingId (%s) from APH (%s)",
             appName.c_str(), objType.c_str(), correlationId.c_str(), trackingId.c_str(), peerId.c_str());
  } else {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put(publish ? "[%s] MpaClientMPService Received: Publish msg, type (%s) corelationId (%s) from APH (%s)"
                     : "[%s] MpaClientMPService Received: Msg type (%s)corelationId (%s) from APH (%s)",
             appName.c_str(), objType.c_str(), correlationId.c_str(), peerId.c_str());
  }
  return true;
}

void MpaClientServiceBase::MsgHandler(const std::string& peerId, const GenericUnifiedMsg& request,
                                      const std::string& correlationId, const RpcCallPtr& call, bool publish) {
  rmqClientMessage record;
  std::memset(&record, 0, sizeof(record));
  std::string appName;
  std::string payload;
  bson_t* doc = nullptr;
  bool delivered = false;
  const bool smartNic = host_ ? nodePersona_ == 2 : true;
  if (!BuildRmqClientMessage(request, peerId, doc, correlationId, record, appName, publish, payload)) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] %s::MsgHandler: corelationId (%s), %sFailed to Build Client Message ", instanceName_.c_str(),
             logName_, correlationId.c_str(), publish ? "Publish, " : "");
  } else if (auto instance = GetAppInstance(appName); !instance) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] %s::MsgHandler: corelationId (%s), app not found", appName.c_str(), logName_, correlationId.c_str());
  } else if (!KnownCaller(*instance, peerId)) {
    // Only the management plane's APHs may pull: a stranger's summation pull would move the
    // delta chain on under the APH's feet.
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] %s::MsgHandler: corelationId (%s), caller (%s) is not a known APH", appName.c_str(), logName_,
             correlationId.c_str(), peerId.c_str());
  } else if (publish) {
    instance->SendMsgToVertical(&record, smartNic);
    delivered = true;
  } else if (!smartNic && !ReadyForRequests(*instance)) {
    // The application's receive side drops requests until its registration is
    // acknowledged; handing one over now would leave the caller waiting for nothing.
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] %s::MsgHandler: corelationId (%s), app not ready for requests", appName.c_str(), logName_,
             correlationId.c_str());
  } else if (!call || instance->IsCorelationIdInCallHandleMap(correlationId) ||
             !instance->AddToCallHandleMap(correlationId, call)) {
    if (call && instance->IsReleased()) {
      // Its owner let the layer go after the look-up above: nobody would answer the call.
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("[%s] %s::MsgHandler: corelationId (%s), app released", appName.c_str(), logName_,
               correlationId.c_str());
    } else {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("%s::MsgHandler: [%s] corelationId (%s) already present in call handle map", logName_, appName.c_str(),
               correlationId.c_str());
    }
  } else if (!smartNic && !ReadyForRequests(*instance)) {
    // The application became not ready while the call was being stored: the purge that
    // follows that change may already have run, so nobody else would answer the call.
    instance->RefuseCall(correlationId, rpc::AppStatus::APPLICATION_ERROR);
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] %s::MsgHandler: corelationId (%s), app not ready for requests", appName.c_str(), logName_,
             correlationId.c_str());
    delivered = true;  // answered by the refusal
  } else {
    instance->SendMsgToVertical(&record, smartNic);
    delivered = true;
  }
  // Both services answer a refused request at once: a caller must not wait for an answer
  // that will never come.
  if (!delivered && !publish && call) call->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
  BsonHeaders::Destroy(doc);
}

grpc::ServerUnaryReactor* MpaClientServiceBase::ServeRpcMsg(grpc::CallbackServerContext* context,
                                                            const GenericUnifiedMsg* request,
                                                            GenericUnifiedMsg* response) {
  grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
  RpcCallPtr call(new GrpcUnaryCallHandle<GenericUnifiedMsg>(context, response, reactor, openCalls_));
  if (call->IsCompleted()) return reactor;  // refused: the server is shutting down
  try {
    MpaRpcMsgHandler(CallerIdFromContext(context), *request, call);
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] RpcMsgHandler failed: %s", instanceName_.c_str(), e.what());
    call->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
  }
  return reactor;
}

grpc::ServerUnaryReactor* MpaClientServiceBase::ServeMsg(grpc::CallbackServerContext* context,
                                                         const GenericUnifiedMsg* request,
                                                         zumbra::qbx::VoidMsg* response) {
  grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
  VoidCallPtr call(new GrpcUnaryCallHandle<zumbra::qbx::VoidMsg>(context, response, reactor, openCalls_));
  if (call->IsCompleted()) return reactor;  // refused: the server is shutting down
  try {
    MpaMsgHandler(CallerIdFromContext(context), *request, call);
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] MsgHandler failed: %s", instanceName_.c_str(), e.what());
  }
  call->writer()->Last(zumbra::qbx::VoidMsg());
  return reactor;
}

MpaClientHostService::MpaClientHostService(uint32_t nodePersona)
    : MpaClientServiceBase("AggSvc", true, nodePersona) {}

MpaClientMPService::MpaClientMPService() : MpaClientServiceBase("AggSvcMpSvc", false, 0) {}

// ---- host service ----

int AggSvcHostService::CreateInstance() { return CreateModuleInstance(HostModule()); }

std::shared_ptr<AggSvcHostService> AggSvcHostService::GetInstance() { return ModuleInstance(HostModule()); }

void AggSvcHostService::Register(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcHostService Register(App:%s)", appName.c_str());
  RegisterModuleApp(HostModule(), instance, appName);
}

bool AggSvcHostService::Unregister(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcHostService Unregister(App:%s)", appName.c_str());
  return UnregisterModuleApp(HostModule(), instance, appName);
}

void AggSvcHostService::ResetForTest() { ResetModule(HostModule()); }

AggSvcHostService::AggSvcHostService() : MpaClientHostService(MpaClient::NodePersona()) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcHostService Ctor");
}

AggSvcHostService::~AggSvcHostService() { QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcHostService Dtor"); }

grpc::ServerUnaryReactor* AggSvcHostService::RpcMsgHandler(grpc::CallbackServerContext* context,
                                                           const GenericUnifiedMsg* request,
                                                           GenericUnifiedMsg* response) {
  return ServeRpcMsg(context, request, response);
}

grpc::ServerUnaryReactor* AggSvcHostService::MsgHandler(grpc::CallbackServerContext* context,
                                                        const GenericUnifiedMsg* request, zumbra::qbx::VoidMsg* response) {
  return ServeMsg(context, request, response);
}

google::protobuf::Message* AggSvcHostService::ParseUnifiedMsg(const GenericUnifiedMsg& request, std::string& objType) {
  return ParseUnified<AggSvcHostUnifiedMsg>(request, objType);
}

google::protobuf::Message* AggSvcHostService::GetRequestMsg(google::protobuf::Message* unified) {
  auto* host = dynamic_cast<AggSvcHostUnifiedMsg*>(unified);
  if (host == nullptr) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("AggSvcHostService::GetRequestMsg: %s invalid type", unified ? TypeName(*unified).c_str() : "null");
    return nullptr;
  }
  if (host->has_pull_summation_stats_request()) return host->mutable_pull_summation_stats_request();
  if (host->has_pull_overwrite_stats_request()) return host->mutable_pull_overwrite_stats_request();
  if (host->has_on_demand_stats_request()) return host->mutable_on_demand_stats_request();
  if (host->has_client_data_request()) return host->mutable_client_data_request();
  if (host->has_generic_runtime_status_request()) return host->mutable_generic_runtime_status_request();
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("AggSvcHostService::GetRequestMsg: %s has empty message", TypeName(*host).c_str());
  return nullptr;
}

std::string AggSvcHostService::GetAppName(google::protobuf::Message* unified) { return UnifiedAppName<AggSvcHostUnifiedMsg>(unified); }

std::shared_ptr<MpaClientAppSpecific> AggSvcHostService::GetAppInstance(const std::string& appName) {
  return ModuleApp(HostModule(), appName);
}

// ---- management-plane service ----

int AggSvcMpService::CreateInstance() { return CreateModuleInstance(MpModule()); }

std::shared_ptr<AggSvcMpService> AggSvcMpService::GetInstance() { return ModuleInstance(MpModule()); }

void AggSvcMpService::Register(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcMpService Register(App:%s)", appName.c_str());
  RegisterModuleApp(MpModule(), instance, appName);
}

bool AggSvcMpService::Unregister(const std::shared_ptr<MpaClientAppSpecific>& instance, const std::string& appName) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcMpService Unregister(App:%s)", appName.c_str());
  return UnregisterModuleApp(MpModule(), instance, appName);
}

void AggSvcMpService::ResetForTest() { ResetModule(MpModule()); }

AggSvcMpService::AggSvcMpService() { QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcMpService Ctor"); }

AggSvcMpService::~AggSvcMpService() { QBX_LOG(loglevel::kDebug).subcomp(kSub).put("AggSvcMpService Dtor"); }

grpc::ServerUnaryReactor* AggSvcMpService::RpcMsgHandler(grpc::CallbackServerContext* context,
                                                         const GenericUnifiedMsg* request, GenericUnifiedMsg* response) {
  return ServeRpcMsg(context, request, response);
}

grpc::ServerUnaryReactor* AggSvcMpService::MsgHandler(grpc::CallbackServerContext* context,
                                                      const GenericUnifiedMsg* request, zumbra::qbx::VoidMsg* response) {
  return ServeMsg(context, request, response);
}

google::protobuf::Message* AggSvcMpService::ParseUnifiedMsg(const GenericUnifiedMsg& request, std::string& objType) {
  return ParseUnified<AggSvcMpUnifiedMsg>(request, objType);
}

google::protobuf::Message* AggSvcMpService::GetRequestMsg(google::protobuf::Message* unified) {
  auto* mp = dynamic_cast<AggSvcMpUnifiedMsg*>(unified);
  if (mp == nullptr) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("AggSvcMpService::GetRequestMsg: %s invalid type", unified ? TypeName(*unified).c_str() : "null");
    return nullptr;
  }
  // The first message field that is set, in the order in which a smart NIC's replies are
  // read, so that both ways up take the same message out of one unified message.
  const google::protobuf::Reflection* reflection = mp->GetReflection();
  for (const auto* field : MpaClientMpAggService::ReplyFields()) {
    if (reflection->HasField(*mp, field)) return reflection->MutableMessage(mp, field);
  }
  const std::string unknown = MpaClientMpAggService::UnknownFieldNumbers(*mp);
  if (!unknown.empty()) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("AggSvcMpService::GetRequestMsg: message of type (%s) for (%s) is not known on this host (field %s)",
             mp->obj_type().c_str(), mp->app_name().c_str(), unknown.c_str());
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("AggSvcMpService::GetRequestMsg: %s has empty message", TypeName(*mp).c_str());
  return nullptr;
}

std::string AggSvcMpService::GetAppName(google::protobuf::Message* unified) { return UnifiedAppName<AggSvcMpUnifiedMsg>(unified); }

std::shared_ptr<MpaClientAppSpecific> AggSvcMpService::GetAppInstance(const std::string& appName) {
  return ModuleApp(MpModule(), appName);
}

}  // namespace qbx
