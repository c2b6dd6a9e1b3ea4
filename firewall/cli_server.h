// The command-line server: a table of commands (name, usage, argument bounds, callback)
// and a server that answers them on a Unix stream socket in the unixctl protocol of Open
// vSwitch (JSON-RPC 1.0: {"method":..,"params":[strings],"id":..} in, {"result":..,
// "error":..,"id":..} out, objects back to back on the stream), so that
// `ovs-appctl -t <socket> <command> [args]` is a working client.
//
// Threading:
// - CliCommandTable: Register and Dispatch may be called from any thread; the table's mutex
//   guards the map and is not held while a command's callback runs.
// - CommonCliServer: Open and Serve (or Start, which does both) run on the server's own
//   thread, which owns the sockets and runs every callback. Stop may be called from any
//   thread (also from a callback): it wakes the loop through a pipe and Serve returns.
//   RemoveSocketFile may be called from any thread, also while Serve runs. The bound file is
//   registered with the process's exit (base/process_exit.h), which removes it too.
// - Each request must arrive whole within the request time-out of its first byte, and a
//   connection may wait that long for its next request after its last reply was written:
//   a client that trickles a request byte by byte cannot hold a slot longer than one that
//   stays silent. White space between requests (the line end after one) starts no request.
//   When every slot is taken and a client waits, the connection idle longest since its last
//   whole request (or its accept) is closed to let it in, so that 16 clients sending a small
//   request now and then cannot lock others out. Deadlines are read from an injectable clock.
//   What a connection sent before its deadline was looked at is read and answered first,
//   also when it came while another client's command ran.
// - When accepting fails for want of descriptors or memory, the listening socket is left
//   alone for a growing pause (not polled, so the thread does not spin on the waiting
//   client), then accepted from again.
// - The socket is bound in a private folder of mode 0700, made 0600 there and then moved to
//   its path, so that whatever the process's umask it is never reachable more open than
//   0600. A socket file already at the path is replaced only when nobody listens on it.
// - Every kPathCheckInterval after Open, Serve looks whether the path still leads to the socket file it
//   bound (by device and inode): a file removed, its folder renamed away or another file put
//   there leave the socket unreachable. Serve then logs what it found, closes the listening
//   socket and its connections and returns kSocketPathLost, leaving what is at the path
//   alone; Open prepares the path again as at first (a live socket there is refused), and the
//   owner retries it as it retries a socket that cannot listen. Once the process is ending
//   (base/process_exit.h) the end has removed the file: that is no loss, and Open refuses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/own_directory.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/retry_policy.h"

// What a command answers: the text of the reply, and whether it is an error.
struct CliReply {
  bool ok = true;
  std::string text;
};

class CliCommandTable {
 public:
  using Handler = std::function<CliReply(const std::vector<std::string>& args)>;
  struct Command {
    std::string usage;
    int minArgs = 0;
    int maxArgs = 0;
    Handler handler;
  };

  // The process's table, which the firewall command set is registered in.
  static CliCommandTable& Global();

  // 0, or -1 for an empty name, a missing callback, bad bounds or a name already taken.
  int Register(const std::string& name, const std::string& usage, int minArgs, int maxArgs, Handler handler);
  // Runs the named command after checking its argument count. Never throws.
  CliReply Dispatch(const std::string& name, const std::vector<std::string>& args) const;
  std::vector<std::string> Names() const;

 private:
  mutable std::mutex mutex;
  std::map<std::string, Command> commands;
};

class CommonCliServer {
 public:
  static constexpr const char* kSocketPath = "/var/run/zumbra/exporter/common-exporter-cli";
  static constexpr size_t kMaxClients = 16;
  // A request larger than this is refused and its connection closed.
  static constexpr size_t kMaxRequestBytes = 64 * 1024;
  // A request not whole this long after its first byte is refused and its connection
  // closed; so is a connection that sends no request for this long.
  static constexpr std::chrono::milliseconds kRequestTimeout{10000};
  // After accepting failed for want of descriptors (or memory) the listening socket rests
  // this long, doubled after each further failure up to kAcceptRetryMax.
  static constexpr std::chrono::milliseconds kAcceptRetryFirst{100};
  static constexpr std::chrono::milliseconds kAcceptRetryMax{1000};
  static constexpr std::chrono::milliseconds kPathCheckInterval{5000};
  // What Serve returns when the path no longer leads to its socket.
  static constexpr int kSocketPathLost = 1;
  // What Open returns when another server listens at the path: its socket is never replaced.
  static constexpr int kSocketLive = -2;

  // The process's server on kSocketPath with the global table; null when it cannot be
  // created. Never destroyed.
  static CommonCliServer* GetInstance();

  // `clock` null: the steady clock.
  explicit CommonCliServer(std::string socketPath, CliCommandTable& table = CliCommandTable::Global(),
                           std::chrono::milliseconds requestTimeout = kRequestTimeout,
                           std::shared_ptr<const qbx::Clock> clock = nullptr);
  ~CommonCliServer();
  CommonCliServer(const CommonCliServer&) = delete;
  CommonCliServer& operator=(const CommonCliServer&) = delete;

  // Creates the socket (and its folder), replacing a stale socket file. 0; kSocketLive
  // (logged) when a server already listens at the path, whose file is left alone; -1 when it
  // cannot listen now (logged, but not once the process is ending), the reason in
  // OpenFailure.
  int Open();
  // Why the last Open that was refused could not listen.
  const std::string& OpenFailure() const { return openFailure; }
  // Serves until Stop (0), or until the socket file is no longer at the path
  // (kSocketPathLost; Open may be called again); -1 when the socket was not open.
  int Serve();
  // Open, then Serve: returns only when the loop ends.
  int Start();
  void Stop();
  // Makes Serve look at its deadlines again at once (after a test clock was moved on) and
  // returns when it has: every deadline the clock has reached has been acted on.
  void RecheckDeadlinesForTest();
  // Removes the socket file this server created, if it is still the one at the path.
  void RemoveSocketFile();
  // Replaces the accept4 call on the listening socket (a new descriptor, or -1 with errno).
  // Set before Serve runs.
  void SetAcceptForTest(std::function<int(int listenFd)> accept);

  const std::string& SocketPath() const { return socketPath; }

  // The framing of the stream: the end (one past the closing brace) of the JSON object that
  // starts at `from` after optional white space; nullopt while it is incomplete. Sets
  // `malformed` when the text there cannot be the start of an object or nests deeper than
  // qbx::kMaxJsonNesting.
  static std::optional<size_t> FindMessageEnd(const std::string& buffer, size_t from, bool& malformed);
  // Answers one request text; empty for a notification (a request without id). A text
  // nested deeper than qbx::kMaxJsonNesting is refused before it is parsed.
  std::string HandleRequest(const std::string& text) const;

 private:
  struct Client {
    int fd = -1;
    // The part of a request received so far; it never begins with white space, so it is
    // empty between requests.
    std::string buffer;
    // When the request being received must be whole, or (with an empty buffer) when the
    // next one must have begun.
    qbx::Clock::time_point deadline;
    // When the last whole request was answered, or the connection accepted.
    qbx::Clock::time_point lastRequest;
  };
  // Reads what the client sent and answers each whole request in it; false when the
  // connection must be closed.
  bool ServeClient(Client& client);
  // Takes a waiting connection, closing the one idle longest when every slot is taken.
  void AcceptClient(std::vector<Client>& clients);
  // 1 when a server accepts connections on `path`, 0 when none listens there (or no file is
  // there), -1 (`why` set) when that cannot be told or the file is not a socket.
  static int ProbeExistingSocket(const std::string& path, std::string& why);
  // Binds and listens on socketPath; the descriptor and `bound` the identity of its file,
  // or -1 with `why` set.
  int BindPrivately(bool replaceStale, qbx::FileIdentity& bound, std::string& why);
  // Whether socketPath still leads to the file bound by Open; logs what is there when not.
  bool SocketFileIsAtItsPath() const;
  void CloseSockets();

  std::string socketPath;
  CliCommandTable& table;
  const std::chrono::milliseconds requestTimeout;
  const std::shared_ptr<const qbx::Clock> clock;
  int listenFd = -1;
  std::string openFailure;  // Open's thread only
  qbx::FileIdentity boundFile;  // of the socket file bound by Open
  qbx::Clock::time_point nextPathCheck{};  // when Serve looks at the path next
  std::function<int(int)> acceptCall;  // used by Serve's thread only
  // While accepting fails for want of resources: the pauses since the last accept, and the
  // end of the current one.
  qbx::RetryPolicy acceptPauses{kAcceptRetryFirst, kAcceptRetryMax, 2.0, qbx::RetryPolicy::kUnlimitedAttempts};
  qbx::Clock::time_point acceptResumeAt{};
  int wakeFds[2] = {-1, -1};
  std::mutex stopMutex;  // guards stopRequested and the recheck counts with the wake pipe's write end
  bool stopRequested = false;
  std::condition_variable recheckCond;
  uint64_t recheckRequested = 0;
  uint64_t recheckDone = 0;  // the last request whose deadline pass has run
  std::mutex socketFileMutex;  // guards socketFileHandle
  uint64_t socketFileHandle = 0;  // the registration of the socket file bound by Open, until removed
};
