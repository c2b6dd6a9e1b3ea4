// The daemon while it starts: it refuses a run directory below a parent that somebody else
// could change, and without a signal thread a stop during start-up ends it at once instead
// of waiting for start-up to finish.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "tests/e2e/daemon_fixture.h"
#include "tests/e2e/daemon_peers.h"
#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {
namespace {

class DaemonStartupE2E : public DaemonFixture {
 protected:
  void Shell(const std::string& script) {
    std::string out;
    EXPECT_EQ(RunInside({"/bin/sh", "-c", script}, out), 0) << script << "\n" << out;
  }
};

// With the run directory's parent open to everybody, anybody could move the run directory
// away and put their own there, however closed the run directory itself is.
TEST_F(DaemonStartupE2E, ARunDirectoryBelowAParentOthersCanWriteIsRefusedWithTheReason) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  const std::string parent = std::filesystem::path(kRunDir).parent_path().string();
  Shell("chmod 0777 " + parent + " && mkdir -m 0755 " + kRunDir);
  // The reason names the directory itself, where the path leads through a link.
  const std::string real = (std::filesystem::canonical(std::filesystem::path(parent).parent_path()) /
                            std::filesystem::path(parent).filename())
                               .string();
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  const int status = WaitStatusOf(pid_);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_NE(WEXITSTATUS(status), 0);
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("Not starting: '" + real + "' can be written by others (mode 0777)", 1));
  std::string out;
  EXPECT_EQ(RunInside({"/bin/ls", "-A", kRunDir}, out), 0);
  EXPECT_EQ(out, "");
}

// Without a signal thread (signalfd refused) nothing takes the blocked signals until the
// manager runs: start-up gives SIGTERM its default action back, so that a stop while the
// daemon waits for the database ends it.
TEST_F(DaemonStartupE2E, WithoutASignalThreadSigtermDuringStartUpEndsTheDaemon) {
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  // No database: start-up waits for it.
  pid_ = ns_->Spawn({QBX_E2E_WITHOUT_SIGNALFD_BINARY, QBX_EXPORTER_BINARY}, {{"QBX_LOG_LEVEL", "INFO"}});
  ASSERT_GT(pid_, 0);
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("[Core][main] Cannot register handler to change log level", 1));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords("nodedb client is created", 1));

  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  const int status = WaitStatusOf(pid_);
  ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status << "\n" << OutputOf(*ns_, pid_);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  ReadWaitingRecords(*ns_);
  EXPECT_EQ(CountRecords(*ns_, "[Start] Start AggServiceMgr"), 0) << Received();
}

}  // namespace
}  // namespace qbx::e2e
