// Servers: a gRPC server with the health service answering per registered service.
//
// Peers check a service's health before they make a stub for it, so a server can refuse one
// service (SetServing(name, false)) while its connections stay up.
//
// Unix-domain sockets are listened on by our own acceptor (local_socket_acceptor.h), which
// hands each connection to the gRPC server: a socket that cannot listen is tried again on
// the process's retry schedule (SetListenRetry), as is one whose path no longer leads to it;
// the connections are bounded, one that never opens the protocol is closed after a deadline,
// and a burst at the descriptor limit only pauses accepting. TCP ports are gRPC's own.
//
// A server never waits unbounded in its shutdown: it first ends the open calls of the
// services that track them (see open_calls.h), and gives up waiting for gRPC after a bound,
// leaving the server behind rather than the process hanging.
//
// Threading: Server's operations may be called from any thread; Shutdown is idempotent.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/rpc/endpoint.h"
#include "platform/rpc/local_socket_acceptor.h"

namespace grpc {
class Server;
class Service;
}  // namespace grpc

namespace qbx {
namespace rpc {

class TransportInterface;
class OpenCalls;

// The options a service is registered with: four 32-bit fields, zero unless the caller sets
// them. The server keeps them with the service.
struct ServiceOptions {
  std::array<uint32_t, 4> fields{};
  bool operator==(const ServiceOptions&) const = default;
};

class Server {
 public:
  // How long a shutdown waits for gRPC beyond its grace before it gives up.
  static constexpr std::chrono::milliseconds kShutdownBound{5000};

  Server(std::unique_ptr<grpc::Server> server, int port, std::vector<std::string> services,
         std::vector<std::string> socket_paths = {}, std::vector<std::shared_ptr<OpenCalls>> openCalls = {},
         std::vector<ServiceOptions> options = {},
         std::vector<std::shared_ptr<LocalSocketAcceptor>> acceptors = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The bound port (the chosen one when the endpoint asked for port 0).
  int port() const { return port_; }
  const std::vector<std::string>& services() const { return services_; }
  // The options `service` was registered with; none when it is not served here.
  std::optional<ServiceOptions> OptionsOf(const std::string& service) const;
  void SetServing(const std::string& service, bool serving);
  // True when every Unix-domain socket of the server listens (one that could not yet is
  // being tried again).
  bool Listening() const;
  // Ends the tracked open calls at once and every other call after `grace`, and stops
  // listening. Returns after at most grace + bound.
  void Shutdown(std::chrono::milliseconds grace = std::chrono::milliseconds(0),
                std::chrono::milliseconds bound = kShutdownBound);
  void Wait();

 private:
  std::unique_ptr<grpc::Server> server_;
  const int port_;
  const std::vector<std::string> services_;
  const std::vector<std::string> socket_paths_;  // free for other servers of the process at Shutdown
  // Listen on socket_paths_; they remove their socket files when they stop (and register
  // them with the process's exit, which removes them too: base/process_exit.h).
  const std::vector<std::shared_ptr<LocalSocketAcceptor>> acceptors_;
  const std::vector<std::shared_ptr<OpenCalls>> openCalls_;
  const std::vector<ServiceOptions> options_;  // one per entry of services_
  std::mutex mutex_;  // serialises Shutdown
  bool shut_down_ = false;
};

class ServerBuilder {
 public:
  ServerBuilder();
  // The builder of a provider's RPC side: without a listening port of its own it listens in
  // the local socket directory (or on a free loopback port without one), and once it listens
  // it tells `transport` that address, so that the forwarding peer can route the ids served
  // here to it.
  explicit ServerBuilder(TransportInterface* transport);
  ~ServerBuilder();
  ServerBuilder(ServerBuilder&&) = default;
  ServerBuilder& operator=(ServerBuilder&&) = default;

  // "tcp://HOST:PORT"; port 0 picks a free port.
  ServerBuilder& AddListeningPort(const net::Endpoint& endpoint);
  // A Unix-domain socket at `path`, whose directory only this process's user may enter:
  // the directory is made with mode 0700 when missing, and the socket cannot listen while it
  // is not a real directory owned by this user, or while the directory it is in can be
  // changed by others. A stale socket at `path` is replaced, but not one that a process
  // listens on, nor the socket of another server of this process (that server is refused). The server
  // removes the socket when it stops.
  ServerBuilder& AddLocalSocket(const std::string& path);
  // `full_name` is the package-qualified service name the health service answers for.
  ServerBuilder& RegisterService(grpc::Service* service, const std::string& full_name,
                                 const ServiceOptions& options = {});
  template <class Generated>
  ServerBuilder& RegisterService(grpc::Service* service, const ServiceOptions& options = {}) {
    return RegisterService(service, Generated::service_full_name(), options);
  }
  ServerBuilder& SetMaxMessageBytes(int bytes);
  // Caps what one request may hold (default: the message limit above).
  ServerBuilder& SetMaxReceiveMessageBytes(int bytes);

  // Where builders tied to a transport listen from now on, process-wide: a directory for
  // their Unix-domain sockets (named after the first registered service), or empty for a
  // free loopback TCP port. The daemon serves its inbound services there so that only its
  // own user (the local proxies run as root) can call them.
  static void SetLocalSocketDirectory(const std::string& directory);
  static std::string LocalSocketDirectory();
  // The socket path of `service` in `directory`.
  static std::string LocalSocketPath(const std::string& directory, const std::string& service);
  // Readies `path` as a server would (its directory made and closed to others, a stale
  // socket removed) without listening: ready when a server can listen there, otherwise why
  // not; nothing is logged. A socket that a process still listens on is never replaced: it
  // is found live, the reason the quoted path followed by kLiveSocketRefusal.
  static SocketPreparation PrepareLocalSocket(const std::string& path);
  static constexpr const char* kLiveSocketRefusal = "is live: another process listens there; not replacing it";
  // The open calls of a registered service: opened when the server starts, ended when it
  // shuts down.
  ServerBuilder& TrackOpenCalls(std::shared_ptr<OpenCalls> calls);
  // Runs each time one of the server's sockets starts listening, with the bound TCP port (0
  // for a server on sockets only): inside BuildStarted for those that listen at once, later
  // on the retry's provider for one that listens after a retry. Not after Shutdown returned.
  ServerBuilder& OnListening(std::function<void(int port)> listening);

  // How servers built from now on, process-wide, try again when a Unix-domain socket cannot
  // listen: without a provider (the default) the first try is the only one and BuildStarted
  // fails with it; with one, the server is built and its socket is tried again on
  // `settings.schedule`, `settings.giveUp` running once after the schedule's bound. The
  // provider must outlive those servers.
  static void SetListenRetry(const ListenRetrySettings& settings);
  static ListenRetrySettings GetListenRetry();

  // Null when the server could not start (for example the port is taken, or a socket
  // cannot listen and no retry is set). Once a builder tied to a transport listens on its
  // socket, the transport (which must outlive the server) is told its address.
  std::unique_ptr<Server> BuildStarted();

 private:
  TransportInterface* transport_ = nullptr;
  std::vector<net::Endpoint> endpoints_;
  std::vector<std::string> socket_paths_;
  std::vector<std::pair<grpc::Service*, std::string>> services_;
  std::vector<ServiceOptions> service_options_;  // one per entry of services_
  std::vector<std::shared_ptr<OpenCalls>> openCalls_;
  int max_message_bytes_ = 64 * 1024 * 1024;
  int max_receive_message_bytes_ = -1;
  std::function<void(int port)> listening_;
};

}  // namespace rpc
}  // namespace qbx
