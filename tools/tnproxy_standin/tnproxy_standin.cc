#include "tools/tnproxy_standin/tnproxy_standin.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>

#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"
#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"

namespace qbx::tools {

namespace msgs = zumbra::qbx::messaging;
namespace agg = zumbra::qbx::agg_service::messaging;

namespace {

constexpr char kDestinationKey[] = "qbx-destination";

// "8-4-4-4-12" hexadecimal text into the two halves; false when it is not one.
bool ParseUuid(const std::string& text, zumbra::qbx::UuidMsg& out) {
  std::string hex;
  for (char c : text) {
    if (c != '-') hex.push_back(c);
  }
  if (hex.size() != 32 || !std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(c) != 0; })) {
    return false;
  }
  out.set_first_half(std::stoull(hex.substr(0, 16), nullptr, 16));
  out.set_second_half(std::stoull(hex.substr(16), nullptr, 16));
  return true;
}

std::string Destination(const grpc::CallbackServerContext* context) {
  const auto& md = context->client_metadata();
  auto it = md.find(kDestinationKey);
  if (it == md.end()) return std::string();
  return std::string(it->second.data(), it->second.size());
}

}  // namespace

// One subscription: a queue of updates written one at a time.
class TnProxyStandin::Subscriber : public grpc::ServerWriteReactor<msgs::ApplProxyInfoRspMsg> {
 public:
  explicit Subscriber(TnProxyStandin* owner) : owner_(owner) {}

  void Keep(const std::shared_ptr<Subscriber>& self) { self_ = self; }

  void Push(const msgs::ApplProxyInfoRspMsg& msg) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_ || finishing_) return;
      queue_.push_back(msg);
      if (writing_) return;
      writing_ = true;
      current_ = std::move(queue_.front());
      queue_.erase(queue_.begin());
    }
    StartWrite(&current_);
  }

  void End(const grpc::Status& status) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_ || finishing_) return;
      finishing_ = true;
      queue_.clear();
      status_ = status;
      if (writing_) return;  // finished when the write completes
    }
    Finish(status);
  }

  void OnWriteDone(bool ok) override {
    bool finish = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writing_ = false;
      if (!ok) {
        finishing_ = true;
        queue_.clear();
        status_ = grpc::Status::CANCELLED;
      }
      if (finishing_) {
        finish = true;
      } else if (!queue_.empty()) {
        writing_ = true;
        current_ = std::move(queue_.front());
        queue_.erase(queue_.begin());
      } else {
        return;
      }
    }
    if (finish) {
      Finish(status_);
    } else {
      StartWrite(&current_);
    }
  }

  void OnDone() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    owner_->OnSubscriberDone(this);
    self_.reset();  // may destroy this object: nothing after it
  }

 private:
  TnProxyStandin* const owner_;
  std::shared_ptr<Subscriber> self_;
  std::mutex mutex_;
  std::vector<msgs::ApplProxyInfoRspMsg> queue_;
  msgs::ApplProxyInfoRspMsg current_;
  bool writing_ = false;
  bool finishing_ = false;
  bool done_ = false;
  grpc::Status status_;
};

class TnProxyStandin::InfoService : public msgs::ApplProxyInfoService::CallbackService {
 public:
  explicit InfoService(TnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerWriteReactor<msgs::ApplProxyInfoRspMsg>* Subscribe(grpc::CallbackServerContext* /*context*/,
                                                                 const msgs::ApplProxyInfoReqMsg* /*req*/) override {
    auto subscriber = std::make_shared<Subscriber>(owner_);
    subscriber->Keep(subscriber);
    owner_->OnSubscribe(subscriber);
    return subscriber.get();
  }

 private:
  TnProxyStandin* const owner_;
};

class TnProxyStandin::ForwardingService : public agg::AggSvcMpService::CallbackService {
 public:
  explicit ForwardingService(TnProxyStandin* owner) : owner_(owner) {}
  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                          msgs::GenericUnifiedMsg* reply) override {
    auto* reactor = context->DefaultReactor();
    owner_->OnAphCall(Destination(context), *request, reply, reactor, false);
    return reactor;
  }
  grpc::ServerUnaryReactor* MsgHandler(grpc::CallbackServerContext* context, const msgs::GenericUnifiedMsg* request,
                                       zumbra::qbx::VoidMsg* /*reply*/) override {
    auto* reactor = context->DefaultReactor();
    owner_->OnAphCall(Destination(context), *request, nullptr, reactor, true);
    return reactor;
  }

 private:
  TnProxyStandin* const owner_;
};

TnProxyStandin::TnProxyStandin()
    : infoService_(std::make_unique<InfoService>(this)), forwardingService_(std::make_unique<ForwardingService>(this)) {}

TnProxyStandin::~TnProxyStandin() {
  ReleaseHeldAppInits(false);
  StopForwarding();
  StopInfo();
}

namespace {
// The peers check a service's health before they make a stub for it.
std::unique_ptr<grpc::Server> Serve(const std::string& address, grpc::Service* service, const std::string& name,
                                    int* port) {
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), port);
  builder.RegisterService(service);
  auto server = builder.BuildAndStart();
  if (server) {
    if (auto* health = server->GetHealthCheckService()) health->SetServingStatus(name, true);
  }
  return server;
}
}  // namespace

int TnProxyStandin::StartInfo(const std::string& address) {
  int port = -1;
  auto server = Serve(address, infoService_.get(), msgs::ApplProxyInfoService::service_full_name(), &port);
  if (!server || port <= 0) return -1;
  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    refused = infoRefused_;
  }
  if (refused) {
    server->GetHealthCheckService()->SetServingStatus(msgs::ApplProxyInfoService::service_full_name(), false);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  infoServer_ = std::move(server);
  infoPort_ = port;
  return port;
}

int TnProxyStandin::StartForwarding(const std::string& address) {
  int port = -1;
  auto server = Serve(address, forwardingService_.get(), agg::AggSvcMpService::service_full_name(), &port);
  if (!server || port <= 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  forwardingServer_ = std::move(server);
  forwardingPort_ = port;
  return port;
}

void TnProxyStandin::StopInfo() {
  std::unique_ptr<grpc::Server> server;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server = std::move(infoServer_);
  }
  EndSubscriptions();
  if (server) server->Shutdown(std::chrono::system_clock::now());
}

void TnProxyStandin::StopForwarding() {
  std::unique_ptr<grpc::Server> server;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server = std::move(forwardingServer_);
  }
  if (!server) return;
  ReleaseHeldAppInits(false);
  server->Shutdown(std::chrono::system_clock::now());
}

int TnProxyStandin::InfoPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return infoPort_;
}

int TnProxyStandin::ForwardingPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forwardingPort_;
}

void TnProxyStandin::SetTnUuid(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  tnUuid_ = uuid;
}

void TnProxyStandin::SetProductVersion(int32_t major, int32_t minor) {
  std::lock_guard<std::mutex> lock(mutex_);
  major_ = major;
  minor_ = minor;
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

void TnProxyStandin::PushRaw(const msgs::ApplProxyInfoRspMsg& msg) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_ = true;
    rawMsg_ = msg;
  }
  Broadcast(msg);
}

void TnProxyStandin::Broadcast(const msgs::ApplProxyInfoRspMsg& msg) {
  std::vector<std::shared_ptr<Subscriber>> subscribers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers = subscribers_;
  }
  for (const auto& s : subscribers) s->Push(msg);
}

void TnProxyStandin::EndSubscriptions() {
  std::vector<std::shared_ptr<Subscriber>> subscribers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers = subscribers_;
  }
  for (const auto& s : subscribers) s->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "subscription ended"));
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

int TnProxyStandin::SubscriptionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscriptions_;
}

int TnProxyStandin::ActiveSubscribers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(subscribers_.size());
}

void TnProxyStandin::OnSubscribe(const std::shared_ptr<Subscriber>& subscriber) {
  msgs::ApplProxyInfoRspMsg current;
  bool send = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers_.push_back(subscriber);
    ++subscriptions_;
    current = BuildCurrent();
    send = raw_ || !aphs_.empty();
    Changed();
  }
  if (send) subscriber->Push(current);
}

void TnProxyStandin::OnSubscriberDone(const Subscriber* subscriber) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                    [subscriber](const auto& s) { return s.get() == subscriber; }),
                     subscribers_.end());
  Changed();
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
  if (mode == AppInitMode::kHold) return;
  if (mode == AppInitMode::kFail) {
    reactor->Finish(grpc::Status(grpc::StatusCode::UNAVAILABLE, "app-init refused"));
    return;
  }
  agg::AggSvcHostUnifiedMsg host;
  host.mutable_app_init_config()->set_sender(aph);
  reply->set_payload(host.SerializeAsString());
  reactor->Finish(grpc::Status::OK);
}

void TnProxyStandin::Changed() {
  ++generation_;
  changed_.notify_all();
}

bool TnProxyStandin::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    const uint64_t seen = generation_;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (generation_ != seen) continue;
    if (changed_.wait_until(lock, deadline, [&] { return generation_ != seen; })) continue;
    lock.unlock();
    return pred();
  }
}

}  // namespace qbx::tools
