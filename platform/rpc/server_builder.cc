#include "platform/rpc/server_builder.h"

#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>

#include <future>
#include <thread>

#include "platform/rpc/connection.h"
#include "platform/rpc/open_calls.h"
#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace rpc {

Server::Server(std::unique_ptr<grpc::Server> server, int port, std::vector<std::string> services,
               std::vector<std::shared_ptr<OpenCalls>> openCalls)
    : server_(std::move(server)), port_(port), services_(std::move(services)), openCalls_(std::move(openCalls)) {}

Server::~Server() { Shutdown(); }

void Server::SetServing(const std::string& service, bool serving) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!server_) return;  // left behind by a shutdown
  if (auto* health = server_->GetHealthCheckService()) health->SetServingStatus(service, serving);
}

void Server::Shutdown(std::chrono::milliseconds grace, std::chrono::milliseconds bound) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return;
  shut_down_ = true;
  // gRPC's shutdown waits for every accepted call to finish: end the calls that only an
  // application could finish, and refuse those that still come in.
  for (const auto& calls : openCalls_) {
    if (const size_t ended = calls->Close(); ended > 0) {
      QBX_RPC_LOG(loglevel::kInfo).put("Server on port %d: ended %zu open call(s) at shutdown", port_, ended);
    }
  }
  // The waiter owns the server once the wait below gives up on it.
  struct Handoff {
    std::mutex mutex;
    bool done = false;
    std::unique_ptr<grpc::Server> orphan;
  };
  auto handoff = std::make_shared<Handoff>();
  grpc::Server* server = server_.get();
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  const auto deadline = std::chrono::system_clock::now() + grace;
  const int port = port_;
  std::thread waiter([server, deadline, done, handoff, port] {
    server->Shutdown(deadline);
    server->Wait();
    std::unique_ptr<grpc::Server> orphan;
    {
      std::lock_guard<std::mutex> lock(handoff->mutex);
      handoff->done = true;
      orphan = std::move(handoff->orphan);
    }
    done->set_value();
    if (orphan) {
      orphan.reset();
      QBX_RPC_LOG(loglevel::kInfo).put("Server on port %d: shutdown completed late", port);
    }
  });
  if (finished.wait_for(grace + bound) != std::future_status::ready) {
    std::lock_guard<std::mutex> lock(handoff->mutex);
    if (!handoff->done) {
      // A call that nobody finishes holds gRPC's shutdown for ever; the process must still
      // be able to stop. The server is left to the waiter, which frees it if the shutdown
      // ever completes.
      QBX_RPC_LOG(loglevel::kError)
          .tag("errorCode:RPC201")
          .put("Server on port %d: shutdown still waiting for calls after %lld ms, leaving it behind", port_,
               static_cast<long long>((grace + bound).count()));
      handoff->orphan = std::move(server_);
      waiter.detach();
      return;
    }
  }
  waiter.join();
}

void Server::Wait() {
  grpc::Server* server = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server = server_.get();
  }
  if (server) server->Wait();
}

ServerBuilder::ServerBuilder() = default;
ServerBuilder::ServerBuilder(TransportInterface* transport) : transport_(transport) {}
ServerBuilder::~ServerBuilder() = default;

ServerBuilder& ServerBuilder::AddListeningPort(const net::Endpoint& endpoint) {
  endpoints_.push_back(endpoint);
  return *this;
}

ServerBuilder& ServerBuilder::RegisterService(grpc::Service* service, const std::string& full_name) {
  services_.emplace_back(service, full_name);
  return *this;
}

ServerBuilder& ServerBuilder::TrackOpenCalls(std::shared_ptr<OpenCalls> calls) {
  if (calls) openCalls_.push_back(std::move(calls));
  return *this;
}

ServerBuilder& ServerBuilder::SetMaxMessageBytes(int bytes) {
  max_message_bytes_ = bytes;
  return *this;
}

std::unique_ptr<Server> ServerBuilder::BuildStarted() {
  HoldCallbackQueue();
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  int port = 0;
  const bool loopback = endpoints_.empty() && transport_ != nullptr;
  if (loopback) endpoints_.emplace_back("tcp://127.0.0.1:0");
  for (const auto& e : endpoints_) {
    if (!e.is_tcp()) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("Cannot listen on '%s'", e.uri().c_str());
      return nullptr;
    }
    builder.AddListeningPort(e.GrpcTarget(), grpc::InsecureServerCredentials(), &port);
  }
  std::vector<std::string> names;
  for (auto& [service, name] : services_) {
    builder.RegisterService(service);
    names.push_back(name);
  }
  builder.SetMaxReceiveMessageSize(max_message_bytes_);
  builder.SetMaxSendMessageSize(max_message_bytes_);
  // Clients keep their connections alive with pings; do not punish them for it.
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, 1000);
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MAX_PING_STRIKES, 0);
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  auto server = builder.BuildAndStart();
  if (!server || (!endpoints_.empty() && port == 0)) {
    QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("Failed to start server");
    return nullptr;
  }
  if (auto* health = server->GetHealthCheckService()) {
    for (const auto& n : names) health->SetServingStatus(n, true);
  }
  if (loopback) transport_->SetLocalAddress("tcp://127.0.0.1:" + std::to_string(port));
  for (const auto& calls : openCalls_) calls->Open();
  return std::make_unique<Server>(std::move(server), port, std::move(names), openCalls_);
}

}  // namespace rpc
}  // namespace qbx
