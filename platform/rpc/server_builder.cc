#include "platform/rpc/server_builder.h"

#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>

#include "platform/rpc/connection.h"
#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace rpc {

Server::Server(std::unique_ptr<grpc::Server> server, int port, std::vector<std::string> services)
    : server_(std::move(server)), port_(port), services_(std::move(services)) {}

Server::~Server() { Shutdown(); }

void Server::SetServing(const std::string& service, bool serving) {
  if (auto* health = server_->GetHealthCheckService()) health->SetServingStatus(service, serving);
}

void Server::Shutdown(std::chrono::milliseconds grace) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return;
  shut_down_ = true;
  server_->Shutdown(std::chrono::system_clock::now() + grace);
  server_->Wait();
}

void Server::Wait() { server_->Wait(); }

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
  // gRPC's default ping policy, as every peer keeps it: our own clients fit it, and so must
  // anybody else's.
  auto server = builder.BuildAndStart();
  if (!server || (!endpoints_.empty() && port == 0)) {
    QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("Failed to start server");
    return nullptr;
  }
  if (auto* health = server->GetHealthCheckService()) {
    for (const auto& n : names) health->SetServingStatus(n, true);
  }
  if (loopback) transport_->SetLocalAddress("tcp://127.0.0.1:" + std::to_string(port));
  return std::make_unique<Server>(std::move(server), port, std::move(names));
}

}  // namespace rpc
}  // namespace qbx
