#include <gtest/gtest.h>

#include "channels/status/status_source_impl.h"
#include "tests/channels/fakes/monitoring_fakes.h"

namespace qbx::StatusSource {
namespace {

using namespace std::chrono_literals;
using testing::FakeProviderStream;
using testing::FakeProviderWorld;
using testing::FakeStatusAdapter;
using testing::LogCapture;
using testing::ProviderMsg;
using testing::SourceMsg;
using testing::TempDir;
namespace st = zumbra::qbx::agg_service::status;

constexpr const char* kTn = "TransportNodeStatusVertical";
constexpr const char* kVpn = "AggSvc-Vpn";
constexpr const char* kHost = "HostNodeStatusVertical";
constexpr const char* kTunnels = "zumbra.qbx.agg_service.TunnelsSummaryMsg";
constexpr const char* kL2Vpn = "zumbra.qbx.agg_service.vpn.L2VpnSessionStatusMsg";
constexpr const char* kNode = "zumbra.qbx.agg_service.node.NodeStatusPropertiesMsg";

class StatusSourceTest : public ::testing::Test {
 protected:
  void Make(bool managerNode = false) {
    StatusSourceImpl::Options options;
    options.clock = clock_;
    options.configFile = dir_.File("status_collection_configs.json");
    options.issueFile = dir_.Write("qbx_issue", managerNode ? "node-type: qbx-manager\n" : "node-type: qbx-host\n");
    options.rpcFactory = [this](AsioQbxProvider& p) -> std::unique_ptr<ProviderRpc> {
      if (!world_) world_ = std::make_shared<FakeProviderWorld>(p.dispatcher());
      world_->autoStub = true;
      return std::make_unique<testing::FakeProviderRpc>(world_);
    };
    source_ = std::make_shared<StatusSourceImpl>(options);
  }
  void TearDown() override {
    if (source_) source_->Stop();
  }
  void Flush() {
    for (int i = 0; i < 3; ++i) source_->RunOnLoopForTest([] {});
  }
  // Starts the source and brings the provider stream up.
  void Connect() {
    source_->Start();
    Flush();
    world_->Up();
    Flush();
  }
  void Provider(ProviderMsg::MsgType type) {
    ProviderMsg msg;
    msg.set_msg_type(type);
    Provider(msg);
  }
  void Provider(const ProviderMsg& msg) {
    world_->LastStream()->Deliver(msg);
    Flush();
  }
  void Advance(std::chrono::nanoseconds d) {
    clock_->Advance(d);
    Flush();
  }
  bool Register(const char* vertical, const char* type, FakeStatusAdapter& adapter) {
    return source_->RegisterStatusCallback(vertical, type, adapter.Getter(), FakeStatusAdapter::Comparer());
  }
  // Makes a source with `tn` registered for the transport node's tunnels summary, connected to
  // the provider and polling.
  void PollTunnels(FakeStatusAdapter& tn) {
    Make();
    ASSERT_TRUE(Register(kTn, kTunnels, tn));
    Connect();
    Provider(ProviderMsg::START_PERIODIC_POLL);
  }
  // Status reports (not heartbeats) written on every stream so far.
  std::vector<zumbra::qbx::monitoring::MonitoringStatusVerticalReportMsg> Reports() {
    std::vector<zumbra::qbx::monitoring::MonitoringStatusVerticalReportMsg> out;
    for (const auto& stream : world_->streams) {
      for (const auto& msg : stream->written) {
        if (msg.msg_type() != SourceMsg::STATUS_REPORT) continue;
        for (const auto& r : msg.status_report_msg().vertical_reports()) out.push_back(r);
      }
    }
    return out;
  }
  std::vector<SourceMsg> Written(SourceMsg::MsgType type) {
    std::vector<SourceMsg> out;
    for (const auto& stream : world_->streams) {
      for (const auto& msg : stream->written) {
        if (msg.msg_type() == type) out.push_back(msg);
      }
    }
    return out;
  }

  TempDir dir_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<FakeProviderWorld> world_;
  std::shared_ptr<StatusSourceImpl> source_;
};

TEST_F(StatusSourceTest, RegistrationFollowsTheTables) {
  Make();
  LogCapture log(loglevel::kWarning);
  FakeStatusAdapter a;
  EXPECT_TRUE(Register(kHost, kTunnels, a));
  EXPECT_FALSE(Register(kHost, kTunnels, a));
  EXPECT_TRUE(log.Has("VERTICAL_HOST_NODE_STATUS:STATUS_MSG_TUNNELS_SUMMARY already registered with StatusSource"));
  EXPECT_FALSE(Register("DFWRuleStats", kTunnels, a));
  EXPECT_TRUE(log.Has("Not registering unsupported vertical: DFWRuleStats"));
  EXPECT_FALSE(Register(kTn, "zumbra.qbx.agg_service.TunnelsMsg", a));
  EXPECT_TRUE(log.Has(
      "Not registering unsupported message type: zumbra.qbx.agg_service.TunnelsMsg for vertical: "
      "TransportNodeStatusVertical"));
  EXPECT_EQ(SupportedVerticals().size(), 9u);
  EXPECT_EQ(SupportedMsgTypes().size(), 16u);
  EXPECT_EQ(SupportedMsgTypes().at(kTunnels), st::STATUS_MSG_TUNNELS_SUMMARY);
  EXPECT_EQ(SupportedVerticals().at(kHost), st::VERTICAL_HOST_NODE_STATUS);
}

TEST_F(StatusSourceTest, ConcurrentRegistrationOfOnePairAcceptsExactlyOne) {
  Make();
  FakeStatusAdapter a;
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { accepted += Register(kTn, kTunnels, a) ? 1 : 0; });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(accepted, 1);
}

TEST_F(StatusSourceTest, PollingStartsOnlyWhenTheProviderAsksAndFollowsTheVerticalInterval) {
  Make();
  FakeStatusAdapter tn, vpn;
  ASSERT_TRUE(Register(kTn, kTunnels, tn));
  ASSERT_TRUE(Register(kVpn, kL2Vpn, vpn));
  Connect();
  Advance(240s);
  EXPECT_EQ(tn.Calls(), 0);
  EXPECT_EQ(vpn.Calls(), 0);

  Provider(ProviderMsg::START_PERIODIC_POLL);
  Advance(29s);
  EXPECT_EQ(tn.Calls(), 0);
  Advance(1s);
  EXPECT_EQ(tn.Calls(), 1);
  Advance(90s);
  EXPECT_EQ(tn.Calls(), 4);
  EXPECT_EQ(vpn.Calls(), 1);
  EXPECT_EQ(tn.FullSyncCalls(), 0) << "periodic polls are not full syncs";
}

TEST_F(StatusSourceTest, AnUpdateEqualToThePreviousOneIsNotSent) {
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  Advance(30s);
  ASSERT_EQ(Reports().size(), 1u) << "the first poll of a pair is always sent";
  EXPECT_EQ(Reports()[0].vertical(), st::VERTICAL_TRANSPORT_NODE_STATUS);
  EXPECT_EQ(Reports()[0].msg_type(), st::STATUS_MSG_TUNNELS_SUMMARY);
  Advance(30s);
  EXPECT_EQ(Reports().size(), 1u);
  tn.Set("down");
  Advance(30s);
  ASSERT_EQ(Reports().size(), 2u);
  EXPECT_EQ(Reports()[1].status().properties(0).value(), "down");
}

TEST_F(StatusSourceTest, EmptyAndFailingStatusCallbacksKeepThePollerGoing) {
  LogCapture log(loglevel::kWarning);
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  tn.SetEmpty();
  Advance(30s);
  EXPECT_TRUE(log.Has("Empty response received for vertical:message-type: "
                      "VERTICAL_TRANSPORT_NODE_STATUS:STATUS_MSG_TUNNELS_SUMMARY"));
  tn.SetThrow(true);
  Advance(30s);
  EXPECT_TRUE(log.Has("Exception during status callback for VERTICAL_TRANSPORT_NODE_STATUS:STATUS_MSG_TUNNELS_SUMMARY"
                      " - adapter failed"));
  tn.SetThrow(false);
  tn.Set("up");
  Advance(30s);
  EXPECT_EQ(tn.Calls(), 3);
  EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(StatusSourceTest, ProviderFullSyncAnswersEveryPairWithTheSendMetricFlagAndStopsPolling) {
  Make();
  FakeStatusAdapter tn, host, empty;
  ASSERT_TRUE(Register(kTn, kTunnels, tn));
  ASSERT_TRUE(Register(kHost, kNode, host));
  ASSERT_TRUE(Register(kVpn, kL2Vpn, empty));
  empty.SetEmpty();
  Connect();
  Provider(ProviderMsg::START_PERIODIC_POLL);
  Provider(ProviderMsg::FULL_SYNC_REQUEST);
  auto responses = Written(SourceMsg::FULL_SYNC_RESPONSE);
  ASSERT_EQ(responses.size(), 1u);
  const auto& response = responses[0].full_sync_response_msg();
  EXPECT_TRUE(response.result());
  ASSERT_EQ(response.vertical_reports_size(), 2);
  EXPECT_EQ(response.vertical_reports(0).vertical(), st::VERTICAL_HOST_NODE_STATUS);
  EXPECT_EQ(response.vertical_reports(1).vertical(), st::VERTICAL_TRANSPORT_NODE_STATUS);
  EXPECT_EQ(tn.FullSyncCalls(), 1);
  EXPECT_EQ(host.FullSyncCalls(), 1);

  Advance(120s);
  EXPECT_EQ(tn.Calls(), 1) << "a full sync stops polling until the provider restarts it";
  Provider(ProviderMsg::START_PERIODIC_POLL);
  Advance(30s);
  EXPECT_EQ(tn.Calls(), 2);
  EXPECT_EQ(Reports().size(), 0u) << "the full sync stored what it answered, so an equal poll is dropped";
}

TEST_F(StatusSourceTest, FullSyncWithCollectionDisabledAnswersTrueAndDoesNotPoll) {
  LogCapture log(loglevel::kInfo);
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  ProviderMsg request;
  request.set_msg_type(ProviderMsg::FULL_SYNC_REQUEST);
  request.set_global_status_collection_enabled(false);
  Provider(request);
  auto responses = Written(SourceMsg::FULL_SYNC_RESPONSE);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_TRUE(responses[0].full_sync_response_msg().result());
  EXPECT_EQ(responses[0].full_sync_response_msg().vertical_reports_size(), 0);
  EXPECT_TRUE(log.Has("Skip FullSync as global status collection is disabled"));
  Advance(300s);
  EXPECT_EQ(tn.Calls(), 0);
}

TEST_F(StatusSourceTest, FailedFullSyncIsRetriedEverySixtySecondsWhileNeeded) {
  Make();
  FakeStatusAdapter tn;
  ASSERT_TRUE(Register(kTn, kTunnels, tn));
  Connect();
  source_->SetFullSyncNeeded();
  Flush();
  EXPECT_EQ(source_->FullSyncFSMForTest().State(), StatusFullSyncFSM::FULLSYNC_NEEDED);
  Advance(60s);
  EXPECT_EQ(tn.FullSyncCalls(), 0) << "the poller is not running yet, so the full sync fails";
  EXPECT_EQ(source_->FullSyncFSMForTest().State(), StatusFullSyncFSM::FULLSYNC_NEEDED);

  Provider(ProviderMsg::START_PERIODIC_POLL);
  Advance(59s);
  EXPECT_EQ(tn.FullSyncCalls(), 0);
  Advance(1s);
  EXPECT_EQ(tn.FullSyncCalls(), 1);
  EXPECT_EQ(source_->FullSyncFSMForTest().State(), StatusFullSyncFSM::FULLSYNC_DONE);
  EXPECT_EQ(Reports().size(), 1u) << "a full sync sends what it polled";
  Advance(120s);
  EXPECT_EQ(tn.FullSyncCalls(), 1) << "nothing is retried once it succeeded";
}

TEST_F(StatusSourceTest, FullSyncRequestsWithinSixtySecondsRunOnce) {
  LogCapture log(loglevel::kInfo);
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  EXPECT_TRUE(source_->OnFullSyncRequest());
  Flush();
  EXPECT_TRUE(log.Has("FullSync request received from SHA callback"));
  EXPECT_EQ(tn.FullSyncCalls(), 1);
  Advance(59s);
  source_->OnFullSyncRequest();
  Flush();
  EXPECT_EQ(tn.FullSyncCalls(), 1);
  Advance(1s);
  source_->OnFullSyncRequest();
  Flush();
  EXPECT_EQ(tn.FullSyncCalls(), 2);
}

TEST_F(StatusSourceTest, HeartbeatListsOnlyPairsPolledInTheLastFiveMinutes) {
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  Advance(150s);
  auto beats = [&] {
    std::vector<SourceMsg> out;
    for (const auto& m : Written(SourceMsg::STATUS_REPORT)) {
      if (m.status_report_msg().vertical_reports_size() == 0) out.push_back(m);
    }
    return out;
  };
  ASSERT_EQ(beats().size(), 1u);
  ASSERT_EQ(beats()[0].status_report_msg().verticals_size(), 1);
  EXPECT_EQ(beats()[0].status_report_msg().verticals(0), st::VERTICAL_TRANSPORT_NODE_STATUS);
  tn.SetThrow(true);  // from now on the pair's last poll time stays at 150 s
  Advance(150s);
  ASSERT_EQ(beats().size(), 2u);
  EXPECT_EQ(beats()[1].status_report_msg().verticals_size(), 1);
  Advance(150s);
  ASSERT_EQ(beats().size(), 3u);
  EXPECT_EQ(beats()[2].status_report_msg().verticals_size(), 0) << "last poll is 300 s old";
}

TEST_F(StatusSourceTest, SecondStartPollLeavesOneHeartbeat) {
  Make();
  Connect();
  Provider(ProviderMsg::START_PERIODIC_POLL);
  Provider(ProviderMsg::START_PERIODIC_POLL);
  Advance(150s);
  EXPECT_EQ(Written(SourceMsg::STATUS_REPORT).size(), 1u);
}

TEST_F(StatusSourceTest, LivenessIsRestampedEveryThirtySecondsUntilStopped) {
  Make();
  Advance(900s);
  EXPECT_TRUE(source_->IsAlive());
  source_->Stop();
  clock_->Advance(299s);
  EXPECT_TRUE(source_->IsAlive());
  clock_->Advance(1s);
  EXPECT_FALSE(source_->IsAlive());
}

TEST_F(StatusSourceTest, StatisticsAreDumpedEveryFiveMinutes) {
  LogCapture log(loglevel::kInfo);
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  source_->OnFullSyncRequest();
  Advance(299s);
  EXPECT_FALSE(log.Has("Last reported time for"));
  Advance(1s);
  EXPECT_EQ(log.Count("Last reported time for VERTICAL_TRANSPORT_NODE_STATUS:STATUS_MSG_TUNNELS_SUMMARY - "), 1);
  EXPECT_EQ(log.Count("Last full sync time - "), 1);
}

TEST_F(StatusSourceTest, PollingConfigurationChangesIntervalsAndRefusesZero) {
  LogCapture log(loglevel::kInfo);
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  ProviderMsg cfg;
  cfg.set_msg_type(ProviderMsg::POLLING_CONFIG);
  auto* c = cfg.add_polling_configs();
  c->set_feature_stack_name(kTn);
  c->set_polling_interval(0);
  auto* unknown = cfg.add_polling_configs();
  unknown->set_feature_stack_name("DFWRuleStats");
  unknown->set_polling_interval(10);
  Provider(cfg);
  EXPECT_TRUE(log.Has("Error PollCfgMsgHandler: feature_stack_name DFWRuleStats: _Map_base::at"));
  EXPECT_EQ(source_->PollerForTest().PollingInterval(st::VERTICAL_TRANSPORT_NODE_STATUS), 30u);
  Advance(30s);
  EXPECT_EQ(tn.Calls(), 1) << "interval 0 is refused instead of spinning";

  c->set_polling_interval(-7);
  Provider(cfg);
  EXPECT_EQ(source_->PollerForTest().PollingInterval(st::VERTICAL_TRANSPORT_NODE_STATUS), 30u);

  c->set_polling_interval(45);
  Provider(cfg);
  EXPECT_EQ(source_->PollerForTest().PollingInterval(st::VERTICAL_TRANSPORT_NODE_STATUS), 45u);
  Advance(44s);
  EXPECT_EQ(tn.Calls(), 1);
  Advance(1s);
  EXPECT_EQ(tn.Calls(), 2);
}

TEST_F(StatusSourceTest, SwitchingCollectionBackOnOutsideAFullSyncTriggersOneFullSync) {
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  ProviderMsg cfg;
  cfg.set_msg_type(ProviderMsg::POLLING_CONFIG);
  cfg.set_global_status_collection_enabled(true);
  Provider(cfg);
  EXPECT_EQ(tn.FullSyncCalls(), 0) << "the first configuration is no switch";
  cfg.set_global_status_collection_enabled(false);
  Provider(cfg);
  cfg.set_global_status_collection_enabled(true);
  Provider(cfg);
  EXPECT_EQ(tn.FullSyncCalls(), 1);
  Provider(cfg);
  EXPECT_EQ(tn.FullSyncCalls(), 1);

  // The same switch carried by a full-sync request triggers nothing more than that full sync.
  ProviderMsg request;
  request.set_msg_type(ProviderMsg::FULL_SYNC_REQUEST);
  request.set_global_status_collection_enabled(false);
  Provider(request);
  request.set_global_status_collection_enabled(true);
  Provider(request);
  EXPECT_EQ(tn.FullSyncCalls(), 2);
}

TEST_F(StatusSourceTest, AReportOnADeadStreamIsNotCountedAndIsSentWhenTheStreamReturns) {
  LogCapture log(loglevel::kInfo);
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  Advance(30s);
  ASSERT_EQ(Reports().size(), 1u);
  auto first = world_->LastStream();

  world_->Closed();  // the provider went away
  Flush();
  tn.Set("down");
  Advance(30s);
  EXPECT_TRUE(log.Has("Stale stream: skipping reporting."));
  EXPECT_EQ(first->written.size(), 2u) << "announcement and first report only";
  EXPECT_EQ(first->cancel_calls, 1);
  Advance(30s);  // equal to the undelivered one: still not dropped, still no stream
  EXPECT_EQ(Reports().size(), 1u);

  world_->Up();  // the provider is back: a new stream, announced first, then the resend
  Flush();
  ASSERT_EQ(world_->streams.size(), 2u);
  auto second = world_->LastStream();
  ASSERT_EQ(second->written.size(), 2u) << "announcement, then the one undelivered pair";
  EXPECT_EQ(second->written[0].msg_type(), SourceMsg::REGISTER);
  EXPECT_FALSE(second->written[0].has_status_report_msg());
  auto reports = Reports();
  EXPECT_EQ(reports.back().status().properties(0).value(), "down");
  const size_t afterResend = reports.size();
  Advance(30s);
  EXPECT_EQ(Reports().size(), afterResend) << "delivered now, so an equal update is dropped again";
}

TEST_F(StatusSourceTest, AStreamEndedByTheProviderIsReopenedAfterFiveSeconds) {
  FakeStatusAdapter tn;
  ASSERT_NO_FATAL_FAILURE(PollTunnels(tn));
  Advance(30s);
  auto first = world_->LastStream();
  first->End();
  Flush();
  EXPECT_EQ(first->done_calls, 1) << "Done goes to the stream that ended";
  EXPECT_FALSE(source_->LinkForTest().HasStream());
  Advance(4s);
  EXPECT_EQ(world_->streams.size(), 1u);
  Advance(1s);
  ASSERT_EQ(world_->streams.size(), 2u);
  // Everything written to the ended stream is sent again on the new one.
  ASSERT_EQ(world_->LastStream()->written.size(), 2u);
  EXPECT_EQ(world_->LastStream()->written[1].msg_type(), SourceMsg::STATUS_REPORT);
}

TEST_F(StatusSourceTest, StopEndsTheLinkAndTheLoop) {
  Make();
  Connect();
  auto stream = world_->LastStream();
  source_->Stop();
  EXPECT_EQ(world_->teardowns, 1);
  EXPECT_EQ(stream->cancel_calls, 1);
  EXPECT_TRUE(source_->ProviderForTest().IsStopped());
  source_->Stop();  // twice is harmless
  EXPECT_TRUE(source_->OnFullSyncRequest());  // posting to a stopped loop is refused quietly
  source_->SetFullSyncNeeded();
}

}  // namespace
}  // namespace qbx::StatusSource
