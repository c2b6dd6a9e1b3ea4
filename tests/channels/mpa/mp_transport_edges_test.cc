// Edges of the management-plane stubs, over loopback gRPC against the stand-in proxy, on a
// manual clock: an APH that left the list while a send still held its stub, whose stream
// then ends, is not made again whatever the reason (and gets its stub again once it is
// back); a creation that fails after the proxy went down is neither retried nor left in
// flight; the host service is served with its registration options.
#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "channels/mpa/mpa_client_private.h"
#include "platform/rpc/server_builder.h"
#include "platform/rpc/status.h"
#include "tests/channels/mpa/mp_client_road_fixture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"

namespace qbx {
namespace {

using test::Eventually;
using namespace std::chrono_literals;

constexpr char kAph1[] = "a0000000-0000-4000-8000-0000000000c1";
constexpr char kAph2[] = "a0000000-0000-4000-8000-0000000000c2";
constexpr char kApp[] = "FabricStats";

using MpLeftAphTest = test::MpClientRoadTestFor<kApp>;

TEST_F(MpLeftAphTest, AnAphThatLeftIsNotMadeAgainWhateverEndsItsStream) {
  ASSERT_NO_FATAL_FAILURE(StartWithTwoAphs(kAph1, kAph2));
  for (const auto reason : {rpc::CloseReason::kPeerRemoved, rpc::CloseReason::kTransportShutdown, rpc::CloseReason::kIdle}) {
    const std::string why = rpc::CloseReasonToCStr(reason);
    SCOPED_TRACE(why);
    // A send to kAph2 is under way: it holds the stub while the list drops the APH.
    std::optional<AggSvcMpStub> inFlight = client_->getAphStub(kAph2);
    ASSERT_TRUE(inFlight);
    standin_.SetAphs({{kAph1, true}});
    ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1; }));
    const int before = standin_.StubCreationAttempts(kAph2);
    ASSERT_TRUE(standin_.EndAphStream(kAph2, static_cast<uint32_t>(reason)));
    const std::string removed = std::string("[") + kApp + "] OnStreamDown for APH (" + kAph2 + "), reason (" + why +
                                "): APH was removed from cluster";
    ASSERT_TRUE(Eventually([&] { return logs_.Count(removed) == 1; }));
    // Longer than any re-creation delay (the node's spread is at most 11 s).
    for (int i = 0; i < 12; ++i) clock_->Advance(1s);
    EXPECT_EQ(client_->PendingTimerCount(), 0u);
    EXPECT_EQ(client_->InflightCount(), 0u);
    EXPECT_EQ(client_->StubCount(), 1u);
    EXPECT_EQ(standin_.StubCreationAttempts(kAph2), before);
    inFlight.reset();
    // Back in the list, the APH gets its stub again.
    standin_.SetAphs({{kAph1, true}, {kAph2, false}});
    ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 2; }));
    EXPECT_EQ(standin_.StubCreationAttempts(kAph2), before + 1);
  }
  EXPECT_EQ(acks_->load(), 1);  // the master was never touched
}

TEST_F(MpLeftAphTest, ACreationFailingAfterTheProxyWentDownIsDroppedWithoutRetry) {
  ASSERT_NO_FATAL_FAILURE(StartWithCreationHeld(kAph1, kAph2));
  // The proxy goes down while kAph2's creation is held; the creation then fails.
  client_->OnTnProxyDisconnected(rpc::CloseReason::kTransportShutdown);
  standin_.FailStubCreation(kAph2, -1);
  standin_.HoldStubCreation(kAph2, false);
  const std::string notConnected = std::string("[") + kApp +
                                   "] Not connected with TnProxy. Not re-trying stub creation for APH (" + kAph2 + ").";
  ASSERT_TRUE(Eventually([&] { return logs_.Count(notConnected) == 1; }));
  EXPECT_EQ(client_->InflightCount(), 0u);
  EXPECT_EQ(client_->PendingTimerCount(), 0u);
  const int attempts = standin_.StubCreationAttempts(kAph2);
  for (int i = 0; i < 12; ++i) clock_->Advance(1s);
  EXPECT_EQ(client_->PendingTimerCount(), 0u);
  EXPECT_EQ(standin_.StubCreationAttempts(kAph2), attempts);
}

// The first application's registration serves the host service with the options that set
// its first field alone.
TEST_F(MpLeftAphTest, TheHostServiceIsServedWithItsOptions) {
  auto server = client_->ServerForTest();
  ASSERT_NE(server, nullptr);
  const auto options = server->OptionsOf(zumbra::qbx::agg_service::messaging::AggSvcHostService::service_full_name());
  ASSERT_TRUE(options);
  rpc::ServiceOptions expected;
  expected.fields = {1, 0, 0, 0};
  EXPECT_EQ(*options, expected);
}

}  // namespace
}  // namespace qbx
