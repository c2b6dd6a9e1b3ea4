#include "tools/snproxy_standin/snproxy_standin.h"

#include <algorithm>
#include <utility>

#include <grpc/grpc.h>
#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/ext/health_check_service_server_builder_option.h>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/support/byte_buffer.h>

#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"
#include "zumbra/qbx/agg_service/status/runtime_status.pb.h"
#include "zumbra/qbx/messaging/sn_proxy_info.grpc.pb.h"
#include "zumbra/qbx/rpc/forwarding.grpc.pb.h"
#include "tools/standin_common/standin_grpc.h"

namespace qbx::tools {

namespace msgs = zumbra::qbx::messaging;
namespace agg = zumbra::qbx::agg_service::messaging;

namespace {

constexpr char kSummationRequest[] = "com.zumbra.qbx.management.agg.messaging.PullSummationStatsRequestMsg";
constexpr char kOverwriteRequest[] = "com.zumbra.qbx.management.agg.messaging.PullOverwriteStatsRequestMsg";
constexpr char kOnDemandRequest[] = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsRequestMsg";
constexpr char kStatusRequest[] = "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusRequestMsg";
constexpr char kSummationResponse[] = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
constexpr char kOverwriteResponse[] = "com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg";
constexpr char kOnDemandResponse[] = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg";
constexpr char kStatusResponse[] = "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg";

template <class Stats>
void FillStats(const SnProxyStandin::NicBehaviour& b, Stats* response) {
  auto* type = response->mutable_stats()->add_target_type_stats();
  type->set_target_type(b.targetType);
  auto* target = type->add_target_stats();
  target->mutable_target_id()->set_string_id(b.targetId);
  for (const auto& [key, value] : b.counters) {
    auto* counter = target->add_counters();
    counter->set_key(key);
    counter->set_value(value);
  }
}

constexpr char kHealthCheckMethod[] = "/grpc.health.v1.Health/Check";

// The service name of a health check request (field 1, a string); empty when there is none.
std::string HealthCheckService(const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const uint8_t key = static_cast<uint8_t>(bytes[at++]);
    uint64_t length = 0;
    int shift = 0;
    while (at < bytes.size() && shift < 64) {
      const uint8_t b = static_cast<uint8_t>(bytes[at++]);
      length |= static_cast<uint64_t>(b & 0x7f) << shift;
      shift += 7;
      if ((b & 0x80) == 0) break;
    }
    if ((key & 0x07) != 2 || length > bytes.size() - at) return std::string();
    if ((key >> 3) == 1) return bytes.substr(at, length);
    at += length;
  }
  return std::string();
}

// A health check response: status 1 serving, 2 not serving.
std::string HealthCheckAnswer(bool serving) { return std::string{0x08, static_cast<char>(serving ? 1 : 2)}; }

std::string ToString(const grpc::ByteBuffer& buffer) {
  std::vector<grpc::Slice> slices;
  std::string out;
  if (!buffer.Dump(&slices).ok()) return out;
  for (const auto& slice : slices) out.append(reinterpret_cast<const char*>(slice.begin()), slice.size());
  return out;
}

// Calls passed on to a registered address: one channel per address.
class Relay {
 public:
  std::shared_ptr<grpc::Channel> ChannelTo(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& channel = channels_[address];
    if (!channel) channel = grpc::CreateChannel(StripPrefix(address, "tcp://"), grpc::InsecureChannelCredentials());
    return channel;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<grpc::Channel>> channels_;
};

Relay& TheRelay() {
  static Relay* relay = new Relay();
  return *relay;
}

// Passes one unary call on to `address` and its answer back to `reactor`.
template <class Service, class Response, class Method>
void PassOn(const std::string& address, const grpc::CallbackServerContext* in, const msgs::GenericUnifiedMsg& request,
            Response* response, grpc::ServerUnaryReactor* reactor, Method method) {
  struct Call {
    grpc::ClientContext context;
    msgs::GenericUnifiedMsg request;
    Response response;
    std::unique_ptr<typename Service::Stub> stub;
  };
  auto call = std::make_shared<Call>();
  call->request = request;
  call->stub = Service::NewStub(TheRelay().ChannelTo(address));
  call->context.AddMetadata(kDestinationKey, MetadataValue(in, kDestinationKey));
  call->context.AddMetadata(kCallerKey, MetadataValue(in, kCallerKey));
  call->context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
  method(call->stub->async(), &call->context, &call->request, &call->response,
         [call, response, reactor](grpc::Status status) {
           if (status.ok() && response != nullptr) *response = call->response;
           reactor->Finish(status);
         });
}

}  // namespace

// One health check of the forwarding side, answered by destination. Deletes itself when
// gRPC is done with it, which is after it was finished, exactly once.
class SnProxyStandin::StubCheckReactor : public grpc::ServerGenericBidiReactor {
 public:
  StubCheckReactor(SnProxyStandin* owner, grpc::GenericCallbackServerContext* context) : owner_(owner) {
    if (context->method() != kHealthCheckMethod) {
      Finish(grpc::Status(grpc::StatusCode::UNIMPLEMENTED, "no such method"));
      return;
    }
    const auto& md = context->client_metadata();
    auto it = md.find(kDestinationKey);
    if (it != md.end()) dest_ = StripPrefix(std::string(it->second.data(), it->second.size()), "qbx://");
    StartRead(&request_);
  }

  void OnReadDone(bool ok) override {
    if (!ok) {
      Finish(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "no request"));
      return;
    }
    bool serving = true;
    bool known = true;
    if (!owner_->OnStubCheck(dest_, HealthCheckService(ToString(request_)), this, serving, known)) return;  // held
    if (!known) {
      Finish(grpc::Status(grpc::StatusCode::NOT_FOUND, "unknown service"));
      return;
    }
    Answer(serving);
  }

  void Answer(bool serving) {
    const std::string bytes = HealthCheckAnswer(serving);
    grpc::Slice slice(bytes);
    response_ = grpc::ByteBuffer(&slice, 1);
    StartWriteAndFinish(&response_, grpc::WriteOptions(), grpc::Status::OK);
  }
  void Fail(const grpc::Status& status) { Finish(status); }

  void OnDone() override { delete this; }

 private:
  SnProxyStandin* const owner_;
  std::string dest_;
  grpc::ByteBuffer request_;
  grpc::ByteBuffer response_;
};

// The forwarding side's health service: every served service is serving, unless the check
// is for a peer whose stubs are to fail or wait.
class SnProxyStandin::StubCheckService : public grpc::CallbackGenericService {
 public:
  explicit StubCheckService(SnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerGenericBidiReactor* CreateReactor(grpc::GenericCallbackServerContext* context) override {
    return new StubCheckReactor(owner_, context);
  }

 private:
  SnProxyStandin* const owner_;
};

class SnProxyStandin::ForwardingRegistry : public zumbra::qbx::rpc::ForwardingRegistryService::CallbackService {
 public:
  explicit ForwardingRegistry(SnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerUnaryReactor* RegisterLocalEndpoints(grpc::CallbackServerContext* context,
                                                   const zumbra::qbx::rpc::LocalEndpointsMsg* request,
                                                   zumbra::qbx::rpc::LocalEndpointsAckMsg* /*response*/) override {
    auto* reactor = context->DefaultReactor();
    if (!request->has_address() || request->address().empty()) {
      reactor->Finish(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "no address"));
      return reactor;
    }
    owner_->OnRegister(request->address(), std::vector<std::string>(request->ids().begin(), request->ids().end()));
    reactor->Finish(grpc::Status::OK);
    return reactor;
  }
  grpc::ServerWriteReactor<zumbra::qbx::rpc::DestinationEndedMsg>* WatchDestinations(
      grpc::CallbackServerContext* /*context*/, const zumbra::qbx::rpc::WatchDestinationsMsg* /*request*/) override {
    return owner_->Watch();
  }

 private:
  SnProxyStandin* const owner_;
};

// AggSvcHostService on the forwarding side: the host's requests for a smart NIC.
class SnProxyStandin::HostSide : public agg::AggSvcHostService::CallbackService {
 public:
  explicit HostSide(SnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                          msgs::GenericUnifiedMsg* reply) override {
    auto* reactor = context->DefaultReactor();
    const std::string dest = MetadataValue(context, kDestinationKey);
    if (owner_->OnNicCall(dest, MetadataValue(context, kCallerKey), *request, reply, reactor)) return reactor;
    const std::string address = owner_->AddressOf(dest);
    if (address.empty()) {
      reactor->Finish(grpc::Status(grpc::StatusCode::NOT_FOUND, "no such destination: " + dest));
      return reactor;
    }
    PassOn<agg::AggSvcHostService>(address, context, *request, reply, reactor,
                                   [](auto* async, grpc::ClientContext* c, const msgs::GenericUnifiedMsg* q, auto* r,
                                      std::function<void(grpc::Status)> done) { async->RpcMsgHandler(c, q, r, std::move(done)); });
    return reactor;
  }
  grpc::ServerUnaryReactor* MsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                       zumbra::qbx::VoidMsg* reply) override {
    auto* reactor = context->DefaultReactor();
    const std::string dest = MetadataValue(context, kDestinationKey);
    const std::string address = owner_->AddressOf(dest);
    if (address.empty()) {
      // A stand-in smart NIC takes publishes without a word.
      reactor->Finish(owner_->IsNic(dest)
                          ? grpc::Status::OK
                          : grpc::Status(grpc::StatusCode::NOT_FOUND, "no such destination: " + dest));
      return reactor;
    }
    PassOn<agg::AggSvcHostService>(address, context, *request, reply, reactor,
                                   [](auto* async, grpc::ClientContext* c, const msgs::GenericUnifiedMsg* q, auto* r,
                                      std::function<void(grpc::Status)> done) { async->MsgHandler(c, q, r, std::move(done)); });
    return reactor;
  }

 private:
  SnProxyStandin* const owner_;
};

// AggSvcMpService on the forwarding side: what a smart NIC sends up to its host.
class SnProxyStandin::MpSide : public agg::AggSvcMpService::CallbackService {
 public:
  explicit MpSide(SnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                          msgs::GenericUnifiedMsg* reply) override {
    return Handle(context, *request, reply, nullptr, false);
  }
  grpc::ServerUnaryReactor* MsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                       zumbra::qbx::VoidMsg* reply) override {
    return Handle(context, *request, nullptr, reply, true);
  }

 private:
  grpc::ServerUnaryReactor* Handle(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg& request,
                                   msgs::GenericUnifiedMsg* reply, zumbra::qbx::VoidMsg* voidReply, bool publish) {
    auto* reactor = context->DefaultReactor();
    const std::string dest = MetadataValue(context, kDestinationKey);
    if (owner_->OnHostCall(dest, MetadataValue(context, kCallerKey), request, publish)) {
      reactor->Finish(grpc::Status::OK);
      return reactor;
    }
    const std::string address = owner_->AddressOf(dest);
    if (address.empty()) {
      reactor->Finish(grpc::Status(grpc::StatusCode::NOT_FOUND, "no such destination: " + dest));
    } else if (publish) {
      PassOn<agg::AggSvcMpService>(address, context, request, voidReply, reactor,
                                   [](auto* async, grpc::ClientContext* c, const msgs::GenericUnifiedMsg* q, auto* r,
                                      std::function<void(grpc::Status)> done) { async->MsgHandler(c, q, r, std::move(done)); });
    } else {
      PassOn<agg::AggSvcMpService>(address, context, request, reply, reactor,
                                   [](auto* async, grpc::ClientContext* c, const msgs::GenericUnifiedMsg* q, auto* r,
                                      std::function<void(grpc::Status)> done) { async->RpcMsgHandler(c, q, r, std::move(done)); });
    }
    return reactor;
  }

  SnProxyStandin* const owner_;
};

namespace {
// gRPC stays initialised for the life of the process once a stand-in was made: tests make
// and drop stand-ins one after another, and a library shut down and brought up again at
// once can race its own callback threads.
void KeepGrpcInitialised() {
  static const bool kept = [] {
    grpc_init();
    return true;
  }();
  (void)kept;
}
}  // namespace

SnProxyStandin::SnProxyStandin()
    : registry_(std::make_unique<ForwardingRegistry>(this)),
      hostSide_(std::make_unique<HostSide>(this)),
      mpSide_(std::make_unique<MpSide>(this)) {
  KeepGrpcInitialised();
  delayer_ = std::thread([this] { RunDelayer(); });
}

SnProxyStandin::~SnProxyStandin() {
  StopForwarding();
  StopInfo();
  {
    std::lock_guard<std::mutex> lock(delayMutex_);
    stopping_ = true;
  }
  delayCond_.notify_all();
  if (delayer_.joinable()) delayer_.join();
  FlushPending();
}

int SnProxyStandin::StartInfo(const std::string& address) { return ServeInfo(address); }

int SnProxyStandin::StartForwarding(const std::string& address) {
  // Its own health service answers by destination, so that one peer's stubs can fail while
  // the others' succeed.
  int port = -1;
  grpc::ServerBuilder builder;
  builder.SetOption(std::make_unique<grpc::HealthCheckServiceServerBuilderOption>(nullptr));
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(registry_.get());
  builder.RegisterService(hostSide_.get());
  builder.RegisterService(mpSide_.get());
  // A generic service belongs to one server for good: each start gets its own, and the
  // ones of stopped servers are kept until this object goes.
  std::unique_ptr<StubCheckService> checks = std::make_unique<StubCheckService>(this);
  builder.RegisterCallbackGenericService(checks.get());
  auto server = builder.BuildAndStart();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stubCheckServices_.push_back(std::move(checks));
  }
  return KeepForwardingServer(std::move(server), port);
}

void SnProxyStandin::StopInfo() { StopInfoServer("proxy stopped"); }

void SnProxyStandin::EndOpenCalls() {
  FlushPending();
  AnswerHeldStubChecks(true);
}

void SnProxyStandin::SetStubCheck(const std::string& peer, StubCheck check) {
  std::lock_guard<std::mutex> lock(mutex_);
  stubChecks_[peer] = check;
}

int SnProxyStandin::StubChecks(const std::string& peer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stubCheckCounts_.find(peer);
  return it == stubCheckCounts_.end() ? 0 : it->second;
}

int SnProxyStandin::HeldStubChecks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(heldChecks_.size());
}

bool SnProxyStandin::OnStubCheck(const std::string& dest, const std::string& service, StubCheckReactor* reactor,
                                 bool& serving, bool& known) {
  known = service == agg::AggSvcHostService::service_full_name() || service == agg::AggSvcMpService::service_full_name() ||
          service == zumbra::qbx::rpc::ForwardingRegistryService::service_full_name() || service.empty();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dest.empty()) ++stubCheckCounts_[dest];
  auto it = dest.empty() ? stubChecks_.end() : stubChecks_.find(dest);
  const StubCheck check = it == stubChecks_.end() ? StubCheck::kServe : it->second;
  Changed();
  if (known && check == StubCheck::kHold) {
    heldChecks_.push_back(reactor);
    return false;
  }
  serving = check != StubCheck::kFail;
  return true;
}

void SnProxyStandin::ReleaseHeldStubChecks(bool serving) { AnswerHeldStubChecks(false, serving); }

void SnProxyStandin::AnswerHeldStubChecks(bool forShutdown, bool serving) {
  std::vector<StubCheckReactor*> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(heldChecks_);
    Changed();
  }
  // Each was held exactly once and is answered here exactly once, with no lock held.
  for (auto* reactor : held) {
    if (forShutdown) {
      reactor->Fail(grpc::Status(grpc::StatusCode::UNAVAILABLE, "forwarding stopped"));
    } else {
      reactor->Answer(serving);
    }
  }
}

bool SnProxyStandin::EndPeerStream(const std::string& peer, uint32_t reason) {
  return EndDestinationStream(peer, reason);
}

void SnProxyStandin::SetLocalUuid(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  localUuid_ = uuid;
}

msgs::SNProxyInfoRspMsg SnProxyStandin::BuildCurrent() const {
  if (raw_) return rawMsg_;
  msgs::SNProxyInfoRspMsg msg;
  ParseUuid(localUuid_, *msg.mutable_uuid());
  for (const auto& peer : peers_) ParseUuid(peer, *msg.add_sn_proxy_info()->mutable_id());
  msg.mutable_product_version()->set_major(major_);
  msg.mutable_product_version()->set_minor(minor_);
  return msg;
}

void SnProxyStandin::SetPeers(const std::vector<std::string>& peers) {
  msgs::SNProxyInfoRspMsg msg;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    peers_ = peers;
    raw_ = false;
    msg = BuildCurrent();
  }
  Broadcast(msg);
}

void SnProxyStandin::ConfigureNic(const std::string& uuid, const NicBehaviour& behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  nics_[uuid] = behaviour;
}

bool SnProxyStandin::IsNic(const std::string& uuid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nics_.count(uuid) != 0;
}

std::vector<SnProxyStandin::NicRequest> SnProxyStandin::NicRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nicRequests_;
}

int SnProxyStandin::NicRequestCount(const std::string& uuid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(nicRequests_.begin(), nicRequests_.end(),
                                        [&uuid](const NicRequest& r) { return r.nic == uuid; }));
}

void SnProxyStandin::OnRegister(const std::string& address, const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& id : ids) registered_[id] = address;
  Changed();
}

std::string SnProxyStandin::AddressOf(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = registered_.find(id);
  return it == registered_.end() ? std::string() : it->second;
}

std::map<std::string, std::string> SnProxyStandin::RegisteredIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registered_;
}

msgs::GenericUnifiedMsg SnProxyStandin::BuildNicAnswer(const NicBehaviour& b, const agg::AggSvcHostUnifiedMsg& request) {
  agg::AggSvcMpUnifiedMsg unified;
  unified.set_app_name(request.app_name());
  const std::string& type = request.obj_type();
  if (type == kSummationRequest) {
    unified.set_obj_type(kSummationResponse);
    auto* response = unified.mutable_messaging_summation_stats_response_msg();
    response->set_seq_num(request.pull_summation_stats_request().seq_num());
    FillStats(b, response);
  } else if (type == kOverwriteRequest) {
    unified.set_obj_type(kOverwriteResponse);
    FillStats(b, unified.mutable_messaging_overwrite_stats_response_msg());
  } else if (type == kOnDemandRequest) {
    unified.set_obj_type(kOnDemandResponse);
    FillStats(b, unified.mutable_messaging_on_demand_stats_response_msg());
  } else if (type == kStatusRequest) {
    // Every request travels in the same field; its bytes are the request of its type.
    agg::GenericRuntimeStatusRequestMsg asked;
    asked.ParseFromString(request.pull_summation_stats_request().SerializeAsString());
    unified.set_obj_type(kStatusResponse);
    auto* response = unified.mutable_messaging_generic_runtime_status_response_msg();
    response->set_target_type(asked.target_type());
    response->set_status_obtained(!b.statusEntries.empty());
    if (!b.statusEntries.empty()) {
      zumbra::qbx::agg_service::status::GenericRuntimeStatusUpdateMsg status;
      status.set_msg_type(asked.target_type());
      for (const auto& entry : b.statusEntries) status.add_status(entry);
      response->set_status(status.SerializeAsString());
    }
  } else {
    unified.set_obj_type(type);
  }
  msgs::GenericUnifiedMsg envelope;
  envelope.set_payload(unified.SerializeAsString());
  return envelope;
}

bool SnProxyStandin::OnNicCall(const std::string& nic, const std::string& caller, const msgs::GenericUnifiedMsg& request,
                               msgs::GenericUnifiedMsg* reply, grpc::ServerUnaryReactor* reactor) {
  agg::AggSvcHostUnifiedMsg unified;
  const bool parsed = unified.ParseFromString(request.payload());
  NicBehaviour behaviour;
  bool hold = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nics_.find(nic);
    if (it == nics_.end()) return false;
    behaviour = it->second;
    if (nicRequests_.size() >= kMaxRecorded) nicRequests_.erase(nicRequests_.begin());
    nicRequests_.push_back(NicRequest{nic, caller, unified});
    if (parsed && behaviour.mode == NicMode::kSilent && held_.size() < kMaxPending) {
      held_.push_back(Held{behaviour, unified, reply, reactor});
      hold = true;
    }
    Changed();
  }
  if (hold) return true;
  if (!parsed) {
    reactor->Finish(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "not an AggSvcHostUnifiedMsg"));
    return true;
  }
  switch (behaviour.mode) {
    case NicMode::kFail:
      reactor->Finish(grpc::Status(static_cast<grpc::StatusCode>(behaviour.failCode), "refused by stand-in smart NIC"));
      break;
    case NicMode::kLate: {
      msgs::GenericUnifiedMsg answer = BuildNicAnswer(behaviour, unified);
      Schedule(std::chrono::steady_clock::now() + behaviour.lateBy, [reply, reactor, answer] {
        *reply = answer;
        reactor->Finish(grpc::Status::OK);
      });
      break;
    }
    case NicMode::kSilent:  // more held calls than allowed
      reactor->Finish(grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED, "too many held calls"));
      break;
    case NicMode::kAnswer:
      *reply = BuildNicAnswer(behaviour, unified);
      reactor->Finish(grpc::Status::OK);
      break;
  }
  return true;
}

void SnProxyStandin::ReleaseHeld() {
  std::vector<Held> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (auto& h : held) {
    *h.reply = BuildNicAnswer(h.behaviour, h.request);
    h.reactor->Finish(grpc::Status::OK);
  }
}

void SnProxyStandin::SetHostUuid(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  hostUuid_ = uuid;
}

bool SnProxyStandin::OnHostCall(const std::string& dest, const std::string& caller, const msgs::GenericUnifiedMsg& request,
                                bool publish) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dest != hostUuid_) return false;
  if (hostReceived_.size() >= kMaxRecorded) hostReceived_.erase(hostReceived_.begin());
  hostReceived_.push_back(HostReceived{caller, publish, request});
  Changed();
  return true;
}

std::vector<SnProxyStandin::HostReceived> SnProxyStandin::HostReceivedMessages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hostReceived_;
}

SnProxyStandin::HostReply SnProxyStandin::HostRequest(const std::string& appName, const std::string& typeId,
                                                      const std::string& body, const std::string& correlationId,
                                                      std::chrono::milliseconds limit) {
  HostReply out;
  int port;
  std::string host;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port = forwardingPort_;
    host = hostUuid_;
  }
  if (port <= 0) {
    out.message = "forwarding side not started";
    return out;
  }
  agg::AggSvcHostUnifiedMsg unified;
  unified.set_obj_type(typeId);
  unified.set_app_name(appName);
  // A request of any type travels in this field (its bytes kept as they are).
  unified.mutable_pull_summation_stats_request()->ParseFromString(body);
  msgs::GenericUnifiedMsg request;
  if (!correlationId.empty()) request.mutable_ctrl_headers()->set_correlation_id(correlationId);
  request.set_payload(unified.SerializeAsString());
  auto channel = TheRelay().ChannelTo("tcp://127.0.0.1:" + std::to_string(port));
  auto stub = agg::AggSvcHostService::NewStub(channel);
  grpc::ClientContext context;
  context.AddMetadata(kDestinationKey, appName);
  context.AddMetadata(kCallerKey, host);
  context.set_deadline(std::chrono::system_clock::now() + limit);
  const grpc::Status status = stub->RpcMsgHandler(&context, request, &out.envelope);
  out.code = static_cast<int>(status.error_code());
  out.message = status.error_message();
  if (status.ok()) out.parsed = out.unified.ParseFromString(out.envelope.payload());
  return out;
}

void SnProxyStandin::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  nicRequests_.clear();
  hostReceived_.clear();
  Changed();
}

void SnProxyStandin::Schedule(std::chrono::steady_clock::time_point due, std::function<void()> run) {
  {
    std::lock_guard<std::mutex> lock(delayMutex_);
    if (!stopping_ && pending_.size() < kMaxPending) {
      pending_.emplace(due, std::move(run));
      delayCond_.notify_all();
      return;
    }
  }
  run();  // no room to wait: answered now rather than never
}

void SnProxyStandin::RunDelayer() {
  std::unique_lock<std::mutex> lock(delayMutex_);
  while (!stopping_) {
    if (pending_.empty()) {
      delayCond_.wait(lock);
      continue;
    }
    auto first = pending_.begin();
    if (std::chrono::steady_clock::now() < first->first) {
      delayCond_.wait_until(lock, first->first);
      continue;
    }
    std::function<void()> run = std::move(first->second);
    pending_.erase(first);
    lock.unlock();
    run();
    lock.lock();
  }
}

void SnProxyStandin::FlushPending() {
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> pending;
  {
    std::lock_guard<std::mutex> lock(delayMutex_);
    pending.swap(pending_);
  }
  for (auto& entry : pending) entry.second();
  std::vector<Held> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (auto& h : held) h.reactor->Finish(grpc::Status(grpc::StatusCode::UNAVAILABLE, "proxy stopped"));
}

}  // namespace qbx::tools
