// GCC 12 reports a false maybe-uninitialized inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "base/logger.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/base/log_test_support.h"

namespace qbx {
namespace {

using logtest::CapturedLine;
using logtest::CapturingSink;

std::string Prefix() { return "QBX " + std::to_string(::getpid()) + " - [qbx@8352 "; }
std::string Tid() { return std::to_string(::gettid()); }

TEST(LoggerLayout, RecordMatchesTheDocumentedLineByteForByte) {
  CapturingSink sink;
  Logger(loglevel::kError).subcomp("agg-service").tag("errorCode:MPA10048").put(
      "[%s] Failed to start AggServiceMgr", "Start");
  auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].priority, LOG_LOCAL6 | LOG_ERR);
  EXPECT_EQ(lines[0].line, Prefix() + "comp=\"qbx-krx\" subcomp=\"agg-service\" tid=\"" + Tid() +
                               "\" level=\"ERROR\" errorCode=\"MPA10048\"] [Start] Failed to start "
                               "AggServiceMgr");
}

TEST(LoggerLayout, DefaultSubcompAndSecondLevelComponentInOrder) {
  CapturingSink sink;
  Logger(loglevel::kDebug).s2comp("qbx-rpc").put("x");
  Logger(loglevel::kDebug).put("y");
  Logger(loglevel::kDebug).s2comp("").put("z");
  Logger(loglevel::kDebug).s2comp("qbx-rpc").s2comp(nullptr).put("w");
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 4u);
  const std::string tail = " tid=\"" + Tid() + "\" level=\"DEBUG\"] ";
  EXPECT_EQ(texts[0], Prefix() + "comp=\"qbx-krx\" subcomp=\"qbx-fabric-exporter\" s2comp=\"qbx-rpc\"" + tail + "x");
  EXPECT_EQ(texts[1], Prefix() + "comp=\"qbx-krx\" subcomp=\"qbx-fabric-exporter\"" + tail + "y");
  EXPECT_EQ(texts[2], Prefix() + "comp=\"qbx-krx\" subcomp=\"qbx-fabric-exporter\" s2comp=\"\"" + tail + "z");
  EXPECT_EQ(texts[3], Prefix() + "comp=\"qbx-krx\" subcomp=\"qbx-fabric-exporter\"" + tail + "w");
}

TEST(LoggerLayout, EmptyTextEndsWithTheSpaceAfterTheElement) {
  CapturingSink sink;
  const char* none = nullptr;
  const char* empty = "";
  Logger(loglevel::kInfo).put().put(none).put(empty);
  ASSERT_EQ(sink.Lines().size(), 1u);
  EXPECT_EQ(sink.Texts()[0].back(), ' ');
  EXPECT_EQ(sink.Texts()[0].substr(sink.Texts()[0].size() - 2), "] ");
}

TEST(LoggerLevels, EachLevelHasItsNameAndPriorityOnLocal6) {
  CapturingSink sink;
  struct Expect {
    LibraryLogLevel level;
    const char* name;
    int priority;
  } expected[] = {{1, "FATAL", 178}, {2, "ERROR", 179}, {3, "WARNING", 180},
                  {4, "INFO", 182},  {5, "DEBUG", 183}, {6, "TRACE", 183}};
  for (const Expect& e : expected) {
    sink.Clear();
    Logger(e.level).put("m");
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 1u) << e.level;
    EXPECT_EQ(lines[0].priority, e.priority) << e.level;
    EXPECT_EQ(Logger::PriorityOf(e.level), e.priority);
    EXPECT_NE(lines[0].line.find(std::string("level=\"") + e.name + "\"]"), std::string::npos);
  }
}

TEST(LoggerLevels, InvalidLevelsGiveOnlyTheInvalidLevelReport) {
  CapturingSink sink;
  Logger(0).subcomp("x").tag("k:v").put("hello");
  Logger(7).put("hello");
  auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].priority, LOG_ERR);
  EXPECT_EQ(lines[0].line, "Invalid log level 0");
  EXPECT_EQ(lines[1].priority, LOG_ERR);
  EXPECT_EQ(lines[1].line, "Invalid log level 7");
  EXPECT_EQ(Logger::PriorityOf(0), -1);
  EXPECT_EQ(Logger::FormatLine(7, "", nullptr, {}, "x"), "");
}

TEST(LoggerLevels, RecordAboveTheThresholdIsDroppedEvenWhenBuiltDirectly) {
  CapturingSink sink(loglevel::kInfo);
  Logger(loglevel::kDebug).put("not emitted");
  EXPECT_TRUE(sink.Lines().empty());
  // The threshold is read when the record dies, not when it is built.
  {
    Logger record(loglevel::kDebug);
    record.put("late");
    Logger::logLevel = loglevel::kDebug;
  }
  EXPECT_EQ(sink.Count("late"), 1);
}

TEST(LoggerLevels, MacroSkipsArgumentEvaluationBelowThreshold) {
  CapturingSink sink(loglevel::kWarning);
  int evaluated = 0;
  auto arg = [&evaluated]() {
    ++evaluated;
    return 1;
  };
  QBX_LOG(loglevel::kInfo).put("%d", arg());
  EXPECT_EQ(evaluated, 0);
  QBX_LOG(loglevel::kWarning).put("%d", arg());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(sink.Lines().size(), 1u);
  // The macro is a single statement: it binds correctly in an unbraced if/else.
  if (evaluated == 0)
    QBX_LOG(loglevel::kError).put("wrong branch");
  else
    QBX_LOG(loglevel::kError).put("right branch");
  EXPECT_EQ(sink.Count("right branch"), 1);
  EXPECT_EQ(sink.Count("wrong branch"), 0);
}

TEST(LoggerText, LineFeedRunsBecomeOneSpaceAndOtherCharactersStay) {
  CapturingSink sink;
  Logger(loglevel::kInfo).put("a\n\nb\n");
  Logger(loglevel::kInfo).put("c\r\nd\te");
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].substr(texts[0].size() - 7), "\"] a b ");
  EXPECT_EQ(texts[1].substr(texts[1].size() - 8), "] c\r d\te");
}

TEST(LoggerText, PutsConcatenateAndLongTextsAreKeptWhole) {
  CapturingSink sink;
  std::string longText(3000, 'x');
  Logger(loglevel::kInfo).put("%s", "one").put("%d", 2).put("%s", longText.c_str());
  ASSERT_EQ(sink.Lines().size(), 1u);
  const std::string line = sink.Texts()[0];
  EXPECT_EQ(line.substr(line.find("] ") + 2), "one2" + longText);
}

TEST(LoggerText, TextOfTwoMebibytesOrMoreIsDroppedButTheRecordStays) {
  CapturingSink sink;
  std::string justFits(Logger::kMaxFormattedText - 1, 'a');
  std::string tooLong(Logger::kMaxFormattedText, 'b');
  Logger(loglevel::kInfo).put("start ").put("%s", tooLong.c_str()).put(" end");
  Logger(loglevel::kInfo).put("%s", justFits.c_str());
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].substr(texts[0].find("] ") + 2), "start  end");
  EXPECT_EQ(texts[1].size() - (texts[1].find("] ") + 2), justFits.size());
}

TEST(LoggerTags, ColonRulesForKeysAndValues) {
  CapturingSink sink;
  Logger(loglevel::kInfo).tag("NDB103").tag(":").tag("a:b:c").tag(":v").tag("k:").tag(nullptr).tag("").put("t");
  ASSERT_EQ(sink.Lines().size(), 1u);
  const std::string line = sink.Texts()[0];
  EXPECT_NE(line.find("level=\"INFO\" tag=\"NDB103\" a=\"b:c\" tag=\"v\" k=\"\"] t"), std::string::npos) << line;
  EXPECT_EQ(line.find("invalid"), std::string::npos);
}

TEST(LoggerTags, KeyTableRestrictsKeysAndValues) {
  CapturingSink sink;
  Logger::SetKeyTable({{"errorCode", {"MPA10001", "MPA10049"}}, {"entId", {}}});
  Logger(loglevel::kError).tag("errorCode:MPA10048").put("refused");
  Logger(loglevel::kError).tag("errorCode:MPA10001").tag("entId:anything").put("passes");
  Logger(loglevel::kError).tag("other:x").tag("errorCode:MPA10049").tag("NDB1").put("unknown key");
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_NE(texts[0].find("level=\"ERROR\" invalid=\"true\"] refused"), std::string::npos) << texts[0];
  EXPECT_NE(texts[1].find("level=\"ERROR\" errorCode=\"MPA10001\" entId=\"anything\"] passes"),
            std::string::npos)
      << texts[1];
  // Refused tags leave the element and "invalid" appears once, at the end.
  EXPECT_NE(texts[2].find("level=\"ERROR\" errorCode=\"MPA10049\" invalid=\"true\"] unknown key"),
            std::string::npos)
      << texts[2];
}

TEST(LoggerTags, RepeatedKeysAreAllAddedInOrder) {
  CapturingSink sink;
  Logger(loglevel::kInfo).tag("k:1").tag("k:2").put("t");
  EXPECT_NE(sink.Texts()[0].find("k=\"1\" k=\"2\"]"), std::string::npos);
}

// Values could otherwise close the element or forge parameters.
TEST(LoggerEscaping, ValuesAreEscapedAsStructuredDataRequires) {
  CapturingSink sink;
  Logger::SetComponent("c\"o]mp");
  Logger(loglevel::kInfo).subcomp("sub\\comp").s2comp("s2]").tag("entId:x\" forged=\"1").put("text \"kept\" ]");
  ASSERT_EQ(sink.Lines().size(), 1u);
  EXPECT_EQ(sink.Texts()[0], Prefix() + "comp=\"c\\\"o\\]mp\" subcomp=\"sub\\\\comp\" s2comp=\"s2\\]\" tid=\"" +
                                 Tid() + "\" level=\"INFO\" entId=\"x\\\" forged=\\\"1\"] text \"kept\" ]");
}

TEST(LoggerEscaping, KeysThatAreNotParameterNamesAreRefused) {
  CapturingSink sink;
  Logger(loglevel::kInfo).tag("a b:1").tag("a=b:2").tag("a\"b:3").tag("a]b:4").tag("ok:5").put("t");
  Logger(loglevel::kInfo).tag("caf\xc3\xa9:6").put("u");
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("level=\"INFO\" ok=\"5\" invalid=\"true\"] t"), std::string::npos) << texts[0];
  EXPECT_NE(texts[1].find("level=\"INFO\" invalid=\"true\"] u"), std::string::npos) << texts[1];
}

TEST(LoggerSink, ExceptionFromTheSinkIsReportedAndDoesNotEscape) {
  CapturingSink capture;
  std::vector<CapturedLine> seen;
  int calls = 0;
  Logger::SetSinkForTest([&](int priority, const std::string& line) {
    if (calls++ == 0) throw std::runtime_error("disk full");
    seen.push_back({priority, line});
  });
  EXPECT_NO_THROW(Logger(loglevel::kInfo).put("lost"));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].priority, LOG_ERR);
  EXPECT_EQ(seen[0].line, "Failed to log message: disk full");

  seen.clear();
  calls = 0;
  Logger::SetSinkForTest([&](int priority, const std::string& line) {
    if (calls++ == 0) throw 42;
    seen.push_back({priority, line});
  });
  EXPECT_NO_THROW(Logger(loglevel::kInfo).put("lost"));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].line, "Failed to log message: unknown error");
}

// Ids are cached per process and thread; a forked child must not inherit the parent's.
TEST(LoggerIds, ForkedChildReportsItsOwnPidAndTid) {
  CapturingSink sink;
  Logger(loglevel::kInfo).put("parent");  // fills the caches
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string line = Logger::FormatLine(loglevel::kInfo, "", nullptr, {}, "child");
    ssize_t written = ::write(fds[1], line.data(), line.size());
    ::_exit(written == static_cast<ssize_t>(line.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string line;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;) line.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  const std::string id = std::to_string(child);
  EXPECT_EQ(line.rfind("QBX " + id + " - ", 0), 0u) << line;
  EXPECT_NE(line.find("tid=\"" + id + "\""), std::string::npos) << line;
  EXPECT_NE(sink.Texts().at(0).find("QBX " + std::to_string(::getpid()) + " - "), std::string::npos);
}

// Records from many threads while the sink is swapped and the level toggled: every line
// is whole and carries the id of the thread that built it.
TEST(LoggerConcurrency, ThreadsLogWhileSinkAndLevelChange) {
  CapturingSink sink;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  std::mutex mutex;
  std::vector<std::string> all;
  auto install = [&]() {
    Logger::SetSinkForTest([&](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      all.push_back(line);
    });
  };
  install();
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&stop, t]() {
      std::string tid = std::to_string(::gettid());
      for (int i = 0; i < 500 || !stop.load(); ++i) {
        QBX_LOG(loglevel::kInfo).subcomp("agg-service").tag("entId:e").put("t%d tid%s i%d", t, tid.c_str(), i);
        if (i > 100000) break;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    install();
    Logger::logLevel = (i % 2) ? loglevel::kTrace : loglevel::kInfo;
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_FALSE(all.empty());
  std::regex whole(R"re(QBX \d+ - \[qbx@8352 comp="qbx-krx" subcomp="agg-service" tid="(\d+)" level="INFO" entId="e"\] t\d tid(\d+) i\d+)re");
  for (const std::string& line : all) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
    EXPECT_EQ(match[1].str(), match[2].str());
  }
}

}  // namespace
}  // namespace qbx
