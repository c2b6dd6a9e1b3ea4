// The IP-reputation data server over a real loopback RPC connection.
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

}  // namespace
