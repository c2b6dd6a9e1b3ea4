// The command socket's path is watched while the daemon runs: when its file is removed, the
// daemon notices, says so, and listens there again, so the operator's ovs-appctl reaches it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/daemon_fixture.h"

namespace qbx::e2e {
namespace {

class DaemonCliSocketE2E : public DaemonFixture {
 protected:
  // ovs-appctl on the command socket inside the namespace; its exit status and output.
  int Appctl(const std::vector<std::string>& command, std::string& out) {
    std::vector<std::string> argv = {kAppctl, "-t", kCliSocket};
    argv.insert(argv.end(), command.begin(), command.end());
    return RunInside(argv, out);
  }
};

TEST_F(DaemonCliSocketE2E, ARemovedCommandSocketIsListenedOnAgain) {
  if (::access(kAppctl, X_OK) != 0) GTEST_SKIP() << "ovs-appctl (openvswitch-common) not installed";
  if (!CreateNamespace()) GTEST_SKIP() << skipReason_;
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  const std::string listening = std::string("[CLI][Open] Listening on ") + kCliSocket;
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(listening, 1));
  std::string out;
  ASSERT_EQ(Appctl({"set/loglevel", "info"}, out), 0) << out;

  ASSERT_EQ(RunInside({"/bin/rm", kCliSocket}, out), 0) << out;
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(std::string("[CLI][Serve] ") + kCliSocket +
                                             " no longer leads to the socket listened on: nothing is there",
                                         1));
  ASSERT_NO_FATAL_FAILURE(WaitForRecords(listening, 2));
  ASSERT_EQ(Appctl({"set/loglevel", "info"}, out), 0) << out;
  EXPECT_EQ(out, "log level set to 4\n");

  ASSERT_TRUE(ns_->Signal(pid_, SIGTERM));
  const int status = WaitStatusOf(pid_);
  EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << "wait status " << status;
}

}  // namespace
}  // namespace qbx::e2e
