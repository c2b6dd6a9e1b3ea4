// The daemon as a process among others on its node: started with descriptors 0-2 closed,
// under umask 000, without a signal thread, and beside a running daemon whose instance lock
// was taken away. Each time it keeps its lock file, its directories and the other daemon's
// sockets to itself, and still stops cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

class DaemonProcessE2E : public DaemonFixture {
 protected:
  // Starts the daemon through `argv` (the daemon's path is appended), at INFO level.
  void StartDaemonThrough(std::vector<std::string> argv, std::map<std::string, std::string> env = {}) {
    env["QBX_LOG_LEVEL"] = "INFO";
    argv.push_back(QBX_EXPORTER_BINARY);
    pid_ = ns_->Spawn(argv, env);
    ASSERT_GT(pid_, 0);
  }
  // Reads records until `count` of them contain `needle`. Unlike the fixture's, it fails at
  // once when the daemon ends meanwhile (it is left for WaitStatusOf to collect): started in
  // these unusual ways, an early end is the likely fault.
  void WaitForRecords(const std::string& needle, int count = 1) {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (CountRecords(*ns_, needle) < count) {
      siginfo_t ended{};
      if (::waitid(P_PID, pid_, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid_ &&
          CountRecords(*ns_, needle) < count) {
        ReadWaitingRecords(*ns_);
        if (CountRecords(*ns_, needle) >= count) return;
        FAIL() << "the daemon ended (code " << ended.si_code << ", status " << ended.si_status << ") before a record with '"
               << needle << "'; received:\n"
               << Received() << "output:\n"
               << OutputOf(*ns_, pid_);
      }
      if (std::chrono::steady_clock::now() > failsafe) {
        FAIL() << CountRecords(*ns_, needle) << " of " << count << " records with '" << needle << "'; received:\n"
               << Received() << "output:\n"
               << OutputOf(*ns_, pid_);
      }
      ns_->NextSyslog(std::chrono::milliseconds(200));
    }
  }
  std::string Shell(const std::string& script) {
    std::string out;
    EXPECT_EQ(RunInside({"/bin/sh", "-c", script}, out), 0) << script << "\n" << out;
    return out;
  }
};

// Started with 0-2 closed, the files the daemon opens take descriptors above 2: what the
// libraries write to stderr (gRPC's lines, here many at its debug verbosity) goes nowhere,
// and the lock file holds the pid alone.
TEST_F(DaemonProcessE2E, StartedWithDescriptorsZeroToTwoClosedKeepsTheLockFileToThePid) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({"/bin/sh", "-c", "exec \"$0\" 0<&- 1>&- 2>&-"},
                                             {{"GRPC_VERBOSITY", "DEBUG"}}));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("IP-reputation data server listening on"));

  for (int fd = 0; fd <= 2; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(fd);
    ASSERT_GT(::readlink(link.c_str(), target, sizeof(target) - 1), 0) << link;
    EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
  }
  EXPECT_EQ(Shell(std::string("cat ") + kLockFile), std::to_string(pid_) + "\n");
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
  EXPECT_EQ(Shell(std::string("cat ") + kLockFile), std::to_string(pid_) + "\n");
}

// The soft and hard "Max open files" of a running process, as /proc shows them.
std::pair<std::string, std::string> DescriptorLimits(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::strlen("Max open files")));
    std::string soft;
    std::string hard;
    fields >> soft >> hard;
    return {soft, hard};
  }
  return {};
}

TEST_F(DaemonProcessE2E, StartedWithALowSoftDescriptorLimitRaisesItToTheHardOne) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({"/bin/sh", "-c", "ulimit -S -n 256 && exec \"$0\""}));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[Start] Start AggServiceMgr"));
  const auto [soft, hard] = DescriptorLimits(pid_);
  ASSERT_FALSE(hard.empty());
  if (hard == "256") GTEST_SKIP() << "the hard limit is the lowered soft one";
  EXPECT_EQ(soft, hard);
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

// Not writable by others: a directory, the group or anyone else bits of its mode.
bool OthersCanWrite(const std::string& octalMode) { return (std::stoi(octalMode, nullptr, 8) & 022) != 0; }

TEST_F(DaemonProcessE2E, UnderUmaskZeroTheRunDirectoryAndTheLockFileAreTheDaemonsOwn) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({"/bin/sh", "-c", "umask 000 && exec \"$0\""}));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("IP-reputation data server listening on"));

  // "<mode> <owner> <path>" for each, one a line.
  std::istringstream lines(Shell(std::string("stat -c '%a %u %n' ") + kRunDir + " " + kSocketDir + " " + kLockFile));
  std::string mode;
  std::string owner;
  std::string path;
  int seen = 0;
  while (lines >> mode >> owner >> path) {
    ++seen;
    EXPECT_FALSE(OthersCanWrite(mode)) << path << " has mode " << mode;
    EXPECT_EQ(owner, "0") << path;
  }
  EXPECT_EQ(seen, 3);
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

TEST_F(DaemonProcessE2E, ARunDirectoryThatOthersCanWriteIsRefusedWithTheReason) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  Shell(std::string("mkdir -m 0777 ") + kRunDir);
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({}));
  const int status = WaitStatusOf(pid_);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_NE(WEXITSTATUS(status), 0);
  ASSERT_NO_FATAL_FAILURE(
      WaitForRecords(std::string("Not starting: '") + kRunDir + "' can be written by others (mode 0777)"));
  // Nothing was made in it.
  EXPECT_EQ(Shell(std::string("ls -A ") + kRunDir), "");
}

// Without a signal thread (signalfd refused) the manager takes the signals through its pipe:
// SIGHUP re-reads the level and SIGTERM still stops everything in order.
TEST_F(DaemonProcessE2E, WithoutASignalThreadTheDaemonStillAnswersHangupAndStopsOnSigterm) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({QBX_E2E_WITHOUT_SIGNALFD_BINARY}));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[Core][SignalWaiter] signalfd failed"));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[Core][main] Cannot register handler to change log level"));
  // The manager has taken the signals over just before it says so.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[Start] Start AggServiceMgr"));

  Shell("echo '{\"logLevel\": 5}' > /etc/zumbra/qbx-exporter/config.json");
  ASSERT_TRUE(ns_->Signal(pid_, SIGHUP));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Changing qbx-exporter log level to debug"));
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
  ReadWaitingRecords(*ns_);
  EXPECT_EQ(CountRecords(*ns_, "[Start] Shutting down AggServiceMgr"), 1) << Received();
}

// The instance lock removed under a running daemon (a cleanup of the run directory): a
// second daemon takes a new lock, but finds the first one's sockets answering and goes,
// naming them, without touching them.
TEST_F(DaemonProcessE2E, ASecondDaemonWithoutTheLockLeavesTheLiveSocketsOfTheFirst) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({}));
  const pid_t first = pid_;
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("IP-reputation data server listening on"));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[CLI][Open] Listening on"));
  const std::string listSockets = std::string("find ") + kRunDir + " -type s -exec stat -c '%i %n' {} + | sort";
  const std::string socketsBefore = Shell(listSockets);
  ASSERT_NE(socketsBefore.find(kHostSocket), std::string::npos) << socketsBefore;
  ASSERT_NE(socketsBefore.find(kIpReputationSocket), std::string::npos) << socketsBefore;

  Shell(std::string("rm ") + kLockFile);
  ASSERT_NO_FATAL_FAILURE(StartDaemonThrough({}));
  const pid_t second = pid_;
  const int status = WaitStatusOf(second);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_NE(WEXITSTATUS(status), 0);
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(std::string("Not starting: '") + kHostSocket +
                                         "' is live: another process listens there; not replacing it"));
  // At once: it did not wait for the socket to go.
  EXPECT_EQ(CountRecords(*ns_, "Inbound services cannot listen yet"), 0) << Received();

  // The first is intact and answers on each of its sockets.
  pid_ = first;
  EXPECT_EQ(Shell(listSockets), socketsBefore);
  SendCommand(commandFd_, "pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");
  std::string out;
  ASSERT_EQ(RunInside({QBX_E2E_STRANGER_BINARY, "ip-reputation", std::string("unix:") + kIpReputationSocket}, out), 0);
  EXPECT_NE(out.find("stranger: ip-reputation: ok"), std::string::npos) << out;
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
  EXPECT_EQ(Shell(std::string("find ") + kRunDir + " -type s"), "");
}

}  // namespace
}  // namespace qbx::e2e
