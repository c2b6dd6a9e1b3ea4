// Servers on Unix-domain sockets: the socket's directory is made closed to every other user,
// a directory that another user owns or that is a link is refused, a stale socket is
// replaced, and a builder tied to a transport reports its socket as its local address. A
// socket belongs to one server of the process until that server stops, and answers only for
// the services registered on it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>

#include "zumbra/qbx/dfw/ip_reputation.grpc.pb.h"

#include "platform/rpc/connection.h"
#include "platform/rpc/server_builder.h"

namespace qbx {
namespace {

class RecordingTransport : public rpc::TransportInterface {
 public:
  void GetConnection(const net::Endpoint&, ConnectHandler) override {}
  bool IsShutdown() const override { return false; }
  void Shutdown() override {}
  void SetLocalAddress(const std::string& address) override { addresses.push_back(address); }
  std::vector<std::string> addresses;
};

class LocalSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/qbx-socket-XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    base_ = base;
  }
  void TearDown() override {
    rpc::ServerBuilder::SetLocalSocketDirectory("");
    std::filesystem::remove_all(base_);
  }
  std::unique_ptr<rpc::Server> Serve(const std::string& path) {
    rpc::ServerBuilder builder;
    builder.AddLocalSocket(path).RegisterService(&service_, "test.Service");
    return builder.BuildStarted();
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
  }

  std::string base_;
  zumbra::qbx::dfw::IpReputationDataService::Service service_;  // methods unimplemented: never called
};

TEST_F(LocalSocketTest, DirectoryIsMadeOrClosedToOthersAndAStaleSocketIsReplaced) {
  // Made where missing, parents included.
  const std::string dir = base_ + "/run/rpc";
  auto server = Serve(dir + "/a.sock");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(Mode(dir) & 07777, 0700u);
  EXPECT_TRUE(S_ISSOCK(Mode(dir + "/a.sock")));
  server->Shutdown();

  // An existing directory open to others is closed; the old socket file of a previous run
  // is replaced.
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  server = Serve(dir + "/a.sock");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(Mode(dir) & 07777, 0700u);
}

TEST_F(LocalSocketTest, ForeignOrLinkedDirectoryOrNonSocketFileIsRefused) {
  const std::string real = base_ + "/real";
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  const std::string link = base_ + "/link";
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  EXPECT_EQ(Serve(link + "/a.sock"), nullptr);

  // A plain file where the socket goes is somebody's data, not a stale socket.
  std::ofstream(real + "/data.sock") << "keep";
  EXPECT_EQ(Serve(real + "/data.sock"), nullptr);
  EXPECT_TRUE(std::filesystem::is_regular_file(real + "/data.sock"));

  // A path too long for a socket address.
  EXPECT_EQ(Serve(real + "/" + std::string(sizeof(sockaddr_un::sun_path), 'x')), nullptr);

  if (::geteuid() == 0) {
    const std::string foreign = base_ + "/foreign";
    ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Serve(foreign + "/a.sock"), nullptr);
  }
}

TEST_F(LocalSocketTest, OnlyTheRegisteredServicesAreServed) {
  // Nothing registered the reflection service; no library linked in may add it either.
  const std::string path = base_ + "/rpc/a.sock";
  auto server = Serve(path);
  ASSERT_NE(server, nullptr);
  grpc::GenericStub stub(grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials()));
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));  // hang guard
  grpc::Slice empty;
  grpc::ByteBuffer request(&empty, 1);
  grpc::ByteBuffer reply;
  std::promise<grpc::Status> done;
  stub.UnaryCall(&context, "/grpc.reflection.v1alpha.ServerReflection/ServerReflectionInfo", grpc::StubOptions(),
                 &request, &reply, [&done](grpc::Status status) { done.set_value(std::move(status)); });
  auto status = done.get_future();
  ASSERT_EQ(status.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(status.get().error_code(), grpc::StatusCode::UNIMPLEMENTED);
}

TEST_F(LocalSocketTest, AnExplicitSocketBelongsToItsServerUntilItStops) {
  const std::string path = base_ + "/rpc/a.sock";
  auto first = Serve(path);
  ASSERT_NE(first, nullptr);
  struct stat bound {};
  ASSERT_EQ(::lstat(path.c_str(), &bound), 0);

  // A second server of this process on the same path is refused, and the first one's
  // socket is left as it was (not replaced by a new one).
  EXPECT_EQ(Serve(path), nullptr);
  struct stat now {};
  ASSERT_EQ(::lstat(path.c_str(), &now), 0);
  EXPECT_EQ(now.st_ino, bound.st_ino);

  // Once the first stops, its socket is gone and the path is free again.
  first->Shutdown();
  EXPECT_EQ(Mode(path), 0u);
  auto again = Serve(path);
  ASSERT_NE(again, nullptr);
  again->Shutdown();

  // A server that could not listen leaves the path free too.
  std::ofstream(path) << "data";
  EXPECT_EQ(Serve(path), nullptr);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_NE(Serve(path), nullptr);
}

TEST_F(LocalSocketTest, PrepareLocalSocketSaysWhyUntilTheDirectoryIsRepaired) {
  const std::string elsewhere = base_ + "/elsewhere";
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  const std::string dir = base_ + "/rpc";
  ASSERT_EQ(::symlink(elsewhere.c_str(), dir.c_str()), 0);
  const std::string path = dir + "/a.sock";
  EXPECT_EQ(rpc::ServerBuilder::PrepareLocalSocket(path).why,
            "'" + dir + "' is not a directory of this user; not listening there");

  // A plain file where the directory goes, then where the socket goes.
  ASSERT_EQ(::unlink(dir.c_str()), 0);
  std::ofstream(dir) << "data";
  EXPECT_FALSE(rpc::ServerBuilder::PrepareLocalSocket(path).ready());
  ASSERT_EQ(::unlink(dir.c_str()), 0);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  std::ofstream(path) << "data";
  EXPECT_EQ(rpc::ServerBuilder::PrepareLocalSocket(path).why, "Cannot replace '" + path + "'");
  EXPECT_TRUE(std::filesystem::is_regular_file(path));

  // Repaired: the directory is closed to others and a server can listen there.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(rpc::ServerBuilder::PrepareLocalSocket(path).ready());
  EXPECT_EQ(Mode(dir) & 07777, 0700u);
  EXPECT_NE(Serve(path), nullptr);
}

TEST_F(LocalSocketTest, TransportBuilderListensInTheSocketDirectoryAndReportsIt) {
  RecordingTransport transport;
  rpc::ServerBuilder::SetLocalSocketDirectory(base_ + "/rpc");
  rpc::ServerBuilder builder(&transport);
  builder.RegisterService(&service_, "test.Service");
  auto server = builder.BuildStarted();
  ASSERT_NE(server, nullptr);
  const std::string path = rpc::ServerBuilder::LocalSocketPath(base_ + "/rpc", "test.Service");
  EXPECT_TRUE(S_ISSOCK(Mode(path)));
  ASSERT_EQ(transport.addresses.size(), 1u);
  EXPECT_EQ(transport.addresses[0], "unix:" + path);

  // A second server of the same service in this process (towards another forwarding peer)
  // listens beside the first instead of taking its socket; a socket is removed when its
  // server stops.
  rpc::ServerBuilder again(&transport);
  again.RegisterService(&service_, "test.Service");
  auto second = again.BuildStarted();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(transport.addresses.size(), 2u);
  EXPECT_EQ(transport.addresses[1], "unix:" + base_ + "/rpc/test.Service-2.sock");
  EXPECT_TRUE(S_ISSOCK(Mode(path)));
  second->Shutdown();
  EXPECT_EQ(Mode(base_ + "/rpc/test.Service-2.sock"), 0u);
  server->Shutdown();
  EXPECT_EQ(Mode(path), 0u);

  // Without a directory it is a free loopback port, as before.
  rpc::ServerBuilder::SetLocalSocketDirectory("");
  rpc::ServerBuilder tcp(&transport);
  tcp.RegisterService(&service_, "test.Service");
  server = tcp.BuildStarted();
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(transport.addresses.size(), 3u);
  EXPECT_EQ(transport.addresses[2], "tcp://127.0.0.1:" + std::to_string(server->port()));
}

}  // namespace
}  // namespace qbx
