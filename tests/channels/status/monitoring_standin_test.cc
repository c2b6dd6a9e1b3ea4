// The status source against the stand-in monitoring provider over real gRPC on loopback.
// The source's timers run on a manual clock; only the transport runs in real time, and
// every wait below is for an event, bounded so that a fault fails instead of hanging.
#include <thread>

#include <gtest/gtest.h>

#include "channels/status/status_source_impl.h"
#include "tests/channels/fakes/monitoring_fakes.h"
#include "tools/monitoring_standin/monitoring_standin.h"

namespace qbx::StatusSource {
namespace {

using namespace std::chrono_literals;
using testing::FakeStatusAdapter;
using testing::TempDir;
using tools::MonitoringStandin;
namespace st = zumbra::qbx::agg_service::status;

constexpr auto kEventLimit = 10s;

class MonitoringStandinTest : public ::testing::Test {
 protected:
  void Make(MonitoringStandin::Options standinOptions = MonitoringStandin::Options()) {
    standin_ = std::make_unique<MonitoringStandin>(standinOptions);
    port_ = standin_->Start("127.0.0.1:0");
    ASSERT_GT(port_, 0);
    StatusSourceImpl::Options options;
    options.clock = clock_;
    options.endpoint = "tcp://127.0.0.1:" + std::to_string(port_);
    options.issueFile = dir_.Write("qbx_issue", "node-type: qbx-host\n");
    options.configFile = dir_.File("status_collection_configs.json");
    source_ = std::make_shared<StatusSourceImpl>(options);
    ASSERT_TRUE(source_->RegisterStatusCallback("TransportNodeStatusVertical",
                                                "zumbra.qbx.agg_service.TunnelsSummaryMsg", tn_.Getter(),
                                                FakeStatusAdapter::Comparer()));
  }
  void TearDown() override {
    if (source_) source_->Stop();
    if (standin_) standin_->Stop();
  }
  // Polls a condition on the source's loop until it holds or the limit passes.
  bool Eventually(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + kEventLimit;
    while (std::chrono::steady_clock::now() < end) {
      bool ok = false;
      source_->RunOnLoopForTest([&] { ok = pred(); });
      if (ok) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  bool Polling() {
    return Eventually([this] { return source_->PollerForTest().IsRunning(); });
  }
  bool ReportWith(const std::string& value) {
    return standin_->WaitFor(
        [&] {
          for (const auto& r : standin_->Reports()) {
            if (r.status().properties_size() > 0 && r.status().properties(0).value() == value) return true;
          }
          return false;
        },
        kEventLimit);
  }
  // Moves the source's time on (its reconnect and retry timers run on it) until `pred`
  // holds on the stand-in.
  bool AdvanceUntil(const std::function<bool()>& pred) {
    for (int i = 0; i < 100; ++i) {
      if (standin_->WaitFor(pred, 100ms)) return true;
      Advance(1s);
    }
    return false;
  }
  void Advance(std::chrono::nanoseconds d) {
    clock_->Advance(d);
    source_->RunOnLoopForTest([] {});
  }

  TempDir dir_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::unique_ptr<MonitoringStandin> standin_;
  int port_ = -1;
  std::shared_ptr<StatusSourceImpl> source_;
  FakeStatusAdapter tn_;
};

TEST_F(MonitoringStandinTest, RegistersAnswersTheFullSyncAndReportsChanges) {
  Make();
  source_->Start();
  ASSERT_TRUE(standin_->WaitFor([&] { return standin_->RegistrationCount() == 1; }, kEventLimit));
  ASSERT_TRUE(standin_->WaitFor([&] { return standin_->FullSyncResponses().size() == 1; }, kEventLimit));
  const auto response = standin_->FullSyncResponses()[0];
  EXPECT_TRUE(response.result());
  ASSERT_EQ(response.vertical_reports_size(), 1);
  EXPECT_EQ(response.vertical_reports(0).vertical(), st::VERTICAL_TRANSPORT_NODE_STATUS);
  EXPECT_EQ(tn_.FullSyncCalls(), 1);

  ASSERT_TRUE(Polling());
  tn_.Set("down");
  Advance(30s);
  EXPECT_TRUE(ReportWith("down"));
  Advance(120s);  // the heartbeat at 150 s lists the polled vertical
  ASSERT_TRUE(standin_->WaitFor([&] { return standin_->HeartbeatCount() == 1; }, kEventLimit));
  EXPECT_EQ(standin_->Heartbeats()[0], std::vector<int>{st::VERTICAL_TRANSPORT_NODE_STATUS});
}

TEST_F(MonitoringStandinTest, TheStreamReturnsAfterTheProviderRestartsAndNothingIsLost) {
  MonitoringStandin::Options options;
  options.fullSyncOnRegister = false;  // so that only the resend can deliver the change
  Make(options);
  source_->Start();
  ASSERT_TRUE(Polling());
  Advance(30s);
  ASSERT_TRUE(ReportWith("up"));

  standin_->Stop();
  ASSERT_TRUE(Eventually([this] { return !source_->LinkForTest().HasStream(); }));
  tn_.Set("down");
  Advance(30s);
  bool undelivered = false;
  source_->RunOnLoopForTest([&] {
    undelivered = source_->IsUndeliveredForTest(StatusKey(st::VERTICAL_TRANSPORT_NODE_STATUS,
                                                           st::STATUS_MSG_TUNNELS_SUMMARY));
  });
  EXPECT_TRUE(undelivered);

  ASSERT_EQ(standin_->Start("127.0.0.1:" + std::to_string(port_)), port_);
  ASSERT_TRUE(AdvanceUntil([&] { return standin_->RegistrationCount() == 2; }));
  EXPECT_TRUE(ReportWith("down")) << "the undelivered update is sent on the new stream";
}

TEST_F(MonitoringStandinTest, AStreamDroppedByTheProviderIsReopened) {
  Make();
  source_->Start();
  ASSERT_TRUE(standin_->WaitFor([&] { return standin_->RegistrationCount() == 1; }, kEventLimit));
  ASSERT_TRUE(standin_->DropStream());
  ASSERT_TRUE(Eventually([this] { return !source_->LinkForTest().HasStream(); }));
  Advance(5s);
  ASSERT_TRUE(standin_->WaitFor([&] { return standin_->RegistrationCount() == 2; }, kEventLimit));
  EXPECT_TRUE(Eventually([this] { return source_->LinkForTest().HasStream(); }));
}

TEST_F(MonitoringStandinTest, AProviderThatStopsReadingCannotMakeTheSourceQueueWithoutBound) {
  MonitoringStandin::Options options;
  options.fullSyncOnRegister = false;
  options.startPollOnRegister = false;
  Make(options);
  source_->Start();
  ASSERT_TRUE(standin_->WaitFor([&] { return standin_->RegistrationCount() == 1; }, kEventLimit));
  standin_->SetAnswering(false);
  ASSERT_TRUE(Eventually([this] { return source_->LinkForTest().HasStream(); }));
  // Large reports fill the transport's windows and then the bounded queue; the writes
  // beyond it are refused rather than buffered.
  zumbra::qbx::monitoring::MonitoringStatusSourceMsg big;
  big.set_msg_type(zumbra::qbx::monitoring::MonitoringStatusSourceMsg::STATUS_REPORT);
  auto* report = big.mutable_status_report_msg()->add_vertical_reports();
  report->mutable_status()->add_status(std::string(1024, 'x'));
  int refused = 0;
  int accepted = 0;
  source_->RunOnLoopForTest([&] {
    for (int i = 0; i < 20000 && refused == 0; ++i) {
      if (source_->LinkForTest().SendStatusReport(big)) {
        ++accepted;
      } else {
        ++refused;
      }
    }
  });
  EXPECT_EQ(refused, 1);
  EXPECT_LT(accepted, 20000);
  standin_->SetAnswering(true);
}

}  // namespace
}  // namespace qbx::StatusSource
