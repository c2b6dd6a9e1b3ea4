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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/json_file.h"
#include "base/logger.h"
#include "base/own_directory.h"
#include "base/process_exit.h"

namespace {

constexpr const char* kSubcomp = "agg-service";
// What one read of a connection takes at most.
constexpr size_t kReadChunk = 4096;
// Reads enough for the largest request there can be, and a little white space around it.
constexpr int kReadsAtDeadline = static_cast<int>(CommonCliServer::kMaxRequestBytes / kReadChunk) + 2;

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Whether `fd` has something to read (or its peer closed) right now.
bool HasInput(int fd) {
  pollfd one{fd, POLLIN, 0};
  return ::poll(&one, 1, 0) > 0 && one.revents != 0;
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

int CommonCliServer::ProbeExistingSocket(const std::string& path, std::string& why) {
  struct stat existing{};
  if (::lstat(path.c_str(), &existing) != 0) {
    if (errno == ENOENT) return 0;
    why = std::string("cannot look at the file there: ") + std::strerror(errno);
    return -1;
  }
  if (!S_ISSOCK(existing.st_mode)) {
    why = "a file that is not a socket is there";
    return -1;
  }
  int error = 0;
  switch (qbx::ProbeSocketListener(path, error)) {
    case qbx::SocketListener::kLive:
      why = "a server is listening there; its socket is left alone";
      return 1;
    case qbx::SocketListener::kStale:
      // Left by a process that ended without removing it, or removed since it was looked at.
      return 0;
    case qbx::SocketListener::kUnknown:
      break;
  }
  why = std::string("cannot tell whether a server listens there: ") + std::strerror(error);
  return -1;
}

int CommonCliServer::BindPrivately(bool replaceStale, qbx::FileIdentity& bound, std::string& why) {
  // The socket is made in a folder that only this user can enter and gets its mode there:
  // bound at its path directly it would be reachable with the umask's mode, before a chmod,
  // and changing the umask would change it for every thread of the process.
  std::filesystem::path target(socketPath);
  std::string folder = target.parent_path().string();
  if (folder.empty()) folder = ".";
  std::string privateFolder = folder + "/.cli-XXXXXX";
  if (::mkdtemp(privateFolder.data()) == nullptr) {
    why = std::string("cannot make a private folder beside it: ") + std::strerror(errno);
    return -1;
  }
  const std::string privatePath = privateFolder + "/s";
  auto cleanUp = [&] {
    ::unlink(privatePath.c_str());
    ::rmdir(privateFolder.c_str());
  };
  sockaddr_un address{};
  if (privatePath.size() >= sizeof(address.sun_path)) {
    why = "the path is too long";
    cleanUp();
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::strerror(errno);
    cleanUp();
    return -1;
  }
  auto fail = [&] {
    why = std::strerror(errno);
    ::close(fd);
    cleanUp();
    return -1;
  };
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, privatePath.c_str(), privatePath.size() + 1);
  if (::chmod(privateFolder.c_str(), 0700) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::chmod(privatePath.c_str(), 0600) != 0 || ::listen(fd, static_cast<int>(kMaxClients)) != 0) {
    return fail();
  }
  // Taken before the move, which keeps the file: what the path leads to afterwards may
  // already be somebody else's.
  const std::optional<qbx::FileIdentity> identity = qbx::IdentityOfPath(privatePath);
  if (!identity) return fail();
  bound = *identity;
  // A stale socket is replaced in one step; anything that appeared at the path since it was
  // looked at is not.
  int moved;
  if (replaceStale) {
    moved = ::rename(privatePath.c_str(), socketPath.c_str());
  } else {
    moved = ::renameat2(AT_FDCWD, privatePath.c_str(), AT_FDCWD, socketPath.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without the no-replace rename: a link never replaces either.
      moved = ::link(privatePath.c_str(), socketPath.c_str());
    }
  }
  if (moved != 0) return fail();
  cleanUp();
  return fd;
}

int CommonCliServer::Open() {
  if (listenFd >= 0) return 0;
  // On the way out nothing listens again.
  if (qbx::ProcessIsEnding()) {
    openFailure = "the process is ending";
    return -1;
  }
  sockaddr_un address{};
  auto refuse = [&](const std::string& why) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[CLI][%s] Cannot listen on %s: %s", "Open", socketPath.c_str(), why.c_str());
    openFailure = why;
    return -1;
  };
  if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[CLI][%s] Invalid socket path %s", "Open", socketPath.c_str());
    openFailure = "invalid socket path";
    return -1;
  }
  // Missing folders are made open to nobody but their owner for writing, whatever the umask,
  // and the folder and its parents must be the daemon's to change, as for the inbound sockets.
  const std::string folder = std::filesystem::path(socketPath).parent_path().string();
  if (std::string why = folder.empty() ? std::string() : qbx::MakeOwnDirectory(folder, 0755); !why.empty()) {
    return refuse(why);
  }
  // A file at the path is replaced only when it is a socket nobody listens on any more: a
  // daemon still serving there (one that lost its instance lock file) keeps its socket.
  std::string why;
  const int existing = ProbeExistingSocket(socketPath, why);
  if (existing != 0) {
    refuse(why);
    return existing > 0 ? kSocketLive : -1;
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return refuse(std::strerror(errno));
  struct stat stale{};
  const bool replaceStale = ::lstat(socketPath.c_str(), &stale) == 0;
  qbx::FileIdentity bound;
  int fd = BindPrivately(replaceStale, bound, why);
  if (fd < 0) {
    ::close(wake[0]);
    ::close(wake[1]);
    return refuse(why);
  }
  {
    // Removed by the process's exit too, which runs no destructor; registered with the
    // identity it was bound as, so that a file put there since is never taken for ours.
    std::lock_guard<std::mutex> lock(socketFileMutex);
    socketFileHandle = qbx::RegisterSocketFile(socketPath, bound);
  }
  if (socketFileHandle == 0) {
    // The process began to end meanwhile: the file goes with it.
    openFailure = "the process is ending";
    ::close(fd);
    ::close(wake[0]);
    ::close(wake[1]);
    qbx::RemoveIfStill(socketPath, bound);
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    wakeFds[0] = wake[0];
    wakeFds[1] = wake[1];
  }
  listenFd = fd;
  boundFile = bound;
  nextPathCheck = clock->Now() + kPathCheckInterval;
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

void CommonCliServer::SetAcceptForTest(std::function<int(int listenFd)> accept) { acceptCall = std::move(accept); }

int CommonCliServer::Serve() {
  if (listenFd < 0) return -1;
  std::vector<Client> clients;
  bool pathLost = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(stopMutex);
      if (stopRequested) break;
    }
    // The listening socket rests while accepting fails for want of resources: polled, a
    // waiting client would wake the loop at once, again and again.
    const bool acceptPaused = clock->Now() < acceptResumeAt;
    std::vector<pollfd> fds;
    fds.push_back({wakeFds[0], POLLIN, 0});
    // Polled with a full house too: a waiting client makes room for itself (AcceptClient).
    fds.push_back({listenFd, static_cast<short>(acceptPaused ? 0 : POLLIN), 0});
    for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
    // Wake up for the first deadline, the end of the pause or the next look at the path.
    qbx::Clock::time_point first = nextPathCheck;
    if (acceptPaused) first = std::min(first, acceptResumeAt);
    for (const Client& client : clients) first = std::min(first, client.deadline);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(first - clock->Now());
    const int waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000));
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
    for (size_t i = 0; i < clients.size(); ++i) {
      Client& client = clients[i];
      if (fds[i + 2].revents != 0 && !ServeClient(client)) {
        CloseFd(client.fd);
        continue;
      }
      // What the client sent while others were served (or beyond one read) came before the
      // clock was read here: it is read and answered before the deadline is held against it.
      bool open = true;
      for (int reads = 0; open && reads < kReadsAtDeadline && clock->Now() >= client.deadline && HasInput(client.fd);
           ++reads) {
        open = ServeClient(client);
      }
      if (!open) {
        CloseFd(client.fd);
        continue;
      }
      // Read after the client was served: time spent in handlers counts, and a deadline that
      // a reply just moved is not looked at with a time from before it.
      if (clock->Now() >= client.deadline) {
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
    if (const auto now = clock->Now(); now >= nextPathCheck) {
      nextPathCheck = now + kPathCheckInterval;
      pathLost = !SocketFileIsAtItsPath();
    }
    {
      std::lock_guard<std::mutex> lock(stopMutex);
      recheckDone = recheckSeen;
    }
    recheckCond.notify_all();
    if (pathLost) break;
    if (fds[1].revents & POLLIN) AcceptClient(clients);
  }
  for (Client& client : clients) CloseFd(client.fd);
  // Only a file that is still the one bound is removed: what is at the path now is not ours.
  RemoveSocketFile();
  CloseSockets();
  {
    // A recheck asked for while the loop ended is answered by its end.
    std::lock_guard<std::mutex> lock(stopMutex);
    recheckDone = recheckRequested;
  }
  recheckCond.notify_all();
  return pathLost ? kSocketPathLost : 0;
}

bool CommonCliServer::SocketFileIsAtItsPath() const {
  const std::optional<qbx::FileIdentity> found = qbx::IdentityOfPath(socketPath);
  if (found && *found == boundFile) return true;
  // The end removed it (the mark is set before the files go): serving goes on until the
  // process is gone, and nothing is lost.
  if (qbx::ProcessIsEnding()) return true;
  // Clients can no longer reach the socket: it is listened on again like one that failed,
  // once the path is prepared again (and refused when another server listens there).
  QBX_LOG(qbx::loglevel::kWarning)
      .subcomp(kSubcomp)
      .put("[CLI][%s] %s no longer leads to the socket listened on: %s; closing it to listen there again",
           "Serve", socketPath.c_str(), qbx::DescribeWhatIsAt(socketPath).c_str());
  return false;
}

void CommonCliServer::AcceptClient(std::vector<Client>& clients) {
  int fd = acceptCall ? acceptCall(listenFd) : ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return;  // the client gave up
    const bool firstFailure = acceptPauses.attempts_made() == 0;
    const std::chrono::milliseconds pause(acceptPauses.NextDelay());
    acceptResumeAt = clock->Now() + pause;
    if (firstFailure) {
      QBX_LOG(qbx::loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("[CLI][%s] Cannot accept a connection on %s: %s; trying again in %lld ms", "AcceptClient",
               socketPath.c_str(), std::strerror(error), static_cast<long long>(pause.count()));
    }
    return;
  }
  acceptPauses.Reset();
  const auto now = clock->Now();
  if (clients.size() >= kMaxClients) {
    // Those that keep sending a small request now and then keep their slots no longer than
    // this: the connection that went longest without a whole request makes room.
    auto idlest = std::min_element(clients.begin(), clients.end(), [](const Client& a, const Client& b) {
      return a.lastRequest < b.lastRequest;
    });
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[CLI][%s] Closing the connection idle longest (%lld ms) on %s for a waiting client", "AcceptClient",
             static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - idlest->lastRequest)
                                        .count()),
             socketPath.c_str());
    CloseFd(idlest->fd);
    clients.erase(idlest);
  }
  // A client that stops reading cannot hold the server for long.
  timeval timeout{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  clients.push_back(Client{fd, {}, now + requestTimeout, now});
}

bool CommonCliServer::ServeClient(Client& client) {
  // A request that begins with this read has its deadline counted from here.
  const auto readAt = clock->Now();
  char chunk[kReadChunk];
  ssize_t n = ::recv(client.fd, chunk, sizeof(chunk), 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  const bool requestPending = !client.buffer.empty();
  client.buffer.append(chunk, static_cast<size_t>(n));
  size_t from = 0;
  std::optional<qbx::Clock::time_point> answeredAt;
  for (;;) {
    // White space between requests (the line end after one) belongs to none: it neither
    // starts a deadline nor keeps a slot.
    while (from < client.buffer.size() && std::isspace(static_cast<unsigned char>(client.buffer[from]))) ++from;
    if (from == client.buffer.size()) break;
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
    // Once the handler has run, as the reply is written (the client cannot see the reply
    // before this time is taken): a slow command does not use up the next request's time.
    answeredAt = clock->Now();
    if (!reply.empty() && !SendAll(client.fd, reply)) return false;
  }
  client.buffer.erase(0, from);
  if (answeredAt) {
    // Whatever follows a whole request, begun already or not, has its full time from the reply.
    client.lastRequest = *answeredAt;
    client.deadline = *answeredAt + requestTimeout;
  } else if (!requestPending && !client.buffer.empty()) {
    client.deadline = readAt + requestTimeout;
  }
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
