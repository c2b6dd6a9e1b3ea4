#include "daemon/daemon_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/base/log_test_support.h"

namespace qbx {
namespace {

using logtest::CapturingSink;
using logtest::TempDir;

TEST(ProgramName, LastPathElementTrimmed) {
  EXPECT_EQ(ProgramNameFromInvocation("/usr/sbin/qbx-exporter"), "qbx-exporter");
  EXPECT_EQ(ProgramNameFromInvocation("qbx-exporter"), "qbx-exporter");
  EXPECT_EQ(ProgramNameFromInvocation("  ./bin/ qbx-exporter \t"), "qbx-exporter");
  EXPECT_EQ(ProgramNameFromInvocation("/usr/sbin/"), "");
  EXPECT_EQ(ProgramNameFromInvocation(""), "");
  EXPECT_EQ(ProgramNameFromInvocation(nullptr), "");
}

TEST(User1Toggle, InfoAndVerboseAlternate) {
  CapturingSink sink(loglevel::kInfo);
  SigUser1Handler(SIGUSR1);
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kDebug);
  SigUser1Handler(SIGUSR1);
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("level=\"INFO\"] [Core][SigUser1Handler] Changing log level to LVL_VERBOSE"),
            std::string::npos);
  EXPECT_NE(texts[1].find("level=\"INFO\"] [Core][SigUser1Handler] Changing log level to LVL_INFO"),
            std::string::npos);
}

TEST(User1Toggle, QuietLevelsReturnToInfoSilentlyAndOtherSignalsAreIgnored) {
  CapturingSink sink(loglevel::kError);
  SigUser1Handler(SIGUSR2);
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kError);
  SigUser1Handler(SIGUSR1);
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  Logger::logLevel = loglevel::kTrace;
  SigUser1Handler(SIGUSR1);
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 1u);  // only the one from trace
  EXPECT_NE(texts[0].find("LVL_INFO"), std::string::npos);
}

class HangupReload : public ::testing::Test {
 protected:
  void Configure(const std::string& json) { dir_.Write("qbx-exporter/config.json", json); }
  void Reload() { ReloadLogLevelOnHangup("qbx-exporter", dir_.path().string() + "/"); }
  TempDir dir_;
  CapturingSink sink_{loglevel::kInfo};
};

TEST_F(HangupReload, NewLevelIsStoredAndReportedWhenAboveWarning) {
  Configure(R"({"logLevel": 6})");
  Reload();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kTrace);
  auto texts = sink_.Texts();
  ASSERT_EQ(texts.size(), 1u);
  // The text's trailing line feed becomes one space.
  EXPECT_NE(texts[0].find("level=\"INFO\"] Changing qbx-exporter log level to trace "), std::string::npos)
      << texts[0];
  EXPECT_EQ(texts[0].back(), ' ');
}

TEST_F(HangupReload, QuietOrOutOfRangeLevelsAreStoredAsGiven) {
  Configure(R"({"logLevel": 2})");
  Reload();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kError);
  EXPECT_TRUE(sink_.Lines().empty());
  Configure(R"({"logLevel": 99})");
  Reload();
  EXPECT_EQ(Logger::logLevel.load(), 99);
  EXPECT_EQ(sink_.Count("Changing qbx-exporter log level to invalid"), 1);
}

TEST_F(HangupReload, FailedReadKeepsTheLevel) {
  Reload();  // no file
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{"Failed to get qbx-exporter config file logLevel value"});
}

TEST_F(HangupReload, DeeplyNestedFileIsRefusedLikeABrokenOne) {
  // Nested far beyond what the recursive parser survives; the level stays.
  Configure(R"({"logLevel": 6, "x": )" + std::string(100000, '[') + std::string(100000, ']') + "}");
  Reload();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kInfo);
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{"Failed to get qbx-exporter config file logLevel value"});
  // Nesting within the bound still reads.
  Configure(R"({"x": [[[{"y": [1]}]]], "logLevel": 2})");
  Reload();
  EXPECT_EQ(Logger::logLevel.load(), loglevel::kError);
}

}  // namespace
}  // namespace qbx
