// The daemon keeps listening: a socket directory made a link while start-up waits for the
// database is tried again and served once repaired (the endpoints registered only then, and
// pulls answered); a burst of more connections than the daemon's descriptor limit allows
// does not silence the host socket: once the burst's callers have closed, a fresh caller is
// answered.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

// How often `needle` stands in `text`.
int CountIn(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class DaemonListenE2E : public DaemonFixture {
 protected:
  // Starts the database stand-in while the daemon runs, reading the daemon's records
  // meanwhile so that no record is dropped for a full socket queue.
  void StartNodeDbBesideTheDaemon() {
    const pid_t pid = StartPeer(*ns_, "nodedb_standin", "qbx-nodedb-standin");
    ASSERT_GT(pid, 0);
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (OutputOf(*ns_, pid).find("serving on") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), failsafe) << OutputOf(*ns_, pid);
      ns_->NextSyslog(std::chrono::milliseconds(20));
    }
  }
};

TEST_F(DaemonListenE2E, ASocketDirectoryMadeALinkWhileStartUpWaitsForTheDatabaseIsServedOnceRepaired) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_GT(StartMonitoring(*ns_), 0);
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  // Start-up found the directory usable and now waits for the database: the directory is
  // made a link to a place anybody could have put it.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("nodedb client is created", 1));
  std::string out;
  ASSERT_EQ(RunInside({"/bin/sh", "-c",
                       std::string("rmdir ") + kSocketDir + " && mkdir -p /var/run/zumbra/elsewhere && ln -s "
                           "/var/run/zumbra/elsewhere " + kSocketDir},
                      out),
            0)
      << out;
  ASSERT_NO_FATAL_FAILURE(StartNodeDbBesideTheDaemon());

  // Both services say why they cannot listen, and try again (each at least once, after 1 s).
  const std::string waiting = "Inbound services cannot listen yet (";
  const std::string why = std::string(kSocketDir) + "' is not a directory of this user; not listening there";
  const auto retries = [&] {
    int n = 0;
    for (const std::string& record : ns_->Syslog()) {
      const size_t at = record.find(waiting);
      if (at == std::string::npos) continue;
      EXPECT_NE(record.find(why), std::string::npos) << record;
      n += std::stoll(record.substr(at + waiting.size())) >= 1000;
    }
    return n;
  };
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(waiting, 2));
  const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (retries() < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), failsafe) << "no retry; output:\n" << OutputOf(*ns_, pid_);
    ns_->NextSyslog(std::chrono::milliseconds(200));
  }
  ASSERT_FALSE(ns_->WaitForExit(pid_, std::chrono::milliseconds(0)).has_value()) << OutputOf(*ns_, pid_);
  // Nothing listens, so the forwarding side knows no endpoint of the daemon.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("CreateAppSpecificInstance End", kVerticals));
  Command("registrations");
  WaitForAnswer("no endpoints registered");

  ASSERT_EQ(RunInside({"/bin/sh", "-c", std::string("rm ") + kSocketDir + " && mkdir -m 0700 " + kSocketDir}, out), 0)
      << out;

  // Repaired: both listen at their next try, the endpoints are registered, pulls answered.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Inbound services can listen after", 2));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("IP-reputation data server listening on", 1));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  // The forwarding side learns the endpoint once the host socket listens, which no record
  // of the daemon marks: ask until it knows it (each answer is one more line).
  const std::string endpoint = std::string("endpoint DFWRuleStats at unix:") + kHostSocket;
  const std::string none = "no endpoints registered";
  const auto known = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int answers = CountIn(OutputOf(*ns_, tnproxy_), none) + 1;
       OutputOf(*ns_, tnproxy_).find(endpoint) == std::string::npos; ++answers) {
    ASSERT_LT(std::chrono::steady_clock::now(), known) << OutputOf(*ns_, tnproxy_);
    Command("registrations");
    while (CountIn(OutputOf(*ns_, tnproxy_), none) < answers &&
           OutputOf(*ns_, tnproxy_).find(endpoint) == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), known) << OutputOf(*ns_, tnproxy_);
      ns_->NextSyslog(std::chrono::milliseconds(20));
    }
  }
  Command("pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");
  ASSERT_EQ(RunInside({QBX_E2E_STRANGER_BINARY, "ip-reputation", std::string("unix:") + kIpReputationSocket}, out), 0);
  EXPECT_NE(out.find("stranger: ip-reputation: ok"), std::string::npos) << out;
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

TEST_F(DaemonListenE2E, ABurstBeyondTheDescriptorLimitCannotSilenceTheHostSocket) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  ASSERT_NO_FATAL_FAILURE(StartDaemonWithDescriptorLimit(256));
  if (IsSkipped()) return;
  const std::string master = AphUuid(0);
  Command("pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");

  // 600 callers at once, more than the daemon could hold: it holds its bound, the others
  // wait in the queue; then all of them go.
  pid_t burst = -1;
  ASSERT_NO_FATAL_FAILURE(StartSilentBurst(kHostSocket, 600, burst));
  EXPECT_NO_FATAL_FAILURE(WaitForRecords("holds 32 connections, its bound", 1));
  ASSERT_TRUE(ns_->Signal(burst, SIGTERM));
  ASSERT_TRUE(WaitForExitReading(*ns_, burst, std::chrono::seconds(30)).has_value());

  // A fresh caller is answered (within 30 s of the burst), and so is the proxy.
  const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const std::string out = FreshHostCall(master, 2);
    if (out.find("stranger: host: ok") != std::string::npos) break;
    ASSERT_LT(std::chrono::steady_clock::now(), failsafe) << "no answer after the burst: " << out << "\n"
                                                          << OutputOf(*ns_, pid_);
  }
  Command("pull DFWRuleStats summation 3 2");
  WaitForAnswer("pull summation to DFWRuleStats: ok", 2);
  ASSERT_FALSE(ns_->WaitForExit(pid_, std::chrono::milliseconds(0)).has_value()) << OutputOf(*ns_, pid_);
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

}  // namespace
}  // namespace qbx::e2e
