#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "channels/status/status_config_monitor.h"
#include "channels/status/status_full_sync_fsm.h"
#include "channels/status/status_poller.h"
#include "platform/runtime/manual_clock.h"
#include "tests/base/startup_file_support.h"
#include "tests/channels/fakes/monitoring_fakes.h"

namespace qbx::StatusSource {
namespace {

using namespace std::chrono_literals;
using testing::FakeStatusAdapter;
using testing::LogCapture;
using testing::LoopFlush;
using testing::TempDir;
namespace st = zumbra::qbx::agg_service::status;

class CountingObserver : public StatusObserver {
 public:
  explicit CountingObserver(const Clock& clock) : clock_(clock) {}
  void OnStatusUpdate(const StatusKey& key, const OptionalStatusUpdate& update) override {
    updates.emplace_back(key, update.has_value());
  }
  bool DoFullSync() override {
    ++full_syncs;
    return full_sync_result;
  }
  std::optional<TimePoint> GetLastFullSyncTime() override { return last; }
  void SetLastFullSyncTime() override { last = clock_.Now(); }

  std::vector<std::pair<StatusKey, bool>> updates;
  int full_syncs = 0;
  bool full_sync_result = true;
  std::optional<TimePoint> last;

 private:
  const Clock& clock_;
};

class StatusLoopTest : public ::testing::Test {
 protected:
  StatusLoopTest() : provider_(AsioQbxProvider::Options(), "", clock_), observer_(*clock_) { provider_.RunAsync(1); }
  ~StatusLoopTest() override { provider_.StopAndWait(true); }
  // Runs `fn` on the loop and waits for it.
  void OnLoop(const std::function<void()>& fn) {
    provider_.dispatcher().Post(fn);
    LoopFlush(provider_);
  }
  void Advance(std::chrono::nanoseconds d) {
    clock_->Advance(d);
    LoopFlush(provider_);
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  AsioQbxProvider provider_;
  CountingObserver observer_;
};

const StatusKey kTnKey(st::VERTICAL_TRANSPORT_NODE_STATUS, st::STATUS_MSG_TUNNELS_SUMMARY);
const StatusKey kVpnKey(st::VERTICAL_VPN, st::STATUS_MSG_L2VPN_SESSION_STATUS);
const StatusKey kHostKey(st::VERTICAL_HOST_NODE_STATUS, st::STATUS_MSG_NODE_STATUS_PROPERTIES);
const StatusKey kFabricKey(st::VERTICAL_FABRIC, st::STATUS_MSG_SOFTWARE_STATUS);

class StatusPollerTest : public StatusLoopTest {
 protected:
  ~StatusPollerTest() override {
    OnLoop([this] { poller_.reset(); });
  }
  void SetUp() override { poller_ = std::make_unique<StatusPoller>(provider_, observer_, DefaultPollingIntervals()); }
  std::unique_ptr<StatusPoller> poller_;
};

TEST_F(StatusPollerTest, DefaultIntervalsPerVertical) {
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_TRANSPORT_NODE_STATUS), 30u);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 30u);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_VPN), 120u);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_FABRIC), 60u);
  FakeStatusAdapter tn, vpn;
  ASSERT_TRUE(poller_->RegisterStatusCallback(kTnKey, tn.Getter()));
  ASSERT_TRUE(poller_->RegisterStatusCallback(kVpnKey, vpn.Getter()));
  EXPECT_FALSE(poller_->RegisterStatusCallback(kVpnKey, vpn.Getter()));
  OnLoop([this] { poller_->Start(); });
  Advance(240s);
  EXPECT_EQ(tn.Calls(), 8);
  EXPECT_EQ(vpn.Calls(), 2);
  EXPECT_EQ(poller_->LastPollTimes().size(), 2u);
  OnLoop([this] { poller_->Stop(); });
  Advance(240s);
  EXPECT_EQ(tn.Calls(), 8);
}

TEST_F(StatusPollerTest, UnchangedIntervalRestartsNothingAndStoppedPollerTakesNewIntervalsAtStart) {
  FakeStatusAdapter tn;
  ASSERT_TRUE(poller_->RegisterStatusCallback(kTnKey, tn.Getter()));
  OnLoop([this] { poller_->Start(); });
  Advance(20s);
  LogCapture log(loglevel::kInfo);
  OnLoop([this] { poller_->UpdatePollingConfig(st::VERTICAL_TRANSPORT_NODE_STATUS, 30, false); });
  EXPECT_TRUE(log.Has("Polling configuration is changed for vertical VERTICAL_TRANSPORT_NODE_STATUS"));
  Advance(10s);
  EXPECT_EQ(tn.Calls(), 1) << "the timer kept its phase";

  OnLoop([this] {
    poller_->Stop();
    poller_->UpdatePollingConfig(st::VERTICAL_TRANSPORT_NODE_STATUS, 90, false);
  });
  EXPECT_FALSE(poller_->HasPollTimer(kTnKey));
  OnLoop([this] { poller_->Start(); });
  Advance(89s);
  EXPECT_EQ(tn.Calls(), 1);
  Advance(1s);
  EXPECT_EQ(tn.Calls(), 2);

  OnLoop([this] { poller_->UpdatePollingConfig(static_cast<AggServiceStatusVerticalType>(0), 10, false); });
  EXPECT_TRUE(log.Has("PollingConfig not available for vertical:  "));
}

TEST_F(StatusPollerTest, DisabledCollectionLeavesRestartedPairsWithoutTimer) {
  FakeStatusAdapter tn;
  ASSERT_TRUE(poller_->RegisterStatusCallback(kTnKey, tn.Getter()));
  OnLoop([this] {
    poller_->Start();
    poller_->SetCollectionEnabled(false);
    poller_->UpdatePollingConfig(st::VERTICAL_TRANSPORT_NODE_STATUS, 40, false);
  });
  EXPECT_FALSE(poller_->HasPollTimer(kTnKey));
  Advance(120s);
  EXPECT_EQ(tn.Calls(), 0);
}

TEST_F(StatusPollerTest, FullSyncAndPollAllSkipPairsWithoutValueOrThatThrow) {
  FakeStatusAdapter tn, host, fabric;
  ASSERT_TRUE(poller_->RegisterStatusCallback(kTnKey, tn.Getter()));
  ASSERT_TRUE(poller_->RegisterStatusCallback(kHostKey, host.Getter()));
  ASSERT_TRUE(poller_->RegisterStatusCallback(kFabricKey, fabric.Getter()));
  host.SetEmpty();
  fabric.SetThrow(true);
  zumbra::qbx::monitoring::MonitoringStatusFullSyncResponseMsg response;
  bool ok = false;
  OnLoop([&] { ok = poller_->FullSync(response); });
  EXPECT_TRUE(ok);
  ASSERT_EQ(response.vertical_reports_size(), 1);
  EXPECT_EQ(response.vertical_reports(0).msg_type(), st::STATUS_MSG_TUNNELS_SUMMARY);
  EXPECT_TRUE(poller_->LastPollTimes().empty()) << "a full sync into a response is no poll";

  OnLoop([&] { ok = poller_->PollAll(); });
  EXPECT_TRUE(ok);
  ASSERT_EQ(observer_.updates.size(), 1u);
  EXPECT_EQ(observer_.updates[0].first, kTnKey);
  EXPECT_EQ(poller_->LastPollTimes().size(), 1u);
  EXPECT_TRUE(observer_.last.has_value());
  EXPECT_EQ(tn.FullSyncCalls(), 2);
}

class StatusFullSyncFsmTest : public StatusLoopTest {
 protected:
  void SetUp() override { fsm_ = std::make_unique<StatusFullSyncFSM>(provider_, observer_, 60, 60); }
  ~StatusFullSyncFsmTest() override {
    OnLoop([this] { fsm_.reset(); });
  }
  std::unique_ptr<StatusFullSyncFSM> fsm_;
};

TEST_F(StatusFullSyncFsmTest, RequestsWithinTheGapRunOnce) {
  fsm_->RequestFullSync();
  LoopFlush(provider_);
  EXPECT_EQ(observer_.full_syncs, 1) << "the first request runs whatever the last time";
  EXPECT_EQ(fsm_->State(), StatusFullSyncFSM::FULLSYNC_DONE);
  observer_.last = clock_->Now();
  Advance(59s);
  fsm_->RequestFullSync();
  LoopFlush(provider_);
  EXPECT_EQ(observer_.full_syncs, 1);
  Advance(1s);
  fsm_->RequestFullSync();
  LoopFlush(provider_);
  EXPECT_EQ(observer_.full_syncs, 2);
}

TEST_F(StatusFullSyncFsmTest, NeededIsRetriedEveryPeriodUntilItSucceeds) {
  Advance(120s);
  EXPECT_EQ(observer_.full_syncs, 0) << "nothing to do while none is needed";
  observer_.full_sync_result = false;
  fsm_->SetFullSyncNeeded();
  LoopFlush(provider_);
  EXPECT_EQ(fsm_->State(), StatusFullSyncFSM::FULLSYNC_NEEDED);
  Advance(60s);
  Advance(60s);
  EXPECT_EQ(observer_.full_syncs, 2);
  EXPECT_EQ(fsm_->State(), StatusFullSyncFSM::FULLSYNC_NEEDED);
  observer_.full_sync_result = true;
  Advance(60s);
  EXPECT_EQ(observer_.full_syncs, 3);
  EXPECT_EQ(fsm_->State(), StatusFullSyncFSM::FULLSYNC_DONE);
  Advance(180s);
  EXPECT_EQ(observer_.full_syncs, 3);
}

TEST_F(StatusFullSyncFsmTest, AFailedRequestLeavesTheMachineNeeded) {
  LogCapture log(loglevel::kWarning);
  observer_.full_sync_result = false;
  fsm_->RequestFullSync();
  LoopFlush(provider_);
  EXPECT_TRUE(log.Has("fullsync failed, reset to FULLSYNC_NEEDED"));
  EXPECT_EQ(fsm_->State(), StatusFullSyncFSM::FULLSYNC_NEEDED);
}

class StatusConfigMonitorTest : public StatusPollerTest {
 protected:
  void MakeMonitor(const std::string& nodeType) {
    issue_ = dir_.Write("qbx_issue", "product: x\nnode-type: " + nodeType + "\n");
    path_ = dir_.File("status_collection_configs.json");
    monitor_ = std::make_unique<StatusConfigMonitor>(provider_, *poller_, path_, issue_);
  }
  ~StatusConfigMonitorTest() override {
    OnLoop([this] { monitor_.reset(); });
  }
  // Writes the file with a last write time that differs from any earlier one.
  void WriteConfig(const std::string& text) {
    dir_.Write("status_collection_configs.json", text);
    std::filesystem::last_write_time(path_, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(++bump_));
  }
  static std::string Config(const std::string& name, const std::string& frequency,
                            const std::string& type = "cvn-mp-mpa") {
    return "{\"" + name + "\": {\"clients\": [{\"client_type\": \"other\", \"collection_frequency\": 5}, " +
           "{\"client_type\": \"" + type + "\", \"collection_frequency\": " + frequency + "}]}}";
  }

  TempDir dir_;
  std::string issue_, path_;
  std::unique_ptr<StatusConfigMonitor> monitor_;
  int bump_ = 0;
};

TEST_F(StatusConfigMonitorTest, ManagerNodeFollowsTheFileAndReArmsRunningTimers) {
  FakeStatusAdapter host;
  ASSERT_TRUE(poller_->RegisterStatusCallback(kHostKey, host.Getter()));
  MakeMonitor("qbx-manager");
  EXPECT_TRUE(monitor_->IsActive());
  OnLoop([this] { poller_->Start(); });
  WriteConfig(Config("HostNodeStatusVertical", "45"));
  Advance(10s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 45u);
  const int before = host.Calls();
  Advance(44s);
  EXPECT_EQ(host.Calls(), before);
  Advance(1s);
  EXPECT_EQ(host.Calls(), before + 1);

  WriteConfig(Config("FabricStats", "90"));
  Advance(10s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_FABRIC), 90u);
  WriteConfig(Config("AggSvc-Vpn", "15"));
  Advance(10s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_VPN), 120u) << "only two verticals come from the file";
}

TEST_F(StatusConfigMonitorTest, BadFilesAreReportedOncePerChangeAndZeroIsRefused) {
  MakeMonitor("global-manager");
  LogCapture log(loglevel::kWarning);
  Advance(30s);  // no file: nothing said
  EXPECT_FALSE(log.Has("Error"));
  WriteConfig("{ not json");
  Advance(30s);
  EXPECT_EQ(log.Count("Error processing status collection config from file: " + path_), 1);
  WriteConfig(Config("HostNodeStatusVertical", "\"often\""));
  Advance(10s);
  EXPECT_EQ(log.Count("Error processing status collection config from file: " + path_), 2);
  WriteConfig("{\"HostNodeStatusVertical\": {}}");
  Advance(10s);
  EXPECT_EQ(log.Count("Error processing status collection config from file: " + path_), 3) << "no clients key";
  WriteConfig(Config("HostNodeStatusVertical", "0"));
  Advance(10s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 30u);
  EXPECT_TRUE(log.Has("Ignoring invalid poll interval 0"));
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 30u);
}

// A frequency over a day (a file written in milliseconds by mistake) is refused and the
// vertical goes on polling at its interval; a day itself is taken.
TEST_F(StatusConfigMonitorTest, AFrequencyOverADayIsRefusedAndADayIsTaken) {
  FakeStatusAdapter host;
  ASSERT_TRUE(poller_->RegisterStatusCallback(kHostKey, host.Getter()));
  MakeMonitor("qbx-manager");
  LogCapture log(loglevel::kWarning);
  OnLoop([this] { poller_->Start(); });
  WriteConfig(Config("HostNodeStatusVertical", "86401"));
  Advance(10s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 30u);
  EXPECT_TRUE(log.Has("Ignoring invalid poll interval 86401 for"));
  const int before = host.Calls();
  Advance(20s);
  EXPECT_EQ(host.Calls(), before + 1) << "the 30 s timer runs on";

  WriteConfig(Config("HostNodeStatusVertical", "86400"));
  Advance(10s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 86400u);
  EXPECT_FALSE(log.Has("Ignoring invalid poll interval 86400 "));
  const int taken = host.Calls();
  Advance(std::chrono::hours(24) - 1s);  // re-armed by the check that took it
  EXPECT_EQ(host.Calls(), taken);
  Advance(1s);
  EXPECT_EQ(host.Calls(), taken + 1);
}

TEST_F(StatusConfigMonitorTest, OtherNodesNeverReadTheFile) {
  MakeMonitor("qbx-host");
  EXPECT_FALSE(monitor_->IsActive());
  WriteConfig(Config("HostNodeStatusVertical", "45"));
  Advance(60s);
  EXPECT_EQ(poller_->PollingInterval(st::VERTICAL_HOST_NODE_STATUS), 30u);
  EXPECT_FALSE(StatusConfigMonitor::IsMpNode(dir_.File("missing")));
  EXPECT_FALSE(StatusConfigMonitor::IsMpNode(dir_.Write("edge", "node-type: qbx-edge\n")));
  EXPECT_TRUE(StatusConfigMonitor::IsMpNode(dir_.Write("gm", "node-type: global-manager\n")));
}

// An issue file that is a FIFO is refused at once, not waited on: the node is then no manager.
TEST_F(StatusConfigMonitorTest, IssueFileThatIsAFifoIsNotWaitedOn) {
  const std::string fifo = dir_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  bool mp = true;
  ASSERT_TRUE(startup::ReturnsWithoutAWriter(fifo, [&] { mp = StatusConfigMonitor::IsMpNode(fifo); }));
  EXPECT_FALSE(mp);
}

}  // namespace
}  // namespace qbx::StatusSource
