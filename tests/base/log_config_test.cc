#include "base/log_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/base/log_test_support.h"
#include "tests/base/startup_file_support.h"

namespace qbx {
namespace {

using logtest::CapturedLine;
using logtest::CapturingSink;
using logtest::ScopedEnv;
using logtest::TempDir;

std::vector<std::pair<int, std::string>> Pairs(const std::vector<CapturedLine>& lines) {
  std::vector<std::pair<int, std::string>> out;
  for (const CapturedLine& l : lines) out.emplace_back(l.priority, l.line);
  return out;
}

using Messages = std::vector<std::pair<int, std::string>>;

// Runs the start-up initialisation with files that do not exist, so that only the
// environment matters.
class EnvInit : public ::testing::Test {
 protected:
  void Init() {
    LogSettingsFiles files;
    files.structuredDataKeys = (dir_.path() / "missing-keys.txt").string();
    files.productIssue = (dir_.path() / "missing-issue").string();
    InitLogSettingsFromEnvironment(files);
  }
  TempDir dir_;
  CapturingSink sink_{loglevel::kError};
  ScopedEnv syslogMethod_{"QBX_SYSLOG_METHOD", std::nullopt};
};

TEST_F(EnvInit, EachLevelNameSetsItsLevel) {
  const std::pair<const char*, LibraryLogLevel> names[] = {{"PANIC", 1},  {"ERROR", 2},   {"WARNING", 3},
                                                          {"INFO", 4},   {"VERBOSE", 5}, {"TRIVIA", 6}};
  for (const auto& [name, level] : names) {
    sink_.Clear();
    Logger::logLevel = 0;
    ScopedEnv env("QBX_LOG_LEVEL", name);
    Init();
    EXPECT_EQ(Logger::logLevel.load(), level) << name;
    EXPECT_EQ(Pairs(sink_.Lines()), (Messages{{LOG_INFO, std::string("Set log level to ") + name},
                                              {LOG_INFO, "Use default syslog"}}));
  }
}

TEST_F(EnvInit, UnknownOrWrongCaseNameFallsBackToInfo) {
  ScopedEnv env("QBX_LOG_LEVEL", "verbose");
  Init();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  EXPECT_EQ(Pairs(sink_.Lines()), (Messages{{LOG_ERR, "Invalid log level verbose, ignore"},
                                            {LOG_INFO, "Set log level to INFO"},
                                            {LOG_INFO, "Use default syslog"}}));
}

TEST_F(EnvInit, LongNameIsCutToNineCharacters) {
  ScopedEnv env("QBX_LOG_LEVEL", "INFORMATIONAL");
  Init();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  EXPECT_EQ(sink_.Texts().at(0), "Invalid log level INFORMATI, ignore");
}

TEST_F(EnvInit, UnsetVariableLeavesLevelAndReportsOnlySyslogChoice) {
  ScopedEnv env("QBX_LOG_LEVEL", std::nullopt);
  Logger::logLevel = loglevel::kError;
  Init();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kError);
  EXPECT_EQ(Pairs(sink_.Lines()), (Messages{{LOG_INFO, "Use default syslog"}}));
}

TEST_F(EnvInit, SyslogMethodIsOnlyValidated) {
  ScopedEnv level("QBX_LOG_LEVEL", std::nullopt);
  const char* invalidText = "Invalid UDP port provided in QBX_SYSLOG_METHOD environment variable: ";
  struct Case {
    const char* value;
    bool valid;
  } cases[] = {{"514", true},          {"DEVLOG", true},      {"-5", true},  {"+7", true},
               {"2147483647", true},   {"-2147483648", true}, {"udp", false}, {"", false},
               {"2147483648", false},  {"12a", false},        {"+", false},   {"devlog", false},
               {" 514", false}};
  for (const Case& c : cases) {
    sink_.Clear();
    ScopedEnv env("QBX_SYSLOG_METHOD", c.value);
    Init();
    Messages expected;
    if (!c.valid) expected.emplace_back(LOG_ERR, std::string(invalidText) + c.value + ". Using default syslog UDP port");
    expected.emplace_back(LOG_INFO, "Use default syslog");
    EXPECT_EQ(Pairs(sink_.Lines()), expected) << "'" << c.value << "'";
  }
}

class ConfigFiles : public ::testing::Test {
 protected:
  TempDir dir_;
  CapturingSink sink_{loglevel::kError};
};

TEST_F(ConfigFiles, LastNodeTypeLineWinsAndOnlyItsFirstWordCounts) {
  InitLogComponentFromNodeType(dir_.Write("issue",
                                          "# node-type: commented\n"
                                          "node-type: edge\n"
                                          "node-type :ignored\n"
                                          "other: x\n"
                                          "node-type:   qbx-krx second-word \n"
                                          "node-type: a:b\n"));
  EXPECT_EQ(Logger::Component(), "qbx-krx");
  EXPECT_TRUE(sink_.Lines().empty());
}

TEST_F(ConfigFiles, NodeTypeWithSpaceBeforeColonOrMissingFileKeepsComponent) {
  Logger::SetComponent("before");
  InitLogComponentFromNodeType(dir_.Write("issue", "node-type : edge\n #node-type: x\n"));
  EXPECT_EQ(Logger::Component(), "before");
  InitLogComponentFromNodeType((dir_.path() / "absent").string());
  EXPECT_EQ(Logger::Component(), "before");
}

TEST_F(ConfigFiles, EmptyNodeTypeGivesEmptyComponentAndLastLineNeedsNoLineFeed) {
  InitLogComponentFromNodeType(dir_.Write("issue", "node-type:   \n"));
  EXPECT_EQ(Logger::Component(), "");
  InitLogComponentFromNodeType(dir_.Write("issue2", "node-type: qbx-edge"));
  EXPECT_EQ(Logger::Component(), "qbx-edge");
}

// A long line must not end the reading: the lines after it still count.
TEST_F(ConfigFiles, LongIssueLineIsSkippedAndReadingGoesOn) {
  std::string fits = "node-type:" + std::string(255 - 10 - 4, ' ') + "fits";
  ASSERT_EQ(fits.size(), 255u);
  InitLogComponentFromNodeType(dir_.Write("issue", fits + "\n"));
  EXPECT_EQ(Logger::Component(), "fits");

  std::string tooLong = "node-type:" + std::string(256 - 10 - 4, ' ') + "long";
  ASSERT_EQ(tooLong.size(), 256u);
  InitLogComponentFromNodeType(dir_.Write("issue2", "node-type: first\n" + tooLong + "\n"));
  EXPECT_EQ(Logger::Component(), "first");
  InitLogComponentFromNodeType(dir_.Write("issue3", std::string(5000, 'x') + "\nnode-type: after\n"));
  EXPECT_EQ(Logger::Component(), "after");
  InitLogComponentFromNodeType(dir_.Write("issue4", "node-type: kept\n" + tooLong));
  EXPECT_EQ(Logger::Component(), "kept");
}

// Read before main: a FIFO would hold the process before it starts, and an endless device
// spun for ever skipping one endless line. (The device here is one that ends, so that the
// test ends without the type check too.)
TEST_F(ConfigFiles, IssueFileThatIsNoRegularFileIsRefusedWithTheReason) {
  Logger::SetComponent("before");
  const std::string fifo = (dir_.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(startup::ReturnsWithoutAWriter(fifo, [&] { InitLogComponentFromNodeType(fifo); }));
  const std::string device = (dir_.path() / "null").string();
  std::filesystem::create_symlink("/dev/null", device);
  InitLogComponentFromNodeType(device);
  EXPECT_EQ(Logger::Component(), "before");
  EXPECT_EQ(Pairs(sink_.Lines()),
            (Messages{{LOG_ERR, "Failed to read " + fifo + ": not a regular file (a FIFO)"},
                      {LOG_ERR, "Failed to read " + device + ": not a regular file (a character device)"}}));
}

TEST_F(ConfigFiles, KeyFileThatIsNoRegularFileOrTooLargeIsRefusedAndTheTableKept) {
  LoadStructuredDataKeys(dir_.Write("keys", "errorCode: A\n"));
  const StructuredDataKeyTable before = Logger::KeyTable();
  ASSERT_EQ(before.size(), 1u);
  const std::string dir = (dir_.path() / "dir").string();
  std::filesystem::create_directory(dir);
  LoadStructuredDataKeys(dir);
  const std::string huge = dir_.Write("huge", "other: B\n" + std::string(5 << 20, '#'));
  LoadStructuredDataKeys(huge);
  EXPECT_EQ(Logger::KeyTable(), before);
  EXPECT_EQ(Pairs(sink_.Lines()), (Messages{{LOG_ERR, "Failed to read " + dir + ": not a regular file (a directory)"},
                                            {LOG_ERR, "Failed to read " + huge + ": larger than 4194304 bytes"}}));
}

TEST_F(ConfigFiles, StructuredDataKeyLines) {
  LoadStructuredDataKeys(dir_.Write("keys",
                                    "# errorCode: commented\n"
                                    "errorCode: MPA10001,MPA10049\n"
                                    "entId:\n"
                                    "a:b:c\n"
                                    "\n"
                                    " spaced:x\n"
                                    "list:x, y,,z \n"
                                    "dup:1\n"
                                    "dup:2\n"));
  const StructuredDataKeyTable& table = Logger::KeyTable();
  EXPECT_EQ(table.size(), 5u);
  EXPECT_EQ(table.at("errorCode"), (std::unordered_set<std::string>{"MPA10001", "MPA10049"}));
  EXPECT_TRUE(table.at("entId").empty());
  EXPECT_EQ(table.count("a"), 0u);
  EXPECT_EQ(table.count(" spaced"), 1u);
  EXPECT_EQ(table.at("list"), (std::unordered_set<std::string>{"x", " y", "", "z"}));
  EXPECT_EQ(table.at("dup"), (std::unordered_set<std::string>{"2"}));
}

TEST_F(ConfigFiles, StructuredDataKeysDriveTagValidation) {
  LoadStructuredDataKeys(dir_.Write("keys", "errorCode: MPA10001,MPA10049\n"));
  Logger(loglevel::kError).tag("errorCode:MPA10048").put("a");
  Logger(loglevel::kError).tag("errorCode:MPA10049").put("b");
  auto texts = sink_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("invalid=\"true\"] a"), std::string::npos);
  EXPECT_NE(texts[1].find("errorCode=\"MPA10049\"] b"), std::string::npos);
}

TEST_F(ConfigFiles, LongKeyLineIsSkippedAndReadingGoesOn) {
  std::string fits = "k511:" + std::string(511 - 5, 'v');
  std::string tooLong = "k512:" + std::string(512 - 5, 'v');
  LoadStructuredDataKeys(dir_.Write("keys", fits + "\n" + tooLong + "\nafter:1\n" + std::string(100000, 'z') +
                                                "\nlast:2"));
  const StructuredDataKeyTable& table = Logger::KeyTable();
  EXPECT_EQ(table.count("k511"), 1u);
  EXPECT_EQ(table.count("k512"), 0u);
  EXPECT_EQ(table.count("after"), 1u);
  EXPECT_EQ(table.count("last"), 1u);
}

TEST_F(ConfigFiles, MissingKeyFileKeepsTableAndEmptyFileClearsIt) {
  Logger::SetKeyTable({{"k", {}}});
  LoadStructuredDataKeys((dir_.path() / "absent").string());
  EXPECT_EQ(Logger::KeyTable().size(), 1u);
  LoadStructuredDataKeys(dir_.Write("keys", "# nothing\n"));
  EXPECT_TRUE(Logger::KeyTable().empty());
  EXPECT_TRUE(sink_.Lines().empty());
}

TEST_F(ConfigFiles, StartUpInitialisationReadsBothFiles) {
  ScopedEnv level("QBX_LOG_LEVEL", "WARNING");
  ScopedEnv method("QBX_SYSLOG_METHOD", std::nullopt);
  LogSettingsFiles files;
  files.structuredDataKeys = dir_.Write("keys", "errorCode:\n");
  files.productIssue = dir_.Write("issue", "node-type: qbx-edge\n");
  InitLogSettingsFromEnvironment(files);
  EXPECT_EQ(Logger::Component(), "qbx-edge");
  EXPECT_EQ(Logger::KeyTable().count("errorCode"), 1u);
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kWarning);
}

class ReadLevel : public ::testing::Test {
 protected:
  int32_t Read(const std::string& json) {
    dir_.Write("qbx-exporter/config.json", json);
    return ReadLogLevelFromConfig("qbx-exporter", Root());
  }
  std::string Root() const { return dir_.path().string() + "/"; }
  TempDir dir_;
  CapturingSink sink_{loglevel::kError};
};

TEST_F(ReadLevel, IntegerAsNumberOrStringIsReturnedUnchecked) {
  EXPECT_EQ(Read(R"({"logLevel": 5})"), 5);
  EXPECT_EQ(Read(R"({"logLevel": "5"})"), 5);
  EXPECT_EQ(Read(R"({"other": 1, "logLevel": 9})"), 9);
  EXPECT_EQ(Read(R"({"logLevel": "+3"})"), 3);
  EXPECT_EQ(Read(R"({"logLevel": -1})"), -1);
  EXPECT_TRUE(sink_.Lines().empty());
}

TEST_F(ReadLevel, BadValuesAreReportedOnceAndGiveMinusOne) {
  const char* bad[] = {R"({"other": 5})",           R"({"logLevel": "five"})", R"({"logLevel": 5.5})",
                       R"({"logLevel": "5 "})",     R"({"logLevel": ""})",     R"({"logLevel": {"a": 1}})",
                       R"({"logLevel": {}})",       R"({"logLevel": [5]})",    R"({"logLevel": 3000000000})",
                       R"({"logLevel": true})",     R"({"logLevel": 5)",       "not json",
                       R"([{"logLevel": 5}])"};
  for (const char* json : bad) {
    sink_.Clear();
    EXPECT_EQ(Read(json), -1) << json;
    EXPECT_EQ(Pairs(sink_.Lines()),
              (Messages{{LOG_ERR, "Failed to get qbx-exporter config file logLevel value"}}))
        << json;
  }
}

TEST_F(ReadLevel, MissingFileOrDirectoryInsteadOfFileIsReported) {
  EXPECT_EQ(ReadLogLevelFromConfig("absent", Root()), -1);
  std::filesystem::create_directories(dir_.path() / "dir" / "config.json");
  EXPECT_EQ(ReadLogLevelFromConfig("dir", Root()), -1);
  EXPECT_EQ(Pairs(sink_.Lines()), (Messages{{LOG_ERR, "Failed to get absent config file logLevel value"},
                                            {LOG_ERR, "Failed to get dir config file logLevel value"}}));
}

TEST_F(ReadLevel, EmptyComponentIsRefused) {
  EXPECT_EQ(ReadLogLevelFromConfig("", Root()), -1);
  EXPECT_EQ(Pairs(sink_.Lines()), (Messages{{LOG_ERR, "Failed to get  config file"}}));
}

TEST(LogLevelNames, TableAndOutOfRange) {
  const char* names[] = {"off", "fatal", "error", "warn", "info", "debug", "trace"};
  for (int level = 0; level <= 6; ++level) EXPECT_EQ(LogLevelToString(level), names[level]);
  EXPECT_EQ(LogLevelToString(-1), "invalid");
  EXPECT_EQ(LogLevelToString(7), "invalid");
}

TEST(LogSettingsOnce, RepeatedInitialisationDoesNothing) {
  CapturingSink sink;
  // Already ran before main, from the logger unit.
  EnsureLogSettingsInitialised();
  EnsureLogSettingsInitialised();
  EXPECT_TRUE(sink.Lines().empty());
}

}  // namespace
}  // namespace qbx
