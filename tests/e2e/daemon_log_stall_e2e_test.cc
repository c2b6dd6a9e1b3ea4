// A log service that stops reading never stops the daemon. The test fills the sandbox's
// "/dev/log" socket itself and reads nothing more: the daemon goes on answering pulls (each
// makes a record), says how many records it dropped once the log is read again, and a
// SIGTERM sent while the log is stalled ends it with 0. Its records reach the service as the
// C library's syslog() writes them. A log that reads slowly does not hold the daemon's end
// either, and a service listening on "/dev/log" with a stream socket gets the records.
// GCC 12 reports a false maybe-uninitialized inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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
const std::string kNotHandedOver = "Log records not handed to the log at exit: ";
// "<PRI>Mmm dd hh:mm:ss ": the head of every record the C library's syslog() sends.
const std::string kStamp = "[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]";

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

  // Load rounds until more pulls were answered than the daemon's queue holds records.
  void AnswerMorePullsThanTheQueueHolds() {
    for (int answered = 0; answered < kPullsForDrops;) {
      const int round = PullsWhileStalled();
      if (HasFatalFailure() || HasNonfatalFailure()) return;
      answered += round;
    }
  }
  // SIGTERM while the proxy stand-in keeps pulls in flight (not before `at` when given); the
  // daemon's wait status (none when it ran on past the failsafe) and how long it took.
  std::optional<int> SigtermUnderLoad(std::chrono::milliseconds& took,
                                      std::optional<std::chrono::steady_clock::time_point> at = std::nullopt) {
    Command(kLoad);
    const int before = Printed(kPullOk);
    Command(kPull);
    WaitForPrinted(kPullOk, before + 1);
    if (HasFatalFailure()) return std::nullopt;
    if (at) std::this_thread::sleep_until(*at);
    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_TRUE(ns_->Signal(pid_, SIGTERM));
    // A hang guard, not a timing requirement.
    std::optional<int> status = ns_->WaitForExit(pid_, std::chrono::seconds(120));
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
    Command("stop-load");
    return status;
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
  const std::string& stamp = kStamp;
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
  ASSERT_NO_FATAL_FAILURE(AnswerMorePullsThanTheQueueHolds());
  if (HasNonfatalFailure()) return;

  // Read again: the daemon says how many records the log missed.
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(kDropReport, 1));
  const std::string report = RecordWith(kDropReport);
  EXPECT_TRUE(std::regex_match(report, std::regex("<180>" + stamp + " qbx-exporter: QBX " + std::to_string(pid_) +
                                                  R"( - \[qbx@8352 .* level="WARNING"\] )" + kDropReport + "[1-9][0-9]*")))
      << report;

  // Stalled again, under load: SIGTERM still ends the daemon, with nobody reading its records.
  ASSERT_NO_FATAL_FAILURE(StallTheLog());
  std::chrono::milliseconds took{};
  std::optional<int> status = SigtermUnderLoad(took);
  ASSERT_TRUE(status.has_value()) << "daemon still running 120 s after SIGTERM with the log stalled\n"
                                  << OutputOf(*ns_, pid_);
  RecordProperty("sigterm_to_exit_ms", static_cast<int>(took.count()));
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns_, pid_);
  EXPECT_EQ(WEXITSTATUS(*status), 0) << OutputOf(*ns_, pid_);
}

// The log reads 50 records a second: slow, not stalled. Records are made far faster under
// load, so the daemon's queue is full when SIGTERM comes; the end waits only for what was made
// before it, and not past its bound, so the daemon is gone within 5 s (the queue alone would
// take 80 s at that pace), says on stderr how many records the log did not get, and leaves no
// socket file behind.
TEST_F(DaemonLogStallE2E, SigtermUnderLoadWithASlowLogEndsTheDaemonWithin5s) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  // The command socket is listened on within moments of the start, and its path looked at
  // every 5 s from then on.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Received REGISTRATION_ACK", kVerticals));

  // From here on only this thread reads records; the test's own thread reads none.
  std::atomic<bool> stop{false};
  std::thread slowLog([this, &stop] {
    while (!stop) {
      ns_->NextSyslog(std::chrono::milliseconds(100));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  AnswerMorePullsThanTheQueueHolds();
  // SIGTERM about a second before a look at the command socket's path, so that the look comes
  // while the end waits for the log, when the file is gone already. Only what the test can
  // find depends on it: a daemon that listens again is seen when the look falls in the wait.
  auto look = started + std::chrono::seconds(5);
  while (look - std::chrono::seconds(1) < std::chrono::steady_clock::now() + std::chrono::milliseconds(500)) {
    look += std::chrono::seconds(5);
  }
  std::optional<int> status;
  std::chrono::milliseconds took{};
  if (!HasFailure()) status = SigtermUnderLoad(took, look - std::chrono::seconds(1));
  stop = true;
  slowLog.join();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(status.has_value()) << "daemon still running 120 s after SIGTERM with a slow log\n"
                                  << OutputOf(*ns_, pid_);
  RecordProperty("sigterm_to_exit_ms", static_cast<int>(took.count()));
  EXPECT_LE(took, std::chrono::seconds(5)) << "SIGTERM to exit with a log reading 50 records a second";
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns_, pid_);
  EXPECT_EQ(WEXITSTATUS(*status), 0) << OutputOf(*ns_, pid_);
  const std::string output = OutputOf(*ns_, pid_);
  EXPECT_TRUE(std::regex_search(output, std::regex(kNotHandedOver + "[1-9][0-9]*\n"))) << output;

  // The end removed the socket files before it waited for the log, and while it waited no
  // server took the missing file for a lost path and listened there again.
  std::string sockets;
  ASSERT_EQ(RunInside({"/usr/bin/find", "/var/run/zumbra/exporter", "-type", "s"}, sockets), 0) << sockets;
  EXPECT_EQ(sockets, "");
  ReadWaitingRecords(*ns_);
  EXPECT_EQ(CountRecords(*ns_, "no longer leads"), 0) << Received();
  EXPECT_EQ(CountRecords(*ns_, "stopped accepting"), 0) << Received();
}

// A syslog service listening on "/dev/log" with a stream socket: takes every connection
// (the daemon's and the C library's of other processes) and splits what comes at the NULs.
class StreamLogCapture {
 public:
  explicit StreamLogCapture(const std::string& path) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listener_ < 0 || path.size() >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(listener_, 64) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
      return;
    }
    reader_ = std::thread([this] { Run(); });
  }
  ~StreamLogCapture() {
    if (reader_.joinable()) {
      char byte = 0;
      ssize_t written = ::write(stop_[1], &byte, 1);
      (void)written;
      reader_.join();
    }
    for (int fd : {listener_, stop_[0], stop_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  StreamLogCapture(const StreamLogCapture&) = delete;
  StreamLogCapture& operator=(const StreamLogCapture&) = delete;

  bool Listening() const { return reader_.joinable(); }
  std::vector<std::string> Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  int Count(const std::string& needle) const {
    int n = 0;
    for (const std::string& record : Records()) n += record.find(needle) != std::string::npos;
    return n;
  }
  std::string First(const std::string& needle) const {
    for (const std::string& record : Records()) {
      if (record.find(needle) != std::string::npos) return record;
    }
    return std::string();
  }
  // Waits until `count` records contain `needle`; false after the failsafe.
  bool WaitFor(const std::string& needle, int count) const {
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Count(needle) < count) {
      if (std::chrono::steady_clock::now() > failsafe) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  struct Connection {
    int fd;
    std::string pending;
  };
  void Run() {
    std::vector<Connection> connections;
    for (;;) {
      std::vector<pollfd> watch = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      for (const Connection& connection : connections) watch.push_back({connection.fd, POLLIN, 0});
      if (::poll(watch.data(), watch.size(), -1) < 0 && errno != EINTR) break;
      if (watch[0].revents != 0) break;
      if (watch[1].revents & POLLIN) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) connections.push_back({fd, std::string()});
      }
      for (size_t i = 2; i < watch.size(); ++i) {
        if (watch[i].revents == 0) continue;
        Connection& connection = connections[i - 2];
        char chunk[64 * 1024];
        const ssize_t n = ::recv(connection.fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
          ::close(connection.fd);
          connection.fd = -1;
          continue;
        }
        connection.pending.append(chunk, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t end; (end = connection.pending.find('\0')) != std::string::npos;) {
          records_.push_back(connection.pending.substr(0, end));
          connection.pending.erase(0, end + 1);
        }
      }
      std::erase_if(connections, [](const Connection& connection) { return connection.fd < 0; });
    }
    for (const Connection& connection : connections) ::close(connection.fd);
  }

  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
};

TEST_F(DaemonLogStallE2E, AStreamDevLogGetsTheDaemonsRecords) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  StreamLogCapture log(ns_->ScratchDir() + "/streamlog");
  ASSERT_TRUE(log.Listening()) << std::strerror(errno);
  std::string out;
  ASSERT_EQ(RunInside({"/usr/bin/mount", "--bind", ns_->ScratchDir() + "/streamlog", "/dev/log"}, out), 0) << out;

  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ASSERT_NO_FATAL_FAILURE(StartTnProxy());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  const std::string own = "qbx-exporter: QBX " + std::to_string(pid_) + " - ";
  ASSERT_TRUE(log.WaitFor("Received REGISTRATION_ACK", kVerticals))
      << log.Count(own) << " of the daemon's records came over the stream\n"
      << OutputOf(*ns_, pid_);
  // Each record as the C library sends it on a stream: the record's bytes, then a NUL.
  const std::string setLevel = log.First("Set log level to INFO");
  EXPECT_TRUE(std::regex_match(setLevel, std::regex("<14>" + kStamp + " qbx-exporter: Set log level to INFO")))
      << setLevel;
  const std::string ack = log.First("Received REGISTRATION_ACK");
  EXPECT_TRUE(std::regex_match(ack, std::regex("<182>" + kStamp + " " + own +
                                               R"(\[qbx@8352 comp="qbx-krx" subcomp="[^"]+" tid="[0-9]+" )"
                                               R"(level="INFO"\] .*Received REGISTRATION_ACK.*)")))
      << ack;

  // The records of the end come too.
  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  std::optional<int> status = ns_->WaitForExit(pid_, std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "daemon still running 30 s after SIGTERM\n" << OutputOf(*ns_, pid_);
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns_, pid_);
  EXPECT_EQ(WEXITSTATUS(*status), 0) << OutputOf(*ns_, pid_);
  EXPECT_TRUE(log.WaitFor("Shutting down AggServiceMgr", 1)) << OutputOf(*ns_, pid_);
}

}  // namespace
}  // namespace qbx::e2e
