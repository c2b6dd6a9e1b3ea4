// Private network and mount namespaces for end-to-end tests and the demo: runs real binaries
// inside one private network and mount namespace, the equivalent of
// `unshare --net --mount --fork`, so that fixed ports and fixed paths can be used while
// nothing on the host is touched and several tests can run side by side.
//
// Inside the namespace:
//  - loopback is up, nothing else exists on the network;
//  - every directory in Options::tmpfsDirs is a fresh tmpfs;
//  - every file in Options::files exists with the given contents;
//  - "/dev/log" is a datagram socket owned by the test, so the C library's syslog() records
//    of every process in the namespace can be read with NextSyslog/WaitForSyslog.
// Directories or files that do not exist on the host are created on an overlay (a tmpfs
// upper layer over the nearest existing parent) that only the namespace sees.
//
// The namespace lives as long as a small holder process forked by Create; Spawn enters it
// with setns before exec. The destructor kills whatever is still running.
//
// Threading: one test thread uses a Namespace. Create forks, so call it before the test
// starts threads of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qbx::e2e {

class Namespace {
 public:
  struct Options {
    std::vector<std::string> tmpfsDirs = {"/etc/zumbra", "/var/run/zumbra", "/opt/zumbra"};
    // Absolute path inside the namespace -> contents.
    std::map<std::string, std::string> files;
    bool captureSyslog = true;
  };

  struct CreateResult {
    std::unique_ptr<Namespace> ns;
    // Set when namespaces are not permitted here (not root, or unshare refused): skip.
    bool unsupported = false;
    std::string error;
  };
  static CreateResult Create(const Options& options);

  ~Namespace();
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  // Starts argv[0] (an absolute path) inside the namespace with `env` added to the test's
  // environment. Its stdout and stderr go to OutputPath(pid). Returns -1 on failure.
  pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  bool Signal(pid_t pid, int signum);
  // The raw wait status once the process has ended, or nothing when it is still running
  // after `failsafe` (the test then fails; the destructor kills it).
  std::optional<int> WaitForExit(pid_t pid, std::chrono::milliseconds failsafe = std::chrono::seconds(30));
  std::string OutputPath(pid_t pid) const;

  // The next syslog datagram, or nothing after `failsafe`.
  std::optional<std::string> NextSyslog(std::chrono::milliseconds failsafe = std::chrono::seconds(30));
  // Reads datagrams until one contains `needle`; every datagram read is kept in Syslog().
  std::optional<std::string> WaitForSyslog(const std::string& needle,
                                           std::chrono::milliseconds failsafe = std::chrono::seconds(30));
  const std::vector<std::string>& Syslog() const { return syslog_; }

  // Scratch directory on the host (removed by the destructor).
  const std::string& ScratchDir() const { return scratch_; }

 private:
  Namespace() = default;

  std::string scratch_;
  pid_t holder_ = -1;
  int controlFd_ = -1;  // the holder lives until this pipe closes
  int netNsFd_ = -1;
  int mntNsFd_ = -1;
  int syslogFd_ = -1;
  std::vector<pid_t> children_;
  std::vector<std::string> syslog_;
};

}  // namespace qbx::e2e
