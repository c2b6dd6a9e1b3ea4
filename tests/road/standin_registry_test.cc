// The stand-in's forwarding side as a registry of the node's local endpoints: what it takes,
// what it refuses, which registration wins, and what a pull does when the registered
// address does not answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/rpc/forwarding.grpc.pb.h"

namespace qbx {
namespace {

using tools::TnProxyStandin;
using namespace std::chrono_literals;
namespace fwd = zumbra::qbx::rpc;

constexpr char kAph[] = "a0000000-0000-4000-8000-000000000001";

class StandinRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(port_, 0);
    standin_.SetAphs({{kAph, true}});
    stub_ = fwd::ForwardingRegistryService::NewStub(
        grpc::CreateChannel("127.0.0.1:" + std::to_string(port_), grpc::InsecureChannelCredentials()));
  }

  grpc::Status Register(const std::string& address, const std::vector<std::string>& ids) {
    fwd::LocalEndpointsMsg request;
    request.set_address(address);
    for (const auto& id : ids) request.add_ids(id);
    fwd::LocalEndpointsAckMsg ack;
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 20s);  // a hang guard only
    return stub_->RegisterLocalEndpoints(&context, request, &ack);
  }

  TnProxyStandin standin_;
  int port_ = -1;
  std::unique_ptr<fwd::ForwardingRegistryService::Stub> stub_;
};

TEST_F(StandinRegistryTest, TheLatestRegistrationOfAnIdWinsAndOthersStay) {
  ASSERT_TRUE(Register("tcp://127.0.0.1:7001", {"qbx://DFWRuleStats", "FabricStats"}).ok());
  EXPECT_EQ(standin_.RegisteredAddress("DFWRuleStats"), "tcp://127.0.0.1:7001");
  EXPECT_EQ(standin_.RegisteredAddress("qbx://FabricStats"), "tcp://127.0.0.1:7001");
  ASSERT_TRUE(Register("tcp://127.0.0.1:7002", {"DFWRuleStats"}).ok());
  EXPECT_EQ(standin_.RegisteredAddress("DFWRuleStats"), "tcp://127.0.0.1:7002");
  EXPECT_EQ(standin_.RegisteredAddress("FabricStats"), "tcp://127.0.0.1:7001");
  EXPECT_EQ(standin_.RegistrationCount(), 2);
  EXPECT_EQ(standin_.Registrations().size(), 2u);
}

TEST_F(StandinRegistryTest, MalformedRegistrationsAreRefusedAndChangeNothing) {
  ASSERT_TRUE(Register("tcp://127.0.0.1:7001", {"DFWRuleStats"}).ok());
  for (const std::string& address : {std::string("127.0.0.1:7003"), std::string("tcp://no-port"), std::string()}) {
    SCOPED_TRACE(address);
    const grpc::Status status = Register(address, {"DFWRuleStats"});
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  }
  EXPECT_EQ(Register("tcp://127.0.0.1:7004", {}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(standin_.RegisteredAddress("DFWRuleStats"), "tcp://127.0.0.1:7001");
  EXPECT_EQ(standin_.RegistrationCount(), 1);
}

TEST_F(StandinRegistryTest, APullToAnAddressThatDoesNotAnswerFailsWithinItsTimeOut) {
  // A port that was just free: nothing listens there.
  int deadPort = 0;
  {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    deadPort = ntohs(addr.sin_port);
    ::close(fd);
  }
  ASSERT_TRUE(Register("tcp://127.0.0.1:" + std::to_string(deadPort), {"DFWRuleStats"}).ok());
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kSummation;
  pull.seq = 1;
  const auto answer = standin_.SendPull(kAph, "DFWRuleStats", pull, 2s);
  EXPECT_FALSE(answer.ok);
  EXPECT_NE(answer.code, 0);
  EXPECT_FALSE(answer.error.empty());
}

TEST(StandinPullKindTest, EveryKindHasANameThatParsesBack) {
  for (auto kind : {TnProxyStandin::PullKind::kClientData, TnProxyStandin::PullKind::kSummation,
                    TnProxyStandin::PullKind::kOverwrite, TnProxyStandin::PullKind::kOnDemand,
                    TnProxyStandin::PullKind::kRuntimeStatus}) {
    TnProxyStandin::PullKind parsed = TnProxyStandin::PullKind::kClientData;
    ASSERT_TRUE(TnProxyStandin::ParsePullKind(TnProxyStandin::PullKindName(kind), parsed));
    EXPECT_EQ(parsed, kind);
  }
  TnProxyStandin::PullKind parsed;
  EXPECT_FALSE(TnProxyStandin::ParsePullKind("summ", parsed));
  // An overwrite pull carries its (empty) request, so the host service can tell what it is.
  TnProxyStandin::Pull overwrite;
  overwrite.kind = TnProxyStandin::PullKind::kOverwrite;
  zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg decoded;
  ASSERT_TRUE(decoded.ParseFromString(TnProxyStandin::BuildPull("DFWRuleStats", overwrite).SerializeAsString()));
  EXPECT_TRUE(decoded.has_pull_overwrite_stats_request());
  EXPECT_EQ(decoded.app_name(), "DFWRuleStats");
}

}  // namespace
}  // namespace qbx
