// The RPC transport to the management plane and its app-init handshake, end to end over
// loopback gRPC against the stand-in proxy: an aggregation application registers, learns
// the APHs, makes one stub per APH after the node's spread delay, completes app-init with
// the master and gets its registration acknowledgement; mastership moves; held, failed and
// lost replies are retried on injected time; a dropped forwarding connection starts over.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/mpa/server_call_handle.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/mpa/mp_client_road_fixture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using namespace std::chrono_literals;
using Client = MpaClientPrivate<AggSvcMpStub>;

constexpr char kAph1[] = "a0000000-0000-4000-8000-000000000001";
constexpr char kAph2[] = "a0000000-0000-4000-8000-000000000002";
constexpr char kApp[] = "DFWRuleStats";

class AppInitTest : public test::MpClientRoadTest {
 protected:
  AppInitTest() : MpClientRoadTest(kApp) {}

  void SetUp() override {
    MpClientRoadTest::SetUp();
    if (HasFatalFailure()) return;
    client_->Open([](const std::string&) {});
  }

  void StartWithAphs(const std::vector<TnProxyStandin::Aph>& aphs) {
    standin_.SetAphs(aphs);
    tnProxy_->Start();
    ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == aphs.size(); }));
  }

};

TEST(MpTransportSpreadTest, SpreadIsPerNodeAndWithinItsRange) {
  const uint64_t a = Client::Spread(TnProxyStandin::kDefaultTnUuid, "qbx", 4000);
  EXPECT_EQ(a, Client::Spread(TnProxyStandin::kDefaultTnUuid, "qbx", 4000));
  EXPECT_GE(a, 1000u);
  EXPECT_LT(a, 5000u);
  EXPECT_EQ(Client::Spread("x", "qbx", 1), 1000u);
  EXPECT_EQ(Client::Spread("x", "qbx", 0), 1000u);
}

TEST_F(AppInitTest, MasterStubCompletesAppInitAndAcknowledgesTheRegistration) {
  EXPECT_TRUE(client_->IsMasterStubPending());
  StartWithAphs({{kAph1, true}, {kAph2, false}});
  EXPECT_FALSE(client_->IsMasterStubPending());
  EXPECT_EQ(client_->GetMasterAph(), kAph1);
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  EXPECT_TRUE(client_->IsAppInitCompleted());
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_CONNECTED);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 1);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph2), 0);
  EXPECT_EQ(client_->InflightCount(), 0u);
  EXPECT_EQ(client_->PendingTimerCount(), 0u);
  uint32_t major = 0;
  uint32_t minor = 0;
  EXPECT_TRUE(client_->GetMpVersionViaTnProxy(major, minor));
  EXPECT_EQ(major, 4u);
  EXPECT_EQ(minor, 2u);
}

TEST_F(AppInitTest, EmptyAphListMakesNoStubAndNoHandshake) {
  tnProxy_->Start();
  ASSERT_TRUE(Eventually([&] { return tnProxy_->IsConnectedForForwarding(); }));
  clock_->Advance(10s);
  EXPECT_EQ(client_->StubCount(), 0u);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 0);
  EXPECT_FALSE(client_->IsAppInitCompleted());
}

TEST_F(AppInitTest, MastershipMovesOntoALiveStubAndPublishesFollow) {
  StartWithAphs({{kAph1, true}, {kAph2, false}});
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  const uint32_t seqBefore = client_->CurrentAppInitSeq();

  standin_.SetAphs({{kAph1, false}, {kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph2) == 1; }));
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 2; }));
  EXPECT_GT(client_->CurrentAppInitSeq(), seqBefore);
  EXPECT_EQ(client_->GetMasterAph(), kAph2);
  EXPECT_EQ(client_->StubCount(), 2u);

  zumbra::qbx::messaging::GenericUnifiedMsg publish;
  publish.set_payload("to-master");
  ASSERT_EQ(client_->MsgHandler(publish, "", nullptr), 0);
  ASSERT_TRUE(Eventually([&] { return standin_.ReceivedMessages().size() == 1; }));
  EXPECT_EQ(standin_.ReceivedMessages()[0].aph, kAph2);
  EXPECT_EQ(client_->MsgHandler(publish, "a0000000-0000-4000-8000-0000000000ff", nullptr), -1);

  // An APH that leaves the list loses its stub.
  standin_.SetAphs({{kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return client_->StubCount() == 1; }));
  EXPECT_FALSE(client_->getAphStub(kAph1).has_value());
}

TEST_F(AppInitTest, LostReplyTimesOutAfterThirtySecondsAndTheOldCallIsCancelled) {
  standin_.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kHold);
  StartWithAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph1) == 1 && client_->HasAppInitWaitTimer(); }));
  clock_->Advance(29s);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 1);
  standin_.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kReply);
  clock_->Advance(1s);
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph1) == 2; }));
  EXPECT_EQ(logs_.Count("Cancelling last RPC call handle for seq"), 1u);
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  // The first request's late answer is stale.
  standin_.ReleaseHeldAppInits(true);
  EXPECT_EQ(acks_->load(), 1);
}

TEST_F(AppInitTest, FailedReplyIsRetriedAfterThePolicyDelayOnlyWhileCurrent) {
  standin_.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kFail);
  StartWithAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return client_->HasAppInitRetryTimer(); }));
  EXPECT_EQ(logs_.Count("CompleteAppInitHanshake, Seq"), 1u);
  standin_.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kReply);
  const uint32_t seqAfterFailure = client_->CurrentAppInitSeq();
  // Advance returns once every timer action due in it has run: a retry that fired early
  // would have logged its start and taken a new sequence by now.
  clock_->Advance(9s);
  EXPECT_EQ(logs_.Count("Starting AppInitHandshake from timer"), 0u);
  EXPECT_EQ(client_->CurrentAppInitSeq(), seqAfterFailure);
  clock_->Advance(1s);
  EXPECT_EQ(logs_.Count("Starting AppInitHandshake from timer"), 1u);
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph1) == 2; }));
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  // A reply for an old sequence is refused.
  EXPECT_FALSE(client_->CompleteAppInitHanshake(0, true));
}

// Before the handshake has completed, a reply for a sequence that is no longer current is
// ignored: the application is not acknowledged on it, and the current sequence's reply
// still completes the handshake.
TEST_F(AppInitTest, ReplyForAnOlderSequenceBeforeCompletionIsIgnored) {
  standin_.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kHold);
  StartWithAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph1) == 1 && client_->HasAppInitWaitTimer(); }));
  const uint32_t first = client_->CurrentAppInitSeq() - 1;  // the held request's
  EXPECT_EQ(logs_.Count("AppInitHandshake : seq: " + std::to_string(first)), 1u);
  clock_->Advance(30s);  // it times out; the next sequence goes out, held too
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph1) == 2; }));
  const uint32_t second = first + 1;
  ASSERT_EQ(client_->CurrentAppInitSeq(), second + 1);

  // The first sequence's reply, delivered through its call's observer as the transport would had
  // the call not been cancelled first.
  auto layer = client_->AppSpecificLayer();
  ASSERT_NE(layer, nullptr);
  rpc::CallObserver<zumbra::qbx::messaging::GenericUnifiedMsg>* late = layer->GetRpcCallObserver(nullptr, "late", first);
  ASSERT_NE(late, nullptr);
  zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg config;
  config.mutable_app_init_config()->set_sender(kAph1);
  zumbra::qbx::messaging::GenericUnifiedMsg reply;
  reply.set_payload(config.SerializeAsString());
  late->Next(reply);
  late->CallStatus(rpc::Status());  // ends and frees the observer
  EXPECT_EQ(logs_.Count("CompleteAppInitHanshake, Seq (" + std::to_string(first) + ") (Success)"), 1u);
  // The cancelled call may end too, as a failed reply of the same stale sequence.
  EXPECT_GE(logs_.Count("AppInit Sequence number has moved ahead seq (" + std::to_string(first) + "), current (" +
                        std::to_string(second + 1) + ")"),
            1u);
  EXPECT_FALSE(client_->IsAppInitCompleted());
  EXPECT_EQ(acks_->load(), 0);

  standin_.ReleaseHeldAppInits(true);
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  EXPECT_TRUE(client_->IsAppInitCompleted());
  EXPECT_EQ(logs_.Count("CompleteAppInitHanshake : Completed successfully seq (" + std::to_string(second) + ")"), 1u);
}

TEST_F(AppInitTest, ForwardingDropResetsTheHandshakeAndRecoveryRedoesIt) {
  StartWithAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1; }));
  const uint32_t seqBefore = client_->CurrentAppInitSeq();

  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return !client_->IsAppInitCompleted() && client_->StubCount() == 0; }));
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_INIT);
  // The application is told that the channel closed (once), though the master's stub,
  // and with it its stream-down notice, went with the connection.
  ASSERT_TRUE(Eventually([&] { return closes_->load() == 1; }));
  EXPECT_GT(client_->CurrentAppInitSeq(), seqBefore);

  ASSERT_GT(standin_.StartForwarding("127.0.0.1:" + std::to_string(fwdPort_)), 0);
  ASSERT_TRUE(AdvanceUntil([&] { return acks_->load() == 2; }));
  EXPECT_EQ(client_->StubCount(), 1u);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 2);
  EXPECT_EQ(closes_->load(), 1);
}

TEST_F(AppInitTest, CloseDropsTheHandshakeTimersSoNoFurtherRequestGoesOut) {
  standin_.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kHold);
  StartWithAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph1) == 1 && client_->HasAppInitWaitTimer(); }));
  client_->Close();
  EXPECT_FALSE(client_->HasAppInitWaitTimer());
  EXPECT_FALSE(client_->HasAppInitRetryTimer());
  EXPECT_FALSE(client_->IsAppInitCompleted());
  // Past the wait: a closed application sends no new request.
  clock_->Advance(31s);
  standin_.ReleaseHeldAppInits(false);
  clock_->Advance(31s);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 1);
}

TEST_F(AppInitTest, UnregisteredClientIsNotTouchedByItsPendingTimers) {
  standin_.SetAphs({{kAph1, true}});
  tnProxy_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1; }));
  MpaClient::UnRegister(kApp);
  client_.reset();
  clock_->Advance(10s);
  EXPECT_EQ(logs_.Count("GetStub_ for APH"), 0u);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 0);
}

}  // namespace
}  // namespace qbx

namespace qbx {
namespace {

// An open incoming call that notes whether its application was still marked ready when the
// call was ended.
class ReadinessNotingCall : public ServerCallHandle<zumbra::qbx::messaging::GenericUnifiedMsg>,
                            private ServerStreamWriter<zumbra::qbx::messaging::GenericUnifiedMsg> {
 public:
  explicit ReadinessNotingCall(std::shared_ptr<MpaClient> client) : client_(std::move(client)) {}
  ServerStreamWriter<zumbra::qbx::messaging::GenericUnifiedMsg>* writer() override { return this; }
  bool IsCompleted() const override { return ended > 0; }
  std::atomic<int> ended{0};
  std::atomic<bool> readyWhenEnded{true};
  rpc::AppStatus status = rpc::AppStatus::OK;

 private:
  bool Last(const zumbra::qbx::messaging::GenericUnifiedMsg&) override { return End(rpc::AppStatus::OK); }
  bool Error(rpc::AppStatus s) override { return End(s); }
  bool End(rpc::AppStatus s) {
    if (ended++ > 0) return false;
    status = s;
    readyWhenEnded = client_->IsRegistrationAcked();
    return true;
  }
  std::shared_ptr<MpaClient> client_;
};

// A request accepted while the channel goes down must meet either the purge or the
// not-ready state: so the application is marked not ready before its open calls are purged,
// on the master's stream-down as on the proxy's disconnect.
TEST_F(AppInitTest, OpenCallsArePurgedAfterTheApplicationIsMarkedNotReady) {
  StartWithAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return acks_->load() == 1 && client_->IsRegistrationAcked(); }));
  auto layer = client_->AppSpecificLayer();
  ASSERT_NE(layer, nullptr);

  boost::intrusive_ptr<ReadinessNotingCall> onStreamDown(new ReadinessNotingCall(client_));
  ASSERT_TRUE(layer->AddToCallHandleMap("open-1", onStreamDown));
  client_->OnStreamDown(kAph1, rpc::CloseReason::kConnectionLost);
  EXPECT_EQ(onStreamDown->ended.load(), 1);
  EXPECT_EQ(onStreamDown->status, rpc::AppStatus::ABORTED);
  EXPECT_FALSE(onStreamDown->readyWhenEnded.load());
  EXPECT_EQ(layer->OpenCallCount(), 0u);

  client_->SetRegistrationAcked(true);  // as if acknowledged again
  boost::intrusive_ptr<ReadinessNotingCall> onDisconnect(new ReadinessNotingCall(client_));
  ASSERT_TRUE(layer->AddToCallHandleMap("open-2", onDisconnect));
  client_->OnTnProxyDisconnected(rpc::CloseReason::kConnectionLost);
  EXPECT_EQ(onDisconnect->ended.load(), 1);
  EXPECT_FALSE(onDisconnect->readyWhenEnded.load());
  EXPECT_EQ(layer->OpenCallCount(), 0u);
}

}  // namespace
}  // namespace qbx
