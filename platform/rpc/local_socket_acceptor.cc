#include "platform/rpc/local_socket_acceptor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/process_exit.h"
#include "platform/rpc/rpc_log.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/retry_policy.h"
#include "platform/runtime/timer.h"

namespace qbx {
namespace rpc {

namespace {

// Accepted in one go before the stop request and the bound are looked at again.
constexpr int kAcceptBatch = 64;
constexpr std::chrono::seconds kRecordInterval{60};

std::string Why(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// At most one record a `kRecordInterval`, telling how many were left out since the last one.
class RecordLimit {
 public:
  // True when a record may be made now; `left_out` is then how many were not made before it.
  bool Allow(uint64_t& left_out) {
    const auto now = std::chrono::steady_clock::now();
    if (made_ && now - last_ < kRecordInterval) {
      ++left_out_;
      return false;
    }
    made_ = true;
    last_ = now;
    left_out = std::exchange(left_out_, 0);
    return true;
  }

 private:
  bool made_ = false;
  std::chrono::steady_clock::time_point last_;
  uint64_t left_out_ = 0;
};

// The opening every HTTP/2 client sends first.
constexpr char kPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr size_t kPrefaceSize = sizeof(kPreface) - 1;
static_assert(kPrefaceSize == 24);

enum class Opening { kWhole, kPart, kGone };

// What an accepted connection has sent of the protocol's opening, peeked at so that the
// server still reads it all. Bytes that cannot begin the opening count as whole: the server
// answers a caller of another protocol as it always did.
Opening PeekOpening(int fd) {
  char bytes[kPrefaceSize];
  const ssize_t n = ::recv(fd, bytes, sizeof(bytes), MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Opening::kPart : Opening::kGone;
  if (n == 0) return Opening::kGone;
  if (std::memcmp(bytes, kPreface, static_cast<size_t>(n)) != 0) return Opening::kWhole;
  return static_cast<size_t>(n) == kPrefaceSize ? Opening::kWhole : Opening::kPart;
}

// Binds and listens on `path` (readied by the caller). Empty on success, with the listening
// socket, the accept loop's wake-up descriptor and the identity of the socket file bound;
// otherwise why not, and nothing is left.
std::string Listen(const std::string& path, int& listenFd, int& wakeFd, FileIdentity& identity) {
  const std::string what = "Cannot listen on socket '" + path + "'";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return what;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Why(what, errno);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    ::close(fd);
    return Why(what, error);
  }
  // From here on the socket file is ours, and goes again when listening fails. The listening
  // socket's own fstat names the socket, not the file: the file is looked at now.
  const std::optional<FileIdentity> bound = IdentityOfPath(path);
  if (!bound) {
    const int error = errno;
    ::close(fd);
    return Why(what + ": its file went as it was bound", error);
  }
  identity = *bound;
  if (::listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    ::close(fd);
    RemoveIfStill(path, identity);
    return Why(what, error);
  }
  const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    const int error = errno;
    ::close(fd);
    RemoveIfStill(path, identity);
    return Why(what, error);
  }
  listenFd = fd;
  wakeFd = wake;
  return std::string();
}

}  // namespace

size_t LocalSocketAcceptor::DefaultMaxConnections() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return kMaxConnections;
  return MaxConnectionsFor(limit.rlim_cur);
}

size_t LocalSocketAcceptor::MaxConnectionsFor(uint64_t softLimit) {
  if (softLimit == RLIM_INFINITY) return kMaxConnections;
  return static_cast<size_t>(std::clamp<uint64_t>(softLimit / 8, kMinConnections, kMaxConnections));
}

std::shared_ptr<LocalSocketAcceptor> LocalSocketAcceptor::Create(const std::string& path, Options options) {
  return std::shared_ptr<LocalSocketAcceptor>(new LocalSocketAcceptor(path, std::move(options)));
}

LocalSocketAcceptor::LocalSocketAcceptor(const std::string& path, Options options)
    : path_(path), options_(std::move(options)) {}

LocalSocketAcceptor::~LocalSocketAcceptor() { Stop(); }

bool LocalSocketAcceptor::listening() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listenFd_ >= 0;
}

std::string LocalSocketAcceptor::Start() {
  if (options_.retry.provider == nullptr) return TryListen().why;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_ && !pathCheck_) {
      std::weak_ptr<LocalSocketAcceptor> weak = weak_from_this();
      pathCheck_ = options_.retry.provider->timers().ScheduleRepeated(kPathCheck, [weak] {
        if (auto me = weak.lock()) me->CheckPath();
      });
    }
  }
  KeepTrying();
  std::lock_guard<std::mutex> lock(mutex_);
  return listenFd_ >= 0 ? std::string() : lastWhy_;
}

void LocalSocketAcceptor::KeepTrying() {
  uint64_t round = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || ProcessIsEnding()) return;
    round = ++rounds_;
  }
  // The round's first try is made here, so that a socket another process listens on is
  // refused at once, as at start, rather than tried again for minutes.
  const SocketPreparation first = TryListen();
  if (first.ready()) return;
  if (first.live()) {
    RefuseLive(first.why);
    return;
  }
  std::weak_ptr<LocalSocketAcceptor> weak = weak_from_this();
  AsioQbxProvider* provider = options_.retry.provider;
  // Started under the lock: its later tries take the lock too, so none runs before the round
  // is known to be the newest and its handle is kept (or it was never started).
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || rounds_ != round) return;  // stopped, or a newer round tries in its place
  retry_ = ListenRetry::Start(
      *provider, options_.retry.schedule,
      [weak, made = false, why = first.why]() mutable {
        // The schedule's first probe is the try just made.
        if (!std::exchange(made, true)) return why;
        auto me = weak.lock();
        if (!me) return std::string("stopped");
        const SocketPreparation tried = me->TryListen();
        // Never replaced, at any try: given up on at once.
        if (tried.live()) me->RefuseLive(tried.why);
        return tried.why;
      },
      [weak, provider](const std::string& why) {
        if (why.empty()) return;
        // Not from here: the first try's report may come while the round holds the lock.
        provider->dispatcher().Post([weak, why] {
          if (auto me = weak.lock()) me->GiveUp(why);
        });
      });
}

void LocalSocketAcceptor::RefuseLive(const std::string& why) {
  std::shared_ptr<ListenRetry> retry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retry = std::move(retry_);
  }
  if (retry) retry->Cancel();
  QBX_RPC_LOG(loglevel::kError)
      .tag("errorCode:RPC200")
      .put("Listener on '%s' cannot listen again, giving up: %s", path_.c_str(), why.c_str());
  GiveUp(why);
}

void LocalSocketAcceptor::GiveUp(const std::string& why) {
  if (!options_.retry.giveUp) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_ || ProcessIsEnding()) return;
  BeginCallback(lock);
  try {
    options_.retry.giveUp(why);
  } catch (const std::exception& e) {
    QBX_RPC_LOG(loglevel::kError).put("Listener on '%s': giving up failed: %s", path_.c_str(), e.what());
  }
  EndCallback(lock);
}

void LocalSocketAcceptor::BeginCallback(std::unique_lock<std::mutex>& lock) {
  ++callbacks_;
  lock.unlock();
}

void LocalSocketAcceptor::EndCallback(std::unique_lock<std::mutex>& lock) {
  lock.lock();
  if (--callbacks_ == 0) idle_.notify_all();
}

SocketPreparation LocalSocketAcceptor::TryListen() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_) return {SocketPreparation::Outcome::kNotYet, "stopped"};
  if (listenFd_ >= 0) return {};
  // The loop of a listening socket that failed has ended (or is about to) on its own.
  if (thread_.joinable()) thread_.join();
  SocketPreparation result = ServerBuilder::PrepareLocalSocket(path_);
  int listenFd = -1;
  int wakeFd = -1;
  FileIdentity identity;
  if (result.ready()) {
    result.why = Listen(path_, listenFd, wakeFd, identity);
    if (!result.why.empty()) result.outcome = SocketPreparation::Outcome::kNotYet;
  }
  uint64_t socketFile = 0;
  if (result.ready()) {
    // Registered with the identity it was bound as: a file put there since is not ours.
    socketFile = RegisterSocketFile(path_, identity);
    if (socketFile == 0) result = {SocketPreparation::Outcome::kNotYet, "the process is ending"};
  }
  if (result.ready()) {
    const size_t bound = options_.maxConnections > 0 ? options_.maxConnections : DefaultMaxConnections();
    try {
      thread_ = std::thread([this, listenFd, wakeFd, bound] { AcceptLoop(listenFd, wakeFd, bound); });
      listenFd_ = listenFd;
      wakeFd_ = wakeFd;
      socketIdentity_ = identity;
      pathLost_.clear();
      socketFile_ = socketFile;
      QBX_RPC_LOG(loglevel::kInfo).put("Listening on '%s', holding at most %zu connections", path_.c_str(), bound);
    } catch (const std::system_error& e) {
      RemoveRegisteredSocketFile(socketFile);
      result = {SocketPreparation::Outcome::kNotYet,
                "Cannot listen on socket '" + path_ + "': no accept thread: " + e.what()};
    }
  }
  if (!result.ready() && listenFd >= 0) {
    ::close(listenFd);
    ::close(wakeFd);
    if (socketFile == 0) RemoveIfStill(path_, identity);
  }
  if (!result.ready()) {
    lastWhy_ = result.why;
    return result;
  }
  // A process on its way out does not send callers to an address that goes with it.
  if (options_.listening && !ProcessIsEnding()) {
    BeginCallback(lock);
    try {
      options_.listening();
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kError).put("Listener on '%s': announcing it failed: %s", path_.c_str(), e.what());
    }
    EndCallback(lock);
  }
  return result;
}

void LocalSocketAcceptor::CheckPath() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || listenFd_ < 0 || !pathLost_.empty()) return;
  if (IdentityOfPath(path_) == std::optional<FileIdentity>(socketIdentity_)) return;
  // The end removed it (the mark is set before the files go): nothing is lost.
  if (ProcessIsEnding()) return;
  // Callers that connect by the path no longer reach this socket: gone, or somebody else's.
  pathLost_ = "the path no longer leads to its socket: " + DescribeWhatIsAt(path_);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof(one));
}

void LocalSocketAcceptor::Stop() {
  std::shared_ptr<ListenRetry> retry;
  std::shared_ptr<Timer> pathCheck;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retry = std::move(retry_);
    pathCheck = std::move(pathCheck_);
  }
  // First: no try starts any more (one in progress may still listen, and is undone below).
  if (retry) retry->Cancel();
  if (pathCheck) pathCheck->Cancel();
  int listenFd = -1;
  int wakeFd = -1;
  uint64_t socketFile = 0;
  std::thread thread;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopped_ = true;
    retry = std::move(retry_);  // made by a socket that failed meanwhile
    idle_.wait(lock, [this] { return callbacks_ == 0; });
    listenFd = std::exchange(listenFd_, -1);
    wakeFd = std::exchange(wakeFd_, -1);
    socketFile = std::exchange(socketFile_, 0);
    thread = std::move(thread_);
  }
  if (retry) retry->Cancel();
  if (wakeFd >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof(one));
  }
  if (thread.joinable()) thread.join();
  if (listenFd >= 0) ::close(listenFd);
  if (wakeFd >= 0) ::close(wakeFd);
  // Only while the file there is still the one bound: never another process's.
  if (socketFile != 0) RemoveRegisteredSocketFile(socketFile);
}

void LocalSocketAcceptor::ListeningFailed(const std::string& why) {
  // On the way out nothing listens again, nor says it would.
  const bool ending = ProcessIsEnding();
  if (!ending) {
    QBX_RPC_LOG(loglevel::kError)
        .tag("errorCode:RPC200")
        .put("Listener on '%s' stopped accepting: %s; listening again", path_.c_str(), why.c_str());
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;  // Stop closes what is left
    ::close(std::exchange(listenFd_, -1));
    ::close(std::exchange(wakeFd_, -1));
    RemoveRegisteredSocketFile(std::exchange(socketFile_, 0));
  }
  if (ending) return;
  if (options_.retry.provider == nullptr) {
    QBX_RPC_LOG(loglevel::kError)
        .tag("errorCode:RPC200")
        .put("Listener on '%s': no retry, not listening", path_.c_str());
    return;
  }
  // Not from this thread: the next listen joins it.
  std::weak_ptr<LocalSocketAcceptor> weak = weak_from_this();
  options_.retry.provider->dispatcher().Post([weak] {
    if (auto me = weak.lock()) me->KeepTrying();
  });
}

int LocalSocketAcceptor::Accept(int listenFd) const {
  if (options_.acceptForTest) return options_.acceptForTest(listenFd);
  return ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

void LocalSocketAcceptor::AcceptLoop(int listenFd, int wakeFd, size_t bound) {
  using Clock = std::chrono::steady_clock;
  // Every handed-over connection that may still be open: descriptor -> its socket's identity.
  std::unordered_map<int, std::pair<dev_t, ino_t>>& held = held_;
  // Accepted connections that have not sent the protocol's opening yet: still ours.
  struct Pending {
    int fd;
    Clock::time_point deadline;
    bool part;  // part of the opening came: its bytes stay readable, so it is peeked at again
                // every kBoundRecheck instead of being polled for them
  };
  std::vector<Pending> pending;
  const auto count = [&] {
    for (auto it = held.begin(); it != held.end();) {
      struct stat st {};
      const bool same = ::fstat(it->first, &st) == 0 && st.st_dev == it->second.first && st.st_ino == it->second.second;
      it = same ? std::next(it) : held.erase(it);
    }
    connections_.store(held.size() + pending.size());
  };
  RecordLimit boundRecords;
  RecordLimit pauseRecords;
  RecordLimit silentRecords;
  uint64_t leftOut = 0;
  uint64_t silentSinceRecord = 0;  // connections closed silent since the last record of them
  // True when the connection is done with (handed over or closed).
  const auto look = [&](const Pending& p, bool hungUp) {
    const Opening opening = PeekOpening(p.fd);
    if (opening == Opening::kWhole) {
      struct stat st {};
      if (::fstat(p.fd, &st) != 0) {
        ::close(p.fd);
        return true;
      }
      held[p.fd] = {st.st_dev, st.st_ino};
      options_.handOver(p.fd);
      return true;
    }
    if (opening == Opening::kGone || hungUp) {
      ::close(p.fd);
      return true;
    }
    return false;
  };
  const auto closePending = [&] {
    for (const Pending& p : pending) ::close(p.fd);
    pending.clear();
    connections_.store(held.size());
  };
  bool wasAtBound = false;
  // The pauses since the last connection accepted.
  RetryPolicy pauses(kFirstPause, kMaxPause, 2.0, RetryPolicy::kUnlimitedAttempts);
  std::optional<Clock::time_point> pausedUntil;
  std::vector<pollfd> fds;
  for (;;) {
    auto now = Clock::now();
    // Connections that did not speak in time give their slot back.
    size_t silent = 0;
    for (auto it = pending.begin(); it != pending.end();) {
      if (now < it->deadline) {
        ++it;
        continue;
      }
      ::close(it->fd);
      it = pending.erase(it);
      ++silent;
    }
    silentSinceRecord += silent;
    if (silent > 0 && silentRecords.Allow(leftOut)) {
      QBX_RPC_LOG(loglevel::kWarning)
          .tag("errorCode:RPC202")
          .put("Listener on '%s' closed %llu connection(s) that did not open the protocol within %lld ms (since the "
               "last such record)",
               path_.c_str(), static_cast<unsigned long long>(std::exchange(silentSinceRecord, 0)),
               static_cast<long long>(options_.handshakeDeadline.count()));
    }
    if (pausedUntil && now >= *pausedUntil) pausedUntil.reset();
    bool atBound = false;
    if (held.size() + pending.size() >= bound) {
      count();
      atBound = held.size() + pending.size() >= bound;
    }
    connections_.store(held.size() + pending.size());
    if (atBound && !wasAtBound && boundRecords.Allow(leftOut)) {
      QBX_RPC_LOG(loglevel::kWarning)
          .tag("errorCode:RPC202")
          .put("Listener on '%s' holds %zu connections, its bound: new callers wait until some close "
               "(%llu more times since the last record)",
               path_.c_str(), held.size() + pending.size(), static_cast<unsigned long long>(leftOut));
    }
    wasAtBound = atBound;
    const bool watchListening = !atBound && !pausedUntil;
    fds.assign({{wakeFd, POLLIN, 0}, {watchListening ? listenFd : -1, POLLIN, 0}});
    std::optional<Clock::time_point> wakeAt = pausedUntil;
    const auto wakeBy = [&](Clock::time_point t) {
      if (!wakeAt || t < *wakeAt) wakeAt = t;
    };
    if (atBound) wakeBy(now + kBoundRecheck);
    for (const Pending& p : pending) {
      fds.push_back({p.fd, static_cast<short>(p.part ? POLLRDHUP : POLLIN | POLLRDHUP), 0});
      wakeBy(p.deadline);
      if (p.part) wakeBy(now + kBoundRecheck);
    }
    int timeout = -1;
    if (wakeAt) {
      // Rounded up: waking a little early would only spin until the time comes.
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now);
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      closePending();
      ListeningFailed(Why("poll", errno));
      return;
    }
    if (fds[0].revents != 0) {
      closePending();
      std::string lost;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lost = pathLost_;
      }
      if (!lost.empty()) ListeningFailed(lost);
      return;  // Stop, or listening again
    }
    // The connections that were waiting to speak.
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
      const short revents = fds[2 + i].revents;
      const bool hungUp = (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
      if ((revents != 0 || pending[i].part) && look(pending[i], hungUp)) continue;
      if (revents != 0) pending[i].part = true;
      pending[kept++] = pending[i];
    }
    pending.resize(kept);
    if (!watchListening || fds[1].revents == 0) continue;
    // A listening socket that is shut down (or in error) reports this for ever while accept
    // finds nothing: it cannot accept any more.
    if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      closePending();
      ListeningFailed((fds[1].revents & POLLNVAL) != 0 ? "the listening socket is closed"
                                                       : "the listening socket is shut down");
      return;
    }
    now = Clock::now();
    for (int n = 0; n < kAcceptBatch && held.size() + pending.size() < bound; ++n) {
      const int fd = Accept(listenFd);
      if (fd >= 0) {
        pauses.Reset();
        // A caller usually sends its opening with the connection: no need to wait for a poll.
        const Pending p{fd, now + options_.handshakeDeadline, false};
        if (!look(p, false)) pending.push_back(p);
        connections_.store(held.size() + pending.size());
        continue;
      }
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) break;
      // The caller gave up before it was accepted, or a signal came.
      if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // The caller stays in the queue; accepting again at once would only spin.
        const std::chrono::milliseconds pause(pauses.NextDelay());
        pausedUntil = now + pause;
        if (options_.pausedForTest) options_.pausedForTest(pause);
        if (pauseRecords.Allow(leftOut)) {
          QBX_RPC_LOG(loglevel::kWarning)
              .tag("errorCode:RPC202")
              .put("Listener on '%s' cannot accept: %s; accepting again in %lld ms (%llu more times since the "
                   "last record)",
                   path_.c_str(), std::strerror(error), static_cast<long long>(pause.count()),
                   static_cast<unsigned long long>(leftOut));
        }
        break;
      }
      closePending();
      ListeningFailed(Why("accept", error));
      return;
    }
  }
}

}  // namespace rpc
}  // namespace qbx
