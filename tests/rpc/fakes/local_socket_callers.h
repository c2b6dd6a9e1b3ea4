// Callers and a served echo for the tests of servers on Unix-domain sockets: a gRPC call over
// a fresh channel, raw callers that send what the test says, a transport that records the
// addresses it is told, and the listening descriptor of a socket found through the kernel.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "platform/rpc/connection.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"

namespace qbx {
namespace testing {

// The opening an HTTP/2 client sends first.
inline constexpr char kHttp2Preface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

class EchoService final : public zumbra::qbx::daemon::DaemonHealth::Service {
  grpc::Status Echo(grpc::ServerContext*, const zumbra::qbx::daemon::EchoMsg* request,
                    zumbra::qbx::daemon::EchoMsg* reply) override {
    reply->CopyFrom(*request);
    return grpc::Status::OK;
  }
};

class RecordingTransport : public rpc::TransportInterface {
 public:
  void GetConnection(const net::Endpoint&, ConnectHandler) override {}
  bool IsShutdown() const override { return false; }
  void Shutdown() override {}
  void SetLocalAddress(const std::string& address) override {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_.push_back(address);
  }
  std::vector<std::string> Addresses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return addresses_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> addresses_;
};

// One call over a fresh channel; waits for the socket up to a hang guard.
inline grpc::Status CallEcho(const std::string& target) {
  auto stub = zumbra::qbx::daemon::DaemonHealth::NewStub(grpc::CreateChannel(target, grpc::InsecureChannelCredentials()));
  grpc::ClientContext context;
  context.set_wait_for_ready(true);
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
  zumbra::qbx::daemon::EchoMsg request;
  zumbra::qbx::daemon::EchoMsg reply;
  return stub->Echo(&context, request, &reply);
}

// A raw caller that connects and sends `opening` (nothing when empty); -1 when it could not.
inline int ConnectRaw(const std::string& path, const std::string& opening = std::string()) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::send(fd, opening.data(), opening.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(opening.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The descriptor of the socket listening on `path` in this process, through the kernel's
// table of Unix-domain sockets; -1 when none.
inline int ListeningDescriptorOf(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::string inode;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, node, bound;
    if ((fields >> num >> refs >> protocol >> flags >> type >> state >> node >> bound) && bound == path) inode = node;
  }
  if (inode.empty()) return -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec).string() == "socket:[" + inode + "]") {
      return std::stoi(entry.path().filename().string());
    }
  }
  return -1;
}

}  // namespace testing
}  // namespace qbx
