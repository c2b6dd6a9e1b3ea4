// Forwarded destinations share one connection to the forwarding peer. The peer can end the
// stream of one destination alone: only that destination's channels close, with the reason
// the peer gave, while the connection and every other destination stay up, and a new stub
// to the ended destination can be made at once.
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/stub_creator.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/stub.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using MpStub = rpc::Stub<zumbra::qbx::agg_service::messaging::AggSvcMpService>;

constexpr char kAph1[] = "a0000000-0000-4000-8000-0000000000e1";
constexpr char kAph2[] = "a0000000-0000-4000-8000-0000000000e2";

class DestinationEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(port_, 0);
    standin_.SetAphs({{kAph1, true}, {kAph2, false}});
    rpc::TransportOptions options;
    options.forwarding_endpoint = "tcp://127.0.0.1:" + std::to_string(port_);
    rpc::AsioQbxRpcProvider::Install(provider_, options);
    provider_.RunAsync(1);
  }
  void TearDown() override { provider_.StopAndWait(); }

  // A stub to APH `aph` through the forwarding peer, whose stream-down reasons land in `down`.
  std::optional<MpStub> Stub(const std::string& aph, std::atomic<int>& down) {
    std::atomic<bool> done{false};
    std::optional<MpStub> result;
    provider_.rpc().stub_factory().create<MpStub>("test", std::string("qbx://") + aph,
                                                  [&](const std::optional<MpStub>& stub, rpc::StubCreationStatus) {
                                                    result = stub;
                                                    done = true;
                                                  });
    if (!Eventually([&] { return done.load(); }) || !result) return std::nullopt;
    result->SetOnStreamDown([&down](rpc::CloseReason reason) { down = static_cast<int>(reason); });
    return result;
  }

  TnProxyStandin standin_;
  int port_ = -1;
  AsioQbxProvider provider_{AsioQbxProvider::Options{}, "destination-end"};
};

TEST_F(DestinationEndTest, OnlyTheEndedDestinationClosesWithThePeersReason) {
  std::atomic<int> down1{-1};
  std::atomic<int> down2{-1};
  auto stub1 = Stub(kAph1, down1);
  auto stub2 = Stub(kAph2, down2);
  ASSERT_TRUE(stub1 && stub2);
  ASSERT_TRUE(Eventually([&] { return standin_.DestinationWatchers() == 1; }));

  ASSERT_TRUE(standin_.EndAphStream(kAph1, static_cast<uint32_t>(rpc::CloseReason::kPeerRemoved)));
  ASSERT_TRUE(Eventually([&] { return down1.load() == static_cast<int>(rpc::CloseReason::kPeerRemoved); }));
  EXPECT_FALSE(stub1->channel()->IsOpen());
  EXPECT_TRUE(stub2->channel()->IsOpen());
  EXPECT_TRUE(stub2->channel()->connection()->IsOpen());
  EXPECT_EQ(down2.load(), -1);

  // The ended destination can be reached again over the same connection at once.
  std::atomic<int> again{-1};
  auto stub3 = Stub(kAph1, again);
  ASSERT_TRUE(stub3);
  EXPECT_EQ(stub3->channel()->connection(), stub2->channel()->connection());

  // A reason this side does not know still ends the stream, as a close by the peer; a
  // destination nobody holds is ignored.
  ASSERT_TRUE(standin_.EndAphStream("a0000000-0000-4000-8000-0000000000ff", 3));
  ASSERT_TRUE(standin_.EndAphStream(kAph2, 99));
  ASSERT_TRUE(Eventually([&] { return down2.load() == static_cast<int>(rpc::CloseReason::kPeerClose); }));
  EXPECT_TRUE(stub3->channel()->IsOpen());
  EXPECT_EQ(again.load(), -1);
}

TEST_F(DestinationEndTest, TheWatchFollowsTheConnectionToThePeer) {
  std::atomic<int> down{-1};
  auto first = Stub(kAph1, down);
  ASSERT_TRUE(first);
  ASSERT_TRUE(Eventually([&] { return standin_.DestinationWatchers() == 1; }));
  // The connection goes: its channels close as lost, and the watch ends with it.
  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return down.load() == static_cast<int>(rpc::CloseReason::kConnectionLost); }));
  EXPECT_EQ(standin_.DestinationWatchers(), 0);
  // A new connection is watched again, and its destinations can be ended one by one.
  ASSERT_GT(standin_.StartForwarding("127.0.0.1:" + std::to_string(port_)), 0);
  std::atomic<int> later{-1};
  auto stub = Stub(kAph1, later);
  ASSERT_TRUE(stub);
  ASSERT_TRUE(Eventually([&] { return standin_.DestinationWatchers() == 1; }));
  ASSERT_TRUE(standin_.EndAphStream(kAph1, static_cast<uint32_t>(rpc::CloseReason::kIdle)));
  ASSERT_TRUE(Eventually([&] { return later.load() == static_cast<int>(rpc::CloseReason::kIdle); }));
}

}  // namespace
}  // namespace qbx
