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
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  // The host socket holds at most 32 connections.
  ASSERT_NO_FATAL_FAILURE(StartDaemonWithDescriptorLimit(256));
  if (IsSkipped()) return;
  const std::string master = AphUuid(0);

  // More callers than the bound connect and never send a byte.
  pid_t silent = -1;
  ASSERT_NO_FATAL_FAILURE(StartSilentBurst(kHostSocket, 40, silent));
  const auto connected = std::chrono::steady_clock::now();
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
