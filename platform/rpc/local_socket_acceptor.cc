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
#include <system_error>
#include <unordered_map>
#include <utility>

#include "base/process_exit.h"
#include "platform/rpc/rpc_log.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"

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

// Binds and listens on `path` (readied by the caller). Empty on success, with the listening
// socket and the accept loop's wake-up descriptor; otherwise why not, and nothing is left.
std::string Listen(const std::string& path, int& listenFd, int& wakeFd) {
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
  // From here on the socket file is ours, and goes again when listening fails.
  if (::listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return Why(what, error);
  }
  const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return Why(what, error);
  }
  listenFd = fd;
  wakeFd = wake;
  return std::string();
}

}  // namespace

size_t LocalSocketAcceptor::DefaultMaxConnections() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxConnections;
  return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur / 8), kMinConnections, kMaxConnections);
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
  if (options_.retry.provider == nullptr) return TryListen();
  KeepTrying();
  std::lock_guard<std::mutex> lock(mutex_);
  return listenFd_ >= 0 ? std::string() : lastWhy_;
}

void LocalSocketAcceptor::KeepTrying() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
  }
  std::weak_ptr<LocalSocketAcceptor> weak = weak_from_this();
  std::shared_ptr<ListenRetry> retry = ListenRetry::Start(
      *options_.retry.provider, options_.retry.schedule,
      [weak] {
        auto me = weak.lock();
        return me ? me->TryListen() : std::string("stopped");
      },
      [weak](const std::string& why) {
        if (auto me = weak.lock()) me->OnRetryDone(why);
      });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_) {
      retry_ = std::move(retry);
      return;
    }
  }
  retry->Cancel();
}

void LocalSocketAcceptor::OnRetryDone(const std::string& why) {
  if (why.empty() || !options_.retry.giveUp) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_) return;
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

std::string LocalSocketAcceptor::TryListen() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_) return "stopped";
  if (listenFd_ >= 0) return std::string();
  // The loop of a listening socket that failed has ended (or is about to) on its own.
  if (thread_.joinable()) thread_.join();
  std::string why = ServerBuilder::PrepareLocalSocket(path_);
  int listenFd = -1;
  int wakeFd = -1;
  if (why.empty()) why = Listen(path_, listenFd, wakeFd);
  if (why.empty()) {
    const size_t bound = options_.maxConnections > 0 ? options_.maxConnections : DefaultMaxConnections();
    try {
      thread_ = std::thread([this, listenFd, wakeFd, bound] { AcceptLoop(listenFd, wakeFd, bound); });
      listenFd_ = listenFd;
      wakeFd_ = wakeFd;
      socketFile_ = RegisterSocketFile(path_);
      QBX_RPC_LOG(loglevel::kInfo).put("Listening on '%s', holding at most %zu connections", path_.c_str(), bound);
    } catch (const std::system_error& e) {
      ::close(listenFd);
      ::close(wakeFd);
      ::unlink(path_.c_str());
      why = "Cannot listen on socket '" + path_ + "': no accept thread: " + e.what();
    }
  }
  if (!why.empty()) {
    lastWhy_ = why;
    return why;
  }
  if (options_.listening) {
    BeginCallback(lock);
    try {
      options_.listening();
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kError).put("Listener on '%s': announcing it failed: %s", path_.c_str(), e.what());
    }
    EndCallback(lock);
  }
  return std::string();
}

void LocalSocketAcceptor::Stop() {
  std::shared_ptr<ListenRetry> retry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retry = std::move(retry_);
  }
  // First: no try starts any more (one in progress may still listen, and is undone below).
  if (retry) retry->Cancel();
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
  if (socketFile != 0) RemoveRegisteredSocketFile(socketFile);
}

void LocalSocketAcceptor::ListeningFailed(const std::string& why) {
  QBX_RPC_LOG(loglevel::kError)
      .tag("errorCode:RPC200")
      .put("Listener on '%s' stopped accepting: %s; listening again", path_.c_str(), why.c_str());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;  // Stop closes what is left
    ::close(std::exchange(listenFd_, -1));
    ::close(std::exchange(wakeFd_, -1));
    RemoveRegisteredSocketFile(std::exchange(socketFile_, 0));
  }
  if (options_.retry.provider == nullptr) {
    QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC200").put("Listener on '%s': no retry, not listening", path_.c_str());
    return;
  }
  // Not from this thread: the next listen joins it.
  std::weak_ptr<LocalSocketAcceptor> weak = weak_from_this();
  options_.retry.provider->dispatcher().Post([weak] {
    if (auto me = weak.lock()) me->KeepTrying();
  });
}

void LocalSocketAcceptor::AcceptLoop(int listenFd, int wakeFd, size_t bound) {
  // Every handed-over connection that may still be open: descriptor -> its socket's identity.
  std::unordered_map<int, std::pair<dev_t, ino_t>>& held = held_;
  const auto count = [&] {
    for (auto it = held.begin(); it != held.end();) {
      struct stat st {};
      const bool same = ::fstat(it->first, &st) == 0 && st.st_dev == it->second.first && st.st_ino == it->second.second;
      it = same ? std::next(it) : held.erase(it);
    }
    connections_.store(held.size());
  };
  RecordLimit boundRecords;
  RecordLimit pauseRecords;
  bool wasAtBound = false;
  std::chrono::milliseconds pause{0};  // the last pause; 0 after a connection was accepted
  bool paused = false;
  for (;;) {
    bool atBound = false;
    if (held.size() >= bound) {
      count();
      atBound = held.size() >= bound;
    }
    uint64_t leftOut = 0;
    if (atBound && !wasAtBound && boundRecords.Allow(leftOut)) {
      QBX_RPC_LOG(loglevel::kWarning)
          .tag("errorCode:RPC202")
          .put("Listener on '%s' holds %zu connections, its bound: new callers wait until some close "
               "(%llu more times since the last record)",
               path_.c_str(), held.size(), static_cast<unsigned long long>(leftOut));
    }
    wasAtBound = atBound;
    const bool watchListening = !atBound && !paused;
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
    const int timeout = paused ? static_cast<int>(pause.count())
                               : atBound ? static_cast<int>(kBoundRecheck.count()) : -1;
    const int ready = ::poll(fds, watchListening ? 2 : 1, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      ListeningFailed(Why("poll", errno));
      return;
    }
    if (fds[0].revents != 0) return;  // Stop
    if (paused) {  // the pause is over
      paused = false;
      continue;
    }
    if (!watchListening || fds[1].revents == 0) continue;
    // A listening socket that is shut down (or in error) reports this for ever while accept
    // finds nothing: it cannot accept any more.
    if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      ListeningFailed((fds[1].revents & POLLNVAL) != 0 ? "the listening socket is closed"
                                                       : "the listening socket is shut down");
      return;
    }
    for (int n = 0; n < kAcceptBatch && held.size() < bound; ++n) {
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        pause = std::chrono::milliseconds(0);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
          ::close(fd);
          continue;
        }
        held[fd] = {st.st_dev, st.st_ino};
        connections_.store(held.size());
        options_.handOver(fd);
        continue;
      }
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) break;
      // The caller gave up before it was accepted, or a signal came.
      if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // The caller stays in the queue; accepting again at once would only spin.
        pause = pause.count() == 0 ? kFirstPause : std::min(pause * 2, kMaxPause);
        paused = true;
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
      ListeningFailed(Why("accept", error));
      return;
    }
  }
}

}  // namespace rpc
}  // namespace qbx
