#include "tools/tnproxy_standin/tnproxy_standin.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>

#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"
#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"
#include "zumbra/qbx/rpc/forwarding.grpc.pb.h"
#include "tools/standin_common/standin_grpc.h"

namespace qbx::tools {

namespace msgs = zumbra::qbx::messaging;
namespace agg = zumbra::qbx::agg_service::messaging;

namespace {

constexpr char kForwardedPrefix[] = "qbx://";
constexpr char kTcpPrefix[] = "tcp://";
constexpr char kUnixPrefix[] = "unix:/";  // a gRPC target as it is

// The management plane's type names of its requests.
constexpr char kClientDataTypeId[] = "com.zumbra.qbx.management.agg.messaging.ClientDataRequestMsg";
constexpr char kSummationTypeId[] = "com.zumbra.qbx.management.agg.messaging.PullSummationStatsRequestMsg";
constexpr char kOverwriteTypeId[] = "com.zumbra.qbx.management.agg.messaging.PullOverwriteStatsRequestMsg";
constexpr char kOnDemandTypeId[] = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsRequestMsg";
constexpr char kRuntimeStatusTypeId[] = "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusRequestMsg";

// A random (version 4) uuid text for a request's correlation id.
std::string NewCorrelationId() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  const uint64_t hi = (random() & ~0xf000ull) | 0x4000ull;
  const uint64_t lo = (random() & ~(3ull << 62)) | (2ull << 62);
  char text[40];
  std::snprintf(text, sizeof(text), "%08llx-%04llx-%04llx-%04llx-%012llx", static_cast<unsigned long long>(hi >> 32),
                static_cast<unsigned long long>((hi >> 16) & 0xffff), static_cast<unsigned long long>(hi & 0xffff),
                static_cast<unsigned long long>(lo >> 48), static_cast<unsigned long long>(lo & 0xffffffffffffull));
  return text;
}

}  // namespace

class TnProxyStandin::ForwardingService : public agg::AggSvcMpService::CallbackService {
 public:
  explicit ForwardingService(TnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                          msgs::GenericUnifiedMsg* reply) override {
    auto* reactor = context->DefaultReactor();
    owner_->OnAphCall(MetadataValue(context, kDestinationKey), *request, reply, reactor, false);
    return reactor;
  }
  grpc::ServerUnaryReactor* MsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                       zumbra::qbx::VoidMsg* /*reply*/) override {
    auto* reactor = context->DefaultReactor();
    owner_->OnAphCall(MetadataValue(context, kDestinationKey), *request, nullptr, reactor, true);
    return reactor;
  }

 private:
  TnProxyStandin* const owner_;
};

class TnProxyStandin::RegistryService : public zumbra::qbx::rpc::ForwardingRegistryService::CallbackService {
 public:
  explicit RegistryService(TnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerWriteReactor<zumbra::qbx::rpc::DestinationEndedMsg>* WatchDestinations(
      grpc::CallbackServerContext* /*context*/, const zumbra::qbx::rpc::WatchDestinationsMsg* /*request*/) override {
    return owner_->Watch();
  }
  grpc::ServerUnaryReactor* RegisterLocalEndpoints(grpc::CallbackServerContext* context,
                                                   const zumbra::qbx::rpc::LocalEndpointsMsg* request,
                                                   zumbra::qbx::rpc::LocalEndpointsAckMsg* /*reply*/) override {
    auto* reactor = context->DefaultReactor();
    std::string why;
    const std::vector<std::string> ids(request->ids().begin(), request->ids().end());
    if (owner_->OnRegister(request->address(), ids, why)) {
      reactor->Finish(grpc::Status::OK);
    } else {
      reactor->Finish(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, why));
    }
    return reactor;
  }

 private:
  TnProxyStandin* const owner_;
};

TnProxyStandin::TnProxyStandin()
    : forwardingService_(std::make_unique<ForwardingService>(this)),
      registryService_(std::make_unique<RegistryService>(this)),
      delayThread_([this] { DelayLoop(); }) {}

TnProxyStandin::~TnProxyStandin() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  delayChanged_.notify_all();
  delayThread_.join();
  ReleaseHeldAppInits(false);
  StopForwarding();
  StopInfo();
}

int TnProxyStandin::StartInfo(const std::string& address) { return ServeInfo(address); }

int TnProxyStandin::StartForwarding(const std::string& address) {
  int port = -1;
  auto server = ServeWithDestinationHealth(
      address,
      {{forwardingService_.get(), agg::AggSvcMpService::service_full_name()},
       {registryService_.get(), zumbra::qbx::rpc::ForwardingRegistryService::service_full_name()}},
      &forwardingHealth_, &port);
  return KeepForwardingServer(std::move(server), port);
}

void TnProxyStandin::StopInfo() { StopInfoServer("subscription ended"); }

void TnProxyStandin::EndOpenCalls() {
  ReleaseHeldAppInits(false);
  std::vector<Delayed> delayed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delayed.swap(delayed_);
  }
  for (auto& d : delayed) d.held.reactor->Finish(grpc::Status(grpc::StatusCode::UNAVAILABLE, "app-init refused"));
}

void TnProxyStandin::FailStubCreation(const std::string& aph, int times) { forwardingHealth_.FailDestination(aph, times); }

void TnProxyStandin::ClearStubCreationFailures(const std::string& aph) { forwardingHealth_.ClearFailures(aph); }

void TnProxyStandin::HoldStubCreation(const std::string& aph, bool hold) { forwardingHealth_.HoldDestination(aph, hold); }

int TnProxyStandin::HeldStubCreations() const { return forwardingHealth_.HeldChecks(); }

int TnProxyStandin::StubCreationAttempts(const std::string& aph) const { return forwardingHealth_.Checks(aph); }

int TnProxyStandin::RefusedStubCreations(const std::string& aph) const { return forwardingHealth_.RefusedChecks(aph); }

void TnProxyStandin::SetTnUuid(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  tnUuid_ = uuid;
}

msgs::ApplProxyInfoRspMsg TnProxyStandin::BuildCurrent() const {
  if (raw_) return rawMsg_;
  msgs::ApplProxyInfoRspMsg msg;
  ParseUuid(tnUuid_, *msg.mutable_tn_uuid());
  for (const auto& aph : aphs_) {
    auto* entry = msg.add_appl_proxy_info();
    ParseUuid(aph.uuid, *entry->mutable_id());
    entry->set_master(aph.master);
  }
  msg.mutable_product_version()->set_major(major_);
  msg.mutable_product_version()->set_minor(minor_);
  return msg;
}

void TnProxyStandin::SetAphs(const std::vector<Aph>& aphs) {
  msgs::ApplProxyInfoRspMsg msg;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    aphs_ = aphs;
    raw_ = false;
    msg = BuildCurrent();
  }
  Broadcast(msg);
}

void TnProxyStandin::RefuseInfoService(bool refuse) {
  grpc::Server* server = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    infoRefused_ = refuse;
    server = infoServer_.get();
  }
  if (server) server->GetHealthCheckService()->SetServingStatus(msgs::ApplProxyInfoService::service_full_name(), !refuse);
}

bool TnProxyStandin::SendsCurrentOnSubscribe() const { return raw_ || !aphs_.empty(); }

bool TnProxyStandin::EndAphStream(const std::string& aph, uint32_t reason) {
  return EndDestinationStream(aph, reason);
}

void TnProxyStandin::SetAppInitMode(const std::string& aph, AppInitMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  appInitModes_[aph] = mode;
}

void TnProxyStandin::ReleaseHeldAppInits(bool success) {
  std::vector<Held> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (auto& h : held) {
    if (success) {
      agg::AggSvcHostUnifiedMsg host;
      host.mutable_app_init_config()->set_sender(h.aph);
      h.reply->set_payload(host.SerializeAsString());
      h.reactor->Finish(grpc::Status::OK);
    } else {
      h.reactor->Finish(grpc::Status(grpc::StatusCode::UNAVAILABLE, "app-init refused"));
    }
  }
}

int TnProxyStandin::AppInitRequestCount(const std::string& aph) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = appInitCounts_.find(aph);
  return it == appInitCounts_.end() ? 0 : it->second;
}

std::vector<TnProxyStandin::Received> TnProxyStandin::ReceivedMessages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void TnProxyStandin::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
  appInitCounts_.clear();
  Changed();
}

void TnProxyStandin::OnAphCall(const std::string& aph, const msgs::GenericUnifiedMsg& request,
                               msgs::GenericUnifiedMsg* reply, grpc::ServerUnaryReactor* reactor, bool publish) {
  agg::AggSvcMpUnifiedMsg unified;
  const bool appInit = !publish && unified.ParseFromString(request.payload()) && unified.has_appinit_app_init_msg();
  AppInitMode mode = AppInitMode::kReply;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    known = std::any_of(aphs_.begin(), aphs_.end(), [&aph](const Aph& a) { return a.uuid == aph; });
    if (!known) {
      // Answered below, outside the lock.
      mode = AppInitMode::kFail;
    } else if (appInit) {
      ++appInitCounts_[aph];
      auto it = appInitModes_.find(aph);
      mode = it == appInitModes_.end() ? AppInitMode::kReply : it->second;
      if (mode == AppInitMode::kHold) held_.push_back(Held{aph, reply, reactor});
      if (mode == AppInitMode::kDelay) {
        auto delay = appInitDelays_.find(aph);
        const auto wait = delay == appInitDelays_.end() ? std::chrono::milliseconds(0) : delay->second;
        delayed_.push_back(Delayed{Held{aph, reply, reactor}, std::chrono::steady_clock::now() + wait});
        delayChanged_.notify_all();
      }
    } else {
      if (received_.size() >= kMaxRecorded) received_.erase(received_.begin());
      received_.push_back(Received{aph, publish, request});
    }
    Changed();
  }
  if (!known) {
    reactor->Finish(grpc::Status(grpc::StatusCode::NOT_FOUND, "no such APH: " + aph));
    return;
  }
  if (!appInit) {
    reactor->Finish(grpc::Status::OK);
    return;
  }
  if (mode == AppInitMode::kHold || mode == AppInitMode::kDelay) return;
  if (mode == AppInitMode::kFail) {
    reactor->Finish(grpc::Status(grpc::StatusCode::UNAVAILABLE, "app-init refused"));
    return;
  }
  agg::AggSvcHostUnifiedMsg host;
  host.mutable_app_init_config()->set_sender(aph);
  reply->set_payload(host.SerializeAsString());
  reactor->Finish(grpc::Status::OK);
}

void TnProxyStandin::SetAppInitDelay(const std::string& aph, std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  appInitDelays_[aph] = delay;
}

void TnProxyStandin::DelayLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (delayed_.empty()) {
      delayChanged_.wait(lock);
      continue;
    }
    auto due = delayed_.front().due;
    for (const auto& d : delayed_) due = std::min(due, d.due);
    if (delayChanged_.wait_until(lock, due) == std::cv_status::no_timeout) continue;
    const auto now = std::chrono::steady_clock::now();
    std::vector<Held> ready;
    for (auto it = delayed_.begin(); it != delayed_.end();) {
      if (it->due <= now) {
        ready.push_back(it->held);
        it = delayed_.erase(it);
      } else {
        ++it;
      }
    }
    lock.unlock();
    for (auto& h : ready) {
      agg::AggSvcHostUnifiedMsg host;
      host.mutable_app_init_config()->set_sender(h.aph);
      h.reply->set_payload(host.SerializeAsString());
      h.reactor->Finish(grpc::Status::OK);
    }
    lock.lock();
  }
  // Whatever is still delayed is failed by StopForwarding.
}

// ---- endpoint registrations ----

bool TnProxyStandin::OnRegister(const std::string& address, const std::vector<std::string>& ids, std::string& why) {
  const std::string target = StripPrefix(address, kTcpPrefix);
  const bool tcp = address.compare(0, std::string(kTcpPrefix).size(), kTcpPrefix) == 0 &&
                   target.find(':') != std::string::npos;
  const bool unixSocket = address.compare(0, std::string(kUnixPrefix).size(), kUnixPrefix) == 0;
  if (!tcp && !unixSocket) {
    why = "address '" + address + "' is not tcp://HOST:PORT or unix:/PATH";
    return false;
  }
  if (ids.empty()) {
    why = "no endpoint ids";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& id : ids) {
    const std::string key = StripPrefix(id, kForwardedPrefix);
    if (!key.empty()) registrations_[key] = address;
  }
  ++registrationCount_;
  Changed();
  return true;
}

std::string TnProxyStandin::RegisteredAddress(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = registrations_.find(StripPrefix(id, kForwardedPrefix));
  return it == registrations_.end() ? std::string() : it->second;
}

std::map<std::string, std::string> TnProxyStandin::Registrations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_;
}

int TnProxyStandin::RegistrationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrationCount_;
}

// ---- the management plane's pulls ----

const char* TnProxyStandin::PullKindName(PullKind kind) {
  switch (kind) {
    case PullKind::kClientData: return "client-data";
    case PullKind::kSummation: return "summation";
    case PullKind::kOverwrite: return "overwrite";
    case PullKind::kOnDemand: return "on-demand";
    case PullKind::kRuntimeStatus: return "runtime-status";
  }
  return "unknown";
}

bool TnProxyStandin::ParsePullKind(const std::string& text, PullKind& kind) {
  for (PullKind k : {PullKind::kClientData, PullKind::kSummation, PullKind::kOverwrite, PullKind::kOnDemand,
                     PullKind::kRuntimeStatus}) {
    if (text == PullKindName(k)) {
      kind = k;
      return true;
    }
  }
  return false;
}

agg::AggSvcHostUnifiedMsg TnProxyStandin::BuildPull(const std::string& app, const Pull& pull) {
  agg::AggSvcHostUnifiedMsg host;
  host.set_app_name(app);
  switch (pull.kind) {
    case PullKind::kClientData: {
      host.set_obj_type(kClientDataTypeId);
      auto* target = host.mutable_client_data_request()->add_target_data_request();
      target->set_target_type(pull.targetType);
      for (const auto& id : pull.targetIds) target->add_target_id(id);
      break;
    }
    case PullKind::kSummation: {
      host.set_obj_type(kSummationTypeId);
      auto* request = host.mutable_pull_summation_stats_request();
      request->set_seq_num(pull.seq);
      request->set_last_ack(pull.ack);
      break;
    }
    case PullKind::kOverwrite:
      host.set_obj_type(kOverwriteTypeId);
      host.mutable_pull_overwrite_stats_request();
      break;
    case PullKind::kOnDemand: {
      host.set_obj_type(kOnDemandTypeId);
      auto* request = host.mutable_on_demand_stats_request();
      if (pull.targetIds.empty()) request->add_target_request()->set_target_type(pull.targetType);
      for (const auto& id : pull.targetIds) {
        auto* target = request->add_target_request();
        target->set_target_type(pull.targetType);
        target->mutable_target_id()->set_string_id(id);
      }
      break;
    }
    case PullKind::kRuntimeStatus:
      host.set_obj_type(kRuntimeStatusTypeId);
      host.mutable_generic_runtime_status_request()->set_target_type(pull.targetType);
      break;
  }
  return host;
}

TnProxyStandin::PullAnswer TnProxyStandin::SendPull(const std::string& aph, const std::string& app, const Pull& pull,
                                                    std::chrono::milliseconds timeout) {
  return SendHostRequest(aph, app, BuildPull(app, pull), timeout);
}

std::shared_ptr<grpc::Channel> TnProxyStandin::HostChannel(const std::string& address) {
  const std::string target = StripPrefix(address, kTcpPrefix);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hostChannels_.find(target);
    if (it != hostChannels_.end()) return it->second;
  }
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(64 * 1024 * 1024);
  args.SetMaxSendMessageSize(64 * 1024 * 1024);
  auto channel = grpc::CreateCustomChannel(target, grpc::InsecureChannelCredentials(), args);
  std::lock_guard<std::mutex> lock(mutex_);
  // A channel made meanwhile by another caller wins; both lead to the same place.
  return hostChannels_.emplace(target, channel).first->second;
}

TnProxyStandin::PullAnswer TnProxyStandin::SendHostRequest(const std::string& aph, const std::string& app,
                                                           const agg::AggSvcHostUnifiedMsg& request,
                                                           std::chrono::milliseconds timeout) {
  PullAnswer answer;
  std::string address;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool knownAph = std::any_of(aphs_.begin(), aphs_.end(), [&aph](const Aph& a) { return a.uuid == aph; });
    if (!knownAph) {
      answer.code = static_cast<int>(grpc::StatusCode::NOT_FOUND);
      answer.error = "no such APH: " + aph;
      return answer;
    }
    auto it = registrations_.find(StripPrefix(app, kForwardedPrefix));
    if (it == registrations_.end()) {
      answer.code = static_cast<int>(grpc::StatusCode::NOT_FOUND);
      answer.error = "application '" + app + "' has no registered address";
      return answer;
    }
    address = it->second;
    if (!forwardingServer_) {
      // The management plane reaches the node only through its forwarding side.
      answer.code = static_cast<int>(grpc::StatusCode::UNAVAILABLE);
      answer.error = "forwarding endpoint stopped";
      return answer;
    }
  }
  msgs::GenericUnifiedMsg envelope;
  if (!request.SerializeToString(envelope.mutable_payload())) {
    answer.code = static_cast<int>(grpc::StatusCode::INVALID_ARGUMENT);
    answer.error = "request does not serialise";
    return answer;
  }
  answer.correlationId = NewCorrelationId();
  envelope.mutable_ctrl_headers()->set_correlation_id(answer.correlationId);
  auto stub = agg::AggSvcHostService::NewStub(HostChannel(address));
  grpc::ClientContext context;
  context.AddMetadata(kCallerKey, aph);
  context.set_deadline(std::chrono::system_clock::now() + timeout);
  const grpc::Status status = stub->RpcMsgHandler(&context, envelope, &answer.reply);
  answer.code = static_cast<int>(status.error_code());
  if (!status.ok()) {
    answer.error = status.error_message().empty() ? "call failed" : status.error_message();
    return answer;
  }
  if (!answer.mp.ParseFromString(answer.reply.payload())) {
    answer.error = "reply payload is not an AggSvcMpUnifiedMsg";
    return answer;
  }
  answer.ok = true;
  return answer;
}

}  // namespace qbx::tools
