// The daemon's inbound sockets: start-up's probe says why the directory cannot be used, and a
// socket that cannot listen after start ends the daemon non-zero once the daemon's schedule
// gives up (5 minutes on a manual clock), the sockets that do listen removed on the way out.
#include "daemon/listen_retry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "base/logger.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"

namespace qbx {
namespace {

using zumbra::qbx::daemon::DaemonHealth;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(InboundSocketsTest, TheProbeSaysWhyUntilTheDirectoryIsRepaired) {
  char base[] = "/tmp/qbx-inbound-XXXXXX";
  ASSERT_NE(::mkdtemp(base), nullptr);
  const std::string dir = std::string(base) + "/rpc";
  ASSERT_EQ(::symlink(base, dir.c_str()), 0);
  EXPECT_EQ(ProbeInboundSockets(dir).why, "'" + dir + "' is not a directory of this user; not listening there");
  ASSERT_EQ(::unlink(dir.c_str()), 0);
  EXPECT_TRUE(ProbeInboundSockets(dir).ready());
  std::filesystem::remove_all(base);
}

// The directory is shared with the re-executed child of the death test through the
// environment: the child runs this test's body again and must find the parent's directory.
constexpr const char* kDirVariable = "QBX_TEST_INBOUND_DIR";

TEST(InboundSocketsDeathTest, ASocketThatNeverListensEndsTheDaemonNonZeroAfterFiveMinutes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string base;
  if (const char* inherited = std::getenv(kDirVariable)) {
    base = inherited;
  } else {
    char made[] = "/tmp/qbx-inbound-XXXXXX";
    ASSERT_NE(::mkdtemp(made), nullptr);
    base = made;
    ASSERT_EQ(::mkdir((base + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((base + "/elsewhere").c_str(), (base + "/linked").c_str()), 0);
    ::setenv(kDirVariable, base.c_str(), 1);
  }
  const std::string served = base + "/rpc/served.sock";
  EXPECT_EXIT(
      {
        Logger::SetSinkForTest([](int, const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        auto clock = std::make_shared<ManualClock>();
        AsioQbxProvider provider({}, "listen-retry", clock);
        KeepInboundServicesListening(provider);
        DaemonHealth::Service service;
        rpc::ServerBuilder good;
        good.AddLocalSocket(served).RegisterService<DaemonHealth>(&service);
        auto listening = good.BuildStarted();
        rpc::ServerBuilder deaf;
        deaf.AddLocalSocket(base + "/linked/deaf.sock").RegisterService<DaemonHealth>(&service);
        auto notListening = deaf.BuildStarted();
        if (!listening || !notListening || !Exists(served)) std::_Exit(3);
        clock->Advance(std::chrono::milliseconds(299999));
        std::fprintf(stderr, "alive at 299999 ms\n");
        clock->Advance(std::chrono::milliseconds(1));
        std::fprintf(stderr, "still alive after the give-up\n");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(255),
      "alive at 299999 ms.*Inbound services still cannot listen after 300000 ms, giving up: '" + base +
          "/linked' is not a directory of this user");
  ::unsetenv(kDirVariable);
  // The socket of the service that did listen went with the process.
  EXPECT_FALSE(Exists(served));
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace qbx
