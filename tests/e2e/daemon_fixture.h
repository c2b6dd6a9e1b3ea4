// The fixture the tests of the whole daemon derive from: a node namespace, the daemon's pid,
// the commanded proxy stand-in where a test starts one, and the waits on what they print and
// on the daemon's records. The waits read the records that arrive meanwhile, so that no
// record is dropped for a full socket queue (one that must not read says so), and give up
// after a failsafe that fails the test: a hang guard, never a timing requirement.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {

// How many verticals the daemon runs, and its files on the node.
inline constexpr int kVerticals = 8;
inline constexpr char kRunDir[] = "/var/run/zumbra/exporter";
inline constexpr char kSocketDir[] = "/var/run/zumbra/exporter/rpc";
inline constexpr char kLockFile[] = "/var/run/zumbra/exporter/instance.lock";
inline constexpr char kHostSocket[] =
    "/var/run/zumbra/exporter/rpc/zumbra.qbx.agg_service.messaging.AggSvcHostService.sock";
inline constexpr char kIpReputationSocket[] =
    "/var/run/zumbra/exporter/rpc/zumbra.qbx.dfw.IpReputationDataService.sock";
inline constexpr char kCliSocket[] = "/var/run/zumbra/exporter/common-exporter-cli";
// The operator's command-line client, from the distribution.
inline constexpr char kAppctl[] = "/usr/bin/ovs-appctl";

// The counts of a "load stopped: N ok, N failed, N timed out" line of the proxy stand-in.
struct LoadReport {
  int ok = 0;
  int failed = 0;
  int timedOut = 0;
};

// True when `line` starts with such a line, its counts in `report`.
inline bool ScanLoadReport(const std::string& line, LoadReport& report) {
  return std::sscanf(line.c_str(), "load stopped: %d ok, %d failed, %d timed out", &report.ok, &report.failed,
                     &report.timedOut) == 3;
}

class DaemonFixture : public ::testing::Test {
 protected:
  ~DaemonFixture() override {
    if (commandFd_ >= 0) ::close(commandFd_);
  }

  // False (and the test skipped with `skipReason_`) where namespaces are not permitted.
  bool CreateNamespace(int logLevel = 4, const std::map<std::string, std::string>& extraFiles = {}) {
    return CreateNodeNamespace(ns_, skipReason_, logLevel, extraFiles);
  }
  // The database and the monitoring provider, each listening once this returns.
  void StartPeers() {
    ASSERT_GT(StartNodeDb(*ns_), 0);
    ASSERT_GT(StartMonitoring(*ns_), 0);
  }
  // The proxy stand-in with two APHs, taking commands through `Command`.
  void StartTnProxy() {
    const std::string error = StartCommandedTnProxy(*ns_, commandFd_, tnproxy_);
    ASSERT_TRUE(error.empty()) << error;
  }
  void Command(const std::string& line) { ASSERT_TRUE(SendCommand(commandFd_, line)) << line; }
  // The daemon at INFO level, its pid in `pid_`.
  void StartDaemon() {
    pid_ = StartDaemonIn(*ns_);
    ASSERT_GT(pid_, 0);
  }

  // How often the proxy stand-in printed `needle`.
  int Printed(const std::string& needle) { return Occurrences(OutputOf(*ns_, tnproxy_), needle); }
  // Waits until the proxy stand-in has printed `needle` `count` times; returns its output.
  std::string WaitForAnswer(const std::string& needle, int count = 1) {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      const std::string out = OutputOf(*ns_, tnproxy_);
      if (Occurrences(out, needle) >= count) return out;
      if (std::chrono::steady_clock::now() > failsafe) {
        ADD_FAILURE() << "no '" << needle << "' (x" << count << ") from the proxy stand-in:\n" << out;
        return out;
      }
      ReadWaitingRecords(*ns_);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The `n`-th "load stopped" line of the proxy stand-in (1-based), once it is whole; empty
  // after `failsafe`. The records are left unread.
  std::string WaitForLoadReport(int n, std::chrono::milliseconds failsafe = std::chrono::seconds(30)) {
    const std::string needle = "load stopped: ";
    const auto deadline = std::chrono::steady_clock::now() + failsafe;
    for (;;) {
      const std::string out = OutputOf(*ns_, tnproxy_);
      size_t at = std::string::npos;
      int seen = 0;
      for (size_t pos = out.find(needle); pos != std::string::npos; pos = out.find(needle, pos + 1)) {
        if (++seen == n) at = pos;
      }
      if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
        return out.substr(at, out.find('\n', at) - at);
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "no load report " << n << " from the proxy stand-in:\n" << out;
        return std::string();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The uuid of APH `index` as the proxy stand-in lists it.
  std::string AphUuid(int index) {
    Command("aphs");
    const std::string needle = "APH " + std::to_string(index) + " ";
    const std::string out = WaitForAnswer(needle);
    const size_t at = out.rfind(needle);
    return out.substr(at + needle.size(), 36);
  }

  // The daemon at INFO level under a descriptor limit of `limit` (soft and hard), serving.
  void StartDaemonWithDescriptorLimit(int limit) {
    if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit (util-linux) not installed";
    const std::string nofile = "--nofile=" + std::to_string(limit) + ":" + std::to_string(limit);
    pid_ = ns_->Spawn({"/usr/bin/prlimit", nofile, "--", QBX_EXPORTER_BINARY}, {{"QBX_LOG_LEVEL", "INFO"}});
    ASSERT_GT(pid_, 0);
    ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  }
  // A fresh caller of the host service past the proxy, as `master`; what it printed.
  std::string FreshHostCall(const std::string& master, int seq) {
    std::string out;
    RunInside({QBX_E2E_STRANGER_BINARY, "host", std::string("unix:") + kHostSocket, "DFWRuleStats", master,
               std::to_string(seq), std::to_string(seq - 1)},
              out);
    return out;
  }
  // `count` callers connected to `path` that never send a byte, held until the burst's pid
  // is signalled; returns once it has told how many connected (in `burst`).
  void StartSilentBurst(const std::string& path, int count, pid_t& burst) {
    burst = ns_->Spawn({QBX_E2E_BURST_BINARY, path, std::to_string(count)});
    ASSERT_GT(burst, 0);
    const auto made = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (OutputOf(*ns_, burst).find("burst: ") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), made) << OutputOf(*ns_, burst);
      ns_->NextSyslog(std::chrono::milliseconds(20));
    }
    EXPECT_NE(OutputOf(*ns_, burst).find("burst: " + std::to_string(count) + " connected"), std::string::npos)
        << OutputOf(*ns_, burst);
  }

  // Reads records until `count` of them contain `needle`.
  void WaitForRecords(const std::string& needle, int count) {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (CountRecords(*ns_, needle) < count) {
      if (std::chrono::steady_clock::now() > failsafe) {
        FAIL() << CountRecords(*ns_, needle) << " of " << count << " records with '" << needle << "'; output:\n"
               << OutputOf(*ns_, pid_) << ProxyOutput();
      }
      ns_->NextSyslog(std::chrono::milliseconds(200));
    }
  }
  // Every record read so far, one a line.
  std::string Received() {
    std::string seen;
    for (const std::string& datagram : ns_->Syslog()) seen += datagram + "\n";
    return seen;
  }

  // Runs a program inside the namespace; its exit status (-1 when it did not end within
  // `failsafe`), with what it printed in `out`.
  int RunInside(const std::vector<std::string>& argv, std::string& out,
                std::chrono::milliseconds failsafe = std::chrono::seconds(30)) {
    const pid_t pid = ns_->Spawn(argv);
    if (pid <= 0) return -1;
    std::optional<int> status = WaitForExitReading(*ns_, pid, failsafe);
    out = OutputOf(*ns_, pid);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }
  // The wait status of `pid` once it ended (failing the test when it runs on).
  int WaitStatusOf(pid_t pid) {
    std::optional<int> status = WaitForExitReading(*ns_, pid, std::chrono::seconds(30));
    EXPECT_TRUE(status.has_value()) << "still running; output:\n" << OutputOf(*ns_, pid);
    return status.value_or(-1);
  }
  // SIGTERM to the daemon, which must end with 0.
  void StopDaemonCleanly() {
    ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
    std::optional<int> status = WaitForExitReading(*ns_, pid_, std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value()) << "daemon still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns_, pid_);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << OutputOf(*ns_, pid_);
  }

  std::string skipReason_;
  std::unique_ptr<Namespace> ns_;
  pid_t pid_ = -1;
  pid_t tnproxy_ = -1;
  int commandFd_ = -1;

 private:
  static int Occurrences(const std::string& text, const std::string& needle) {
    int seen = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++seen;
    return seen;
  }
  // What the proxy stand-in printed, where one was started.
  std::string ProxyOutput() const {
    return tnproxy_ > 0 ? "\nproxy stand-in:\n" + OutputOf(*ns_, tnproxy_) : std::string();
  }
};

}  // namespace qbx::e2e
