#include "firewall/cli_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <filesystem>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/json_file.h"
#include "base/logger.h"
#include "base/process_exit.h"

namespace {

constexpr const char* kSubcomp = "agg-service";

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

CliCommandTable& CliCommandTable::Global() {
  static auto* table = new CliCommandTable;  // never destroyed: the server thread may outlive main
  return *table;
}

int CliCommandTable::Register(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
                              Handler handler) {
  if (name.empty() || !handler || minArgs < 0 || maxArgs < minArgs) return -1;
  std::lock_guard<std::mutex> lock(mutex);
  return commands.emplace(name, Command{usage, minArgs, maxArgs, std::move(handler)}).second ? 0 : -1;
}

CliReply CliCommandTable::Dispatch(const std::string& name, const std::vector<std::string>& args) const {
  Command command;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = commands.find(name);
    if (found == commands.end()) return {false, "\"" + name + "\" is not a valid command"};
    command = found->second;
  }
  const int count = static_cast<int>(args.size());
  if (count < command.minArgs) {
    return {false, "\"" + name + "\" command requires at least " + std::to_string(command.minArgs) +
                       " arguments (usage: " + name + " " + command.usage + ")"};
  }
  if (count > command.maxArgs) {
    return {false, "\"" + name + "\" command takes at most " + std::to_string(command.maxArgs) +
                       " arguments (usage: " + name + " " + command.usage + ")"};
  }
  try {
    return command.handler(args);
  } catch (const std::exception& e) {
    return {false, "\"" + name + "\" failed: " + e.what()};
  } catch (...) {
    return {false, "\"" + name + "\" failed"};
  }
}

std::vector<std::string> CliCommandTable::Names() const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> names;
  for (const auto& entry : commands) names.push_back(entry.first);
  return names;
}

CommonCliServer* CommonCliServer::GetInstance() {
  static std::mutex mutex;
  static CommonCliServer* instance = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (instance == nullptr) instance = new CommonCliServer(kSocketPath);
  return instance;
}

CommonCliServer::CommonCliServer(std::string socketPath, CliCommandTable& table,
                                 std::chrono::milliseconds requestTimeout, std::shared_ptr<const qbx::Clock> clock)
    : socketPath(std::move(socketPath)),
      table(table),
      requestTimeout(requestTimeout),
      clock(clock ? std::move(clock) : std::make_shared<qbx::SteadyClock>()) {}

CommonCliServer::~CommonCliServer() {
  RemoveSocketFile();
  CloseSockets();
}

void CommonCliServer::RemoveSocketFile() {
  std::lock_guard<std::mutex> lock(socketFileMutex);
  if (socketFileHandle == 0) return;
  qbx::RemoveRegisteredSocketFile(socketFileHandle);
  socketFileHandle = 0;
}

void CommonCliServer::CloseSockets() {
  CloseFd(listenFd);
  std::lock_guard<std::mutex> lock(stopMutex);
  CloseFd(wakeFds[0]);
  CloseFd(wakeFds[1]);
}

int CommonCliServer::Open() {
  if (listenFd >= 0) return 0;
  sockaddr_un address{};
  if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[CLI][%s] Invalid socket path %s", "Open", socketPath.c_str());
    return -1;
  }
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(socketPath).parent_path(), ignored);
  // Only a stale socket is replaced; any other file at the path is left alone.
  struct stat existing{};
  if (::lstat(socketPath.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) ::unlink(socketPath.c_str());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 16) != 0) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[CLI][%s] Cannot listen on %s: %s", "Open", socketPath.c_str(), std::strerror(errno));
    ::close(fd);
    return -1;
  }
  ::chmod(socketPath.c_str(), 0600);
  {
    // Removed by the process's exit too, which runs no destructor.
    std::lock_guard<std::mutex> lock(socketFileMutex);
    socketFileHandle = qbx::RegisterSocketFile(socketPath);
  }
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
      ::close(fd);
      return -1;
    }
  }
  listenFd = fd;
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[CLI][%s] Listening on %s", "Open", socketPath.c_str());
  return 0;
}

int CommonCliServer::Start() {
  if (Open() != 0) return -1;
  return Serve();
}

void CommonCliServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    stopRequested = true;
    if (wakeFds[1] >= 0) {
      ssize_t ignored = ::write(wakeFds[1], "x", 1);
      (void)ignored;
    }
  }
  recheckCond.notify_all();
}

void CommonCliServer::RecheckDeadlinesForTest() {
  std::unique_lock<std::mutex> lock(stopMutex);
  const uint64_t request = ++recheckRequested;
  if (wakeFds[1] < 0) return;
  ssize_t ignored = ::write(wakeFds[1], "x", 1);
  (void)ignored;
  recheckCond.wait(lock, [&] { return recheckDone >= request || stopRequested; });
}

int CommonCliServer::Serve() {
  if (listenFd < 0) return -1;
  std::vector<Client> clients;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(stopMutex);
      if (stopRequested) break;
    }
    std::vector<pollfd> fds;
    fds.push_back({wakeFds[0], POLLIN, 0});
    // A full house stops accepting until a client leaves, rather than dropping anyone.
    fds.push_back({listenFd, static_cast<short>(clients.size() < kMaxClients ? POLLIN : 0), 0});
    for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
    // Wake up for the first deadline.
    int waitMs = -1;
    if (!clients.empty()) {
      auto first = std::min_element(clients.begin(), clients.end(), [](const Client& a, const Client& b) {
                     return a.deadline < b.deadline;
                   })->deadline;
      auto left = std::chrono::ceil<std::chrono::milliseconds>(first - clock->Now());
      waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000));
    }
    if (::poll(fds.data(), fds.size(), waitMs) < 0) {
      if (errno == EINTR) continue;
      QBX_LOG(qbx::loglevel::kError).subcomp(kSubcomp).put("[CLI][%s] poll failed: %s", "Serve", std::strerror(errno));
      break;
    }
    if (fds[0].revents != 0) {
      char drain[16];
      while (::read(wakeFds[0], drain, sizeof(drain)) > 0) {
      }
    }
    // A recheck asked for before the wake-up is answered by the deadline pass below.
    uint64_t recheckSeen;
    {
      std::lock_guard<std::mutex> lock(stopMutex);
      if (stopRequested) break;
      recheckSeen = recheckRequested;
    }
    std::vector<Client> kept;
    // Taken before anything is read: a request that begins in this round has its deadline
    // counted from here.
    const auto now = clock->Now();
    for (size_t i = 0; i < clients.size(); ++i) {
      Client& client = clients[i];
      if (fds[i + 2].revents != 0 && !ServeClient(client, now)) {
        CloseFd(client.fd);
        continue;
      }
      // Bytes that keep arriving do not move the deadline: only a whole request does.
      if (now >= client.deadline) {
        QBX_LOG(qbx::loglevel::kInfo)
            .subcomp(kSubcomp)
            .put(client.buffer.empty() ? "[CLI][%s] Closing a connection without a request for %lld ms on %s"
                                       : "[CLI][%s] Closing a connection whose request took over %lld ms on %s",
                 "Serve", static_cast<long long>(requestTimeout.count()), socketPath.c_str());
        CloseFd(client.fd);
        continue;
      }
      kept.push_back(std::move(client));
    }
    clients = std::move(kept);
    {
      std::lock_guard<std::mutex> lock(stopMutex);
      recheckDone = recheckSeen;
    }
    recheckCond.notify_all();
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        // A client that stops reading cannot hold the server for long.
        timeval timeout{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        clients.push_back(Client{fd, {}, clock->Now() + requestTimeout});
      }
    }
  }
  for (Client& client : clients) CloseFd(client.fd);
  RemoveSocketFile();
  CloseSockets();
  return 0;
}

bool CommonCliServer::ServeClient(Client& client, qbx::Clock::time_point readAt) {
  char chunk[4096];
  ssize_t n = ::recv(client.fd, chunk, sizeof(chunk), 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  // A request begins with this read when nothing of one was pending.
  bool requestBegins = client.buffer.empty();
  client.buffer.append(chunk, static_cast<size_t>(n));
  size_t from = 0;
  for (;;) {
    bool malformed = false;
    auto end = FindMessageEnd(client.buffer, from, malformed);
    if (malformed) {
      QBX_LOG(qbx::loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("[CLI][%s] Malformed request on %s; closing the connection", "ServeClient", socketPath.c_str());
      return false;
    }
    if (!end) break;
    std::string reply = HandleRequest(client.buffer.substr(from, *end - from));
    from = *end;
    requestBegins = true;  // whatever follows a whole request is the start of the next one
    if (!reply.empty() && !SendAll(client.fd, reply)) return false;
  }
  client.buffer.erase(0, from);
  if (requestBegins) client.deadline = readAt + requestTimeout;
  if (client.buffer.size() > kMaxRequestBytes) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("[CLI][%s] Request over %zu bytes on %s; closing the connection", "ServeClient", kMaxRequestBytes,
             socketPath.c_str());
    return false;
  }
  return true;
}

std::optional<size_t> CommonCliServer::FindMessageEnd(const std::string& buffer, size_t from, bool& malformed) {
  malformed = false;
  size_t i = from;
  while (i < buffer.size() && std::isspace(static_cast<unsigned char>(buffer[i]))) ++i;
  if (i == buffer.size()) return std::nullopt;
  if (buffer[i] != '{') {
    malformed = true;
    return std::nullopt;
  }
  std::string open;  // the brackets still open, innermost last
  qbx::JsonStringTracker strings;
  for (; i < buffer.size(); ++i) {
    char c = buffer[i];
    if (!strings.Structural(c)) continue;
    if (c == '{' || c == '[') {
      // Deeper requests are refused here, before any recursive parser or copy sees them.
      if (open.size() >= qbx::kMaxJsonNesting) {
        malformed = true;
        return std::nullopt;
      }
      open.push_back(c);
    } else if (c == '}' || c == ']') {
      if (open.empty() || open.back() != (c == '}' ? '{' : '[')) {
        malformed = true;
        return std::nullopt;
      }
      open.pop_back();
      if (open.empty()) return i + 1;
    }
  }
  return std::nullopt;
}

std::string CommonCliServer::HandleRequest(const std::string& text) const {
  nlohmann::json reply = {{"result", nullptr}, {"error", nullptr}, {"id", nullptr}};
  if (qbx::JsonNestingDepth(text) > qbx::kMaxJsonNesting) {
    reply["error"] = "invalid JSON-RPC request: nested too deep";
    return reply.dump();
  }
  nlohmann::json request = nlohmann::json::parse(text, nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    reply["error"] = "invalid JSON-RPC request";
    return reply.dump();
  }
  if (request.contains("id")) reply["id"] = request["id"];
  const bool notification = !request.contains("id") || request["id"].is_null();
  auto method = request.find("method");
  auto params = request.find("params");
  std::vector<std::string> args;
  bool valid = method != request.end() && method->is_string() && params != request.end() && params->is_array();
  if (valid) {
    for (const auto& param : *params) {
      if (!param.is_string()) {
        valid = false;
        break;
      }
      args.push_back(param.get<std::string>());
    }
  }
  if (!valid) {
    if (notification) return {};
    reply["error"] = "invalid JSON-RPC request: \"method\" must be a string and \"params\" an array of strings";
    return reply.dump();
  }
  const std::string name = method->get<std::string>();
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[CLI][%s] Command %s", "HandleRequest", name.c_str());
  CliReply answer = table.Dispatch(name, args);
  if (notification) return {};
  if (answer.ok) {
    reply["result"] = answer.text;
  } else {
    reply["error"] = answer.text;
  }
  return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
