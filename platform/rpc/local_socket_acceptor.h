// The listening side of a server on a Unix-domain socket: our own listening socket and
// accept loop, handing every accepted connection to the gRPC server.
//
// Why not gRPC's own listener: its accept loop gives up for good on EMFILE (a burst of
// connections at the descriptor limit leaves the socket's queue full and the service deaf for
// the rest of the process), it holds any number of connections, and a socket that cannot be
// bound after start is only logged. Here:
// - a socket that cannot listen (the directory a link, another user's, out of room...) is
//   tried again on the retry schedule set for the process (ListenRetrySettings), and given
//   up on, once, after it; without a schedule, the first try is the only one. A socket that
//   another process listens on is never replaced: found at any try, it is given up on at
//   once, as start-up refuses it;
// - with a schedule, the socket's path is compared every kPathCheck with the socket file it
//   bound (device and inode): a file removed, a directory renamed away or another file put
//   there makes the listener fail, with a record of what was found;
// - the connections it holds are bounded well below the descriptor limit: at the bound it
//   stops accepting (new callers wait in the socket's queue) until some have closed;
// - a connection is handed over only once it has sent the whole opening of the protocol (the
//   client's HTTP/2 preface), peeked at without taking it; one that has not within the
//   handshake deadline is closed. Such connections count toward the bound: a caller that
//   never speaks cannot keep a slot for longer than the deadline (the server has no
//   handshake deadline of its own for connections handed to it);
// - EMFILE, ENFILE and the kernel's lack of memory pause accepting with a growing wait
//   instead of spinning or giving up;
// - a listening socket that fails for good is closed and listened on again as above;
// - once the process is ending (base/process_exit.h) it neither listens again nor announces
//   itself, and a path the end emptied is no loss.
// Records of a pause, of the bound or of silent connections closed are limited to one a
// minute each, with the count since.
//
// Connections are counted without any hook in gRPC, which closes them itself: each handed-over
// descriptor is remembered with the identity (device, inode) of its socket, and an entry
// whose descriptor no longer refers to that socket is gone (checked when the bound is
// reached, and then every kBoundRecheck).
//
// Threading: one accept thread per listening socket; the retry and the path check run on the
// settings' provider. Start, Stop and the getters may be called from any thread. `handOver`
// runs on the accept thread; `listening` and `giveUp` on the thread of the try that listened
// or gave up (the caller of Start, or the provider's loop). Once Stop has returned none of
// them runs any more; Stop must not be called from inside one of them. mutex_ guards the
// listening state; it is never held while a callback runs. A listener fails on its accept
// thread only: the path check wakes that thread with the reason.
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

#include "base/own_directory.h"
#include "platform/runtime/listen_retry.h"

namespace qbx {

class AsioQbxProvider;
class Timer;

namespace rpc {

// What readying a socket's path for a listener found.
struct SocketPreparation {
  enum class Outcome {
    kReady,   // a server can listen there now
    kNotYet,  // not now (the directory, a file in the way...): a repair may come
    kLive,    // another process listens there: its socket is never replaced
  };
  Outcome outcome = Outcome::kReady;
  std::string why;  // empty when ready
  bool ready() const { return outcome == Outcome::kReady; }
  bool live() const { return outcome == Outcome::kLive; }
};

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
  // The same for a soft limit of `softLimit` descriptors.
  static size_t MaxConnectionsFor(uint64_t softLimit);
  static constexpr std::chrono::milliseconds kHandshakeDeadline{20000};
  // How often the socket's path is compared with the socket file it bound (with a retry
  // schedule only: a listener that fails is listened on again by the retry).
  static constexpr std::chrono::milliseconds kPathCheck{5000};

  struct Options {
    HandOver handOver;
    size_t maxConnections = 0;  // 0: DefaultMaxConnections() each time it starts listening
    ListenRetrySettings retry;
    std::function<void()> listening;  // each time it starts listening (may be empty)
    std::chrono::milliseconds handshakeDeadline = kHandshakeDeadline;
    // Tests: what accepting is (accept4 with non-blocking, close-on-exec descriptors when
    // empty), and each pause after a descriptor shortage as it begins.
    std::function<int(int listenFd)> acceptForTest;
    std::function<void(std::chrono::milliseconds pause)> pausedForTest;
  };

  static std::shared_ptr<LocalSocketAcceptor> Create(const std::string& path, Options options);
  ~LocalSocketAcceptor();
  LocalSocketAcceptor(const LocalSocketAcceptor&) = delete;
  LocalSocketAcceptor& operator=(const LocalSocketAcceptor&) = delete;

  // Listens now when it can (`listening` has run then), and otherwise keeps trying when a
  // retry schedule is set (and from then on checks its path). Empty when it listens,
  // otherwise why it cannot yet.
  std::string Start();
  // Stops listening and trying, removes the socket file and waits for the accept thread.
  // Connections already handed over are the gRPC server's. Idempotent.
  void Stop();

  const std::string& path() const { return path_; }
  bool listening() const;
  // The connections it holds: handed over and still open as last counted, and those that
  // have not opened the protocol yet.
  size_t connections() const { return connections_.load(); }

 private:
  LocalSocketAcceptor(const std::string& path, Options options);
  // One try to listen: ready when listening, otherwise why not.
  SocketPreparation TryListen();
  // A round of tries: the first now, the others on the retry schedule.
  void KeepTrying();
  // Another process listens at the path: no more tries, and the owner gives up.
  void RefuseLive(const std::string& why);
  void GiveUp(const std::string& why);
  // Every kPathCheck: wakes the accept thread when the path leads elsewhere than the socket.
  void CheckPath();
  void AcceptLoop(int listenFd, int wakeFd, size_t bound);
  int Accept(int listenFd) const;
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
  FileIdentity socketIdentity_;  // of the socket file bound by the listening socket
  std::string pathLost_;  // why the path no longer leads there; read by the accept thread
  std::thread thread_;  // the accept loop; joined by Stop or by the next listen
  // The retry of the newest round, started and kept under mutex_ only while its round is
  // still the newest, so that an older round can never take its place.
  std::shared_ptr<ListenRetry> retry_;
  uint64_t rounds_ = 0;
  std::shared_ptr<Timer> pathCheck_;
  std::string lastWhy_;  // of the last try that could not listen

  // The handed-over connections that may still be open, by descriptor, with their socket's
  // identity: touched by the accept thread only (one at a time; the next starts after the
  // last was joined).
  std::unordered_map<int, std::pair<dev_t, ino_t>> held_;
  std::atomic<size_t> connections_{0};
};

}  // namespace rpc
}  // namespace qbx
