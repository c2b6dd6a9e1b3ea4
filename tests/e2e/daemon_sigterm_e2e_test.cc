// SIGTERM while the management plane pulls: the daemon must end, with 0, every time, and
// every pull it accepted must be answered (an answer or an error, never a caller left to its
// deadline). Each sandbox keeps its stand-in peers and starts the daemon again and again;
// the proxy stand-in keeps several pulls in flight while the signal arrives. Several
// sandboxes run side by side (one test each), so that the forty stops cost little time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

constexpr int kStopsPerSandbox = 10;  // four sandboxes: forty stops
constexpr int kAnswersBeforeStop = 20;

class DaemonSigtermE2E : public DaemonFixture, public ::testing::WithParamInterface<int> {
 protected:
  // Reads the daemon's records until `count` of those not yet looked at contain `needle`.
  void WaitForNewRecords(const std::string& needle, int count) {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int seen = 0;
    for (;;) {
      const auto& records = ns_->Syslog();
      for (; scanned_ < records.size(); ++scanned_) seen += records[scanned_].find(needle) != std::string::npos;
      if (seen >= count) return;
      if (std::chrono::steady_clock::now() > failsafe) {
        FAIL() << seen << " of " << count << " new records with '" << needle << "'; daemon output:\n"
               << OutputOf(*ns_, pid_) << "\nproxy stand-in:\n"
               << OutputOf(*ns_, tnproxy_);
      }
      ns_->NextSyslog(std::chrono::milliseconds(100));
    }
  }

  size_t scanned_ = 0;
};

TEST_P(DaemonSigtermE2E, EndsWithZeroAndAnswersEveryAcceptedPullWhenStoppedUnderLoad) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());

  for (int stop = 1; stop <= kStopsPerSandbox; ++stop) {
    SCOPED_TRACE("stop " + std::to_string(stop) + " in sandbox " + std::to_string(GetParam()));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(WaitForNewRecords("Received REGISTRATION_ACK", kVerticals));
    // Two verticals under load: calls open in both when the signal comes.
    Command("load 3 AggSvc-L2-Switching client-data com.zumbra.qbx.management.aggservice.l2.MacTableMsg");
    Command("load 3 AggSvc-Routing runtime-status zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg");
    ASSERT_NO_FATAL_FAILURE(WaitForNewRecords("RespondMsg : Sent response", kAnswersBeforeStop));

    ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
    // A hang guard, not a timing requirement: a daemon that stops waits for nothing unbounded.
    std::optional<int> status = WaitForExitReading(*ns_, pid_, std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "daemon still running 20 s after SIGTERM\n" << OutputOf(*ns_, pid_);
    ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns_, pid_);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << OutputOf(*ns_, pid_);

    Command("stop-load");
    const std::string line = WaitForLoadReport(stop);
    LoadReport report;
    ASSERT_TRUE(ScanLoadReport(line, report)) << line;
    EXPECT_GT(report.ok, 0) << line;
    EXPECT_EQ(report.timedOut, 0) << "pulls left unanswered until their deadline: " << line;
    ReadWaitingRecords(*ns_);
    scanned_ = ns_->Syslog().size();
  }
}

INSTANTIATE_TEST_SUITE_P(FourSandboxes, DaemonSigtermE2E, ::testing::Range(0, 4));

}  // namespace
}  // namespace qbx::e2e
