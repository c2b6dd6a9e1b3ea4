// The daemon's host socket stays reachable: its file removed while the daemon serves is
// noticed and listened on again, so that a fresh caller is answered; callers that connect and
// never speak hold the daemon's connection bound only until the handshake deadline, so that a
// fresh caller is answered within 30 s of them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

class DaemonSocketWatchE2E : public DaemonFixture {
 protected:
  // A fresh caller of the host service past the proxy, as the master APH.
  std::string FreshHostCall(const std::string& master, int seq) {
    std::string out;
    RunInside({QBX_E2E_STRANGER_BINARY, "host", std::string("unix:") + kHostSocket, "DFWRuleStats", master,
               std::to_string(seq), std::to_string(seq - 1)},
              out);
    return out;
  }
  // Calls afresh until answered; false after `failsafe`.
  bool AnsweredWithin(const std::string& master, int seq, std::chrono::seconds failsafe, std::string& last) {
    const auto until = std::chrono::steady_clock::now() + failsafe;
    do {
      last = FreshHostCall(master, seq);
      if (last.find("stranger: host: ok") != std::string::npos) return true;
      ReadWaitingRecords(*ns_);
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }
};

TEST_F(DaemonSocketWatchE2E, AHostSocketFileRemovedWhileServingIsListenedOnAgain) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  const std::string master = AphUuid(0);
  std::string out;
  ASSERT_TRUE(AnsweredWithin(master, 1, std::chrono::seconds(30), out)) << out;

  ASSERT_EQ(RunInside({"/bin/rm", kHostSocket}, out), 0) << out;
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(std::string("Listener on '") + kHostSocket +
                                             "' stopped accepting: the path no longer leads to its socket: nothing "
                                             "is there",
                                         1));
  EXPECT_TRUE(AnsweredWithin(master, 2, std::chrono::seconds(30), out)) << "no answer after the file went: " << out
                                                                         << "\n"
                                                                         << OutputOf(*ns_, pid_);
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

TEST_F(DaemonSocketWatchE2E, SilentCallersAtTheBoundKeepAFreshCallerWaitingOnlyUntilTheirDeadline) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit (util-linux) not installed";
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  // A descriptor limit of 256: the host socket holds at most 32 connections.
  pid_ = ns_->Spawn({"/usr/bin/prlimit", "--nofile=256:256", "--", QBX_EXPORTER_BINARY}, {{"QBX_LOG_LEVEL", "INFO"}});
  ASSERT_GT(pid_, 0);
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  const std::string master = AphUuid(0);

  // More callers than the bound connect and never send a byte.
  const pid_t silent = ns_->Spawn({QBX_E2E_BURST_BINARY, kHostSocket, "40"});
  ASSERT_GT(silent, 0);
  const auto made = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (OutputOf(*ns_, silent).find("burst: ") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), made) << OutputOf(*ns_, silent);
    ns_->NextSyslog(std::chrono::milliseconds(20));
  }
  const auto connected = std::chrono::steady_clock::now();
  EXPECT_NE(OutputOf(*ns_, silent).find("burst: 40 connected"), std::string::npos) << OutputOf(*ns_, silent);
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("holds 32 connections, its bound", 1));

  // Answered once the silent ones are closed (20 s), within 30 s of their connecting; the
  // check allows a generous margin over that.
  std::string out;
  EXPECT_TRUE(AnsweredWithin(master, 1, std::chrono::seconds(45), out))
      << "no answer with silent callers held: " << out << "\n"
      << OutputOf(*ns_, pid_);
  EXPECT_LT(std::chrono::steady_clock::now() - connected, std::chrono::seconds(45));
  EXPECT_NO_FATAL_FAILURE(WaitForRecords("that did not open the protocol within 20000 ms", 1));
  ASSERT_TRUE(ns_->Signal(silent, SIGTERM));
  ASSERT_TRUE(WaitForExitReading(*ns_, silent, std::chrono::seconds(30)).has_value());
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

}  // namespace
}  // namespace qbx::e2e
