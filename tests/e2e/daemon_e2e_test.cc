// The whole daemon with its stand-in peers: start-up order, clients set up and opened in
// ascending name order, the signals before and after the manager takes them over, and the
// ordered shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

// The verticals in list order, and their names in ascending byte order.
const std::vector<std::string> kListOrder = {"AggSvc-L2-Switching", "AggSvc-Routing", "HostNodeStatusVertical",
                                             "DFWRuleStats",        "IDPSRuleStats",  "FabricStats",
                                             "TransportNodeStatusVertical", "AggSvc-Lb"};
const std::vector<std::string> kNameOrder = {"AggSvc-L2-Switching", "AggSvc-Lb",     "AggSvc-Routing",
                                             "DFWRuleStats",        "FabricStats",   "HostNodeStatusVertical",
                                             "IDPSRuleStats",       "TransportNodeStatusVertical"};
// Verticals whose types are also collected from smart NICs.
const std::vector<std::string> kSnic = {"AggSvc-L2-Switching", "AggSvc-Routing", "HostNodeStatusVertical",
                                        "DFWRuleStats", "TransportNodeStatusVertical", "AggSvc-Lb"};

class DaemonE2E : public DaemonFixture {
 protected:
  // Waits for the records in this order; each must come after the one before it.
  void ExpectInOrder(const std::vector<std::string>& needles) {
    for (const std::string& needle : needles) {
      if (!ns_->WaitForSyslog(needle)) {
        FAIL() << "no record with '" << needle << "' after the previous ones; received:\n"
               << Received() << "output:\n"
               << OutputOf(*ns_, pid_);
      }
    }
  }
  int WaitStatus() {
    std::optional<int> status = ns_->WaitForExit(pid_);
    EXPECT_TRUE(status.has_value()) << "daemon still running";
    return status.value_or(-1);
  }
};

TEST_F(DaemonE2E, StartsInOrderAnswersHangupAndStopsInNameOrderOnSigterm) {
  if (!CreateNamespace(5)) GTEST_SKIP() << skipReason_;
  ASSERT_GT(StartNodeDb(*ns_), 0);
  ASSERT_GT(StartMonitoring(*ns_), 0);
  ASSERT_NO_FATAL_FAILURE(StartDaemon());

  std::vector<std::string> startUp = {
      "[Core][main] nodedb client is created",
      "[Core][StartNodedbClientMonitor] Launching exporter nodedb client monitor thread completed.",
      "[Core][StartExporterCommonCli] Launching exporter common CLI thread completed.",
      "Adding 8 verticals"};
  for (const std::string& name : kListOrder) {
    startUp.push_back("Adding vertical " + name);
    if (std::find(kSnic.begin(), kSnic.end(), name) != kSnic.end()) {
      startUp.push_back("Creating SnicAggServiceClient for " + name);
    }
    startUp.push_back("Added vertical " + name);
  }
  startUp.insert(startUp.end(), {"[Core][StartIpReputationDataServer] Launching exporter ip reputation server thread completed.",
                                 "[Start] Start AggServiceMgr", "Starting MPA client event loop thread...",
                                 "Starting 8 AggSvc clients"});
  for (const std::string& name : kNameOrder) {
    startUp.push_back("[StartAllAggClients] Starting AggSvc client: " + name);
    startUp.push_back("[StartAllAggClients] AggSvc client[" + name + "] created");
  }
  for (const std::string& name : kNameOrder) startUp.push_back("[StartAllAggClients] AggSvc client[" + name + "] started");
  startUp.push_back("[StartAllAggClients] TnProxyClientCommon for AggSvc client started");
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder(startUp));
  // The database was reached before the manager started.
  EXPECT_EQ(CountRecords(*ns_, "Failed to start AggServiceMgr"), 0);

  // The manager re-reads the level on SIGHUP; SIGUSR1 no longer changes it.
  ASSERT_TRUE(ns_->Signal(pid_, SIGHUP));
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"Changing qbx-exporter log level to debug"}));
  ASSERT_TRUE(ns_->Signal(pid_, SIGUSR1));

  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  std::vector<std::string> shutdown = {"Stopping 8 AggSvc clients"};
  for (const std::string& name : kNameOrder) {
    shutdown.push_back("[StopAllAggClients] Stopping AggSvc client: " + name);
    shutdown.push_back("[StopAllAggClients] AggSvc client[" + name + "] stopped");
  }
  // The channel stops once, after the last client, so that no client's answers are lost.
  shutdown.push_back("Stopping MPA client event loop thread...");
  shutdown.push_back("[Start] Shutting down AggServiceMgr");
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder(shutdown));
  int status = WaitStatus();
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << "\n" << OutputOf(*ns_, pid_);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(CountRecords(*ns_, "Changing log level to LVL_"), 0);
  EXPECT_EQ(OutputOf(*ns_, pid_).find("Sanitizer"), std::string::npos) << OutputOf(*ns_, pid_);
}

TEST_F(DaemonE2E, SigusrOneTogglesVerboseUntilTheManagerStarts) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  // Without the database the daemon waits in start-up, after the manager was created.
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"Added vertical AggSvc-Lb"}));

  ASSERT_TRUE(ns_->Signal(pid_, SIGUSR1));
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"[Core][SigUser1Handler] Changing log level to LVL_VERBOSE"}));
  ASSERT_TRUE(ns_->Signal(pid_, SIGUSR1));
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"[Core][SigUser1Handler] Changing log level to LVL_INFO"}));

  ASSERT_GT(StartNodeDb(*ns_), 0);
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"[Start] Start AggServiceMgr", "TnProxyClientCommon for AggSvc client started"}));
  ASSERT_TRUE(ns_->Signal(pid_, SIGINT));
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"[Start] Shutting down AggServiceMgr"}));
  int status = WaitStatus();
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DaemonE2E, SigtermDuringStartUpKeepsItsDefaultAction) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder({"Added vertical AggSvc-Lb"}));
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  int status = WaitStatus();
  ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(CountRecords(*ns_, "Start AggServiceMgr"), 0);
}

}  // namespace
}  // namespace qbx::e2e
