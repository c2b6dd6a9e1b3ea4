// The manager's stop on the management-plane road: two verticals each hold a pull open when
// the stop begins, and each answers only once its own stop has begun. Both answers must
// reach the management plane before the channel's proxy client stops: the channel carries
// every client's answers, so it stops once, after the last client.
//
// A program of its own: the host service, the MPA client registry and the proxy client are
// process-wide (see mp_road_test.cc).
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "daemon/agg_service_mgr.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tests/grpc_callback_queue_holder.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using namespace std::chrono_literals;
namespace l2 = zumbra::qbx::agg_service::l2;

constexpr char kAph[] = "a0000000-0000-4000-8000-000000000001";
constexpr char kMpMacTable[] = "com.zumbra.qbx.management.aggservice.l2.MacTableMsg";
const std::vector<std::string> kApps = {"AggSvc-Routing", "DFWRuleStats"};  // stopped in this order

// A vertical whose pull is answered only once the manager has begun to stop its client.
struct HeldVertical {
  std::shared_ptr<test::TestVertical> vertical;
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<bool> released{false};
  std::atomic<bool> entered{false};  // the pull reached the vertical (not only the call map)
};

// The road's channel: the proxy client made for the test instead of the node's.
class RoadChannel : public AggServiceMgrChannel {
 public:
  explicit RoadChannel(std::shared_ptr<TnProxyClientCommon> tnProxy) : tnProxy_(std::move(tnProxy)) {}
  void StartMpaClientEventLoop(const std::string&, const std::string&, const std::string&) override {}
  void StopMpaClientEventLoop() override {
    ++stops;
    if (beforeStop) beforeStop();
    tnProxy_->Stop();
  }
  void StartTnProxyClient() override { tnProxy_->Start(); }
  AsioQbxProvider* TnProxyProvider() override { return tnProxy_->GetProvider(); }
  int NodePersona() override { return 3; }
  uint32_t SnProxySmartNicCount() override { return 0; }
  void StartSnProxyClient() override {}

  std::function<void()> beforeStop;
  std::atomic<int> stops{0};

 private:
  std::shared_ptr<TnProxyClientCommon> tnProxy_;
};

TEST(StopRoadTest, OpenCallsOfEveryVerticalAreAnsweredBeforeTheProxyClientStops) {
  TnProxyStandin standin;
  ASSERT_GT(standin.StartInfo("127.0.0.1:0"), 0);
  const int fwdPort = standin.StartForwarding("127.0.0.1:0");
  ASSERT_GT(fwdPort, 0);
  standin.SetAphs({{kAph, true}});

  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  options.stubRetryDelay = 100ms;
  options.reconnectDelay = 200ms;
  auto tnProxy = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(standin.InfoPort()),
                                             "tcp://127.0.0.1:" + std::to_string(fwdPort), options);
  MpaClient::ResetRegistryForTest();
  AggSvcHostService::ResetForTest();
  MpaClient::SetAggAppClientFactory([tnProxy](const MpaClient::CreateArgs& args) -> std::shared_ptr<MpaClient> {
    return std::make_shared<MpaClientPrivate<AggSvcMpStub>>(args, tnProxy);
  });

  std::map<std::string, std::unique_ptr<HeldVertical>> held;
  std::vector<std::shared_ptr<Vertical>> verticals;
  for (const auto& app : kApps) {
    auto h = std::make_unique<HeldVertical>();
    h->vertical = std::make_shared<test::TestVertical>(app, false);
    HeldVertical* raw = h.get();
    h->vertical->registrar = [raw](const std::shared_ptr<AggServiceClient>& client) {
      client->RegisterPullHandler<l2::MacTableMsg>(
          [raw](const std::vector<std::shared_ptr<PullTarget>>& targets,
                std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
            raw->entered = true;
            raw->gate.wait_for(30s);  // a hang guard; released when the client's stop begins
            for (const auto& t : targets) {
              out.push_back(std::make_shared<l2::MacTableMsg>());
              out.back()->set_target_id(t->GetTargetId());
            }
          });
    };
    verticals.push_back(h->vertical);
    held[app] = std::move(h);
  }
  // Each vertical's gate opens when the manager logs the start of that client's stop.
  Logger::SetSinkForTest([&held](int, const std::string& line) {
    for (auto& [app, h] : held) {
      if (line.find("Stopping AggSvc client: " + app) != std::string::npos && !h->released.exchange(true)) {
        h->release.set_value();
      }
    }
  });

  auto channel = std::make_shared<RoadChannel>(tnProxy);
  AggServiceMgr::Deps deps;
  deps.channel = channel;
  deps.makeClient = [](const std::shared_ptr<Vertical>& vertical, bool, const AggServiceMgr::StatusSourcePtr& ss,
                       const AggServiceMgr::ShaWrapperPtr& sha, RemoteCollector*) {
    return std::make_shared<AggServiceClient>(
        vertical, ss, sha, AggServiceClient::Deps{std::make_shared<AggSvcMpaClientRegistrar>(), [] { return 0; }});
  };
  deps.createWorkGroup = [](AsioQbxProvider&) {};
  deps.takeOverSignals = [](std::function<void(int)>) {};
  deps.makeHealthAlarmReporter = [](const AggServiceMgr::StatusSourcePtr&) { return std::make_shared<int>(0); };
  auto mgr = std::make_unique<AggServiceMgr>(verticals, std::make_shared<test::FakeStatusSource>(),
                                             std::make_shared<test::FakeShaClientWrapper>(), deps);
  auto provider = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "reg", clock);
  provider->RunAsync(1);
  ASSERT_EQ(mgr->StartAllAggClients(provider, provider), 0);

  // Both verticals complete app-init with the master.
  auto acked = [](const std::string& app) {
    auto mpa = MpaClient::GetClient(app);
    return mpa && mpa->IsRegistrationAcked();
  };
  ASSERT_TRUE(Eventually([&] {
    if (acked(kApps[0]) && acked(kApps[1])) return true;
    clock->Advance(250ms);
    return false;
  }));

  // One pull held open in each vertical.
  std::map<std::string, std::future<TnProxyStandin::PullAnswer>> pulls;
  for (const auto& app : kApps) {
    TnProxyStandin::Pull pull;
    pull.kind = TnProxyStandin::PullKind::kClientData;
    pull.targetType = kMpMacTable;
    pull.targetIds = {"held-" + app};
    pulls[app] = std::async(std::launch::async, [&standin, app, pull] { return standin.SendPull(kAph, app, pull, 60s); });
  }
  ASSERT_TRUE(Eventually([&] {
    for (const auto& app : kApps) {
      auto layer = AggSvcHostService::GetInstance()->GetAppInstance(app);
      if (!layer || layer->OpenCallCount() != 1) return false;
    }
    return true;
  }));
  // A request still on its client's receive queue when the stop begins is refused, not
  // answered: wait until both verticals hold theirs.
  ASSERT_TRUE(Eventually([&] {
    for (const auto& app : kApps) {
      if (!held[app]->entered) return false;
    }
    return true;
  }));

  // When the proxy client is about to stop, both answers have reached the caller.
  std::map<std::string, bool> answeredBeforeProxyStop;
  channel->beforeStop = [&] {
    if (!answeredBeforeProxyStop.empty()) return;  // the first stop is the one that counts
    for (auto& [app, pull] : pulls) {
      answeredBeforeProxyStop[app] = pull.wait_for(10s) == std::future_status::ready;  // delivery over loopback
    }
  };
  mgr->StopAllAggClients();
  EXPECT_EQ(channel->stops.load(), 1);
  for (const auto& app : kApps) {
    EXPECT_TRUE(answeredBeforeProxyStop[app]) << app;
    ASSERT_EQ(pulls[app].wait_for(30s), std::future_status::ready) << app;
    const auto answer = pulls[app].get();
    EXPECT_TRUE(answer.ok) << app << ": " << answer.error;
    ASSERT_TRUE(answer.mp.has_l2_mac_table_msg()) << app << ": " << answer.mp.DebugString();
    EXPECT_EQ(answer.mp.l2_mac_table_msg().target_id(), "held-" + app);
    EXPECT_EQ(answer.mp.app_name(), app);
  }

  Logger::SetSinkForTest(nullptr);
  for (const auto& app : kApps) MpaClient::UnRegister(app);
  provider->StopAndWait(true);
  MpaClient::SetAggAppClientFactory(nullptr);
  MpaClient::ResetRegistryForTest();
  AggSvcHostService::ResetForTest();
}

}  // namespace
}  // namespace qbx
