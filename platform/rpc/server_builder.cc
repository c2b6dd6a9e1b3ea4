#include "platform/rpc/server_builder.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>
#include <grpcpp/server_posix.h>

#include <future>
#include <thread>

#include "base/own_directory.h"
#include "base/process_exit.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/open_calls.h"
#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace rpc {

namespace {

// The socket paths that servers of this process listen on, so that two servers of one
// service (one per forwarding peer) do not take each other's socket.
std::mutex& PathsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::set<std::string>& PathsInUse() {
  static auto* paths = new std::set<std::string>;
  return *paths;
}

// Claims `base` + ".sock", or the first free `base` + "-N.sock".
std::string ClaimSocketPath(const std::string& base) {
  std::lock_guard<std::mutex> lock(PathsMutex());
  std::string path = base + ".sock";
  for (int n = 2; PathsInUse().count(path) != 0; ++n) path = base + "-" + std::to_string(n) + ".sock";
  PathsInUse().insert(path);
  return path;
}

// Claims exactly `path`; false when a server of this process already listens there.
bool ClaimExactSocketPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(PathsMutex());
  return PathsInUse().insert(path).second;
}

void ReleaseSocketPathsOf(const std::vector<std::string>& paths) {
  std::lock_guard<std::mutex> lock(PathsMutex());
  for (const auto& p : paths) PathsInUse().erase(p);
}

}  // namespace

Server::Server(std::unique_ptr<grpc::Server> server, int port, std::vector<std::string> services,
               std::vector<std::string> socket_paths, std::vector<std::shared_ptr<OpenCalls>> openCalls,
               std::vector<ServiceOptions> options, std::vector<std::shared_ptr<LocalSocketAcceptor>> acceptors)
    : server_(std::move(server)),
      port_(port),
      services_(std::move(services)),
      socket_paths_(std::move(socket_paths)),
      acceptors_(std::move(acceptors)),
      openCalls_(std::move(openCalls)),
      options_(std::move(options)) {}

bool Server::Listening() const {
  for (const auto& acceptor : acceptors_) {
    if (!acceptor->listening()) return false;
  }
  return true;
}

std::optional<ServiceOptions> Server::OptionsOf(const std::string& service) const {
  for (size_t i = 0; i < services_.size(); ++i) {
    if (services_[i] == service) return i < options_.size() ? options_[i] : ServiceOptions{};
  }
  return std::nullopt;
}

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
  // No connection is handed to gRPC once it shuts down: the sockets stop listening first,
  // and go, and their paths are free for other servers of the process.
  for (const auto& acceptor : acceptors_) acceptor->Stop();
  ReleaseSocketPathsOf(socket_paths_);
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

namespace {

std::mutex& SocketDirMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::string& SocketDir() {
  static auto* dir = new std::string;
  return *dir;
}

// Makes `dir` when missing and checks that only this user can enter it: a real directory,
// not a link, owned by the effective user, mode 0700. The directory it is in (the daemon's
// run directory) is made too where missing, with explicit modes whatever the umask, and must
// be one that nobody else can change: whoever can write it could put a directory of their
// own in place of this one. Empty when it is so, otherwise why not.
std::string PrepareSocketDirectory(const std::string& dir) {
  const std::filesystem::path path(dir);
  if (path.has_parent_path() && path.parent_path() != path.root_path()) {
    if (std::string why = MakeOwnDirectory(path.parent_path().string(), 0755); !why.empty()) {
      return why + "; not listening there";
    }
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return "Cannot make '" + dir + "': " + std::strerror(errno);
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return "'" + dir + "' is not a directory of this user; not listening there";
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
    return "Cannot restrict '" + dir + "': " + std::strerror(errno);
  }
  return std::string();
}

// Readies `path` for a new listener: its directory closed to others, an old socket removed.
// A socket that something still answers on (another daemon, started beside this one after
// the instance lock was taken away) is never replaced: its owner would run on unreachable.
SocketPreparation PrepareSocketPath(const std::string& path) {
  const auto notYet = [](std::string why) {
    return SocketPreparation{SocketPreparation::Outcome::kNotYet, std::move(why)};
  };
  if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) {
    return notYet("Cannot listen on socket '" + path + "'");
  }
  const std::string dir = std::filesystem::path(path).parent_path().string();
  if (dir.empty()) return notYet("Cannot listen on socket '" + path + "'");
  if (std::string why = PrepareSocketDirectory(dir); !why.empty()) return notYet(std::move(why));
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  if (!S_ISSOCK(st.st_mode)) return notYet("Cannot replace '" + path + "'");
  int error = 0;
  switch (ProbeSocketListener(path, error)) {
    case SocketListener::kLive:
      return {SocketPreparation::Outcome::kLive, "'" + path + "' " + ServerBuilder::kLiveSocketRefusal};
    case SocketListener::kUnknown:
      return notYet("Cannot replace '" + path + "': " + std::strerror(error));
    case SocketListener::kStale:
      break;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return notYet("Cannot replace '" + path + "'");
  return {};
}

}  // namespace

void ServerBuilder::SetLocalSocketDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(SocketDirMutex());
  SocketDir() = directory;
}

std::string ServerBuilder::LocalSocketDirectory() {
  std::lock_guard<std::mutex> lock(SocketDirMutex());
  return SocketDir();
}

std::string ServerBuilder::LocalSocketPath(const std::string& directory, const std::string& service) {
  return directory + "/" + service + ".sock";
}

SocketPreparation ServerBuilder::PrepareLocalSocket(const std::string& path) { return PrepareSocketPath(path); }

ServerBuilder::ServerBuilder() = default;
ServerBuilder::ServerBuilder(TransportInterface* transport) : transport_(transport) {}
ServerBuilder::~ServerBuilder() = default;

ServerBuilder& ServerBuilder::AddListeningPort(const net::Endpoint& endpoint) {
  endpoints_.push_back(endpoint);
  return *this;
}

ServerBuilder& ServerBuilder::AddLocalSocket(const std::string& path) {
  socket_paths_.push_back(path);
  return *this;
}

ServerBuilder& ServerBuilder::RegisterService(grpc::Service* service, const std::string& full_name,
                                              const ServiceOptions& options) {
  services_.emplace_back(service, full_name);
  service_options_.push_back(options);
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

ServerBuilder& ServerBuilder::SetMaxReceiveMessageBytes(int bytes) {
  max_receive_message_bytes_ = bytes;
  return *this;
}

ServerBuilder& ServerBuilder::OnListening(std::function<void(int port)> listening) {
  listening_ = std::move(listening);
  return *this;
}

namespace {

std::mutex& ListenRetryMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

ListenRetrySettings& ListenRetryInUse() {
  static auto* settings = new ListenRetrySettings;
  return *settings;
}

}  // namespace

void ServerBuilder::SetListenRetry(const ListenRetrySettings& settings) {
  std::lock_guard<std::mutex> lock(ListenRetryMutex());
  ListenRetryInUse() = settings;
}

ListenRetrySettings ServerBuilder::GetListenRetry() {
  std::lock_guard<std::mutex> lock(ListenRetryMutex());
  return ListenRetryInUse();
}

std::unique_ptr<Server> ServerBuilder::BuildStarted() {
  HoldCallbackQueue();
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  int port = 0;
  const bool linked = endpoints_.empty() && socket_paths_.empty() && transport_ != nullptr;
  std::string local_address;
  std::string claimed_path;  // released again unless a server ends up listening there
  if (linked) {
    const std::string dir = LocalSocketDirectory();
    if (dir.empty()) {
      endpoints_.emplace_back("tcp://127.0.0.1:0");
    } else if (services_.empty()) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("No service to serve");
      return nullptr;
    } else {
      const std::string first = LocalSocketPath(dir, services_.front().second);
      claimed_path = ClaimSocketPath(first.substr(0, first.size() - std::string(".sock").size()));
      socket_paths_.push_back(claimed_path);
      local_address = "unix:" + claimed_path;
    }
  }
  // Every socket path is claimed for this server (or taken over from the claim above), and
  // so removed when it stops; none is taken from another server of this process.
  std::vector<std::string> owned;
  if (!claimed_path.empty()) owned.push_back(claimed_path);
  for (const auto& path : socket_paths_) {
    if (path == claimed_path) continue;
    if (!ClaimExactSocketPath(path)) {
      ReleaseSocketPathsOf(owned);
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("'%s' is served already", path.c_str());
      return nullptr;
    }
    owned.push_back(path);
  }
  for (const auto& e : endpoints_) {
    if (!e.is_tcp()) {
      ReleaseSocketPathsOf(owned);
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
  builder.SetMaxReceiveMessageSize(max_receive_message_bytes_ >= 0 ? max_receive_message_bytes_ : max_message_bytes_);
  builder.SetMaxSendMessageSize(max_message_bytes_);
  // gRPC's default ping policy, as every peer keeps it: our own clients fit it, and so must
  // anybody else's.
  auto server = builder.BuildAndStart();
  if (!server || (!endpoints_.empty() && port == 0)) {
    ReleaseSocketPathsOf(owned);
    QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("Failed to start server");
    return nullptr;
  }
  if (auto* health = server->GetHealthCheckService()) {
    for (const auto& n : names) health->SetServingStatus(n, true);
  }
  for (const auto& calls : openCalls_) calls->Open();

  // The sockets: the server exists, so each accepted connection has somewhere to go.
  const ListenRetrySettings retry = GetListenRetry();
  std::vector<std::shared_ptr<LocalSocketAcceptor>> acceptors;
  grpc::Server* const target = server.get();
  TransportInterface* const transport = linked ? transport_ : nullptr;
  for (const auto& path : owned) {
    LocalSocketAcceptor::Options options;
    options.handOver = [target](int fd) { grpc::AddInsecureChannelFromFd(target, fd); };
    options.retry = retry;
    options.listening = [transport, local_address, listening = listening_] {
      if (transport != nullptr && !local_address.empty()) transport->SetLocalAddress(local_address);
      if (listening) listening(0);
    };
    acceptors.push_back(LocalSocketAcceptor::Create(path, std::move(options)));
  }
  auto result = std::make_unique<Server>(std::move(server), port, std::move(names), std::move(owned), openCalls_,
                                         service_options_, acceptors);
  for (const auto& acceptor : acceptors) {
    const std::string why = acceptor->Start();
    if (!why.empty() && retry.provider == nullptr) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("%s", why.c_str());
      result->Shutdown();
      return nullptr;
    }
  }
  if (acceptors.empty()) {
    if (linked) transport_->SetLocalAddress("tcp://127.0.0.1:" + std::to_string(port));
    if (listening_) listening_(port);
  }
  return result;
}

}  // namespace rpc
}  // namespace qbx
