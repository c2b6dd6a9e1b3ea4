// The listening side of a server on a Unix-domain socket: our own listening socket and
// accept loop, handing every accepted connection to the gRPC server.
//
// Why not gRPC's own listener: its accept loop gives up for good on EMFILE (a burst of
// connections at the descriptor limit leaves the socket's queue full and the service deaf for
// the rest of the process), it holds any number of connections, and a socket that cannot be
// bound after start is only logged. Here:
// - a socket that cannot listen (the directory a link, another user's, out of room...) is
//   tried again on the retry schedule set for the process (ListenRetrySettings), and given
//   up on, once, after it; without a schedule, the first try is the only one;
// - the connections it holds are bounded well below the descriptor limit: at the bound it
//   stops accepting (new callers wait in the socket's queue) until some have closed;
// - EMFILE, ENFILE and the kernel's lack of memory pause accepting with a growing wait
//   instead of spinning or giving up;
// - a listening socket that fails for good is closed and listened on again as above.
// Records of a pause or of the bound are limited to one a minute, with the count since.
//
// Connections are counted without any hook in gRPC, which closes them itself: each handed-over
// descriptor is remembered with the identity (device, inode) of its socket, and an entry
// whose descriptor no longer refers to that socket is gone (checked when the bound is
// reached, and then every kBoundRecheck).
//
// Threading: one accept thread per listening socket; the retry runs on the settings'
// provider. Start, Stop and the getters may be called from any thread. `handOver` runs on
// the accept thread; `listening` and `giveUp` on the thread of the try that listened or gave
// up (the caller of Start, or the provider's loop). Once Stop has returned none of them runs
// any more; Stop must not be called from inside one of them. mutex_ guards the listening
// state; it is never held while a callback runs.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/runtime/listen_retry.h"

namespace qbx {

class AsioQbxProvider;

namespace rpc {

// How the servers of the process try again to listen on a socket that cannot listen.
struct ListenRetrySettings {
  // Whose timers run the retries; none: one try only, the failure returned to the builder.
  AsioQbxProvider* provider = nullptr;
  ListenRetry::Schedule schedule = ListenRetry::kSchedule;
  // Runs once when a socket still cannot listen after schedule.giveUpAfter (the record was
  // made); the daemon ends itself there.
  std::function<void(const std::string& why)> giveUp;
};

class LocalSocketAcceptor : public std::enable_shared_from_this<LocalSocketAcceptor> {
 public:
  // Takes an accepted connection (non-blocking, close-on-exec) and owns it from then on.
  using HandOver = std::function<void(int fd)>;

  // When the bound is reached, how often the held connections are counted again.
  static constexpr std::chrono::milliseconds kBoundRecheck{100};
  // The pauses after EMFILE, ENFILE, ENOBUFS or ENOMEM: from the first, doubling, at most the
  // last.
  static constexpr std::chrono::milliseconds kFirstPause{50};
  static constexpr std::chrono::milliseconds kMaxPause{1000};
  // How many connections a socket holds unless told otherwise: an eighth of the soft
  // descriptor limit, at least kMinConnections and at most kMaxConnections. The callers are
  // the local proxies, a few connections each.
  static constexpr size_t kMinConnections = 8;
  static constexpr size_t kMaxConnections = 1024;
  static size_t DefaultMaxConnections();

  struct Options {
    HandOver handOver;
    size_t maxConnections = 0;  // 0: DefaultMaxConnections() each time it starts listening
    ListenRetrySettings retry;
    std::function<void()> listening;  // each time it starts listening (may be empty)
  };

  static std::shared_ptr<LocalSocketAcceptor> Create(const std::string& path, Options options);
  ~LocalSocketAcceptor();
  LocalSocketAcceptor(const LocalSocketAcceptor&) = delete;
  LocalSocketAcceptor& operator=(const LocalSocketAcceptor&) = delete;

  // Listens now when it can (`listening` has run then), and otherwise keeps trying when a
  // retry schedule is set. Empty when it listens, otherwise why it cannot yet.
  std::string Start();
  // Stops listening and trying, removes the socket file and waits for the accept thread.
  // Connections already handed over are the gRPC server's. Idempotent.
  void Stop();

  const std::string& path() const { return path_; }
  bool listening() const;
  // The handed-over connections still open, as last counted.
  size_t connections() const { return connections_.load(); }

 private:
  LocalSocketAcceptor(const std::string& path, Options options);
  // One try to listen: empty when listening (or when stopped), otherwise why not.
  std::string TryListen();
  void KeepTrying();
  void OnRetryDone(const std::string& why);
  void AcceptLoop(int listenFd, int wakeFd, size_t bound);
  // The listening socket failed for good: close it and listen again.
  void ListeningFailed(const std::string& why);
  void BeginCallback(std::unique_lock<std::mutex>& lock);
  void EndCallback(std::unique_lock<std::mutex>& lock);

  const std::string path_;
  const Options options_;

  mutable std::mutex mutex_;
  std::condition_variable idle_;  // signalled when callbacks_ drops
  bool stopped_ = false;
  int callbacks_ = 0;  // `listening` or `giveUp` running
  int listenFd_ = -1;
  int wakeFd_ = -1;
  uint64_t socketFile_ = 0;  // its registration with the process's exit
  std::thread thread_;  // the accept loop; joined by Stop or by the next listen
  std::shared_ptr<ListenRetry> retry_;
  std::string lastWhy_;  // of the last try that could not listen

  // The handed-over connections that may still be open, by descriptor, with their socket's
  // identity: touched by the accept thread only (one at a time; the next starts after the
  // last was joined).
  std::unordered_map<int, std::pair<dev_t, ino_t>> held_;
  std::atomic<size_t> connections_{0};
};

}  // namespace rpc
}  // namespace qbx
