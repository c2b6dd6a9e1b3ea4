// The management-plane road end to end over loopback gRPC. A vertical is registered through
// the real channel, as the manager builds it (AggServiceClient over the queue client, the
// MPA client registry, MpaClientPrivate over a proxy client made for the test); the
// stand-in's APHs complete app-init with it and pull from it through the host service at
// the address the daemon registered with the forwarding side.
//
// One road per program: the host service, the MPA client registry and the queue clients
// are process-wide, and gRPC 1.51 can abort when callback servers come and go many times in
// one process. The tests run in order on that road and each leaves it working.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "platform/rpc/client_context.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/aggsvc/stats/stats_response_reader.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tests/grpc_callback_queue_holder.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using namespace std::chrono_literals;
namespace l2 = zumbra::qbx::agg_service::l2;

constexpr char kAph1[] = "a0000000-0000-4000-8000-000000000001";
constexpr char kAph2[] = "a0000000-0000-4000-8000-000000000002";
constexpr char kApp[] = "DFWRuleStats";
constexpr char kMpMacTable[] = "com.zumbra.qbx.management.aggservice.l2.MacTableMsg";

// The road: stand-in, proxy client, registration provider, and the vertical's client.
struct Road {
  TnProxyStandin standin;
  int fwdPort = -1;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::shared_ptr<TnProxyClientCommon> tnProxy;
  std::shared_ptr<AsioQbxProvider> regProvider;
  std::shared_ptr<test::TestVertical> vertical = std::make_shared<test::TestVertical>(kApp, false);
  std::shared_ptr<AggServiceClient> client;
  std::atomic<int64_t> rx{0};
  std::atomic<int> pulls{0};
  std::promise<void> releaseSilent;
  std::shared_future<void> silentGate = releaseSilent.get_future().share();

  std::shared_ptr<MpaClient> Mpa() { return MpaClient::GetClient(kApp); }
  bool Acked() {
    auto mpa = Mpa();
    return mpa && mpa->IsRegistrationAcked();
  }
  // Moves the manual clock on (spread delays, retry timers) until `pred` holds.
  bool AdvanceUntil(const std::function<bool()>& pred) {
    return Eventually([&] {
      if (pred()) return true;
      clock->Advance(250ms);
      return pred();
    });
  }
};

Road* gRoad = nullptr;

class MpRoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gRoad = new Road();
    Road& r = *gRoad;
    ASSERT_GT(r.standin.StartInfo("127.0.0.1:0"), 0);
    r.fwdPort = r.standin.StartForwarding("127.0.0.1:0");
    ASSERT_GT(r.fwdPort, 0);
    r.standin.SetAphs({{kAph1, true}, {kAph2, false}});

    TnProxyClientCommon::Options options;
    options.clock = r.clock;
    options.stubRetryDelay = 100ms;
    options.reconnectDelay = 200ms;
    r.tnProxy = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(r.standin.InfoPort()),
                                            "tcp://127.0.0.1:" + std::to_string(r.fwdPort), options);
    r.regProvider = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "reg", r.clock);
    r.regProvider->RunAsync(1);

    MpaClient::ResetRegistryForTest();
    AggSvcHostService::ResetForTest();
    AggSvcMpaClient::SetCloseReconnectDelayForTest(10ms);
    auto tn = r.tnProxy;
    MpaClient::SetAggAppClientFactory([tn](const MpaClient::CreateArgs& args) -> std::shared_ptr<MpaClient> {
      return std::make_shared<MpaClientPrivate<AggSvcMpStub>>(args, tn);
    });

    // The vertical: one MacTableMsg per requested target, and one firewall-like counter.
    AggServiceClient::Deps deps{std::make_shared<AggSvcMpaClientRegistrar>(), [] { return 0; }};
    r.client = std::make_shared<AggServiceClient>(r.vertical, std::make_shared<test::FakeStatusSource>(),
                                                  std::make_shared<test::FakeShaClientWrapper>(), deps);
    r.client->RegisterPullHandler<l2::MacTableMsg>(
        [](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
          for (const auto& t : targets) {
            if (t->GetTargetId() == "silent") {
              // Keeps the request (and so its call) open until the test lets it go.
              gRoad->silentGate.wait_for(30s);
              continue;
            }
            out.push_back(std::make_shared<l2::MacTableMsg>());
            out.back()->set_target_id(t->GetTargetId());
          }
        });
    r.client->RegisterPollStatsHandler([](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
      ++gRoad->pulls;
      auto store = factory->GetTargetStatsStore("t1", "rule", "", "");
      if (store) store->AddStat("rx", static_cast<double>(gRoad->rx.load()), false);
    });
    r.client->RegisterOnDemandStatsHandler(
        [](const std::vector<std::shared_ptr<TargetContext>>& targets, std::shared_ptr<IStatsStoreFactory> f) {
          for (const auto& t : targets) {
            f->GetTargetStatsStore(t->targetId, t->metaData.TargetType(), t->metaData.ParentId(), t->metaData.ParentType())
                ->AddStat("rx", 1, false);
          }
        },
        [](const std::vector<std::shared_ptr<TargetContextNew>>&, std::shared_ptr<IStatsStoreFactory>) {});
    r.client->RegisterGenericPullHandler<zumbra::qbx::agg_service::messaging::StatsResponseMsg>(
        []() -> std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> {
          return std::make_shared<GenericRuntimeStatusUpdateMsg>();
        },
        [](const auto&, const auto&) { return true; });
    ASSERT_EQ(r.client->SetupAggServiceClient(r.regProvider, r.regProvider), 0);
    ASSERT_EQ(r.client->OpenAggServiceClient(), 0);
    r.tnProxy->Start();
  }

  static void TearDownTestSuite() {
    Road* r = gRoad;
    if (r->client) r->client->StopAggServiceClient();
    r->client.reset();
    MpaClient::UnRegister(kApp);
    if (r->tnProxy) r->tnProxy->Stop();
    if (r->regProvider) r->regProvider->StopAndWait(true);
    MpaClient::SetAggAppClientFactory(nullptr);
    MpaClient::ResetRegistryForTest();
    AggSvcHostService::ResetForTest();
    delete r;
    gRoad = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(gRoad, nullptr);
    ASSERT_NE(gRoad->client, nullptr);
  }

  // Waits until the vertical may exchange messages again.
  static void WaitForAck() { ASSERT_TRUE(gRoad->AdvanceUntil([] { return gRoad->Acked(); })); }

  // Makes `master` the master and waits until the handshake with it is done.
  static void MakeMaster(const std::string& master, const std::string& other) {
    Road& r = *gRoad;
    r.standin.SetAphs({{master, true}, {other, false}});
    auto mpa = std::dynamic_pointer_cast<MpaClientPrivate<AggSvcMpStub>>(r.Mpa());
    ASSERT_NE(mpa, nullptr);
    ASSERT_TRUE(r.AdvanceUntil([&] {
      return mpa->GetMasterAph() == master && r.standin.AppInitRequestCount(master) >= 1 &&
             mpa->IsAppInitCompleted() && r.Acked();
    }));
  }

  static TnProxyStandin::PullAnswer ClientData(const std::string& aph, const std::string& id) {
    TnProxyStandin::Pull pull;
    pull.kind = TnProxyStandin::PullKind::kClientData;
    pull.targetType = kMpMacTable;
    pull.targetIds = {id};
    return gRoad->standin.SendPull(aph, kApp, pull);
  }
  static TnProxyStandin::PullAnswer Summation(const std::string& aph, uint64_t seq, uint64_t ack) {
    TnProxyStandin::Pull pull;
    pull.kind = TnProxyStandin::PullKind::kSummation;
    pull.seq = seq;
    pull.ack = ack;
    return gRoad->standin.SendPull(aph, kApp, pull);
  }
};

TEST_F(MpRoadTest, TheApplicationRegistersItsAddressAndCompletesAppInitWithTheMaster) {
  Road& r = *gRoad;
  ASSERT_TRUE(r.AdvanceUntil([&] { return !r.standin.RegisteredAddress(kApp).empty(); }));
  EXPECT_EQ(r.standin.RegisteredAddress(kApp).rfind("tcp://127.0.0.1:", 0), 0u) << r.standin.RegisteredAddress(kApp);
  EXPECT_EQ(r.standin.RegisteredAddress(std::string("qbx://") + kApp), r.standin.RegisteredAddress(kApp));
  WaitForAck();
  EXPECT_GE(r.standin.AppInitRequestCount(kAph1), 1);
  EXPECT_EQ(r.standin.AppInitRequestCount(kAph2), 0);
}

TEST_F(MpRoadTest, AClientDataPullIsAnsweredWithTheVerticalsMessage) {
  WaitForAck();
  const auto answer = ClientData(kAph1, "ls-7");
  ASSERT_TRUE(answer.ok) << answer.error;
  ASSERT_TRUE(answer.mp.has_l2_mac_table_msg()) << answer.mp.DebugString();
  EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "ls-7");
  EXPECT_EQ(answer.mp.obj_type(), kMpMacTable);
  EXPECT_EQ(answer.mp.app_name(), kApp);
  // Any APH may pull, not only the master.
  const auto fromOther = ClientData(kAph2, "ls-8");
  ASSERT_TRUE(fromOther.ok) << fromOther.error;
  EXPECT_EQ(fromOther.mp.l2_mac_table_msg().target_id(), "ls-8");
}

TEST_F(MpRoadTest, PullsToUnknownApplicationsOrFromUnknownAphsFailClearly) {
  WaitForAck();
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kOverwrite;
  auto unknownApp = gRoad->standin.SendPull(kAph1, "SimpleL2Vertical", pull);
  EXPECT_FALSE(unknownApp.ok);
  EXPECT_EQ(unknownApp.code, static_cast<int>(grpc::StatusCode::NOT_FOUND));
  EXPECT_NE(unknownApp.error.find("SimpleL2Vertical"), std::string::npos) << unknownApp.error;
  auto unknownAph = gRoad->standin.SendPull("a0000000-0000-4000-8000-0000000000ff", kApp, pull);
  EXPECT_FALSE(unknownAph.ok);
  EXPECT_NE(unknownAph.error.find("no such APH"), std::string::npos) << unknownAph.error;
}

TEST_F(MpRoadTest, SummationPullsFollowTheDeltaProtocol) {
  WaitForAck();
  Road& r = *gRoad;
  r.rx = 10;
  const auto first = Summation(kAph1, 1, 0);
  ASSERT_TRUE(first.ok) << first.error;
  ASSERT_TRUE(first.mp.has_messaging_summation_stats_response_msg()) << first.mp.DebugString();
  const auto& full = first.mp.messaging_summation_stats_response_msg();
  EXPECT_EQ(full.seq_num(), 1u);
  const auto* t1 = FindTarget(full.stats(), "rule", "t1");
  ASSERT_NE(t1, nullptr);
  EXPECT_EQ(NamedValue(*t1, "rx"), 10.0);

  // The second acknowledges the first: only the growth since then travels.
  r.rx = 15;
  const auto second = Summation(kAph1, 2, 1);
  ASSERT_TRUE(second.ok) << second.error;
  const auto& delta = second.mp.messaging_summation_stats_response_msg();
  EXPECT_EQ(delta.seq_num(), 2u);
  t1 = FindTarget(delta.stats(), "rule", "t1");
  ASSERT_NE(t1, nullptr);
  EXPECT_EQ(NamedValue(*t1, "rx"), 5.0);

  // A request that does not acknowledge the last answer gets that answer again.
  const int pollsBefore = r.pulls.load();
  const auto resend = Summation(kAph1, 3, 1);
  ASSERT_TRUE(resend.ok) << resend.error;
  EXPECT_EQ(resend.mp.messaging_summation_stats_response_msg().stats().SerializeAsString(),
            delta.stats().SerializeAsString());
  EXPECT_EQ(r.pulls.load(), pollsBefore);
}

// The host service takes requests only from the APHs that the proxy reported: a local
// process that reaches the service with another caller id (or none) is refused at once, its
// summation pull moves nothing, and the management plane's chain goes on.
TEST_F(MpRoadTest, CallersThatAreNoAphAreRefusedAndLeaveTheDeltaChainAlone) {
  WaitForAck();
  Road& r = *gRoad;
  const auto first = Summation(kAph1, 20, 0);
  ASSERT_TRUE(first.ok) << first.error;
  const std::string address = r.standin.RegisteredAddress(kApp);
  ASSERT_EQ(address.rfind("tcp://", 0), 0u) << address;
  auto stub = zumbra::qbx::agg_service::messaging::AggSvcHostService::NewStub(
      grpc::CreateChannel(address.substr(6), grpc::InsecureChannelCredentials()));
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kSummation;
  pull.seq = 21;
  pull.ack = 20;
  const int pollsBefore = r.pulls.load();
  int n = 0;
  for (const char* caller : std::vector<const char*>{"a0000000-0000-4000-8000-0000000000ff", "", nullptr}) {
    zumbra::qbx::messaging::GenericUnifiedMsg envelope, reply;
    TnProxyStandin::BuildPull(kApp, pull).SerializeToString(envelope.mutable_payload());
    envelope.mutable_ctrl_headers()->set_correlation_id("c0000000-0000-4000-8000-00000000000" + std::to_string(++n));
    grpc::ClientContext context;
    if (caller != nullptr) context.AddMetadata(rpc::kCallerMetadataKey, caller);
    context.set_deadline(std::chrono::system_clock::now() + 60s);  // a hang guard only
    const grpc::Status status = stub->RpcMsgHandler(&context, envelope, &reply);
    EXPECT_FALSE(status.ok()) << (caller ? caller : "(no caller)");
    EXPECT_NE(status.error_code(), grpc::StatusCode::DEADLINE_EXCEEDED);
  }
  EXPECT_EQ(r.pulls.load(), pollsBefore);
  const auto next = Summation(kAph1, 21, 20);
  ASSERT_TRUE(next.ok) << next.error;
  EXPECT_EQ(next.mp.messaging_summation_stats_response_msg().seq_num(), 21u);
  EXPECT_EQ(r.pulls.load(), pollsBefore + 1);
}

TEST_F(MpRoadTest, OverwriteOnDemandAndRuntimeStatusPullsAreAnswered) {
  WaitForAck();
  Road& r = *gRoad;
  r.rx = 77;
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kOverwrite;
  // Its request is empty on the wire: every field at its default.
  const auto overwrite = r.standin.SendPull(kAph1, kApp, pull);
  ASSERT_TRUE(overwrite.ok) << overwrite.error;
  ASSERT_TRUE(overwrite.mp.has_messaging_overwrite_stats_response_msg()) << overwrite.mp.DebugString();
  const auto* t1 = FindTarget(overwrite.mp.messaging_overwrite_stats_response_msg().stats(), "rule", "t1");
  ASSERT_NE(t1, nullptr);
  EXPECT_EQ(NamedValue(*t1, "rx"), 77.0);

  pull.kind = TnProxyStandin::PullKind::kOnDemand;
  pull.targetType = "rule";
  pull.targetIds = {"t9"};
  const auto onDemand = r.standin.SendPull(kAph1, kApp, pull);
  ASSERT_TRUE(onDemand.ok) << onDemand.error;
  const auto* t9 = FindTarget(onDemand.mp.messaging_on_demand_stats_response_msg().stats(), "rule", "t9");
  ASSERT_NE(t9, nullptr) << onDemand.mp.DebugString();
  EXPECT_EQ(NamedValue(*t9, "rx"), 1.0);

  pull.kind = TnProxyStandin::PullKind::kRuntimeStatus;
  pull.targetType = "zumbra.qbx.agg_service.messaging.StatsResponseMsg";
  pull.targetIds.clear();
  const auto runtime = r.standin.SendPull(kAph1, kApp, pull);
  ASSERT_TRUE(runtime.ok) << runtime.error;
  const auto& status = runtime.mp.messaging_generic_runtime_status_response_msg();
  EXPECT_EQ(status.target_type(), pull.targetType);
  EXPECT_TRUE(status.status_obtained());
}

TEST_F(MpRoadTest, AMastershipChangeMovesPublishesToTheNewMasterAfterItsHandshake) {
  WaitForAck();
  Road& r = *gRoad;
  r.standin.ClearRecords();
  r.standin.SetAphs({{kAph1, false}, {kAph2, true}});
  ASSERT_TRUE(r.AdvanceUntil([&] { return r.standin.AppInitRequestCount(kAph2) >= 1 && r.Acked(); }));

  auto sender = AggSvcMpaClient::Find(kApp);
  ASSERT_NE(sender, nullptr);
  l2::MacTableMsg status;
  status.set_target_id("published");
  ASSERT_TRUE(sender->SendMsgToMpaWrapper(status.SerializeAsString(), kMpMacTable, "", ""));
  ASSERT_TRUE(Eventually([&] {
    for (const auto& m : r.standin.ReceivedMessages()) {
      if (m.publish) return true;
    }
    return false;
  }));
  for (const auto& m : r.standin.ReceivedMessages()) {
    EXPECT_EQ(m.aph, kAph2);
    zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg mp;
    ASSERT_TRUE(mp.ParseFromString(m.msg.payload()));
    EXPECT_EQ(mp.l2_mac_table_msg().target_id(), "published");
  }
  const auto answer = ClientData(kAph2, "after-move");
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "after-move");
}

TEST_F(MpRoadTest, ADroppedForwardingConnectionClosesTheChannelAndRecovers) {
  WaitForAck();
  Road& r = *gRoad;
  MakeMaster(kAph2, kAph1);
  const int registrationsBefore = r.standin.RegistrationCount();
  const int appInitsBefore = r.standin.AppInitRequestCount(kAph2);
  r.standin.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return !r.tnProxy->IsConnectedForForwarding(); }));
  // The close notice reached the vertical: it may not send until the next handshake.
  ASSERT_TRUE(Eventually([&] { return !r.Acked(); }));
  // Without its forwarding side the management plane cannot reach the node.
  const auto unreachable = ClientData(kAph2, "while-down");
  EXPECT_FALSE(unreachable.ok);
  EXPECT_EQ(unreachable.code, static_cast<int>(grpc::StatusCode::UNAVAILABLE)) << unreachable.error;

  // The master holds its app-init reply for a while after the connection is back.
  r.standin.SetAppInitMode(kAph2, TnProxyStandin::AppInitMode::kHold);
  ASSERT_GT(r.standin.StartForwarding("127.0.0.1:" + std::to_string(r.fwdPort)), 0);
  // The registration is sent again on the new connection, and the handshake is redone.
  ASSERT_TRUE(r.AdvanceUntil([&] { return r.standin.RegistrationCount() > registrationsBefore; }));
  ASSERT_TRUE(r.AdvanceUntil([&] { return r.standin.AppInitRequestCount(kAph2) > appInitsBefore; }));
  // Until the handshake completes a pull is refused at once, not left open.
  const auto early = gRoad->standin.SendPull(kAph2, kApp, TnProxyStandin::Pull{}, 20s);
  EXPECT_FALSE(early.ok);
  EXPECT_NE(early.code, static_cast<int>(grpc::StatusCode::DEADLINE_EXCEEDED)) << early.error;
  r.standin.SetAppInitMode(kAph2, TnProxyStandin::AppInitMode::kReply);
  r.standin.ReleaseHeldAppInits(true);
  ASSERT_TRUE(r.AdvanceUntil([&] { return r.Acked(); }));
  const auto answer = ClientData(kAph2, "after-drop");
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "after-drop");
  r.rx = 40;
  const auto summation = Summation(kAph2, 10, 0);
  ASSERT_TRUE(summation.ok) << summation.error;
  EXPECT_EQ(summation.mp.messaging_summation_stats_response_msg().seq_num(), 10u);
}

TEST_F(MpRoadTest, TheProxyEndingTheMastersStreamAloneRedoesTheHandshakeOverTheSameConnection) {
  WaitForAck();
  Road& r = *gRoad;
  MakeMaster(kAph1, kAph2);
  ASSERT_TRUE(Eventually([&] { return r.standin.DestinationWatchers() >= 1; }));
  const int appInitsBefore = r.standin.AppInitRequestCount(kAph1);
  // The other APH's stream ends as in a shut-down: nothing is to be done for it.
  ASSERT_TRUE(r.standin.EndAphStream(kAph2, static_cast<uint32_t>(rpc::CloseReason::kTransportShutdown)));
  // The master's stream is lost while the forwarding connection stays up: a new stub to the
  // master and a new handshake before the vertical may send again.
  ASSERT_TRUE(r.standin.EndAphStream(kAph1, static_cast<uint32_t>(rpc::CloseReason::kConnectionLost)));
  ASSERT_TRUE(r.AdvanceUntil([&] { return r.standin.AppInitRequestCount(kAph1) > appInitsBefore && r.Acked(); }));
  EXPECT_TRUE(r.tnProxy->IsConnectedForForwarding());
  const auto answer = ClientData(kAph1, "after-stream-end");
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "after-stream-end");
}

TEST_F(MpRoadTest, ADelayedAppInitReplyCompletesTheHandshakeWhenItArrives) {
  WaitForAck();
  Road& r = *gRoad;
  MakeMaster(kAph2, kAph1);
  r.standin.SetAppInitDelay(kAph1, 300ms);
  r.standin.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kDelay);
  const int before = r.standin.AppInitRequestCount(kAph1);
  r.standin.SetAphs({{kAph1, true}, {kAph2, false}});
  ASSERT_TRUE(r.AdvanceUntil([&] { return r.standin.AppInitRequestCount(kAph1) > before; }));
  // The reply is on its way; once it lands the handshake is complete without a retry.
  auto mpa = std::dynamic_pointer_cast<MpaClientPrivate<AggSvcMpStub>>(r.Mpa());
  ASSERT_NE(mpa, nullptr);
  ASSERT_TRUE(Eventually([&] { return mpa->IsAppInitCompleted() && !mpa->HasAppInitWaitTimer(); }));
  EXPECT_EQ(r.standin.AppInitRequestCount(kAph1), before + 1);
  EXPECT_TRUE(r.Acked());
  r.standin.SetAppInitMode(kAph1, TnProxyStandin::AppInitMode::kReply);
  const auto answer = ClientData(kAph1, "after-delay");
  ASSERT_TRUE(answer.ok) << answer.error;
}

TEST_F(MpRoadTest, ARequestTheVerticalRefusesIsAnsweredWithAnErrorAtOnce) {
  WaitForAck();
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kRuntimeStatus;
  pull.targetType = "no.such.StatusMsg";
  const auto answer = gRoad->standin.SendPull(kAph1, kApp, pull, 60s);
  EXPECT_FALSE(answer.ok);
  EXPECT_NE(answer.code, static_cast<int>(grpc::StatusCode::DEADLINE_EXCEEDED)) << answer.error;
  auto layer = AggSvcHostService::GetInstance()->GetAppInstance(kApp);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->OpenCallCount(), 0u);
  // The road still works.
  EXPECT_TRUE(ClientData(kAph1, "after-refusal").ok);
}

// Records at info level and above, with their level, while alive.
class RecordCapture {
 public:
  RecordCapture() : saved_(Logger::logLevel.load()) {
    Logger::logLevel = loglevel::kInfo;
    Logger::SetSinkForTest([this](int priority, const std::string& line) {
      if ((priority & 7) > 6) return;  // debug traces are not counted
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~RecordCapture() {
    Logger::SetSinkForTest(nullptr);
    Logger::logLevel = saved_;
  }
  std::vector<std::string> With(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const auto& l : lines_) {
      if (l.find(text) != std::string::npos) found.push_back(l);
    }
    return found;
  }
  std::vector<std::string> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LibraryLogLevel saved_;
};

// A pull whose vertical answers with many messages: the first answers the call; the others
// cannot travel (one reply per request) and are reported together, by one warning with their
// number, instead of several records each along the channel.
TEST_F(MpRoadTest, AManyMessageAnswerSendsTheFirstAndReportsTheDroppedRestOnce) {
  WaitForAck();
  RecordCapture records;
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kClientData;
  pull.targetType = kMpMacTable;
  for (int i = 0; i < 500; ++i) pull.targetIds.push_back("many-" + std::to_string(i));
  const auto answer = gRoad->standin.SendPull(kAph1, kApp, pull);
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "many-0");
  const std::string dropped = "further replies dropped";
  ASSERT_TRUE(Eventually([&] { return !records.With(dropped).empty(); }));
  const auto warnings = records.With(dropped);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("level=\"WARNING\""), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("Request already answered, 499 further replies dropped - messageType: " +
                             std::string(kMpMacTable) + " correlationId: " + answer.correlationId),
            std::string::npos)
      << warnings[0];
  // The request's records are those of any answered pull, and the one warning.
  const auto ofRequest = records.With(answer.correlationId);
  std::string all;
  for (const auto& l : ofRequest) all += l + "\n";
  EXPECT_EQ(ofRequest.size(), 4u) << all;
  // (Records of the previous test's last reply may still come in: each is matched by id.)
  EXPECT_EQ(records.With("corelationId (" + answer.correlationId + ") trackingId () from APH").size(), 1u) << all;
  EXPECT_EQ(records.With("RespondMsg corelationId (" + answer.correlationId + ")").size(), 1u) << all;
  EXPECT_EQ(records.With("Sent response with type (" + std::string(kMpMacTable) + ") corelationId (" +
                         answer.correlationId + ")")
                .size(),
            1u)
      << all;
  EXPECT_TRUE(records.With("already answered, dropping extra reply").empty());
  EXPECT_TRUE(records.With("Invalid corealtionId").empty());
  EXPECT_TRUE(records.With("MPA10067").empty());
  auto layer = AggSvcHostService::GetInstance()->GetAppInstance(kApp);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->OpenCallCount(), 0u);
  EXPECT_TRUE(layer->WasAnswered(answer.correlationId));
  // The road still works, and a one-message answer gives no such warning.
  EXPECT_EQ(ClientData(kAph1, "after-many").mp.l2_mac_table_msg().target_id(), "after-many");
  EXPECT_EQ(records.With(dropped).size(), 1u);
}

TEST_F(MpRoadTest, AMasterStreamEndedAsShutDownOrIdleIsMadeAgainAndPullsAreAnsweredAgain) {
  WaitForAck();
  Road& r = *gRoad;
  MakeMaster(kAph1, kAph2);
  ASSERT_TRUE(Eventually([&] { return r.standin.DestinationWatchers() >= 1; }));
  auto mpa = std::dynamic_pointer_cast<MpaClientPrivate<AggSvcMpStub>>(r.Mpa());
  ASSERT_NE(mpa, nullptr);
  for (const auto reason : {rpc::CloseReason::kTransportShutdown, rpc::CloseReason::kIdle}) {
    SCOPED_TRACE(rpc::CloseReasonToCStr(reason));
    const int appInitsBefore = r.standin.AppInitRequestCount(kAph1);
    ASSERT_TRUE(r.standin.EndAphStream(kAph1, static_cast<uint32_t>(reason)));
    // The master's stub is gone and the vertical told so.
    ASSERT_TRUE(Eventually([&] { return mpa->IsMasterStubPending() && !r.Acked(); }));
    // Within the re-creation delay (at most 11 s of the node's clock) a new stub is made to
    // the master and the handshake redone: the node is not left deaf.
    auto advanced = 0ms;
    ASSERT_TRUE(Eventually([&] {
      if (r.Acked() && !mpa->IsMasterStubPending()) return true;
      if (advanced < 11s) {
        r.clock->Advance(250ms);
        advanced += 250ms;
      }
      return r.Acked() && !mpa->IsMasterStubPending();
    }));
    EXPECT_LE(advanced, 11s);
    EXPECT_GT(r.standin.AppInitRequestCount(kAph1), appInitsBefore);
    const auto answer = ClientData(kAph1, "after-quiet-end");
    ASSERT_TRUE(answer.ok) << answer.error;
    EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "after-quiet-end");
  }
}

// Last: it takes the vertical off the road.
TEST_F(MpRoadTest, StoppingTheVerticalAnswersItsOpenCallsAndLaterPullsAreRefused) {
  WaitForAck();
  Road& r = *gRoad;
  // The vertical takes the request and sends nothing back: the call stays open.
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kClientData;
  pull.targetType = kMpMacTable;
  pull.targetIds = {"silent"};
  auto open = std::async(std::launch::async, [&] { return r.standin.SendPull(kAph1, kApp, pull, 60s); });
  auto layer = AggSvcHostService::GetInstance()->GetAppInstance(kApp);
  ASSERT_NE(layer, nullptr);
  ASSERT_TRUE(Eventually([&] { return layer->OpenCallCount() == 1; }));

  // The stop waits for the request in progress; let it go once the stop has begun.
  std::thread release([&r] {
    std::this_thread::sleep_for(200ms);
    r.releaseSilent.set_value();
  });
  r.client->StopAggServiceClient();
  release.join();
  r.client.reset();
  ASSERT_EQ(open.wait_for(20s), std::future_status::ready);
  const auto answer = open.get();
  EXPECT_FALSE(answer.ok);
  EXPECT_NE(answer.code, static_cast<int>(grpc::StatusCode::DEADLINE_EXCEEDED)) << answer.error;
  EXPECT_EQ(layer->OpenCallCount(), 0u);
  // The registration stays with the forwarding side; a pull that still arrives is refused.
  const auto late = ClientData(kAph1, "late");
  EXPECT_FALSE(late.ok);
  EXPECT_NE(late.code, static_cast<int>(grpc::StatusCode::DEADLINE_EXCEEDED)) << late.error;
}

}  // namespace
}  // namespace qbx
