#include "base/syslog_sender.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "tests/base/log_test_support.h"

namespace qbx {
namespace {

using namespace std::chrono_literals;
using logtest::TempDir;

constexpr auto kFailsafe = 30s;
const std::string kFiller = "filler";

// A datagram socket bound at a path: the stand-in for the syslog service's "/dev/log".
class Receiver {
 public:
  explicit Receiver(std::string path) : path_(std::move(path)) {
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = Address();
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ADD_FAILURE() << "cannot bind " << path_ << ": " << std::strerror(errno);
    }
  }
  ~Receiver() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // The next datagram; nothing when none came before the failsafe.
  std::optional<std::string> Next(std::chrono::milliseconds failsafe = kFailsafe) {
    struct pollfd watch = {fd_, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(failsafe.count())) <= 0) return std::nullopt;
    std::string datagram(64 * 1024, '\0');
    ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
    if (n < 0) return std::nullopt;
    datagram.resize(static_cast<size_t>(n));
    return datagram;
  }
  // The next datagram that is not a filler.
  std::optional<std::string> NextRecord() {
    for (;;) {
      std::optional<std::string> datagram = Next();
      if (!datagram || *datagram != kFiller) return datagram;
    }
  }
  // Fills the socket's queue from a socket of our own until it takes no more: from then on
  // the log is stalled for every sender, until the queue is read.
  void Fill() {
    int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = Address();
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    while (::send(filler, kFiller.data(), kFiller.size(), 0) >= 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    ::close(filler);
  }
  const std::string& path() const { return path_; }

 private:
  sockaddr_un Address() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    return address;
  }
  std::string path_;
  int fd_ = -1;
};

SyslogSender::Options TestOptions(const std::string& path, size_t queueRecords = 4) {
  SyslogSender::Options options;
  options.path = path;
  options.queueRecords = queueRecords;
  options.dropReport = [](uint64_t dropped) {
    return std::optional<SyslogSender::DropReport>(
        SyslogSender::DropReport{LOG_LOCAL6 | LOG_WARNING, "dropped " + std::to_string(dropped)});
  };
  return options;
}

// What follows the header "<PRI>Mmm dd hh:mm:ss TAG: ".
std::string Body(const std::string& datagram) {
  const std::string marker = std::string(program_invocation_short_name) + ": ";
  size_t at = datagram.find(marker);
  return at == std::string::npos ? datagram : datagram.substr(at + marker.size());
}

// `line` with the value of its tid parameter left out (a report is made on the sender's thread).
std::string WithoutTid(std::string line) {
  const std::string key = "tid=\"";
  size_t at = line.find(key);
  if (at != std::string::npos) line.erase(at + key.size(), line.find('"', at + key.size()) - (at + key.size()));
  return line;
}

// Runs `sends` on a thread of its own and says whether it finished before the failsafe (a
// send that waits for a stalled log never does; the thread is then left behind).
bool FinishesWithoutWaiting(std::function<void()> sends) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([sends = std::move(sends), done] {
    sends();
    done->set_value();
  }).detach();
  return finished.wait_for(kFailsafe) == std::future_status::ready;
}

// The C library's syslog() sends to "/dev/log" only: a child makes that path our receiver in
// a mount namespace of its own and logs there, then our sender sends the same lines.
TEST(SyslogSenderFormat, SameDatagramsAsTheCLibrarysSyslog) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  struct Case {
    int priority;
    std::string line;
  };
  const std::vector<Case> cases = {
      {LOG_LOCAL6 | LOG_ERR,
       "QBX 42 - [qbx@8352 comp=\"qbx-krx\" subcomp=\"agg-service\" tid=\"43\" level=\"ERROR\" "
       "errorCode=\"MPA10048\"] [Start] Failed to start 100% of \\\"it\\\""},
      {LOG_LOCAL6 | LOG_DEBUG, "QBX 42 - [qbx@8352 level=\"TRACE\"] "},
      {LOG_ERR, "Invalid log level 7"},
      {LOG_INFO, "Set log level to INFO"},
      {LOG_LOCAL6 | LOG_INFO, ""},
  };
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 5) << "the second changed during every attempt";
    const time_t before = ::time(nullptr);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0) {
        ::_exit(77);
      }
      int file = ::open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (file < 0 || ::mount(receiver.path().c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) ::_exit(78);
      for (const Case& c : cases) ::syslog(c.priority, "%s", c.line.c_str());
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "mount namespaces are not permitted here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::vector<std::string> theirs;
    for (size_t i = 0; i < cases.size(); ++i) {
      std::optional<std::string> datagram = receiver.Next();
      ASSERT_TRUE(datagram.has_value());
      theirs.push_back(*datagram);
    }
    if (::time(nullptr) != before) continue;  // their time stamps may name either second

    SyslogSender::Options options = TestOptions(receiver.path());
    options.clock = [before] { return before; };
    SyslogSender sender(options);
    for (size_t i = 0; i < cases.size(); ++i) {
      sender.Send(cases[i].priority, cases[i].line);
      std::optional<std::string> ours = receiver.Next();
      ASSERT_TRUE(ours.has_value());
      EXPECT_EQ(*ours, theirs[i]);
      EXPECT_EQ(SyslogSender::Datagram(cases[i].priority, before, cases[i].line), theirs[i]);
    }
    return;
  }
}

TEST(SyslogSenderFormat, StampIsLocalTimeWithTheDayPaddedBySpace) {
  // Noon on the 5th (UTC): a one-digit day in every time zone.
  const time_t when = 1709640000;
  struct tm local{};
  ::localtime_r(&when, &local);
  char stamp[32];
  ASSERT_EQ(std::strftime(stamp, sizeof(stamp), "%h %e %T", &local), 15u);
  ASSERT_EQ(stamp[4], ' ');
  EXPECT_EQ(SyslogSender::Datagram(LOG_LOCAL6 | LOG_INFO, when, "line"),
            "<182>" + std::string(stamp) + " " + program_invocation_short_name + ": line");
}

TEST(SyslogSenderStall, FullLogNeverBlocksTheCallerAndTheDropsAreReportedOnceItReadsAgain) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  SyslogSender sender(TestOptions(receiver.path(), 4));
  ASSERT_NO_FATAL_FAILURE(receiver.Fill());

  ASSERT_TRUE(FinishesWithoutWaiting([&sender] {
    for (int i = 0; i < 100; ++i) sender.Send(LOG_LOCAL6 | LOG_INFO, "record " + std::to_string(i));
  })) << "a send waited for the stalled log";
  // Four wait in the queue; the log took none of them, so the rest were dropped.
  EXPECT_EQ(sender.DroppedTotal(), 96u);

  for (int i = 0; i < 4; ++i) {
    std::optional<std::string> datagram = receiver.NextRecord();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(Body(*datagram), "record " + std::to_string(i));
    EXPECT_EQ(datagram->rfind("<182>", 0), 0u) << *datagram;
  }
  std::optional<std::string> report = receiver.NextRecord();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->rfind("<180>", 0), 0u) << *report;
  EXPECT_EQ(Body(*report), "dropped 96");

  // Reported once: the next line comes alone.
  sender.Send(LOG_LOCAL6 | LOG_INFO, "after");
  std::optional<std::string> after = receiver.NextRecord();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(Body(*after), "after");
  EXPECT_FALSE(receiver.Next(0ms).has_value());
}

TEST(SyslogSenderStall, LinesWithNoServiceAreCountedAndReportedWhenOneListens) {
  TempDir dir;
  const std::string path = (dir.path() / "log").string();
  SyslogSender sender(TestOptions(path));
  for (int i = 0; i < 3; ++i) sender.Send(LOG_LOCAL6 | LOG_INFO, "unheard");
  EXPECT_EQ(sender.DroppedTotal(), 3u);

  Receiver receiver(path);
  sender.Send(LOG_LOCAL6 | LOG_INFO, "heard");
  std::optional<std::string> first = receiver.Next();
  std::optional<std::string> second = receiver.Next();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(Body(*first), "heard");
  EXPECT_EQ(Body(*second), "dropped 3");
}

TEST(SyslogSenderReconnect, ALogSocketReplacedAtThePathGetsTheNextLines) {
  TempDir dir;
  const std::string path = (dir.path() / "log").string();
  SyslogSender sender(TestOptions(path));
  {
    Receiver first(path);
    sender.Send(LOG_LOCAL6 | LOG_INFO, "one");
    std::optional<std::string> datagram = first.Next();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(Body(*datagram), "one");
  }
  Receiver second(path);
  sender.Send(LOG_LOCAL6 | LOG_INFO, "two");
  std::optional<std::string> datagram = second.Next();
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(Body(*datagram), "two");
  EXPECT_EQ(sender.DroppedTotal(), 0u);
}

TEST(SyslogSenderFlush, WaitsForQueuedLinesOnlyWithinItsBound) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  SyslogSender sender(TestOptions(receiver.path()));
  ASSERT_NO_FATAL_FAILURE(receiver.Fill());
  for (int i = 0; i < 3; ++i) sender.Send(LOG_LOCAL6 | LOG_INFO, "queued " + std::to_string(i));
  EXPECT_FALSE(sender.Flush(0ms));  // the log takes nothing while nobody reads it

  std::vector<std::string> read;
  std::thread reader([&] {
    while (read.size() < 3) {
      std::optional<std::string> datagram = receiver.NextRecord();
      if (!datagram) return;
      read.push_back(Body(*datagram));
    }
  });
  EXPECT_TRUE(sender.Flush(kFailsafe));
  reader.join();
  EXPECT_EQ(read, (std::vector<std::string>{"queued 0", "queued 1", "queued 2"}));
  EXPECT_EQ(sender.DroppedTotal(), 0u);
}

TEST(SyslogSenderFork, ChildNeitherSendsNorWaitsForTheParentsQueue) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  SyslogSender sender(TestOptions(receiver.path()));
  ASSERT_NO_FATAL_FAILURE(receiver.Fill());
  for (int i = 0; i < 3; ++i) sender.Send(LOG_LOCAL6 | LOG_INFO, "parent " + std::to_string(i));

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The log is still full: the child's line is dropped, not queued behind a thread it has not.
    sender.Send(LOG_LOCAL6 | LOG_INFO, "child");
    const bool flushed = sender.Flush(kFailsafe);
    ::_exit(flushed && sender.DroppedTotal() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child waited for the parent's queue";

  for (int i = 0; i < 3; ++i) {
    std::optional<std::string> datagram = receiver.NextRecord();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(Body(*datagram), "parent " + std::to_string(i));
  }
  EXPECT_TRUE(sender.Flush(kFailsafe));
  EXPECT_FALSE(receiver.Next(0ms).has_value()) << "a line came twice";
}

// Several threads send while the log falls behind (nobody reads it until half the lines
// were sent) and catches up again: every line arrives whole or is counted, and the reports
// account for every one counted.
TEST(SyslogSenderConcurrency, EveryLineArrivesOrIsReported) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  SyslogSender sender(TestOptions(receiver.path(), 16));
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  std::atomic<int> attempted{0};
  std::promise<void> halfway;
  std::atomic<bool> sent{false};
  uint64_t received = 0;
  uint64_t reported = 0;
  bool whole = true;
  std::thread reader([&] {
    halfway.get_future().wait();
    while (received + reported < kThreads * kLines || !sent) {
      std::optional<std::string> datagram = receiver.Next();
      if (!datagram) return;
      const std::string body = Body(*datagram);
      if (body.rfind("dropped ", 0) == 0) {
        reported += std::stoull(body.substr(8));
      } else if (body.rfind("line ", 0) == 0 && body.size() == 5 + 4 + 1 + 4) {
        ++received;
      } else if (body != "end") {
        whole = false;
      }
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      char line[32];
      for (int i = 0; i < kLines; ++i) {
        std::snprintf(line, sizeof(line), "line %04d %04d", t, i);
        sender.Send(LOG_LOCAL6 | LOG_INFO, line);
        if (attempted.fetch_add(1) + 1 == kThreads * kLines / 2) halfway.set_value();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(sender.Flush(kFailsafe));
  sent = true;
  // A last line, so that drops not yet reported are reported after it.
  sender.Send(LOG_LOCAL6 | LOG_INFO, "end");
  reader.join();
  EXPECT_TRUE(whole);
  EXPECT_GT(reported, 0u);  // the stall cost lines
  EXPECT_EQ(received + reported, static_cast<uint64_t>(kThreads * kLines));
  EXPECT_EQ(reported, sender.DroppedTotal());
}

// The logger's own path: records reach the service as the C library would have sent them,
// and drops are reported as a WARNING record.
class LoggerSyslogTest : public ::testing::Test {
 protected:
  LoggerSyslogTest()
      : savedLevel_(Logger::logLevel.load()), receiver_((dir_.path() / "log").string()) {
    Logger::logLevel = loglevel::kInfo;
    Logger::SetSyslogPathForTest(receiver_.path());
    // Records of the program's start found no service and wait to be reported: a first line
    // has that report sent (at once, from this thread), and both are read away.
    Logger::EmitRaw(LOG_INFO, "start");
    while (receiver_.Next(0ms)) {
    }
  }
  ~LoggerSyslogTest() override {
    Logger::SetSyslogPathForTest("");
    Logger::logLevel = savedLevel_;
  }
  LibraryLogLevel savedLevel_;
  TempDir dir_;
  Receiver receiver_;
};

TEST_F(LoggerSyslogTest, RecordsAndRawLinesKeepTheirPriorityAndLine) {
  Logger(loglevel::kError).subcomp("agg-service").tag("errorCode:MPA10048").put("[%s] Failed", "Start");
  Logger::EmitRaw(LOG_ERR, "Invalid log level 0");
  std::optional<std::string> record = receiver_.Next();
  std::optional<std::string> raw = receiver_.Next();
  ASSERT_TRUE(record && raw);
  EXPECT_EQ(record->rfind("<179>", 0), 0u) << *record;
  EXPECT_EQ(Body(*record), Logger::FormatLine(loglevel::kError, "agg-service", nullptr, {"errorCode:MPA10048"},
                                              "[Start] Failed"));
  EXPECT_EQ(raw->rfind("<11>", 0), 0u) << *raw;
  EXPECT_EQ(Body(*raw), "Invalid log level 0");
}

TEST_F(LoggerSyslogTest, RecordsDroppedInAStallAreReportedAsAWarning) {
  ASSERT_NO_FATAL_FAILURE(receiver_.Fill());
  const int records = static_cast<int>(SyslogSender::kDefaultQueueRecords) + 50;
  ASSERT_TRUE(FinishesWithoutWaiting([records] {
    for (int i = 0; i < records; ++i) QBX_LOG(loglevel::kInfo).put("stalled %d", i);
  })) << "a record waited for the stalled log";

  std::optional<std::string> datagram;
  for (int i = 0; i < records - 50; ++i) {
    datagram = receiver_.NextRecord();
    ASSERT_TRUE(datagram.has_value());
    ASSERT_NE(datagram->find("] stalled " + std::to_string(i)), std::string::npos) << *datagram;
  }
  datagram = receiver_.NextRecord();
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(datagram->rfind("<180>", 0), 0u) << *datagram;
  EXPECT_EQ(WithoutTid(Body(*datagram)),
            WithoutTid(Logger::FormatLine(loglevel::kWarning, "", nullptr, {},
                                          "Log records dropped because the log did not accept them: 50")));
  EXPECT_TRUE(Logger::Flush(kFailsafe));
}

}  // namespace
}  // namespace qbx
