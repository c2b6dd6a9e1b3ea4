// The files the daemon reads whole at start, made what no such file should be: the host
// configuration a FIFO that no one writes (its open waited for a writer for ever) and the
// product issue file a link to /dev/zero (read before main, it spun for ever). The daemon
// refuses both with the reason, starts its clients, and stops on SIGTERM with status 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <string>

#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

constexpr const char* kHostConfig = "/etc/zumbra/qbx/host-cfg.xml";
constexpr const char* kIssueFile = "/etc/qbx_issue";

std::string Received(const Namespace& ns) {
  std::string seen;
  for (const std::string& datagram : ns.Syslog()) seen += datagram + "\n";
  return seen;
}

// Waits for a record with `needle` among those received so far and those to come.
bool WaitForRecord(Namespace& ns, const std::string& needle) {
  if (CountRecords(ns, needle) > 0) return true;
  return ns.WaitForSyslog(needle).has_value();
}

TEST(StartupFilesE2E, FifoHostConfigurationAndEndlessIssueFileDoNotHoldTheStart) {
  std::unique_ptr<Namespace> ns;
  std::string skipReason;
  if (!CreateNodeNamespace(ns, skipReason)) GTEST_SKIP() << skipReason;

  // Made inside the namespace: the sandbox writes only regular files.
  const pid_t setup = ns->Spawn({"/bin/sh", "-c",
                                 std::string("mkdir -p /etc/zumbra/qbx && mkfifo ") + kHostConfig +
                                     " && ln -sf /dev/zero " + kIssueFile + " && test -p " + kHostConfig +
                                     " && test -c " + kIssueFile});
  ASSERT_GT(setup, 0);
  std::optional<int> setupStatus = ns->WaitForExit(setup);
  ASSERT_TRUE(setupStatus && WIFEXITED(*setupStatus) && WEXITSTATUS(*setupStatus) == 0) << OutputOf(*ns, setup);

  ASSERT_GT(StartNodeDb(*ns), 0);
  ASSERT_GT(StartMonitoring(*ns), 0);
  const pid_t daemon = StartDaemonIn(*ns);
  ASSERT_GT(daemon, 0);

  EXPECT_TRUE(WaitForRecord(*ns, std::string("Failed to read ") + kIssueFile +
                                      ": not a regular file (a character device)"))
      << Received(*ns) << OutputOf(*ns, daemon);
  EXPECT_TRUE(WaitForRecord(*ns, std::string("Error reading node uuid from ") + kHostConfig + ". " + kHostConfig +
                                      ": not a regular file (a FIFO)."))
      << Received(*ns) << OutputOf(*ns, daemon);
  ASSERT_TRUE(WaitForRecord(*ns, "[StartAllAggClients] TnProxyClientCommon for AggSvc client started"))
      << Received(*ns) << OutputOf(*ns, daemon);
  // The node type is read again after main, by whoever needs it: refused there too.
  EXPECT_TRUE(WaitForRecord(*ns, std::string("Error reading node type from ") + kIssueFile + ". " + kIssueFile +
                                      ": not a regular file (a character device)."))
      << Received(*ns);

  ASSERT_TRUE(ns->Signal(daemon, SIGTERM));
  std::optional<int> status = WaitForExitReading(*ns, daemon, std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "daemon still running";
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status << "\n" << OutputOf(*ns, daemon);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_EQ(OutputOf(*ns, daemon).find("Sanitizer"), std::string::npos) << OutputOf(*ns, daemon);
}

}  // namespace
}  // namespace qbx::e2e
