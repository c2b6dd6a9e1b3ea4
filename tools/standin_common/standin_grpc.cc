#include "tools/standin_common/standin_grpc.h"

#include <algorithm>
#include <cctype>

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
