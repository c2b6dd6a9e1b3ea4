// A socket path that a server is about to use: a stale socket (nobody listens) is replaced,
// one that a process still listens on never is, and the directory the socket directory is
// in is made with its mode whatever the umask and refused where others could change it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "zumbra/qbx/dfw/ip_reputation.grpc.pb.h"

#include "platform/rpc/server_builder.h"

namespace qbx {
namespace {

class LocalSocketReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/qbx-replace-XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    base_ = base;
  }
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
    std::filesystem::remove_all(base_);
  }
  // A socket bound at `path`, listening when `listen` is set; closed at the end of the test.
  int Bind(const std::string& path, bool listen) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    fds_.push_back(fd);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << std::strerror(errno);
    if (listen) {
      EXPECT_EQ(::listen(fd, 1), 0);
    }
    return fd;
  }
  static ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  std::unique_ptr<rpc::Server> Serve(const std::string& path) {
    rpc::ServerBuilder builder;
    builder.AddLocalSocket(path).RegisterService(&service_, "test.Service");
    return builder.BuildStarted();
  }

  std::string base_;
  std::vector<int> fds_;
  zumbra::qbx::dfw::IpReputationDataService::Service service_;  // methods unimplemented: never called
};

TEST_F(LocalSocketReplaceTest, AStaleSocketIsReplacedAndALiveOneIsLeftToItsListener) {
  const std::string dir = base_ + "/rpc";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string stale = dir + "/stale.sock";
  ::close(Bind(stale, true));
  fds_.pop_back();
  EXPECT_TRUE(rpc::ServerBuilder::PrepareLocalSocket(stale).ready());
  EXPECT_EQ(Inode(stale), 0u);  // removed, for the server to bind anew

  // Bound but not listening is stale too: nobody can be reached there.
  Bind(stale, false);
  auto server = Serve(stale);
  ASSERT_NE(server, nullptr);
  server->Shutdown();

  // Another process listens: its socket stays, and still takes connections.
  const std::string live = dir + "/live.sock";
  const int listener = Bind(live, true);
  const ino_t inode = Inode(live);
  const std::string refusal = "'" + live + "' is live: another process listens there; not replacing it";
  const rpc::SocketPreparation found = rpc::ServerBuilder::PrepareLocalSocket(live);
  EXPECT_TRUE(found.live());
  EXPECT_EQ(found.why, refusal);
  EXPECT_EQ(Serve(live), nullptr);
  EXPECT_EQ(Inode(live), inode);

  // One whose queue is full is alive all the same (and the check does not wait on it).
  for (int i = 0; i < 4; ++i) {
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    fds_.push_back(client);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, live.c_str(), sizeof(address.sun_path) - 1);
    (void)::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  }
  EXPECT_TRUE(rpc::ServerBuilder::PrepareLocalSocket(live).live());
  EXPECT_EQ(Inode(live), inode);

  // Once its listener has gone, it is stale and replaced.
  ::close(listener);
  fds_.erase(std::find(fds_.begin(), fds_.end(), listener));
  EXPECT_TRUE(rpc::ServerBuilder::PrepareLocalSocket(live).ready());
  EXPECT_EQ(Inode(live), 0u);
}

TEST_F(LocalSocketReplaceTest, TheRunDirectoryIsMadeWithItsModeAndRefusedWhenOthersCanWriteIt) {
  const mode_t saved = ::umask(0);
  const std::string made = rpc::ServerBuilder::PrepareLocalSocket(base_ + "/run/exporter/rpc/a.sock").why;
  ::umask(saved);
  EXPECT_EQ(made, "");
  EXPECT_EQ(Mode(base_ + "/run"), 0755u);
  EXPECT_EQ(Mode(base_ + "/run/exporter"), 0755u);
  EXPECT_EQ(Mode(base_ + "/run/exporter/rpc"), 0700u);

  // Whoever can write the run directory could put a socket directory of their own there.
  const std::string run = base_ + "/open";
  ASSERT_EQ(::mkdir(run.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(run.c_str(), 0777), 0);
  EXPECT_EQ(rpc::ServerBuilder::PrepareLocalSocket(run + "/rpc/a.sock").why,
            "'" + run + "' can be written by others (mode 0777); not listening there");
  EXPECT_FALSE(std::filesystem::exists(run + "/rpc"));
  EXPECT_EQ(Serve(run + "/rpc/a.sock"), nullptr);
}

}  // namespace
}  // namespace qbx
