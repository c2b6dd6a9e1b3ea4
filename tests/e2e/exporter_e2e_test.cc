// The daemon binary as the node runs it: its records reach the node's syslog socket in the
// C library's framing, it answers SIGHUP, and SIGTERM/SIGINT end it with 0. The stand-in
// configuration database runs beside it, since start-up waits until the daemon reaches it.
// GCC 12 reports a false maybe-uninitialized inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

// "<PRI>Mmm dd hh:mm:ss qbx-exporter: " as glibc's syslog() writes it without openlog().
const std::string kFraming = R"(<(\d+)>[A-Z][a-z]{2} [ 123]\d \d{2}:\d{2}:\d{2} qbx-exporter: )";

std::string Output(const Namespace& ns, pid_t pid) {
  std::ifstream in(ns.OutputPath(pid));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ExporterE2E : public ::testing::Test {
 protected:
  void Start(Namespace::Options options, const std::map<std::string, std::string>& env = {}) {
    Namespace::CreateResult created = Namespace::Create(options);
    if (created.unsupported) GTEST_SKIP() << "namespaces not available: " << created.error;
    ASSERT_TRUE(created.ns) << created.error;
    ns_ = std::move(created.ns);
    ASSERT_GT(StartNodeDb(*ns_), 0);
    pid_ = ns_->Spawn({QBX_EXPORTER_BINARY}, env);
    ASSERT_GT(pid_, 0);
  }

  // Waits for a record; on failure shows what did arrive and what the daemon printed.
  std::string Expect(const std::string& needle) {
    std::optional<std::string> line = ns_->WaitForSyslog(needle);
    if (!line) {
      std::string seen;
      for (const std::string& datagram : ns_->Syslog()) seen += datagram + "\n";
      ADD_FAILURE() << "no record with '" << needle << "'; received:\n" << seen << "output:\n" << Output(*ns_, pid_);
      return std::string();
    }
    return *line;
  }

  void ExpectCleanExit() {
    std::optional<int> status = ns_->WaitForExit(pid_);
    ASSERT_TRUE(status.has_value()) << "daemon still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << Output(*ns_, pid_);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    // Sanitizer builds report from inside the daemon; its output must stay clean.
    EXPECT_EQ(Output(*ns_, pid_).find("Sanitizer"), std::string::npos) << Output(*ns_, pid_);
  }

  std::unique_ptr<Namespace> ns_;
  pid_t pid_ = -1;
};

TEST_F(ExporterE2E, RecordsReachSyslogAndSignalsAreServed) {
  Namespace::Options options;
  options.files["/etc/qbx_issue"] = "node-type: qbx-edge\n";
  options.files["/opt/zumbra/qbx-common/logging/structured-data.txt"] = "errorCode:\n";
  options.files["/etc/zumbra/qbx-exporter/config.json"] = R"({"logLevel": 6})";
  ASSERT_NO_FATAL_FAILURE(Start(options, {{"QBX_LOG_LEVEL", "INFO"}}));
  if (!ns_) return;
  const std::string pid = std::to_string(pid_);

  // Settings reports go out before main, on the default facility (user, notice level info).
  std::string setLevel = Expect("Set log level to INFO");
  EXPECT_TRUE(std::regex_match(setLevel, std::regex("<14>" + kFraming.substr(7) + "Set log level to INFO")))
      << setLevel;
  Expect("Use default syslog");

  std::string start = Expect("Start AggServiceMgr");
  std::regex record(kFraming + "QBX " + pid + R"re( - \[qbx@8352 comp="qbx-edge" subcomp="agg-service" tid=")re" +
                    pid + R"re(" level="INFO"\] \[Start\] Start AggServiceMgr)re");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(start, match, record)) << start;
  EXPECT_EQ(match[1].str(), "182");  // LOCAL6 | INFO

  // Once the manager runs, SIGHUP is the one signal that changes the level.
  Expect("TnProxyClientCommon for AggSvc client started");
  ASSERT_TRUE(ns_->Signal(pid_, SIGHUP));
  std::string reread = Expect("Changing qbx-exporter log level to trace");
  EXPECT_TRUE(reread.size() > 1 && reread.back() == ' ') << reread;

  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  Expect("[Start] Shutting down AggServiceMgr");
  ExpectCleanExit();
}

TEST_F(ExporterE2E, DefaultsWithoutFilesAndStopOnSigint) {
  ASSERT_NO_FATAL_FAILURE(Start(Namespace::Options(), {{"QBX_SYSLOG_METHOD", "udp"}, {"QBX_LOG_LEVEL", "INFO"}}));
  if (!ns_) return;
  std::string invalid = Expect("Invalid UDP port provided in QBX_SYSLOG_METHOD environment variable: udp.");
  EXPECT_EQ(invalid.rfind("<11>", 0), 0u) << invalid;  // user | err
  std::string start = Expect("Start AggServiceMgr");
  EXPECT_NE(start.find("comp=\"qbx-krx\""), std::string::npos) << start;
  Expect("TnProxyClientCommon for AggSvc client started");

  // No config.json: the re-read is refused and reported, the daemon goes on.
  ASSERT_TRUE(ns_->Signal(pid_, SIGHUP));
  std::string failed = Expect("Failed to get qbx-exporter config file logLevel value");
  EXPECT_EQ(failed.rfind("<11>", 0), 0u) << failed;

  ASSERT_TRUE(ns_->Signal(pid_, SIGINT));
  Expect("Shutting down AggServiceMgr");
  ExpectCleanExit();
}

}  // namespace
}  // namespace qbx::e2e
