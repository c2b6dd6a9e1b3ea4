// The operator's command line against the running daemon: the distribution's ovs-appctl,
// run inside the daemon's namespace, changes the log level of the whole process and stops
// the daemon with status 0 ten seconds after the request, without the ordered shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

class DaemonControlE2E : public DaemonFixture {
 protected:
  // False (and the test skipped) where namespaces or ovs-appctl are not available.
  bool CreateNamespace(const std::map<std::string, std::string>& extraFiles = {}) {
    if (::access(kAppctl, X_OK) != 0) {
      skipReason_ = "ovs-appctl (openvswitch-common) not installed";
      return false;
    }
    return DaemonFixture::CreateNamespace(4, extraFiles);
  }
  bool SocketFileExists() {
    std::string out;
    return RunInside({"/bin/sh", "-c", std::string("test -e ") + kCliSocket}, out) == 0;
  }
  // Starts the peers and the daemon and waits until the manager runs its clients.
  void StartRunningDaemon() {
    ASSERT_NO_FATAL_FAILURE(StartPeers());
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(Expect("[StartAllAggClients] TnProxyClientCommon for AggSvc client started"));
  }
  // Waits for a record after the one the previous Expect found.
  void Expect(const std::string& needle) {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      const std::vector<std::string>& seen = ns_->Syslog();
      for (; cursor_ < seen.size(); ++cursor_) {
        if (seen[cursor_].find(needle) != std::string::npos) {
          ++cursor_;
          return;
        }
      }
      if (std::chrono::steady_clock::now() > failsafe) {
        FAIL() << "no record with '" << needle << "'; received:\n" << Received() << "output:\n" << OutputOf(*ns_, pid_);
      }
      ns_->NextSyslog(std::chrono::milliseconds(200));
    }
  }
  // Reads what the ended daemon still had in flight (bounded: the peers keep running).
  void DrainSyslog() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline && ns_->NextSyslog(std::chrono::milliseconds(200))) {
    }
  }
  // Runs ovs-appctl inside the namespace; its exit status (-1 when it did not end), with
  // what it printed in `out`.
  int Appctl(const std::vector<std::string>& command, std::string& out) {
    std::vector<std::string> argv = {kAppctl, "-t", kCliSocket};
    argv.insert(argv.end(), command.begin(), command.end());
    return RunInside(argv, out, std::chrono::seconds(10));
  }
  // The daemon's wait status once it ended.
  int WaitStatus() { return WaitStatusOf(pid_); }
  void ExpectCleanExit(int status) {
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << "\n" << OutputOf(*ns_, pid_);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(OutputOf(*ns_, pid_).find("Sanitizer"), std::string::npos) << OutputOf(*ns_, pid_);
  }

  size_t cursor_ = 0;  // records before it were matched or passed by Expect
};

TEST_F(DaemonControlE2E, SetLogLevelChangesTheLevelOfTheWholeProcess) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartRunningDaemon());

  // A level outside 1..6 is refused and changes nothing: the command's own debug record
  // stays away.
  std::string out;
  EXPECT_EQ(Appctl({"set/loglevel", "9"}, out), 2) << out;
  EXPECT_NE(out.find("invalid log level \"9\""), std::string::npos) << out;
  EXPECT_EQ(Appctl({"get/dfw/stats"}, out), 2) << out;
  EXPECT_NE(out.find("\"get/dfw/stats\" is not a valid command"), std::string::npos) << out;

  ASSERT_EQ(Appctl({"set/loglevel", "debug"}, out), 0) << out;
  EXPECT_EQ(out, "log level set to 5\n");
  ASSERT_NO_FATAL_FAILURE(Expect("[CLI][set/loglevel] Log level set to 5"));
  // Debug records of the command-line server now reach syslog.
  EXPECT_EQ(Appctl({"set/loglevel", "5"}, out), 0) << out;
  ASSERT_NO_FATAL_FAILURE(Expect("[CLI][HandleRequest] Command set/loglevel"));
  EXPECT_EQ(CountRecords(*ns_, "Command get/dfw/stats"), 0) << "a debug record before the level was raised";

  // Back to warnings: the INFO record of the change itself is no longer written.
  ASSERT_EQ(Appctl({"set/loglevel", "warning"}, out), 0) << out;
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  ExpectCleanExit(WaitStatus());
  DrainSyslog();
  EXPECT_EQ(CountRecords(*ns_, "Log level set to 3"), 0) << Received();
  // The ordered shutdown logs at INFO: nothing of it passes a level of 3.
  EXPECT_EQ(CountRecords(*ns_, "Stopping 8 AggSvc clients"), 0) << Received();
}

TEST_F(DaemonControlE2E, SetStopEndsTheRunningDaemonWithZeroAfterTenSeconds) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartRunningDaemon());

  const auto requested = std::chrono::steady_clock::now();
  std::string out;
  ASSERT_EQ(Appctl({"set/stop"}, out), 0) << out;
  EXPECT_EQ(out, "exporter stops in 10 seconds\n");
  ASSERT_NO_FATAL_FAILURE(Expect("[CLI][set/stop] Stop requested; exiting in 10 seconds"));
  // A second request while the exit is pending is answered and does not add another exit.
  ASSERT_EQ(Appctl({"set/stop"}, out), 0) << out;

  ASSERT_NO_FATAL_FAILURE(Expect("[CLI][set/stop] Exiting on request"));
  const int status = WaitStatus();
  const auto elapsed = std::chrono::steady_clock::now() - requested;
  ExpectCleanExit(status);
  // The delay runs from the request, which came after `requested`.
  EXPECT_GE(elapsed, std::chrono::seconds(10));
  DrainSyslog();
  EXPECT_EQ(CountRecords(*ns_, "Stop requested"), 1);
  EXPECT_EQ(CountRecords(*ns_, "Exiting on request"), 1);
  // The exit is immediate: no ordered shutdown of the manager.
  EXPECT_EQ(CountRecords(*ns_, "Shutting down AggServiceMgr"), 0) << Received();
  // The immediate exit still takes the command socket's file with it.
  EXPECT_FALSE(SocketFileExists());
}

// SIGTERM before the manager runs keeps its default action, and still takes the command
// socket's file with it.
TEST_F(DaemonControlE2E, SigtermDuringStartUpRemovesTheSocketFile) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  // Without the database the daemon waits in start-up, its command socket open.
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(Expect(std::string("[CLI][Open] Listening on ") + kCliSocket));
  ASSERT_TRUE(SocketFileExists());
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  const int status = WaitStatus();
  ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_FALSE(SocketFileExists());
}

// A cleanup that removed the instance lock file lets a second daemon start beside the
// first: it must not take the first one's command socket, which stays reachable, and it ends
// by itself at once, non-zero, rather than try the socket for minutes.
TEST_F(DaemonControlE2E, SecondDaemonLeavesTheCommandSocketOfALiveOneAlone) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  const std::string listening = std::string("[CLI][Open] Listening on ") + kCliSocket;
  ASSERT_NO_FATAL_FAILURE(Expect(listening));
  std::string out;
  ASSERT_EQ(RunInside({"/bin/rm", "-f", "/var/run/zumbra/exporter/instance.lock"}, out), 0) << out;

  const pid_t second = StartDaemonIn(*ns_);
  ASSERT_GT(second, 0);
  // The retry's first wait is a second, its give-up 5 minutes: well within this guard means
  // it did not try again.
  const int secondStatus = WaitStatusOf(second);
  ASSERT_TRUE(WIFEXITED(secondStatus)) << "wait status " << secondStatus;
  EXPECT_EQ(WEXITSTATUS(secondStatus), 255);
  ReadWaitingRecords(*ns_);
  EXPECT_EQ(CountRecords(*ns_, listening), 1) << Received();
  EXPECT_EQ(CountRecords(*ns_, std::string("[CLI][Open] Cannot listen on ") + kCliSocket +
                                   ": a server is listening there; its socket is left alone"),
            1)
      << Received();
  EXPECT_EQ(CountRecords(*ns_, std::string("Giving up the command socket: another process listens on ") + kCliSocket),
            1)
      << Received();
  EXPECT_EQ(CountRecords(*ns_, "cannot listen yet"), 0) << Received();

  // The first daemon still answers on its socket.
  ASSERT_TRUE(SocketFileExists());
  ASSERT_EQ(Appctl({"set/loglevel", "info"}, out), 0) << out;
  EXPECT_EQ(out, "log level set to 4\n");
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  const int status = WaitStatus();
  EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << "wait status " << status;
}

// A command socket that cannot listen at first is tried again, and served once repaired:
// the operator is never left without a way in to a running daemon.
TEST_F(DaemonControlE2E, ACommandSocketThatCannotListenIsServedOnceRepaired) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  std::string out;
  ASSERT_EQ(RunInside({"/bin/mkdir", "-p", kCliSocket}, out), 0) << out;
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(Expect(std::string("[CLI][Open] Cannot listen on ") + kCliSocket));
  ASSERT_NO_FATAL_FAILURE(Expect("The command socket cannot listen yet"));
  ASSERT_EQ(RunInside({"/bin/rmdir", kCliSocket}, out), 0) << out;
  ASSERT_NO_FATAL_FAILURE(Expect(std::string("[CLI][Open] Listening on ") + kCliSocket));
  ASSERT_EQ(Appctl({"set/loglevel", "info"}, out), 0) << out;
  EXPECT_EQ(out, "log level set to 4\n");
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  const int status = WaitStatus();
  EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << "wait status " << status;
}

TEST_F(DaemonControlE2E, SetStopEndsADaemonStillWaitingForTheDatabase) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  // Without the database, start-up waits for it after the command-line server started.
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(Expect("Added vertical AggSvc-Lb"));

  std::string out;
  ASSERT_EQ(Appctl({"set/stop"}, out), 0) << out;
  EXPECT_EQ(out, "exporter stops in 10 seconds\n");
  ASSERT_NO_FATAL_FAILURE(Expect("[CLI][set/stop] Exiting on request"));
  ExpectCleanExit(WaitStatus());
  EXPECT_EQ(CountRecords(*ns_, "Start AggServiceMgr"), 0);
}

// Nested far deeper than a recursive parser survives.
std::string DeepJson(const std::string& head, size_t depth) {
  return head + std::string(depth, '[') + std::string(depth, ']') + "}";
}

TEST_F(DaemonControlE2E, DeeplyNestedFilesAndRequestsAreRefusedWithoutACrash) {
  if (!CreateNamespace({{"/etc/zumbra/qbx/smartnic-topology.json", DeepJson(R"({"persona": 1, "x": )", 100000)}})) {
    GTEST_SKIP() << skipReason_;
  }
  ASSERT_NO_FATAL_FAILURE(StartRunningDaemon());
  EXPECT_EQ(CountRecords(*ns_, "Cannot read smart-NIC topology"), 1) << Received();

  // A request with an id nested 30,000 deep: that connection is closed without an answer.
  const std::string client = R"(
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
try:
    s.sendall(b'{"method":"set/loglevel","params":["5"],"id":' + b'[' * 30000)
    s.settimeout(20)
    data = s.recv(4096)
except (BrokenPipeError, ConnectionResetError):
    data = b""
print("closed" if data == b"" else "answered")
)";
  std::string out;
  ASSERT_EQ(RunInside({"/usr/bin/python3", "-c", client, kCliSocket}, out), 0) << out;
  EXPECT_EQ(out, "closed\n");
  ASSERT_EQ(Appctl({"set/loglevel", "info"}, out), 0) << out;
  EXPECT_EQ(out, "log level set to 4\n");

  // The same depth in config.json, read again on SIGHUP, keeps the level.
  ASSERT_EQ(RunInside({"/usr/bin/python3", "-c",
                       "import sys; open(sys.argv[1], 'w').write('{\"logLevel\": 6, \"x\": ' + '[' * 100000 + "
                       "']' * 100000 + '}')",
                       "/etc/zumbra/qbx-exporter/config.json"},
                      out),
            0)
      << out;
  ASSERT_TRUE(ns_->Signal(pid_, SIGHUP));
  ASSERT_NO_FATAL_FAILURE(Expect("Failed to get qbx-exporter config file logLevel value"));
  EXPECT_EQ(Appctl({"set/loglevel", "info"}, out), 0) << out;

  EXPECT_TRUE(SocketFileExists());
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  ExpectCleanExit(WaitStatus());
  // The ordered shutdown leaves no socket file behind.
  EXPECT_FALSE(SocketFileExists());
}

// The host configuration is read once, at start, by the fabric vertical: the node UUID
// it holds is logged once for the process.
constexpr const char* kHostConfig = "/etc/zumbra/qbx/host-cfg.xml";

// The text after "[FabricStats] Node-uuid: " in each record that has it.
std::vector<std::string> LoggedNodeUuids(const Namespace& ns) {
  const std::string marker = "[FabricStats] Node-uuid: ";
  std::vector<std::string> uuids;
  for (const std::string& datagram : ns.Syslog()) {
    const size_t at = datagram.find(marker);
    if (at == std::string::npos) continue;
    std::string uuid = datagram.substr(at + marker.size());
    while (!uuid.empty() && (uuid.back() == '\n' || uuid.back() == '\0')) uuid.pop_back();
    uuids.push_back(uuid);
  }
  return uuids;
}

TEST_F(DaemonControlE2E, NodeUuidOfTheHostConfigurationIsLoggedOnceForTheProcess) {
  const std::string uuid = "6f1c1e3a-0000-4000-8000-00000000beef";
  if (!CreateNamespace({{kHostConfig, "<?xml version=\"1.0\"?>\n<config>\n  <uuid>" + uuid + "</uuid>\n</config>\n"}})) {
    GTEST_SKIP() << skipReason_;
  }
  ASSERT_NO_FATAL_FAILURE(StartRunningDaemon());
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  ExpectCleanExit(WaitStatus());
  DrainSyslog();
  EXPECT_EQ(LoggedNodeUuids(*ns_), std::vector<std::string>{uuid}) << Received();
  EXPECT_EQ(CountRecords(*ns_, "Error reading node uuid"), 0) << Received();
}

TEST_F(DaemonControlE2E, DeeplyNestedHostConfigurationGivesAnEmptyUuidWithoutACrash) {
  std::string deep = "<config>";
  for (int i = 0; i < 100000; ++i) deep += "<x>";
  for (int i = 0; i < 100000; ++i) deep += "</x>";
  if (!CreateNamespace({{kHostConfig, deep + "<uuid>6f1c1e3a-0000-4000-8000-00000000beef</uuid></config>"}})) {
    GTEST_SKIP() << skipReason_;
  }
  ASSERT_NO_FATAL_FAILURE(StartRunningDaemon());
  EXPECT_EQ(CountRecords(*ns_, std::string("Error reading node uuid from ") + kHostConfig + ". " + kHostConfig +
                                   ": nested deeper than 64 levels."),
            1)
      << Received();
  EXPECT_EQ(LoggedNodeUuids(*ns_), std::vector<std::string>{""}) << Received();
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  ExpectCleanExit(WaitStatus());
}

}  // namespace
}  // namespace qbx::e2e
