// The IP-reputation data server over a real loopback RPC connection.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "firewall/ip_reputation_server.h"
#include "zumbra/qbx/dfw/ip_reputation.grpc.pb.h"

namespace {

TEST(IpReputationServer, AnswersEveryAddressAndStopsOnRequest) {
  std::promise<int> port;
  auto listening = port.get_future();
  std::thread server([&] {
    EXPECT_EQ(RunIpReputationDataServer("tcp://127.0.0.1:0", 0, [&](int p) { port.set_value(p); }), 0);
  });
  const int bound = listening.get();
  ASSERT_GT(bound, 0);

  auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(bound), grpc::InsecureChannelCredentials());
  auto stub = zumbra::qbx::dfw::IpReputationDataService::NewStub(channel);
  zumbra::qbx::dfw::IpReputationRequest request;
  request.add_ip_address("10.0.0.1");
  request.add_ip_address("192.0.2.7");
  zumbra::qbx::dfw::IpReputationResponse response;
  grpc::ClientContext context;
  ASSERT_TRUE(stub->GetIpReputation(&context, request, &response).ok());
  ASSERT_EQ(response.entry_size(), 2);
  EXPECT_EQ(response.entry(1).ip_address(), "192.0.2.7");
  EXPECT_EQ(response.entry(1).reputation(), 0);

  StopIpReputationDataServer();
  server.join();
}

TEST(IpReputationServer, LimitedRunEndsByItselfAndBadEndpointFails) {
  EXPECT_EQ(RunIpReputationDataServer("tcp://127.0.0.1:0", 1, {}), 0);
  EXPECT_EQ(RunIpReputationDataServer("not an endpoint", 0, {}), -1);
}

// Served on a Unix-domain socket, as in the daemon: the directory is closed to other users,
// a request above the cap is refused before it is read whole while the server goes on, and
// the socket goes when the server is stopped.
TEST(IpReputationServer, SocketServerIsClosedToOthersAndRefusesOversizedRequests) {
  char base[] = "/tmp/qbx-iprep-XXXXXX";
  ASSERT_NE(::mkdtemp(base), nullptr);
  const std::string dir = std::string(base) + "/rpc";
  const std::string path = dir + "/iprep.sock";
  std::promise<int> port;
  auto listening = port.get_future();
  std::thread server([&] {
    EXPECT_EQ(RunIpReputationDataServer("unix:" + path, 0, [&](int p) { port.set_value(p); }), 0);
  });
  listening.get();
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  auto stub = zumbra::qbx::dfw::IpReputationDataService::NewStub(
      grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials()));
  auto lookup = [&](size_t addresses, size_t length) {
    zumbra::qbx::dfw::IpReputationRequest request;
    for (size_t i = 0; i < addresses; ++i) request.add_ip_address(std::string(length, '1'));
    zumbra::qbx::dfw::IpReputationResponse response;
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
    return stub->GetIpReputation(&context, request, &response).error_code();
  };
  EXPECT_EQ(lookup(1, 9), grpc::StatusCode::OK);
  EXPECT_EQ(lookup(kIpReputationMaxRequestBytes / 1000 + 1, 1000), grpc::StatusCode::RESOURCE_EXHAUSTED);
  EXPECT_EQ(lookup(2, 9), grpc::StatusCode::OK);

  // The stop returns once the server no longer serves: its socket is gone by then.
  StopIpReputationDataServer();
  EXPECT_FALSE(std::filesystem::exists(path));
  server.join();
  std::filesystem::remove_all(base);
}

}  // namespace
