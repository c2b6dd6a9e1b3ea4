// A log service that stops reading never stops the daemon. The test fills the sandbox's
// "/dev/log" socket itself and reads nothing more: the daemon goes on answering pulls (each
// makes a record), says how many records it dropped once the log is read again, and a
// SIGTERM sent while the log is stalled ends it with 0. Its records reach the service as the
// C library's syslog() writes them.
// GCC 12 reports a false maybe-uninitialized inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

// More answered pulls than the daemon's queue holds records (each answer makes one), so that
// the stalled log costs records.
constexpr int kPullsForDrops = 4096 + 200;
constexpr int kSinglePullsPerRound = 20;
const std::string kFiller = "stall-filler";
const std::string kPull = "pull AggSvc-L2-Switching client-data com.zumbra.qbx.management.aggservice.l2.MacTableMsg";
const std::string kLoad = "load 4 AggSvc-L2-Switching client-data com.zumbra.qbx.management.aggservice.l2.MacTableMsg";
const std::string kPullOk = "pull client-data to AggSvc-L2-Switching: ok";
const std::string kDropReport = "Log records dropped because the log did not accept them: ";

class DaemonLogStallE2E : public DaemonFixture {
 protected:
  // Waits, without reading a record, until the proxy stand-in printed `needle` `count` times.
  void WaitForPrinted(const std::string& needle, int count) {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (Printed(needle) < count) {
      if (std::chrono::steady_clock::now() > failsafe) {
        FAIL() << Printed(needle) << " of " << count << " '" << needle << "' from the proxy stand-in:\n"
               << OutputOf(*ns_, tnproxy_) << "\ndaemon output:\n" << OutputOf(*ns_, pid_);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The first record read so far that contains `needle`.
  std::string RecordWith(const std::string& needle) {
    for (const std::string& record : ns_->Syslog()) {
      if (record.find(needle) != std::string::npos) return record;
    }
    return std::string();
  }
  // Fills the namespace's "/dev/log" socket until it takes no more datagram: from then on
  // the log service is stalled for everybody, until the test reads again.
  void StallTheLog() {
    const std::string path = ns_->ScratchDir() + "/devlog";
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
        << "no capture socket at " << path << ": " << std::strerror(errno);
    while (::send(fd, kFiller.data(), kFiller.size(), 0) >= 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    ::close(fd);
  }
  // A load and a few single pulls, all answered while nobody reads the log; the number of
  // pulls answered.
  int PullsWhileStalled() {
    Command(kLoad);
    const int before = Printed(kPullOk);
    for (int i = 0; i < kSinglePullsPerRound; ++i) Command(kPull);
    WaitForPrinted(kPullOk, before + kSinglePullsPerRound);
    Command("stop-load");
    const std::string line = WaitForLoadReport(++loads_, std::chrono::seconds(120));
    LoadReport report;
    EXPECT_TRUE(ScanLoadReport(line, report)) << line;
    EXPECT_EQ(report.failed, 0) << line;
    EXPECT_EQ(report.timedOut, 0) << line;
    return report.ok + kSinglePullsPerRound;
  }

  int loads_ = 0;
};

TEST_F(DaemonLogStallE2E, PullsAreAnsweredAndSigtermEndsTheDaemonWhileTheLogIsStalled) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));

  // The service receives what the C library's syslog() sends for a program without openlog():
  // "<PRI>Mmm dd hh:mm:ss qbx-exporter: LINE", records on LOCAL6, plain lines on LOG_USER.
  const std::string stamp = "[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]";
  const std::string setLevel = RecordWith("Set log level to INFO");
  EXPECT_TRUE(std::regex_match(setLevel, std::regex("<14>" + stamp + " qbx-exporter: Set log level to INFO")))
      << setLevel;
  const std::string ack = RecordWith("Received REGISTRATION_ACK");
  EXPECT_TRUE(std::regex_match(ack, std::regex("<182>" + stamp + " qbx-exporter: QBX " + std::to_string(pid_) +
                                               R"( - \[qbx@8352 comp="qbx-krx" subcomp="[^"]+" tid="[0-9]+" )"
                                               R"(level="INFO"\] .*Received REGISTRATION_ACK.*)")))
      << ack;

  // Stalled: pulls go on being answered, also after the daemon's queue of records is full.
  ASSERT_NO_FATAL_FAILURE(StallTheLog());
  for (int answered = 0; answered < kPullsForDrops;) {
    const int round = PullsWhileStalled();
    if (HasFatalFailure() || HasNonfatalFailure()) return;
    answered += round;
  }

  // Read again: the daemon says how many records the log missed.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(kDropReport, 1));
  const std::string report = RecordWith(kDropReport);
  EXPECT_TRUE(std::regex_match(report, std::regex("<180>" + stamp + " qbx-exporter: QBX " + std::to_string(pid_) +
                                                  R"( - \[qbx@8352 .* level="WARNING"\] )" + kDropReport + "[1-9][0-9]*")))
      << report;

  // Stalled again, under load: SIGTERM still ends the daemon, with nobody reading its records.
  ASSERT_NO_FATAL_FAILURE(StallTheLog());
  Command(kLoad);
  const int before = Printed(kPullOk);
  Command(kPull);
  ASSERT_NO_FATAL_FAILURE(WaitForPrinted(kPullOk, before + 1));
  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  // A hang guard, not a timing requirement.
  std::optional<int> status = ns_->WaitForExit(pid_, std::chrono::seconds(30));
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
  Command("stop-load");
  ASSERT_TRUE(status.has_value()) << "daemon still running 30 s after SIGTERM with the log stalled\n"
                                  << OutputOf(*ns_, pid_);
  RecordProperty("sigterm_to_exit_ms", static_cast<int>(took.count()));
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns_, pid_);
  EXPECT_EQ(WEXITSTATUS(*status), 0) << OutputOf(*ns_, pid_);
}

}  // namespace
}  // namespace qbx::e2e
