// The management-plane stubs of one application where they fail, over loopback gRPC against
// the stand-in proxy, whose forwarding side refuses or holds stub creation towards a chosen
// APH. All waits of the client run on a manual clock: the per-APH back-off, the switch to
// the node's spread delay after the hundredth failure, no retry while the proxy is down, an
// APH list arriving while a creation is in flight, and the stream-down reasons.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/mpa/mp_client_road_fixture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using namespace std::chrono_literals;
using Client = MpaClientPrivate<AggSvcMpStub>;

constexpr char kAph1[] = "a0000000-0000-4000-8000-0000000000b1";
constexpr char kAph2[] = "a0000000-0000-4000-8000-0000000000b2";
constexpr char kApp[] = "FabricStats";

class MpStubTest : public test::MpClientRoadTest {
 protected:
  MpStubTest() : MpClientRoadTest(kApp) {}

  // Starts with {kAph1 master, kAph2}, kAph2's creations refused, and waits for its first
  // failure's retry to be scheduled.
  void StartWithAph2Failing() {
    client_->Open([](const std::string&) {});
    standin_.FailStubCreation(kAph2, -1);
    standin_.SetAphs({{kAph1, true}, {kAph2, false}});
    tnProxy_->Start();
    // Fine steps: the clock may move once more between the first refusal and the check that
    // sees it, and that much is taken off the first retry's measured delay.
    ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1 && standin_.RefusedStubCreations(kAph2) == 1; }, 10ms));
    ASSERT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1; }));
  }

  // How often kAph2's creation timer has fired (its action logs synchronously).
  size_t Aph2TimerFirings() { return logs_.Count(std::string("GetStub_ for APH (") + kAph2 + ")."); }

  // The scheduled retry's delay, measured in `step`s of the clock; waits until the retry has
  // reached the stand-in and, refused, scheduled the next one.
  std::chrono::milliseconds NextRetryDelay(std::chrono::milliseconds step = 100ms) {
    const int before = standin_.StubCreationAttempts(kAph2);
    const size_t fired = Aph2TimerFirings();
    std::chrono::milliseconds waited{0};
    while (Aph2TimerFirings() == fired && waited < 60s) {
      clock_->Advance(step);
      waited += step;
    }
    EXPECT_TRUE(Eventually([&] { return standin_.StubCreationAttempts(kAph2) == before + 1; }));
    EXPECT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1; }));
    return waited;
  }

};

TEST_F(MpStubTest, EveryAphListTellsTheApplicationTheNodeUuidWithNoLockHeld) {
  std::mutex mutex;
  std::vector<std::string> seen;
  client_->Open([&](const std::string& uuid) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(uuid);
    }
    // Calling back in neither deadlocks nor starts a second update.
    (void)client_->IsMasterStubPending();
    client_->updateStubMap();
  });
  standin_.SetAphs({{kAph1, true}});
  tnProxy_->Start();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1 && acks_->load() == 1; }));
  standin_.SetAphs({{kAph1, true}, {kAph2, false}});
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 2; }));
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], TnProxyStandin::kDefaultTnUuid);
  EXPECT_EQ(seen[1], TnProxyStandin::kDefaultTnUuid);
  EXPECT_EQ(logs_.Count("updateStubMap: Already Pending"), 2u);
}

TEST_F(MpStubTest, FailedCreationsBackOffPerAphAndTheHundredthSwitchesToTheNodeSpread) {
  StartWithAph2Failing();
  // The master's stub is unaffected by the other APH's failures.
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  for (const auto expected : {1000ms, 2000ms, 4000ms, 8000ms, 10000ms, 10000ms}) {
    EXPECT_EQ(NextRetryDelay(), expected);
  }
  // Failures 8 to 99 at the ten-second ceiling.
  while (standin_.RefusedStubCreations(kAph2) < 99) {
    ASSERT_EQ(NextRetryDelay(10s), 10s);
  }
  // The 99th failure's retry is the 100th attempt: its failure waits the node's spread.
  ASSERT_EQ(NextRetryDelay(10s), 10s);
  ASSERT_EQ(standin_.RefusedStubCreations(kAph2), 100);
  const auto spread = std::chrono::milliseconds(Client::Spread(TnProxyStandin::kDefaultTnUuid, "qbx", 10000));
  const size_t fired = Aph2TimerFirings();
  clock_->Advance(spread - 1ms);
  EXPECT_EQ(Aph2TimerFirings(), fired);
  EXPECT_EQ(NextRetryDelay(1ms), 1ms);
  // Then the count starts again, and the APH's own back-off goes on where it was.
  EXPECT_EQ(NextRetryDelay(), 10000ms);
  EXPECT_EQ(client_->StubCount(), 1u);
  // Once the APH accepts again its stub is made.
  standin_.ClearStubCreationFailures(kAph2);
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 2; }));
}

TEST_F(MpStubTest, NothingIsRetriedWhileTheProxyIsDown) {
  StartWithAph2Failing();
  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return !tnProxy_->IsConnectedForForwarding(); }));
  ASSERT_TRUE(Eventually([&] {
    return client_->PendingTimerCount() == 0 && client_->InflightCount() == 0 && client_->StubCount() == 0;
  }));
  const int attempts = standin_.StubCreationAttempts(kAph2) + standin_.StubCreationAttempts(kAph1);
  for (int i = 0; i < 6; ++i) clock_->Advance(10s);
  EXPECT_EQ(standin_.StubCreationAttempts(kAph2) + standin_.StubCreationAttempts(kAph1), attempts);
  // The proxy back, the APH accepting again: both stubs are made.
  standin_.ClearStubCreationFailures(kAph2);
  ASSERT_GT(standin_.StartForwarding("127.0.0.1:" + std::to_string(fwdPort_)), 0);
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 2; }));
}

TEST_F(MpStubTest, AListArrivingDuringACreationWaitsInHalfSecondStepsAndDropsTheLateStub) {
  ASSERT_NO_FATAL_FAILURE(StartWithCreationHeld(kAph1, kAph2));
  const char* kRerun = "performUpdateStubMap: Re-scheduling self on provider thread";
  const size_t reruns = logs_.Count(kRerun);
  // kAph2 becomes master while its creation is in flight: the update waits for it.
  standin_.SetAphs({{kAph1, false}, {kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return logs_.Count(kRerun) == reruns + 1; }));
  clock_->Advance(400ms);
  EXPECT_EQ(logs_.Count(kRerun), reruns + 1);
  clock_->Advance(100ms);
  EXPECT_EQ(logs_.Count(kRerun), reruns + 2);
  // The creation completes meanwhile: its stub is dropped with its in-flight record.
  standin_.HoldStubCreation(kAph2, false);
  const std::string dropped = std::string("Dropping Stub for APH (") + kAph2 + "), update stub is pending.";
  ASSERT_TRUE(Eventually([&] { return logs_.Count(dropped) == 1 && client_->InflightCount() == 0; }));
  EXPECT_EQ(client_->StubCount(), 1u);
  // The next re-run applies the list; the new master's stub is made and the handshake done.
  const int acks = acks_->load();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 2 && acks_->load() > acks; }));
  EXPECT_EQ(client_->GetMasterAph(), kAph2);
}

TEST_F(MpStubTest, EndedStreamsOfListedAphsAreMadeAgain) {
  ASSERT_NO_FATAL_FAILURE(StartWithTwoAphs(kAph1, kAph2));
  // Shut down, idle, or removed while still listed: a new stub within the re-creation delay.
  for (const auto reason : {rpc::CloseReason::kTransportShutdown, rpc::CloseReason::kIdle, rpc::CloseReason::kPeerRemoved}) {
    SCOPED_TRACE(rpc::CloseReasonToCStr(reason));
    const int before = standin_.StubCreationAttempts(kAph2);
    ASSERT_TRUE(standin_.EndAphStream(kAph2, static_cast<uint32_t>(reason)));
    ASSERT_TRUE(Eventually([&] { return client_->StubCount() == 1; }));
    auto advanced = 0ms;
    ASSERT_TRUE(Eventually([&] {
      if (client_->StubCount() == 2) return true;
      if (advanced < 11s) {
        clock_->Advance(250ms);
        advanced += 250ms;
      }
      return client_->StubCount() == 2;
    }));
    EXPECT_LE(advanced, 11s);
    EXPECT_EQ(standin_.StubCreationAttempts(kAph2), before + 1);
  }
  EXPECT_EQ(acks_->load(), 1);  // the master was never touched
}

}  // namespace
}  // namespace qbx
