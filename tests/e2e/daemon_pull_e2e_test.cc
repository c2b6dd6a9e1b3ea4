// The whole daemon answering the management plane: the stand-in transport-node proxy with
// two APHs is started beside the database and the monitoring provider; every vertical
// registers its endpoint with the forwarding side and completes app-init with the master;
// the master then pulls from several verticals (client data, summation twice, runtime
// status) and gets answers; a mastership change and a dropped forwarding connection are
// survived; SIGTERM still ends the daemon with 0. The daemon's sockets: a second daemon
// leaves the first one's alone, a clean exit leaves none behind, and a socket directory that
// cannot be used at start is waited for until it is repaired.
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

constexpr char kNobody[] = "65534";

// Where the daemon serves its inbound services: only root (the local proxies) may connect.
std::string HostServiceTarget() { return std::string("unix:") + kHostSocket; }
std::string IpReputationTarget() { return std::string("unix:") + kIpReputationSocket; }

class DaemonPullE2E : public DaemonFixture {
 protected:
  // Runs the stranger client (as `uid` unless empty) and returns its answer line.
  std::string Stranger(const std::vector<std::string>& args, const std::string& uid = "") {
    std::vector<std::string> argv;
    if (!uid.empty()) {
      argv = {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "--"};
    }
    argv.push_back(QBX_E2E_STRANGER_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ns_->Spawn(argv);
    EXPECT_GT(pid, 0);
    if (pid <= 0) return std::string();
    EXPECT_TRUE(WaitForExitReading(*ns_, pid, std::chrono::seconds(30)).has_value())
        << "the stranger client still runs";
    return OutputOf(*ns_, pid);
  }
  // The peers (database, monitoring provider, proxy with two APHs), then the daemon.
  void StartPeersAndDaemon() {
    ASSERT_NO_FATAL_FAILURE(StartPeers());
    ASSERT_NO_FATAL_FAILURE(StartTnProxy());
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
  }
  // The same, returning once every vertical completed app-init and IP reputation is served.
  void StartServingDaemon() {
    ASSERT_NO_FATAL_FAILURE(StartPeersAndDaemon());
    ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
    ASSERT_NO_FATAL_FAILURE(WaitForRecords("IP-reputation data server listening on", 1));
  }
  // The Unix-domain sockets under the daemon's run directory, one path a line.
  std::string SocketsLeft() {
    std::string out;
    EXPECT_EQ(RunInside({"/usr/bin/find", kRunDir, "-type", "s"}, out), 0) << out;
    return out;
  }
};

TEST_F(DaemonPullE2E, TheManagementPlanePullsFromSeveralVerticalsAcrossMasterChangeAndForwardingLoss) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeersAndDaemon());

  // Every vertical's app-init completes with the master APH.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  Command("registrations");
  const std::string registered = WaitForAnswer("endpoint AggSvc-Routing at " + HostServiceTarget());
  EXPECT_NE(registered.find("endpoint AggSvc-L2-Switching at " + HostServiceTarget()), std::string::npos) << registered;
  EXPECT_NE(registered.find("endpoint DFWRuleStats at " + HostServiceTarget()), std::string::npos) << registered;

  // Client data from the switching vertical, summation twice from the firewall statistics
  // (the second acknowledging the first), runtime status from the routing vertical.
  Command("pull AggSvc-L2-Switching client-data com.zumbra.qbx.management.aggservice.l2.MacTableMsg");
  WaitForAnswer("pull client-data to AggSvc-L2-Switching: ok");
  Command("pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");
  Command("pull DFWRuleStats summation 2 1");
  WaitForAnswer("pull summation to DFWRuleStats: ok", 2);
  Command("pull AggSvc-Routing runtime-status zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg");
  WaitForAnswer("pull runtime-status to AggSvc-Routing: ok");
  // An application that is not served is refused clearly.
  Command("pull NoSuchVertical overwrite");
  WaitForAnswer("pull overwrite to NoSuchVertical: failed");

  // The second APH becomes the master: every vertical runs app-init with it, and it is
  // answered like the first.
  Command("master 1");
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", 2 * kVerticals));
  Command("pull AggSvc-L2-Switching client-data com.zumbra.qbx.management.aggservice.l2.MacTableMsg");
  WaitForAnswer("pull client-data to AggSvc-L2-Switching: ok", 2);

  // The forwarding connection drops and comes back: the verticals learn it, register again
  // and are pulled again.
  const int acks = CountRecords(*ns_, "Received REGISTRATION_ACK");
  Command("drop-forwarding");
  WaitForAnswer("forwarding endpoint stopped");
  Command("restore-forwarding");
  WaitForAnswer("forwarding endpoint started");
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", acks + kVerticals));
  Command("pull DFWRuleStats summation 3 2");
  WaitForAnswer("pull summation to DFWRuleStats: ok", 3);

  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

TEST_F(DaemonPullE2E, OnlyTheProxyReachesTheInboundServicesAndAStrangerLeavesTheDeltaChainIntact) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartServingDaemon());
  const std::string master = AphUuid(0);

  Command("pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");

  // An unprivileged local user cannot even connect, whatever caller id it claims.
  std::string out = Stranger({"host", HostServiceTarget(), "DFWRuleStats", master, "5", "0"}, kNobody);
  EXPECT_NE(out.find("stranger: host: refused"), std::string::npos) << out;
  EXPECT_NE(out.find("(uid 65534)"), std::string::npos) << out;
  out = Stranger({"ip-reputation", IpReputationTarget()}, kNobody);
  EXPECT_NE(out.find("stranger: ip-reputation: refused"), std::string::npos) << out;
  // A caller that is no APH of the management plane is refused even where it can connect.
  out = Stranger({"host", HostServiceTarget(), "DFWRuleStats", "00000000-0000-4000-8000-00000000dead", "5", "0"});
  EXPECT_NE(out.find("stranger: host: refused"), std::string::npos) << out;
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("is not a known APH", 1));

  // The management plane's chain goes on from where it was.
  Command("pull DFWRuleStats summation 2 1");
  WaitForAnswer("pull summation to DFWRuleStats: ok", 2);

  // The same clients are answered where they are entitled to be: the refusals above were
  // the access rules, not a broken client.
  out = Stranger({"ip-reputation", IpReputationTarget()});
  EXPECT_NE(out.find("stranger: ip-reputation: ok"), std::string::npos) << out;
  out = Stranger({"host", HostServiceTarget(), "DFWRuleStats", master, "3", "2"});
  EXPECT_NE(out.find("stranger: host: ok"), std::string::npos) << out;

  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

TEST_F(DaemonPullE2E, ASecondDaemonLeavesTheFirstServingAndACleanExitLeavesNoSocket) {
  if (::access(kAppctl, X_OK) != 0) GTEST_SKIP() << "ovs-appctl (openvswitch-common) not installed";
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartServingDaemon());
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[CLI][Open] Listening on", 1));

  // A second daemon on the same node gives up at once, naming the one that runs.
  const pid_t second = StartDaemonIn(*ns_);
  ASSERT_GT(second, 0);
  std::optional<int> status = WaitForExitReading(*ns_, second, std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "the second daemon still runs";
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
  EXPECT_NE(WEXITSTATUS(*status), 0);
  ASSERT_NO_FATAL_FAILURE(
      WaitForRecords("Not starting: another instance (pid " + std::to_string(pid_) + ") holds '" + kRunDir, 1));

  // The first keeps every socket: pulls, IP-reputation lookups and commands are answered.
  Command("pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");
  std::string out = Stranger({"ip-reputation", IpReputationTarget()});
  EXPECT_NE(out.find("stranger: ip-reputation: ok"), std::string::npos) << out;
  EXPECT_EQ(RunInside({kAppctl, "-t", kCliSocket, "set/loglevel", "info"}, out), 0) << out;
  EXPECT_EQ(out, "log level set to 4\n");

  // A clean exit takes every socket of the daemon with it.
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
  EXPECT_EQ(SocketsLeft(), "");
}

TEST_F(DaemonPullE2E, ALinkedSocketDirectoryRepairedAfterFiveSecondsIsServed) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  // The socket directory is a link to a place where anybody could have put it.
  std::string out;
  ASSERT_EQ(RunInside({"/bin/sh", "-c",
                       "mkdir -p /var/run/zumbra/elsewhere /var/run/zumbra/exporter && "
                       "ln -s /var/run/zumbra/elsewhere /var/run/zumbra/exporter/rpc"},
                      out),
            0)
      << out;
  ASSERT_NO_FATAL_FAILURE(StartPeersAndDaemon());

  // The daemon says why it waits, and tries again; the repair comes once it has waited 5 s.
  const std::string waiting = "Inbound services cannot listen yet (";
  long long waited = 0;
  const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (size_t seen = 0; waited < 5000;) {
    ASSERT_LT(std::chrono::steady_clock::now(), failsafe) << "no retry 5 s after start; output:\n"
                                                          << OutputOf(*ns_, pid_);
    ASSERT_FALSE(ns_->WaitForExit(pid_, std::chrono::milliseconds(0)).has_value())
        << "the daemon gave up instead of waiting; output:\n" << OutputOf(*ns_, pid_);
    ns_->NextSyslog(std::chrono::milliseconds(200));
    for (; seen < ns_->Syslog().size(); ++seen) {
      const std::string& record = ns_->Syslog()[seen];
      const size_t at = record.find(waiting);
      if (at == std::string::npos) continue;
      EXPECT_NE(record.find("/var/run/zumbra/exporter/rpc' is not a directory of this user; not listening there"),
                std::string::npos)
          << record;
      waited = std::stoll(record.substr(at + waiting.size()));
    }
  }
  EXPECT_EQ(CountRecords(*ns_, "Received REGISTRATION_ACK"), 0);
  ASSERT_EQ(RunInside({"/bin/sh", "-c", "rm /var/run/zumbra/exporter/rpc && mkdir -m 0700 /var/run/zumbra/exporter/rpc"},
                      out),
            0)
      << out;

  // The repaired directory is used: the endpoints are registered and pulls answered.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Inbound services can listen after", 1));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));
  Command("registrations");
  WaitForAnswer("endpoint DFWRuleStats at " + HostServiceTarget());
  Command("pull DFWRuleStats summation 1 0");
  WaitForAnswer("pull summation to DFWRuleStats: ok");
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("IP-reputation data server listening on", 1));
  out = Stranger({"ip-reputation", IpReputationTarget()});
  EXPECT_NE(out.find("stranger: ip-reputation: ok"), std::string::npos) << out;
  ASSERT_NO_FATAL_FAILURE(StopDaemonCleanly());
}

}  // namespace
}  // namespace qbx::e2e
