#include <gtest/gtest.h>

#include "channels/status/provider_communicator.h"
#include "channels/status/status_report_sender.h"
#include "platform/runtime/manual_clock.h"
#include "platform/runtime/manual_timer_factory.h"
#include "tests/channels/fakes/monitoring_fakes.h"

namespace qbx::StatusSource {
namespace {

using namespace std::chrono_literals;
using testing::FakeProviderWorld;
using testing::LogCapture;
using testing::LoopFlush;
using testing::ProviderMsg;
using testing::SourceMsg;
namespace st = zumbra::qbx::agg_service::status;

class RecordingHandler : public ProviderMessageHandler {
 public:
  bool FullSync(MonitoringStatusFullSyncResponseMsg& response, const MonitoringStatusProviderMsg&) override {
    ++full_syncs;
    response.add_vertical_reports()->set_vertical(st::VERTICAL_FABRIC);
    return full_sync_result;
  }
  void PollCfgMsgHandler(const MonitoringStatusProviderMsg&, bool fromFullSync) override {
    ++poll_cfgs;
    last_from_full_sync = fromFullSync;
  }
  void StartPeriodicPoll() override { ++start_polls; }
  void OnStreamReady() override { ++ready; }
  void OnStreamLost() override { ++lost; }

  int full_syncs = 0, poll_cfgs = 0, start_polls = 0, ready = 0, lost = 0;
  bool full_sync_result = true;
  bool last_from_full_sync = true;
};

class MonitoringProviderLinkTest : public ::testing::Test {
 protected:
  MonitoringProviderLinkTest() {
    AsioQbxProvider::Options options;
    options.first_flag = true;
    provider_ = std::make_unique<AsioQbxProvider>(options, "", clock_);
    world_ = std::make_shared<FakeProviderWorld>(provider_->dispatcher());
    link_ = std::make_shared<ProviderCommunicator>(
        *provider_, handler_, "tcp://127.0.0.1:9100",
        [this](AsioQbxProvider&) { return std::make_unique<testing::FakeProviderRpc>(world_); });
    provider_->RunAsync(1);
    OnLoop([this] { link_->Start(); });
  }
  ~MonitoringProviderLinkTest() override {
    OnLoop([this] { link_->Stop(); });
    provider_->StopAndWait(true);
  }
  void OnLoop(std::function<void()> fn) {
    provider_->dispatcher().Post(std::move(fn));
    Flush();
  }
  void Flush() {
    for (int i = 0; i < 3; ++i) LoopFlush(*provider_);
  }
  void Advance(std::chrono::nanoseconds d) {
    clock_->Advance(d);
    Flush();
  }
  bool Send(const SourceMsg& msg) {
    bool sent = false;
    OnLoop([&] { sent = link_->SendStatusReport(msg); });
    return sent;
  }
  // Connection up and the stub created: the stream is open.
  void Stream() {
    world_->Up();
    Flush();
    world_->CompleteStub(world_->stubRequests.size() - 1, true);
    Flush();
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::unique_ptr<AsioQbxProvider> provider_;
  std::shared_ptr<FakeProviderWorld> world_;
  RecordingHandler handler_;
  std::shared_ptr<ProviderCommunicator> link_;
};

TEST_F(MonitoringProviderLinkTest, TheFirstMessageOnEveryStreamIsTheBareAnnouncement) {
  EXPECT_EQ(world_->connectionRequests, 1);
  Stream();
  ASSERT_EQ(world_->streams.size(), 1u);
  auto stream = world_->LastStream();
  ASSERT_EQ(stream->written.size(), 1u);
  EXPECT_EQ(stream->written[0].msg_type(), SourceMsg::REGISTER);
  EXPECT_FALSE(stream->written[0].has_status_report_msg());
  EXPECT_FALSE(stream->written[0].has_full_sync_response_msg());
  EXPECT_EQ(handler_.ready, 1);
}

TEST_F(MonitoringProviderLinkTest, AnOlderStubCompletionIsIgnored) {
  LogCapture log(loglevel::kInfo);
  world_->Up();
  Flush();
  world_->Up();  // a second connection-up starts a second creation
  Flush();
  ASSERT_EQ(world_->stubRequests.size(), 2u);
  world_->CompleteStub(1, true);
  Flush();
  world_->CompleteStub(0, true);
  Flush();
  EXPECT_TRUE(log.Has("StubCreateDone called with with seq: 1. Higher sequence number already handled. Current seq: 2"));
  EXPECT_EQ(world_->streams.size(), 1u) << "only the newer creation registers a stream";
}

TEST_F(MonitoringProviderLinkTest, StubFailureRetriesEveryFiveSecondsOnlyWhileConnected) {
  world_->Up();
  Flush();
  world_->CompleteStub(0, false);
  Flush();
  Advance(4s);
  EXPECT_EQ(world_->stubRequests.size(), 1u);
  Advance(1s);
  ASSERT_EQ(world_->stubRequests.size(), 2u);

  world_->Closed();
  Flush();
  world_->CompleteStub(1, false);
  Flush();
  Advance(60s);
  EXPECT_EQ(world_->stubRequests.size(), 2u) << "no retry while disconnected";
  world_->Up();
  Flush();
  EXPECT_EQ(world_->stubRequests.size(), 3u) << "the next connection-up starts over";
}

TEST_F(MonitoringProviderLinkTest, ProviderRequestsReachTheHandler) {
  Stream();
  auto stream = world_->LastStream();
  LogCapture log(loglevel::kInfo);
  ProviderMsg msg;
  stream->Deliver(msg);  // no type
  Flush();
  EXPECT_TRUE(log.Has("Inbound message from provider doesn't contain msg_type"));

  msg.set_msg_type(ProviderMsg::START_PERIODIC_POLL);
  stream->Deliver(msg);
  msg.set_msg_type(ProviderMsg::POLLING_CONFIG);
  stream->Deliver(msg);
  Flush();
  EXPECT_TRUE(log.Has("Handling START_PERIODIC_POLL message from provider"));
  EXPECT_EQ(handler_.start_polls, 1);
  EXPECT_EQ(handler_.poll_cfgs, 1);
  EXPECT_FALSE(handler_.last_from_full_sync);

  handler_.full_sync_result = false;
  msg.set_msg_type(ProviderMsg::FULL_SYNC_REQUEST);
  stream->Deliver(msg);
  Flush();
  ASSERT_EQ(stream->written.size(), 2u);
  const auto& response = stream->written[1];
  EXPECT_EQ(response.msg_type(), SourceMsg::FULL_SYNC_RESPONSE);
  EXPECT_FALSE(response.full_sync_response_msg().result());
  EXPECT_EQ(response.full_sync_response_msg().vertical_reports_size(), 1);
}

TEST_F(MonitoringProviderLinkTest, ReportsAreRefusedWithoutAnOpenStream) {
  LogCapture log(loglevel::kInfo);
  SourceMsg report;
  report.set_msg_type(SourceMsg::STATUS_REPORT);
  EXPECT_FALSE(Send(report));
  EXPECT_TRUE(log.Has("Stale stream: skipping reporting."));
  Stream();
  EXPECT_TRUE(Send(report));
  world_->LastStream()->refuse_writes = true;  // full queue or dead call
  EXPECT_FALSE(Send(report));
  world_->LastStream()->refuse_writes = false;

  world_->Closed();
  Flush();
  EXPECT_EQ(handler_.lost, 1);
  EXPECT_FALSE(Send(report)) << "nothing is written to the stream of a closed connection";
  EXPECT_EQ(world_->LastStream()->written.size(), 2u);
}

TEST_F(MonitoringProviderLinkTest, TheEndOfAnOldCallLeavesTheCurrentStreamAlone) {
  Stream();
  auto old = world_->LastStream();
  world_->Up();  // reconnect while the old call is still finishing
  Flush();
  world_->CompleteStub(world_->stubRequests.size() - 1, true);
  Flush();
  ASSERT_EQ(world_->streams.size(), 2u);
  auto current = world_->LastStream();
  old->End();
  Flush();
  EXPECT_EQ(old->done_calls, 1);
  EXPECT_EQ(current->done_calls, 0) << "Done belongs to the stream whose call ended";
  EXPECT_TRUE(link_->HasStream());
  SourceMsg report;
  report.set_msg_type(SourceMsg::STATUS_REPORT);
  EXPECT_TRUE(Send(report));
  EXPECT_EQ(current->written.size(), 2u);
}

TEST_F(MonitoringProviderLinkTest, StubDownIsLoggedAndStopTearsDown) {
  Stream();
  LogCapture log(loglevel::kDebug);
  world_->StreamDown("peer gone");
  Flush();
  EXPECT_TRUE(log.Has("Stub down (peer gone)"));
  auto stream = world_->LastStream();
  OnLoop([this] { link_->Stop(); });
  EXPECT_TRUE(log.Has("Connection teardown: 0"));
  EXPECT_EQ(world_->teardowns, 1);
  EXPECT_EQ(stream->cancel_calls, 1);
  EXPECT_FALSE(link_->HasStream());
  OnLoop([this] { link_->Start(); });  // a restart keeps a single keeper
  EXPECT_EQ(world_->connectionRequests, 2);
}

// Over the platform's RPC layer: while the provider cannot be reached the link tries again
// first after 1 s, then after 2 and 4 s, then every 5 s. Each attempt here fails at once
// (there is no route to the endpoint); the wait the connection keeper asks for is read off
// the provider's timer table.
TEST(MonitoringProviderLinkRetryTest, AnUnreachableProviderIsTriedAgainAfterOneTwoFourThenFiveSeconds) {
  auto clock = std::make_shared<ManualClock>();
  AsioQbxProvider provider(AsioQbxProvider::Options{}, "", clock);
  auto* timers = dynamic_cast<ManualTimerFactory*>(&provider.timers());
  ASSERT_NE(timers, nullptr);
  RecordingHandler handler;
  auto link = std::make_shared<ProviderCommunicator>(provider, handler, "qbx://monitoring-provider");
  provider.RunAsync(1);
  auto onLoop = [&](std::function<void()> fn) {
    provider.dispatcher().Post(std::move(fn));
    for (int i = 0; i < 3; ++i) LoopFlush(provider);
  };
  onLoop([&] { link->Start(); });
  std::vector<std::chrono::milliseconds> waits;
  for (int attempt = 0; attempt < 5; ++attempt) {
    ASSERT_EQ(timers->PendingForTest(), 1u) << "attempt " << attempt;
    const auto due = timers->NextDue();
    ASSERT_TRUE(due.has_value());
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due->first - clock->Now());
    waits.push_back(wait);
    clock->Advance(wait);
    for (int i = 0; i < 3; ++i) LoopFlush(provider);
  }
  EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 5s, 5s}));
  EXPECT_FALSE(link->IsConnected());
  onLoop([&] { link->Stop(); });
  provider.StopAndWait(true);
}

TEST(StatusReportSenderTest, ReportsRememberTheirTimeOnlyWhenSent) {
  struct Link : ProviderCommunicatorFacade {
    bool SendStatusReport(const MonitoringStatusSourceMsg& msg) override {
      sent.push_back(msg);
      return ok;
    }
    std::vector<MonitoringStatusSourceMsg> sent;
    bool ok = false;
  } link;
  ManualClock clock;
  StatusReportSender sender(link, clock);
  const StatusKey key(st::VERTICAL_FABRIC, st::STATUS_MSG_SOFTWARE_STATUS);
  auto update = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  update->set_timestamp(7);
  EXPECT_FALSE(sender.SendStatusReport(key, update));
  EXPECT_TRUE(sender.LastReportTimes().empty());
  link.ok = true;
  EXPECT_TRUE(sender.SendStatusReport(key, update));
  ASSERT_EQ(sender.LastReportTimes().count(key), 1u);
  const auto& report = link.sent.back().status_report_msg().vertical_reports(0);
  EXPECT_EQ(report.vertical(), st::VERTICAL_FABRIC);
  EXPECT_EQ(report.msg_type(), st::STATUS_MSG_SOFTWARE_STATUS);
  EXPECT_EQ(report.status().timestamp(), 7u);

  std::map<StatusKey, TimePoint> polls;
  polls[key] = clock.Now();
  polls[StatusKey(st::VERTICAL_FABRIC, st::STATUS_MSG_PNIC_BONDS)] = clock.Now() - 299s;
  polls[StatusKey(st::VERTICAL_VPN, st::STATUS_MSG_L2VPN_SESSION_STATUS)] = clock.Now() - 300s;
  EXPECT_TRUE(sender.SendHeartbeat(polls));
  const auto& beat = link.sent.back().status_report_msg();
  EXPECT_EQ(beat.vertical_reports_size(), 0);
  ASSERT_EQ(beat.verticals_size(), 2) << "one entry per recent pair; the 300 s old one is left out";
  EXPECT_EQ(beat.verticals(0), st::VERTICAL_FABRIC);
  EXPECT_EQ(beat.verticals(1), st::VERTICAL_FABRIC);
}

}  // namespace
}  // namespace qbx::StatusSource
