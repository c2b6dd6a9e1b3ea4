#include "tools/standin_common/standin_grpc.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>

#include <grpcpp/ext/health_check_service_server_builder_option.h>
#include <grpcpp/health_check_service_interface.h>

namespace qbx::tools {

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

std::string MetadataValue(const grpc::CallbackServerContext* context, const char* key) {
  const auto& md = context->client_metadata();
  auto it = md.find(key);
  if (it == md.end()) return std::string();
  return std::string(it->second.data(), it->second.size());
}

std::string StripPrefix(const std::string& text, const char* prefix) {
  const std::string p(prefix);
  return text.compare(0, p.size(), p) == 0 ? text.substr(p.size()) : text;
}

std::unique_ptr<grpc::Server> ServeWithHealth(const std::string& address,
                                              const std::vector<std::pair<grpc::Service*, std::string>>& services,
                                              int* port) {
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), port);
  for (const auto& [service, name] : services) builder.RegisterService(service);
  auto server = builder.BuildAndStart();
  if (server) {
    if (auto* health = server->GetHealthCheckService()) {
      for (const auto& [service, name] : services) {
        if (!name.empty()) health->SetServingStatus(name, true);
      }
    }
  }
  return server;
}

namespace {

constexpr char kHealthCheckMethod[] = "/grpc.health.v1.Health/Check";

// HealthCheckRequest { string service = 1; }: the service name, empty when the request
// carries none or is not one.
std::string DecodeHealthService(const std::string& bytes) {
  size_t i = 0;
  auto varint = [&](uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && i < bytes.size(); shift += 7) {
      const auto b = static_cast<uint8_t>(bytes[i++]);
      value |= static_cast<uint64_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  };
  std::string service;
  while (i < bytes.size()) {
    uint64_t tag = 0;
    uint64_t value = 0;
    if (!varint(tag)) return std::string();
    switch (tag & 7) {
      case 0:
        if (!varint(value)) return std::string();
        break;
      case 1:
        i += 8;
        break;
      case 5:
        i += 4;
        break;
      case 2:
        if (!varint(value) || value > bytes.size() - i) return std::string();
        if ((tag >> 3) == 1) service = bytes.substr(i, static_cast<size_t>(value));
        i += static_cast<size_t>(value);
        break;
      default:
        return std::string();
    }
  }
  return service;
}

// HealthCheckResponse { ServingStatus status = 1; }: SERVING = 1, NOT_SERVING = 2.
std::string EncodeHealthStatus(bool serving) { return std::string{'\x08', serving ? '\x01' : '\x02'}; }

}  // namespace

// One health check: reads the request, then answers it at once, or once its destination
// is released when held, and finishes.
class DestinationHealth::Reactor : public grpc::ServerGenericBidiReactor,
                                  public std::enable_shared_from_this<DestinationHealth::Reactor> {
 public:
  Reactor(DestinationHealth* owner, grpc::GenericCallbackServerContext* context)
      : owner_(owner), destination_(MetadataValue(context, kDestinationKey)) {
    if (context->method() != kHealthCheckMethod) {
      Finish(grpc::Status(grpc::StatusCode::UNIMPLEMENTED, ""));
      return;
    }
    StartRead(&request_);
  }

  void OnReadDone(bool ok) override {
    if (!ok) {
      Finish(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "no health check request"));
      return;
    }
    std::vector<grpc::Slice> slices;
    if (request_.Dump(&slices).ok()) {
      for (const auto& s : slices) service_.append(reinterpret_cast<const char*>(s.begin()), s.size());
    }
    service_ = DecodeHealthService(service_);
    if (!owner_->HoldIfHeld(this, destination_)) AnswerNow();
  }

  // Answers once; later calls (a release racing a cancel) do nothing.
  void AnswerNow() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (answered_) return;
      answered_ = true;
    }
    bool known = false;
    const bool serving = owner_->Answer(service_, destination_, known);
    if (!known) {
      Finish(grpc::Status(grpc::StatusCode::NOT_FOUND, "unknown service"));
      return;
    }
    grpc::Slice slice(EncodeHealthStatus(serving));
    response_ = grpc::ByteBuffer(&slice, 1);
    StartWriteAndFinish(&response_, grpc::WriteOptions(), grpc::Status::OK);
  }

  // A held check whose caller went away, or a server shutting down, is finished at once.
  void OnCancel() override {
    owner_->Forget(this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (answered_ || !reading_done_) return;
      answered_ = true;
    }
    Finish(grpc::Status::CANCELLED);
  }

  // Held checks are kept by shared pointers too: the last holder frees it.
  void Keep(std::shared_ptr<Reactor> self) { self_ = std::move(self); }

  void OnDone() override {
    owner_->Forget(this);
    self_.reset();  // may free this object: nothing after it
  }

  void MarkRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_done_ = true;
  }

 private:
  DestinationHealth* const owner_;
  const std::string destination_;
  std::string service_;
  grpc::ByteBuffer request_;
  grpc::ByteBuffer response_;
  std::mutex mutex_;
  bool answered_ = false;
  bool reading_done_ = false;
  std::shared_ptr<Reactor> self_;
};

void DestinationHealth::HoldDestination(const std::string& destination, bool hold) {
  std::vector<std::shared_ptr<Reactor>> release;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hold) {
      held_.insert(destination);
      return;
    }
    held_.erase(destination);
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (it->second.second == destination) {
        release.push_back(it->second.first);
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& r : release) r->AnswerNow();
}

int DestinationHealth::HeldChecks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(waiting_.size());
}

bool DestinationHealth::HoldIfHeld(Reactor* reactor, const std::string& destination) {
  reactor->MarkRead();
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_.count(destination) == 0) return false;
  waiting_[reactor] = {reactor->shared_from_this(), destination};
  return true;
}

void DestinationHealth::Forget(Reactor* reactor) {
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_.erase(reactor);
}

void DestinationHealth::SetServing(const std::string& service, bool serving) {
  std::lock_guard<std::mutex> lock(mutex_);
  serving_[service] = serving;
}

void DestinationHealth::FailDestination(const std::string& destination, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (times == 0) {
    failuresLeft_.erase(destination);
  } else {
    failuresLeft_[destination] = times;
  }
}

void DestinationHealth::ClearFailures(const std::string& destination) { FailDestination(destination, 0); }

int DestinationHealth::Checks(const std::string& destination) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = checks_.find(destination);
  return it == checks_.end() ? 0 : it->second;
}

int DestinationHealth::RefusedChecks(const std::string& destination) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = refused_.find(destination);
  return it == refused_.end() ? 0 : it->second;
}

bool DestinationHealth::Answer(const std::string& service, const std::string& destination, bool& known) {
  std::lock_guard<std::mutex> lock(mutex_);
  known = service.empty() || serving_.count(service) != 0;
  bool serving = service.empty() || (known && serving_[service]);
  if (!destination.empty()) {
    ++checks_[destination];
    auto it = failuresLeft_.find(destination);
    if (it != failuresLeft_.end()) {
      serving = false;
      ++refused_[destination];
      if (it->second > 0 && --it->second == 0) failuresLeft_.erase(it);
    }
  }
  return serving;
}

grpc::CallbackGenericService* DestinationHealth::NewServerFront() {
  class Front : public grpc::CallbackGenericService {
   public:
    explicit Front(DestinationHealth* owner) : owner_(owner) {}
    grpc::ServerGenericBidiReactor* CreateReactor(grpc::GenericCallbackServerContext* context) override {
      auto reactor = std::make_shared<Reactor>(owner_, context);
      reactor->Keep(reactor);
      return reactor.get();
    }

   private:
    DestinationHealth* const owner_;
  };
  std::lock_guard<std::mutex> lock(mutex_);
  fronts_.push_back(std::make_unique<Front>(this));
  return fronts_.back().get();
}

std::unique_ptr<grpc::Server> ServeWithDestinationHealth(
    const std::string& address, const std::vector<std::pair<grpc::Service*, std::string>>& services,
    DestinationHealth* health, int* port) {
  grpc::ServerBuilder builder;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), port);
  // gRPC's own health service would answer before ours could see the destination.
  builder.SetOption(std::make_unique<grpc::HealthCheckServiceServerBuilderOption>(nullptr));
  for (const auto& [service, name] : services) {
    builder.RegisterService(service);
    if (!name.empty()) health->SetServing(name, true);
  }
  builder.RegisterCallbackGenericService(health->NewServerFront());
  return builder.BuildAndStart();
}

bool WaitForChange(std::mutex& mutex, std::condition_variable& changed, const uint64_t& generation,
                   const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    const uint64_t seen = generation;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (generation != seen) continue;
    if (changed.wait_until(lock, deadline, [&] { return generation != seen; })) continue;
    lock.unlock();
    return pred();
  }
}

}  // namespace qbx::tools
