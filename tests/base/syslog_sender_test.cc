#include "base/syslog_sender.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "tests/base/log_test_support.h"
#include "tests/base/syslog_receivers.h"

namespace qbx {
namespace {

using namespace std::chrono_literals;
using logtest::Receiver;
using logtest::StreamReceiver;
using logtest::TempDir;

constexpr auto kFailsafe = 30s;

// Waits, within the failsafe, until every line sent so far has left the queue.
bool Drained(SyslogSender& sender) { return sender.Flush(kFailsafe, kFailsafe).complete; }

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
std::string Body(const std::string& record) {
  const std::string marker = std::string(program_invocation_short_name) + ": ";
  size_t at = record.find(marker);
  return at == std::string::npos ? record : record.substr(at + marker.size());
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

struct FormatCase {
  int priority;
  std::string line;
};

const std::vector<FormatCase>& FormatCases() {
  static const std::vector<FormatCase> cases = {
      {LOG_LOCAL6 | LOG_ERR,
       "QBX 42 - [qbx@8352 comp=\"qbx-krx\" subcomp=\"agg-service\" tid=\"43\" level=\"ERROR\" "
       "errorCode=\"MPA10048\"] [Start] Failed to start 100% of \\\"it\\\""},
      {LOG_LOCAL6 | LOG_DEBUG, "QBX 42 - [qbx@8352 level=\"TRACE\"] "},
      {LOG_ERR, "Invalid log level 7"},
      {LOG_INFO, "Set log level to INFO"},
      {LOG_LOCAL6 | LOG_INFO, ""},
  };
  return cases;
}

// The C library's syslog() sends to "/dev/log" only: a child makes `service` its "/dev/log"
// in a mount namespace of its own and logs FormatCases() there. The child's exit status: 77
// where mount namespaces are not permitted.
int LogThroughTheCLibrary(const std::string& service) {
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0) {
      ::_exit(77);
    }
    int file = ::open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0 || ::mount(service.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) ::_exit(78);
    for (const FormatCase& c : FormatCases()) ::syslog(c.priority, "%s", c.line.c_str());
    ::_exit(0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The next `count` records: datagrams, or records of the next connection of a stream.
std::vector<std::string> ReadRecords(Receiver& receiver, size_t count) {
  std::vector<std::string> records;
  while (records.size() < count) {
    std::optional<std::string> datagram = receiver.Next();
    if (!datagram) break;
    records.push_back(*datagram);
  }
  return records;
}
std::vector<std::string> ReadRecords(StreamReceiver& receiver, size_t count) {
  std::vector<std::string> records;
  if (!receiver.Accept()) return records;
  while (records.size() < count) {
    std::optional<std::string> record = receiver.Next();
    if (!record) break;
    records.push_back(*record);
  }
  return records;
}

// Logs FormatCases() through the C library and through the sender to a `Service` and
// compares what came.
template <typename Service>
void ExpectTheCLibrarysRecords() {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  TempDir dir;
  Service receiver((dir.path() / "log").string());
  const std::vector<FormatCase>& cases = FormatCases();
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 5) << "the second changed during every attempt";
    const time_t before = ::time(nullptr);
    const int status = LogThroughTheCLibrary(receiver.path());
    if (status == 77) GTEST_SKIP() << "mount namespaces are not permitted here";
    ASSERT_EQ(status, 0);
    const std::vector<std::string> theirs = ReadRecords(receiver, cases.size());
    ASSERT_EQ(theirs.size(), cases.size());
    if (::time(nullptr) != before) continue;  // their time stamps may name either second

    SyslogSender::Options options = TestOptions(receiver.path());
    options.clock = [before] { return before; };
    SyslogSender sender(options);
    for (const FormatCase& c : cases) sender.Send(c.priority, c.line);
    EXPECT_EQ(ReadRecords(receiver, cases.size()), theirs);
    for (size_t i = 0; i < cases.size(); ++i) {
      EXPECT_EQ(SyslogSender::Record(cases[i].priority, before, cases[i].line), theirs[i]);
    }
    EXPECT_EQ(sender.DroppedTotal(), 0u);
    return;
  }
}

TEST(SyslogSenderFormat, SameDatagramsAsTheCLibrarysSyslog) { ExpectTheCLibrarysRecords<Receiver>(); }

// A service listening with a stream socket: the C library connects as a stream when the
// datagram connect is refused (EPROTOTYPE) and ends each record with a NUL; so does the sender.
TEST(SyslogSenderFormat, SameRecordsAsTheCLibrarysSyslogOnAStream) { ExpectTheCLibrarysRecords<StreamReceiver>(); }

TEST(SyslogSenderFormat, StampIsLocalTimeWithTheDayPaddedBySpace) {
  // Noon on the 5th (UTC): a one-digit day in every time zone.
  const time_t when = 1709640000;
  struct tm local{};
  ::localtime_r(&when, &local);
  char stamp[32];
  ASSERT_EQ(std::strftime(stamp, sizeof(stamp), "%h %e %T", &local), 15u);
  ASSERT_EQ(stamp[4], ' ');
  EXPECT_EQ(SyslogSender::Record(LOG_LOCAL6 | LOG_INFO, when, "line"),
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

// A stalled log holds at most 4 MiB of lines, however few lines that is.
TEST(SyslogSenderStall, TheQueueHoldsAtMostFourMebibytesOfLines) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  SyslogSender::Options options = TestOptions(receiver.path(), SyslogSender::kDefaultQueueRecords);
  options.clock = [] { return time_t{1709640000}; };
  ASSERT_EQ(options.queueBytes, 4u * 1024u * 1024u);
  SyslogSender sender(options);
  auto line = [](int i) {
    char index[16];
    std::snprintf(index, sizeof(index), "%04d ", i);
    return index + std::string(32 * 1024, 'x');
  };
  const size_t fits = options.queueBytes / SyslogSender::Record(LOG_LOCAL6 | LOG_INFO, 0, line(0)).size();
  const int lines = static_cast<int>(fits) + 20;

  for (int round = 1; round <= 2; ++round) {
    ASSERT_NO_FATAL_FAILURE(receiver.Fill());
    ASSERT_TRUE(FinishesWithoutWaiting([&] {
      for (int i = 0; i < lines; ++i) sender.Send(LOG_LOCAL6 | LOG_INFO, line(i));
    })) << "a send waited for the stalled log";
    EXPECT_EQ(sender.DroppedTotal(), 20u * round) << "round " << round;
    // Read again: the lines that fitted, then the report; the bytes they held are free again.
    for (size_t i = 0; i < fits; ++i) {
      std::optional<std::string> datagram = receiver.NextRecord();
      ASSERT_TRUE(datagram.has_value());
      ASSERT_EQ(Body(*datagram), line(static_cast<int>(i)));
    }
    std::optional<std::string> report = receiver.NextRecord();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(Body(*report), "dropped 20");
    ASSERT_TRUE(Drained(sender));
  }
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

// The exit's flush on a clock of the test's: ten lines wait for a stalled log, which then
// takes one line at a time when the test reads one datagram from it.
class SyslogSenderFlush : public ::testing::Test {
 protected:
  static constexpr int kBefore = 10;
  static constexpr size_t kQueue = 16;

  SyslogSenderFlush() : receiver_((dir_.path() / "log").string()) {
    SyslogSender::Options options = TestOptions(receiver_.path(), kQueue);
    options.flushClock = [this] {
      // Read before the test hears of the flush, which may then move the time at once.
      const auto now =
          std::chrono::steady_clock::time_point(std::chrono::hours(1)) + std::chrono::milliseconds(elapsedMs_.load());
      if (!begun_.exchange(true)) began_.set_value();
      return now;
    };
    sender_ = std::make_unique<SyslogSender>(options);
  }
  ~SyslogSenderFlush() override {
    // A flush still waiting (the test failed) gives up once its time has passed.
    elapsedMs_ += 24 * 3600 * 1000;
    if (flushed_.valid()) flushed_.wait();
  }
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(receiver_.Fill());
    for (int i = 0; i < kBefore; ++i) Send("before " + std::to_string(i));
  }

  void Send(const std::string& line) { sender_->Send(LOG_LOCAL6 | LOG_INFO, line); }
  // Starts the flush with the exit's bounds and returns once it has begun.
  void StartFlush() {
    flushed_ = std::async(std::launch::async,
                          [this] { return sender_->Flush(Logger::kExitFlushQuiet, Logger::kExitFlushTotal); });
    ASSERT_EQ(began_.get_future().wait_for(kFailsafe), std::future_status::ready);
  }
  // The log takes one line more: a datagram is read, and the sender puts its next line there.
  void TakeOne() {
    const uint64_t sent = sender_->SentTotal();
    ASSERT_TRUE(receiver_.Next().has_value());
    const auto failsafe = std::chrono::steady_clock::now() + kFailsafe;
    while (sender_->SentTotal() == sent) {
      ASSERT_LT(std::chrono::steady_clock::now(), failsafe) << "the log took no line";
      std::this_thread::sleep_for(1ms);
    }
  }
  void Advance(std::chrono::milliseconds by) { elapsedMs_ += by.count(); }
  // The flush's result, once it has returned.
  std::optional<SyslogSender::FlushResult> Result() {
    if (flushed_.wait_for(kFailsafe) != std::future_status::ready) return std::nullopt;
    return flushed_.get();
  }

  TempDir dir_;
  Receiver receiver_;
  std::unique_ptr<SyslogSender> sender_;
  std::atomic<bool> begun_{false};
  std::promise<void> began_;
  std::atomic<int64_t> elapsedMs_{0};
  std::future<SyslogSender::FlushResult> flushed_;
};

TEST_F(SyslogSenderFlush, ALogTakingALineEvery100msGetsAllTenAndLinesMadeMeanwhileAreNotWaitedFor) {
  ASSERT_NO_FATAL_FAILURE(StartFlush());
  // The process goes on logging while it ends.
  for (int i = 0; i < 3; ++i) Send("after " + std::to_string(i));
  for (int i = 0; i < kBefore; ++i) {
    ASSERT_NO_FATAL_FAILURE(TakeOne());
    Advance(100ms);
  }
  std::optional<SyslogSender::FlushResult> result = Result();
  ASSERT_TRUE(result.has_value()) << "the flush waited for lines made after it began";
  EXPECT_TRUE(result->complete);
  EXPECT_EQ(result->notHandedOver, 3u);  // the lines made meanwhile, still waiting

  for (const char* line : {"before 0", "before 1", "before 2", "before 3", "before 4", "before 5", "before 6",
                           "before 7", "before 8", "before 9", "after 0", "after 1", "after 2"}) {
    std::optional<std::string> datagram = receiver_.NextRecord();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(Body(*datagram), line);
  }
}

TEST_F(SyslogSenderFlush, GivesUpAfterItsTotalBoundWhileTheLogStillTakesLines) {
  ASSERT_NO_FATAL_FAILURE(StartFlush());
  for (int i = 0; i < 8; ++i) {
    ASSERT_NO_FATAL_FAILURE(TakeOne());
    Advance(250ms);  // never 300 ms without a line taken, 2 s after the eighth
  }
  std::optional<SyslogSender::FlushResult> result = Result();
  ASSERT_TRUE(result.has_value()) << "the flush waited past its total bound";
  EXPECT_FALSE(result->complete);
  EXPECT_EQ(result->notHandedOver, 2u);
}

TEST_F(SyslogSenderFlush, GivesUpOnAStalledLogAfterTheQuietBoundCountingTheDroppedLinesToo) {
  for (int i = 0; i < 10; ++i) Send("more " + std::to_string(i));  // six more fit, four are dropped
  ASSERT_NO_FATAL_FAILURE(StartFlush());
  Advance(Logger::kExitFlushQuiet);
  std::optional<SyslogSender::FlushResult> result = Result();
  ASSERT_TRUE(result.has_value()) << "the flush waited for a stalled log past its quiet bound";
  EXPECT_FALSE(result->complete);
  EXPECT_EQ(result->notHandedOver, 20u);
  EXPECT_EQ(sender_->DroppedTotal(), 4u);
}

// A service listening on a stream socket (connect as a datagram socket fails with EPROTOTYPE).
class SyslogSenderStream : public ::testing::Test {
 protected:
  static constexpr time_t kWhen = 1709640000;

  SyslogSenderStream() : path_((dir_.path() / "log").string()) {}
  SyslogSender::Options Options() {
    SyslogSender::Options options = TestOptions(path_, 64);
    options.clock = [] { return kWhen; };
    return options;
  }
  static std::string Record(const std::string& line) {
    return SyslogSender::Record(LOG_LOCAL6 | LOG_INFO, kWhen, line);
  }
  // Lines larger than a stream socket takes while its service reads nothing, so that the
  // first is written only in part.
  static std::vector<std::string> LargeLines(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
      lines.push_back(std::to_string(i) + std::string(300 * 1024, static_cast<char>('a' + i)));
    }
    return lines;
  }
  void ExpectRecords(StreamReceiver& receiver, const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
      std::optional<std::string> record = receiver.Next();
      ASSERT_TRUE(record.has_value()) << "line " << i << " did not come whole; " << receiver.Unfinished().size()
                                      << " bytes of it came";
      EXPECT_TRUE(*record == Record(lines[i])) << "line " << i << " is not the line sent: " << record->size()
                                               << " bytes, starting " << record->substr(0, 40);
    }
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(SyslogSenderStream, ALineTheStreamTakesInPartWaitsWholeWithoutHoldingTheCaller) {
  StreamReceiver receiver(path_);
  SyslogSender sender(Options());
  const std::vector<std::string> lines = LargeLines(6);
  ASSERT_TRUE(FinishesWithoutWaiting([&] {
    for (const std::string& line : lines) sender.Send(LOG_LOCAL6 | LOG_INFO, line);
  })) << "a send waited for the service";
  ASSERT_TRUE(receiver.Accept());
  ExpectRecords(receiver, lines);
  EXPECT_EQ(sender.DroppedTotal(), 0u);
}

TEST_F(SyslogSenderStream, AConnectionTheServiceEndsIsMadeAgainAndAHalfSentLineGoesWholeOnTheNext) {
  StreamReceiver receiver(path_);
  SyslogSender sender(Options());
  sender.Send(LOG_LOCAL6 | LOG_INFO, "one");
  ASSERT_TRUE(receiver.Accept());
  ExpectRecords(receiver, {"one"});
  receiver.CloseConnection();
  sender.Send(LOG_LOCAL6 | LOG_INFO, "two");
  ASSERT_TRUE(receiver.Accept());
  ExpectRecords(receiver, {"two"});

  // The service ends the connection while a line is half written, reading nothing of it.
  const std::vector<std::string> lines = LargeLines(3);
  for (const std::string& line : lines) sender.Send(LOG_LOCAL6 | LOG_INFO, line);
  receiver.CloseConnection();
  ASSERT_TRUE(receiver.Accept());
  ExpectRecords(receiver, lines);
  EXPECT_EQ(sender.DroppedTotal(), 0u);
}

// A service that has not yet accepted the connections before ours: connect fails with EAGAIN.
// The lines wait, none counted as dropped, and all come whole and in order once it accepts.
TEST_F(SyslogSenderStream, LinesWaitWhileTheServicesQueueOfConnectionsIsFullAndComeOnceItAccepts) {
  StreamReceiver receiver(path_, 0);
  const size_t pending = receiver.FillBacklog();
  SyslogSender sender(Options());
  const std::vector<std::string> lines = {"one", "two", "three", "four", "five"};
  for (const std::string& line : lines) sender.Send(LOG_LOCAL6 | LOG_INFO, line);
  ASSERT_EQ(sender.DroppedTotal(), 0u) << "lines were dropped while the service accepted no connection";
  EXPECT_EQ(sender.SentTotal(), 0u);

  for (size_t i = 0; i < pending; ++i) ASSERT_TRUE(receiver.Accept()) << "filler " << i;
  ASSERT_TRUE(receiver.Accept()) << "the sender never connected";
  ExpectRecords(receiver, lines);
  EXPECT_TRUE(Drained(sender));
  EXPECT_EQ(sender.SentTotal(), lines.size());
  EXPECT_EQ(sender.DroppedTotal(), 0u);
}

TEST_F(SyslogSenderStream, AServiceBackWithTheOtherKindOfSocketGetsTheNextLines) {
  SyslogSender sender(Options());
  {
    StreamReceiver receiver(path_);
    sender.Send(LOG_LOCAL6 | LOG_INFO, "stream");
    ASSERT_TRUE(receiver.Accept());
    ExpectRecords(receiver, {"stream"});
  }
  {
    Receiver receiver(path_);
    sender.Send(LOG_LOCAL6 | LOG_INFO, "datagram");
    std::optional<std::string> datagram = receiver.Next();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, Record("datagram"));  // no NUL on a datagram
  }
  StreamReceiver receiver(path_);
  sender.Send(LOG_LOCAL6 | LOG_INFO, "stream again");
  ASSERT_TRUE(receiver.Accept());
  ExpectRecords(receiver, {"stream again"});
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
    const bool flushed = Drained(sender);
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
  EXPECT_TRUE(Drained(sender));
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
  EXPECT_TRUE(Drained(sender));
  sent = true;
  // A last line, so that drops not yet reported are reported after it.
  sender.Send(LOG_LOCAL6 | LOG_INFO, "end");
  reader.join();
  EXPECT_TRUE(whole);
  EXPECT_GT(reported, 0u);  // the stall cost lines
  EXPECT_EQ(received + reported, static_cast<uint64_t>(kThreads * kLines));
  EXPECT_EQ(reported, sender.DroppedTotal());
}

// The thread ids of the process.
std::set<pid_t> Tasks() {
  std::set<pid_t> tasks;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    tasks.insert(static_cast<pid_t>(std::stol(entry.path().filename().string())));
  }
  return tasks;
}

// The process's stop and reload signals belong to the thread that waits for them: the sender
// thread blocks every signal, whatever the thread that started it had blocked.
TEST(SyslogSenderThread, BlocksEverySignal) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  SyslogSender sender(TestOptions(receiver.path()));
  ASSERT_NO_FATAL_FAILURE(receiver.Fill());
  sigset_t none;
  sigset_t saved;
  ::sigemptyset(&none);
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &none, &saved), 0);
  const std::set<pid_t> before = Tasks();
  sender.Send(LOG_LOCAL6 | LOG_INFO, "queued: the sender thread starts");
  const std::set<pid_t> after = Tasks();
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  std::vector<pid_t> started;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(started));
  ASSERT_EQ(started.size(), 1u);

  // A thread starts with every signal blocked, the C library's two included, and sets the
  // mask it was made with once it runs: wait for that.
  const uint64_t internal = uint64_t{3} << 31;  // signals 32 and 33
  uint64_t blocked = internal;
  const auto failsafe = std::chrono::steady_clock::now() + kFailsafe;
  while ((blocked & internal) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), failsafe) << "the sender thread never set its signal mask";
    std::this_thread::sleep_for(1ms);
    std::ifstream status("/proc/self/task/" + std::to_string(started[0]) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
    }
  }
  for (int signal = 1; signal <= SIGRTMAX; ++signal) {
    // SIGKILL and SIGSTOP cannot be blocked; the C library keeps signals 32 and 33 for itself.
    if (signal == SIGKILL || signal == SIGSTOP || signal == 32 || signal == 33) continue;
    EXPECT_NE(blocked & (uint64_t{1} << (signal - 1)), 0u) << "signal " << signal << " reaches the sender thread";
  }
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
