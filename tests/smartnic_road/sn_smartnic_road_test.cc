// A smart NIC (persona 2): the daemon serves AggSvcHostService for its host through the
// stand-in smart-NIC proxy, and the host's requests are queued, answered by the vertical and
// the answers sent back on the same call; what the vertical publishes reaches the host.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "channels/mpa/mpa_client_sn_private.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/aggsvc/stats/stats_response_reader.h"
#include "tests/channels/fakes/mpa_fakes.h"
#include "tests/smartnic_road/sn_road_fixture.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx::test {
namespace {

using namespace std::chrono_literals;
namespace snmsg = zumbra::qbx::agg_service::messaging;
using SmartNicVariant = MpaClientSNPrivate<AggSvcMpStub>;

constexpr char kApp[] = "HostNodeStatusVertical";
constexpr char kSummationResponse[] = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";

class SnSmartNicRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<SnRoadEnvironment>(SNUtil::kPersonaSn, std::vector<std::string>{kHost}, kSmartNic);
    provider_ = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "test");
    provider_->RunAsync(1);
    vertical_ = std::make_shared<TestVertical>(kApp, /*skipFirstValue=*/false);
    AggServiceClient::Deps deps{std::make_shared<AggSvcMpaClientRegistrar>(), [] { return 2; }};
    client_ = std::make_shared<AggServiceClient>(vertical_, statusSource_, sha_, deps);
    client_->RegisterPollStatsHandler([this](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
      if (auto store = factory->GetTargetStatsStore("t1", "rule", "", "")) store->AddStat("rx", static_cast<double>(rx_.load()), false);
    });
  }
  void TearDown() override {
    if (client_) client_->StopAggServiceClient();
    client_.reset();
    env_.reset();
    provider_->StopAndWait(true);
  }

  void Connect() {
    ASSERT_EQ(client_->SetupAggServiceClient(provider_, provider_), 0);
    ASSERT_EQ(client_->OpenAggServiceClient(), 0);
    sn_ = std::dynamic_pointer_cast<SmartNicVariant>(MpaClient::GetSNClient(kApp));
    ASSERT_TRUE(sn_);
    EXPECT_FALSE(MpaClient::GetClient(kApp));  // no management-plane client on a smart NIC
    env_->snProxy->Start();
    ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated(); }));
    // The daemon told the proxy where it serves the vertical.
    ASSERT_TRUE(Eventually([&] { return env_->standin.RegisteredIds().count(kApp) == 1u; }));
  }

  tools::SnProxyStandin::HostReply Pull(uint64_t seq, const std::string& corr) {
    snmsg::PullSummationStatsRequestMsg request;
    request.set_seq_num(seq);
    request.set_last_ack(seq - 1);
    return env_->standin.HostRequest(kApp, AggServiceClient::kSummationRequestTypeId, request.SerializeAsString(),
                                     corr, 20s);
  }

  static double Rx(const tools::SnProxyStandin::HostReply& reply) {
    if (!reply.unified.has_messaging_summation_stats_response_msg()) return -1;
    return CounterOr(reply.unified.messaging_summation_stats_response_msg().stats(), "rule", "t1", "rx");
  }

  std::unique_ptr<SnRoadEnvironment> env_;
  std::shared_ptr<AsioQbxProvider> provider_;
  std::shared_ptr<TestVertical> vertical_;
  std::shared_ptr<FakeStatusSource> statusSource_ = std::make_shared<FakeStatusSource>();
  std::shared_ptr<FakeShaClientWrapper> sha_ = std::make_shared<FakeShaClientWrapper>();
  std::shared_ptr<AggServiceClient> client_;
  std::shared_ptr<SmartNicVariant> sn_;
  std::atomic<int64_t> rx_{7};  // read by the vertical on its request thread
};

TEST_F(SnSmartNicRoad, TheHostsRequestsAreAnsweredByTheVertical) {
  LogCapture logs;
  Connect();
  auto reply = Pull(1, "d4c8f1a2-0000-4000-8000-000000000001");
  ASSERT_EQ(reply.code, 0) << reply.message;
  ASSERT_TRUE(reply.parsed);
  EXPECT_EQ(reply.unified.obj_type(), kSummationResponse);
  EXPECT_EQ(reply.unified.app_name(), kApp);
  EXPECT_EQ(Rx(reply), 7.0);
  // A second request, after the counter moved: a smart NIC answers with its totals (its
  // host takes the differences).
  rx_ = 9;
  auto again = Pull(2, "d4c8f1a2-0000-4000-8000-000000000002");
  ASSERT_EQ(again.code, 0) << again.message;
  EXPECT_EQ(Rx(again), 9.0);
  // Nothing of the host's traffic went down the smart-NIC reply path.
  EXPECT_EQ(logs.Count("Smart-NIC message of type"), 0u);
}

TEST_F(SnSmartNicRoad, RequestsBeforeTheHostIsReachableAreRefusedNotLost) {
  // Set up and opened, but the proxy client is not started: no stub to the host yet. The
  // daemon's service is not known to the proxy either, so the request cannot reach it.
  ASSERT_EQ(client_->SetupAggServiceClient(provider_, provider_), 0);
  ASSERT_EQ(client_->OpenAggServiceClient(), 0);
  auto refused = Pull(1, "d4c8f1a2-0000-4000-8000-000000000003");
  EXPECT_NE(refused.code, 0);
  env_->snProxy->Start();
  sn_ = std::dynamic_pointer_cast<SmartNicVariant>(MpaClient::GetSNClient(kApp));
  ASSERT_TRUE(sn_);
  ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated(); }));
  ASSERT_TRUE(Eventually([&] { return env_->standin.RegisteredIds().count(kApp) == 1u; }));
  auto reply = Pull(1, "d4c8f1a2-0000-4000-8000-000000000004");
  ASSERT_EQ(reply.code, 0) << reply.message;
  EXPECT_EQ(Rx(reply), 7.0);
}

TEST_F(SnSmartNicRoad, TheHostLeavingAndReturningRestoresTheRoad) {
  Connect();
  env_->standin.SetPeers({});
  ASSERT_TRUE(Eventually([&] { return sn_->StubCount() == 0u; }));
  EXPECT_FALSE(sn_->AllStubsCreated());
  env_->standin.SetPeers({kHost});
  ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated(); }));
  auto reply = Pull(1, "d4c8f1a2-0000-4000-8000-000000000005");
  ASSERT_EQ(reply.code, 0) << reply.message;
  EXPECT_EQ(Rx(reply), 7.0);
}

TEST_F(SnSmartNicRoad, PublishesOfTheVerticalReachTheHost) {
  Connect();
  auto sender = AggSvcMpaClient::Find(kApp);
  ASSERT_TRUE(sender);
  snmsg::SummationStatsResponseMsg update;
  update.set_seq_num(42);
  ASSERT_TRUE(sender->SendMsgToMpaWrapper(update.SerializeAsString(), kSummationResponse, "", ""));
  ASSERT_TRUE(env_->standin.WaitFor([&] { return !env_->standin.HostReceivedMessages().empty(); }, 20s));
  auto received = env_->standin.HostReceivedMessages().front();
  EXPECT_TRUE(received.publish);
  EXPECT_EQ(received.caller, kSmartNic);
  zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(received.msg.payload()));
  EXPECT_EQ(unified.obj_type(), kSummationResponse);
  EXPECT_EQ(unified.messaging_summation_stats_response_msg().seq_num(), 42u);
}

// A host call still open on the vertical when the vertical closes is answered at once, as
// refused; so is a host request that arrives after the close, while the rest of the close
// still holds the smart-NIC client: nobody would ever answer it.
TEST_F(SnSmartNicRoad, ClosingTheVerticalAnswersTheHostsOpenCallsAtOnce) {
  LogCapture logs;
  Connect();
  ASSERT_TRUE(Eventually([&] { return sn_->IsRegistrationAcked(); }));
  auto layer = sn_->AppSpecific();
  ASSERT_TRUE(layer);
  // Stored as the served service stores a host request the vertical has not answered yet.
  boost::intrusive_ptr<testing::RecordingCallHandle<zumbra::qbx::messaging::GenericUnifiedMsg>> open(
      new testing::RecordingCallHandle<zumbra::qbx::messaging::GenericUnifiedMsg>());
  ASSERT_TRUE(layer->AddToCallHandleMap("d4c8f1a2-0000-4000-8000-0000000000aa", open));
  client_->StopAggServiceClient();
  client_.reset();
  // Answered by the close itself, before any server goes down.
  EXPECT_EQ(open->errors, 1);
  EXPECT_EQ(open->lastError, rpc::AppStatus::APPLICATION_ERROR);
  EXPECT_EQ(layer->OpenCallCount(), 0u);
  // The client object outlives the release here (the test holds it, as the daemon's close
  // does for a while), and so does the server that serves the vertical's name.
  auto late = Pull(1, "d4c8f1a2-0000-4000-8000-0000000000ab");
  EXPECT_EQ(late.code, static_cast<int>(grpc::StatusCode::ABORTED)) << late.message;
  EXPECT_EQ(late.message, "application error");  // not "aborted": refused, not shut down
  EXPECT_EQ(layer->OpenCallCount(), 0u);
  // The served service no longer knows the released layer.
  EXPECT_EQ(logs.Count("corelationId (d4c8f1a2-0000-4000-8000-0000000000ab), app not found"), 1u);
}

}  // namespace
}  // namespace qbx::test
