// The transport-node proxy-information client against the stand-in proxy over loopback
// gRPC: APH lists and their notifications, malformed and empty updates, the forwarding
// connection going down and up, stub-creation retries and the tear-down after the retry
// budget (driven by a manual clock), and the client's life cycle.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "channels/proxy/tn_proxy_client_common.h"
#include "platform/runtime/manual_clock.h"
#include "platform/runtime/manual_timer_factory.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using namespace std::chrono_literals;

constexpr char kAph1[] = "a0000000-0000-4000-8000-000000000001";
constexpr char kAph2[] = "a0000000-0000-4000-8000-000000000002";

struct Recorder {
  std::atomic<int> connects{0};
  std::atomic<int> updates{0};
  std::atomic<int> downs{0};
  std::mutex mutex;
  std::vector<rpc::CloseReason> reasons;

  void Register(TnProxyClientCommon& client, const std::string& name) {
    client.SetTnProxyConnectionUp(name, [this] { ++connects; });
    client.SetUpdateStubs(name, [this] { ++updates; });
    client.SetTnProxyConnectionDown(name, [this](rpc::CloseReason reason) {
      std::lock_guard<std::mutex> lock(mutex);
      reasons.push_back(reason);
      ++downs;
    });
  }
};

class TnProxyClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    infoPort_ = standin_.StartInfo("127.0.0.1:0");
    fwdPort_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(infoPort_, 0);
    ASSERT_GT(fwdPort_, 0);
  }
  void TearDown() override {
    if (client_) client_->Stop();
    client_.reset();
  }

  std::shared_ptr<TnProxyClientCommon> MakeClient(const TnProxyClientCommon::Options& options = {}) {
    client_ = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort_),
                                          "tcp://127.0.0.1:" + std::to_string(fwdPort_), options);
    return client_;
  }

  // A client with `rec` registered as "app", started.
  std::shared_ptr<TnProxyClientCommon> StartClient(Recorder& rec) {
    auto client = MakeClient();
    rec.Register(*client, "app");
    client->Start();
    return client;
  }

  test::LogCapture logs_;
  TnProxyStandin standin_;
  int infoPort_ = -1;
  int fwdPort_ = -1;
  std::shared_ptr<TnProxyClientCommon> client_;
};

TEST_F(TnProxyClientTest, LearnsAphListNodeAndVersionAndFollowsMastershipChanges) {
  standin_.SetProductVersion(4, 7);
  standin_.SetAphs({{kAph1, true}, {kAph2, false}});
  Recorder rec;
  auto client = StartClient(rec);

  ASSERT_TRUE(Eventually([&] { return rec.updates.load() >= 1 && rec.connects.load() == 1; }));
  EXPECT_TRUE(client->IsConnectedForForwarding());
  EXPECT_TRUE(client->IsStubCreationEnabled());
  EXPECT_EQ(client->GetAphUuidMasterMap(), (std::map<std::string, bool>{{kAph1, true}, {kAph2, false}}));
  EXPECT_EQ(client->getTnUuidStr(), TnProxyStandin::kDefaultTnUuid);
  EXPECT_EQ(client->GetProductVersion().major(), 4);
  EXPECT_EQ(client->GetProductVersion().minor(), 7);

  const int before = rec.updates.load();
  standin_.SetAphs({{kAph1, false}, {kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == before + 1; }));
  EXPECT_EQ(client->GetAphUuidMasterMap(), (std::map<std::string, bool>{{kAph1, false}, {kAph2, true}}));

  // Removing an APH rebuilds the map completely.
  standin_.SetAphs({{kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == before + 2; }));
  EXPECT_EQ(client->GetAphUuidMasterMap(), (std::map<std::string, bool>{{kAph2, true}}));
  EXPECT_EQ(rec.connects.load(), 1);
  EXPECT_EQ(standin_.SubscriptionCount(), 1);
}

TEST_F(TnProxyClientTest, MalformedAndEmptyUpdatesNotifyNobody) {
  standin_.SetAphs({{kAph1, true}});
  Recorder rec;
  auto client = StartClient(rec);
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == 1; }));

  // Second entry without its master flag: only the first survives, nobody is told.
  zumbra::qbx::messaging::ApplProxyInfoRspMsg bad;
  auto* first = bad.add_appl_proxy_info();
  first->mutable_id()->set_first_half(0x1111);
  first->mutable_id()->set_second_half(0x2222);
  first->set_master(false);
  auto* second = bad.add_appl_proxy_info();
  second->mutable_id()->set_first_half(0x3333);
  standin_.PushRaw(bad);
  ASSERT_TRUE(Eventually([&] { return logs_.Count("applProxyInfoMsg does not have master field") == 1; }));
  EXPECT_EQ(logs_.CountAll({"MPA00104", "does not have master field"}), 1u);
  EXPECT_EQ(client->GetAphUuidMasterMap(),
            (std::map<std::string, bool>{{"00000000-0000-1111-0000-000000002222", false}}));

  // An entry without an id: the same.
  zumbra::qbx::messaging::ApplProxyInfoRspMsg noId;
  noId.add_appl_proxy_info()->set_master(true);
  standin_.PushRaw(noId);
  ASSERT_TRUE(Eventually([&] { return logs_.Count("applProxyInfoMsg does not have id field") == 1; }));
  EXPECT_TRUE(client->GetAphUuidMasterMap().empty());

  // An empty list keeps the map and updates the node uuid and version.
  standin_.SetAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == 2; }));
  zumbra::qbx::messaging::ApplProxyInfoRspMsg empty;
  empty.mutable_tn_uuid()->set_first_half(0xabc);
  empty.mutable_tn_uuid()->set_second_half(0xdef);
  empty.mutable_product_version()->set_major(9);
  standin_.PushRaw(empty);
  ASSERT_TRUE(Eventually([&] { return logs_.Count("ApplProxyInfoObserver: Empty Response.") == 1; }));
  EXPECT_EQ(client->GetAphUuidMasterMap(), (std::map<std::string, bool>{{kAph1, true}}));
  EXPECT_EQ(client->getTnUuidStr(), "00000000-0000-0abc-0000-000000000def");
  EXPECT_EQ(client->GetProductVersion().major(), 9);
  EXPECT_FALSE(client->GetProductVersion().has_minor());
  EXPECT_EQ(rec.updates.load(), 2);
}

TEST_F(TnProxyClientTest, ForwardingUpBeforeAnyListOnlyConnectsThenListPostsUpdate) {
  Recorder rec;
  auto client = StartClient(rec);
  ASSERT_TRUE(Eventually([&] { return rec.connects.load() == 1 && standin_.ActiveSubscribers() == 1; }));
  EXPECT_EQ(rec.updates.load(), 0);
  EXPECT_FALSE(client->IsStubCreationEnabled());

  standin_.SetAphs({{kAph1, true}});
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == 1; }));
  EXPECT_EQ(logs_.Count("NotifyClients:  (UPDATE_STUB)"), 1u);
}

TEST_F(TnProxyClientTest, ForwardingDropReportsDownAndRecoveryConnectsAndUpdatesAgain) {
  standin_.SetAphs({{kAph1, true}});
  Recorder rec;
  auto client = StartClient(rec);
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == 1 && rec.connects.load() == 1; }));

  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return rec.downs.load() == 1; }));
  EXPECT_FALSE(client->IsConnectedForForwarding());
  // The APH list is still known while the forwarding connection is down: no notification.
  standin_.SetAphs({{kAph1, false}, {kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return client->GetAphUuidMasterMap().size() == 2; }));
  EXPECT_EQ(rec.updates.load(), 1);
  EXPECT_GE(logs_.Count("NotifyClients:  "), 1u);

  ASSERT_GT(standin_.StartForwarding("127.0.0.1:" + std::to_string(fwdPort_)), 0);
  ASSERT_TRUE(Eventually([&] { return rec.connects.load() == 2 && rec.updates.load() == 2; }));
  EXPECT_TRUE(client->IsConnectedForForwarding());
  EXPECT_GE(logs_.Count("NotifyClients: (CONNECT_TNPROXY) (UPDATE_STUB)"), 1u);
}

TEST_F(TnProxyClientTest, AnEndedSubscriptionIsRenewedAfterTheRetryDelayAndLaterListsStillUpdate) {
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  standin_.SetAphs({{kAph1, true}});
  Recorder rec;
  auto client = MakeClient(options);
  rec.Register(*client, "app");
  client->Start();
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() == 1; }));
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    standin_.EndSubscriptions();
    ASSERT_TRUE(Eventually([&] { return logs_.Count("TnProxyClientCommon received status") == static_cast<size_t>(round); }));
    // The connection stays up: nothing more happens until the retry delay has passed.
    clock->Advance(900ms);
    EXPECT_EQ(standin_.SubscriptionCount(), round);
    ASSERT_TRUE(Eventually([&] {
      clock->Advance(100ms);
      return standin_.SubscriptionCount() == round + 1 && standin_.ActiveSubscribers() == 1;
    }));
  }
  // The renewed subscription carries later lists to the clients.
  ASSERT_TRUE(Eventually([&] { return rec.updates.load() >= 3; }));
  standin_.SetAphs({{kAph1, false}, {kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return client->GetAphUuidMasterMap().size() == 2 && rec.updates.load() >= 4; }));
  EXPECT_TRUE(client->GetAphUuidMasterMap().at(kAph2));
  EXPECT_EQ(standin_.ActiveSubscribers(), 1);
}

TEST_F(TnProxyClientTest, ARetryPendingWhenTheConnectionComesBackMakesNoSecondSubscriber) {
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  options.stubRetryDelay = 5s;
  standin_.SetAphs({{kAph1, true}});
  standin_.RefuseInfoService(true);
  auto client = MakeClient(options);
  client->Start();
  // One failure: a retry is pending for 5 s.
  ASSERT_TRUE(Eventually([&] { return logs_.Count("Starting timer for retry.") == 1; }));
  // The connection drops and comes back before the retry is due.
  standin_.StopInfo();
  ASSERT_TRUE(Eventually([&] { return logs_.Count("Connection closed with TnProxy") >= 1; }));
  standin_.RefuseInfoService(false);
  ASSERT_GT(standin_.StartInfo("127.0.0.1:" + std::to_string(infoPort_)), 0);
  ASSERT_TRUE(Eventually([&] {
    clock->Advance(100ms);
    return standin_.SubscriptionCount() >= 1;
  }));
  // Time well past the old retry: still the one subscription of the connection-up.
  for (int i = 0; i < 10; ++i) clock->Advance(1s);
  // The stand-in counts a subscription when its call arrives; give a stray one the time to.
  ASSERT_FALSE(Eventually([&] { return standin_.SubscriptionCount() > 1; }, 300ms));
  EXPECT_EQ(standin_.SubscriptionCount(), 1);
  EXPECT_EQ(standin_.ActiveSubscribers(), 1);
  ASSERT_TRUE(Eventually([&] { return client->GetAphUuidMasterMap().size() == 1; }));
}

TEST_F(TnProxyClientTest, RemovedClientsAreNotNotifiedAndCallbacksMayReenter) {
  standin_.SetAphs({{kAph1, true}});
  auto client = MakeClient();
  Recorder gone;
  gone.Register(*client, "gone");
  client->RemoveClient("gone");
  client->RemoveClient("never-registered");
  // A connect callback that registers another client from inside the notification.
  std::atomic<int> reentered{0};
  client->SetTnProxyConnectionUp("reentrant", [&] {
    client->SetUpdateStubs("late", [&] { ++reentered; });
    (void)client->IsConnectedForForwarding();
  });
  client->Start();
  ASSERT_TRUE(Eventually([&] { return logs_.Count("Invoking CONNECT_TNPROXY") >= 1 && standin_.ActiveSubscribers() == 1; }));
  standin_.SetAphs({{kAph2, true}});
  ASSERT_TRUE(Eventually([&] { return reentered.load() >= 1; }));
  EXPECT_EQ(gone.connects.load() + gone.updates.load() + gone.downs.load(), 0);
  // The callbacks above use this test's locals: no notification may run once they are gone.
  client->Stop();
}

TEST_F(TnProxyClientTest, StubFailuresRetryThenTearDownAndReconnectOnInjectedTime) {
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  options.stubRetryBudget = 3;
  standin_.SetAphs({{kAph1, true}});
  standin_.RefuseInfoService(true);
  auto client = MakeClient(options);
  client->Start();

  auto failures = [&] { return logs_.Count("TnProxyClientCommon::StubCreateDone_: Stub creation failed"); };
  ASSERT_TRUE(Eventually([&] { return failures() == 1; }));
  // Each retry waits on the provider's timer: time is moved on until the budget of three
  // consecutive failures is spent and the connection is torn down.
  ASSERT_TRUE(Eventually([&] {
    clock->Advance(100ms);
    return logs_.Count("TeardownConnection status:0 ") == 1;
  }));
  EXPECT_GE(failures(), 3u);
  EXPECT_GE(logs_.Count("Starting timer for retry."), 2u);
  EXPECT_EQ(standin_.SubscriptionCount(), 0);

  standin_.RefuseInfoService(false);
  // The reconnect waits on the provider's timer, not on a sleeping thread.
  ASSERT_TRUE(Eventually([&] {
    clock->Advance(1s);
    return logs_.Count("Requesting connection for appl-proxy-info-service") == 2;
  }));
  // The new connection may need the keeper's own back-off; keep time moving until it subscribes.
  ASSERT_TRUE(Eventually([&] {
    clock->Advance(100ms);
    return standin_.SubscriptionCount() == 1;
  }));
  ASSERT_TRUE(Eventually([&] { return client->GetAphUuidMasterMap().size() == 1; }));
}

// The retry budget counts the failures since the proxy-information connection last came up:
// with a budget of three, two failures, a reconnect and two more failures tear nothing down.
TEST_F(TnProxyClientTest, ConnectionComingUpRestoresTheStubRetryBudget) {
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  options.stubRetryBudget = 3;
  // Far beyond the time moved on while the connection comes back: a retry fires only when
  // the test moves the clock this far.
  options.stubRetryDelay = 1h;
  standin_.SetAphs({{kAph1, true}});
  standin_.RefuseInfoService(true);
  auto client = MakeClient(options);
  client->Start();
  auto failures = [&] { return logs_.Count("TnProxyClientCommon::StubCreateDone_: Stub creation failed"); };
  auto retries = [&] { return logs_.Count("Starting timer for retry."); };
  auto tearDowns = [&] { return logs_.Count("TeardownConnection status:"); };
  ASSERT_TRUE(Eventually([&] { return retries() == 1; }));
  clock->Advance(1h);
  ASSERT_TRUE(Eventually([&] { return retries() == 2; }));
  EXPECT_EQ(failures(), 2u);  // one attempt of the budget left on this connection

  standin_.StopInfo();
  ASSERT_TRUE(Eventually([&] { return logs_.Count("Connection closed with TnProxy") >= 1; }));
  ASSERT_GT(standin_.StartInfo("127.0.0.1:" + std::to_string(infoPort_)), 0);
  // The keeper's reconnect back-off runs on the clock; the new connection's first attempt
  // fails too. Each failure ends in either a retry or a tear-down record.
  ASSERT_TRUE(Eventually([&] {
    clock->Advance(100ms);
    return retries() + tearDowns() == 3;
  }));
  clock->Advance(1h);
  ASSERT_TRUE(Eventually([&] { return retries() + tearDowns() == 4; }));
  EXPECT_EQ(failures(), 4u);
  EXPECT_EQ(tearDowns(), 0u);
  EXPECT_EQ(retries(), 4u);
}

// While the proxy stays away the kept connections try again after 1, 2 and 4 s and then
// every 5 s: after a long outage the daemon is back within 5 s of the proxy. Each attempt
// here fails at once (no route to the endpoint), and the time the keeper asks for before the
// next one is read off the provider's timer table.
TEST_F(TnProxyClientTest, KeptConnectionBacksOffOneTwoFourSecondsThenHoldsAtFive) {
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  client_ = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort_), "qbx://tnproxy",
                                        options);
  auto* timers = dynamic_cast<ManualTimerFactory*>(&client_->GetProvider()->timers());
  ASSERT_NE(timers, nullptr);
  client_->Start();
  std::vector<std::chrono::milliseconds> waits;
  for (int attempt = 0; attempt < 6; ++attempt) {
    ASSERT_TRUE(Eventually([&] { return timers->PendingForTest() == 1; }));
    const auto due = timers->NextDue();
    ASSERT_TRUE(due.has_value());
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due->first - clock->Now());
    waits.push_back(wait);
    clock->Advance(wait);
  }
  EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 5s, 5s, 5s}));
}

TEST_F(TnProxyClientTest, StopAfterFailureSchedulesNoRetryAndLifecycleIsIdempotent) {
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  standin_.RefuseInfoService(true);
  auto client = MakeClient(options);
  client->Stop();
  EXPECT_EQ(logs_.Count("TnProxyClientCommon Stop, Already stopped"), 1u);
  client->Start();
  client->Start();
  EXPECT_EQ(logs_.Count("TnProxyClientCommon Start, Already started"), 1u);
  ASSERT_TRUE(Eventually([&] { return logs_.Count("Stub creation failed") == 1; }));
  client->Stop();
  client->Stop();
  EXPECT_EQ(logs_.Count("TnProxyClientCommon Stop, Already stopped"), 2u);
  clock->Advance(10s);
  EXPECT_EQ(logs_.Count("TnProxyClientCommon GetStub : Stub creation scheduled"), 1u);
}

TEST_F(TnProxyClientTest, DestroyedClientIgnoresLateEvents) {
  standin_.SetAphs({{kAph1, true}});
  Recorder rec;
  {
    auto client = StartClient(rec);
    ASSERT_TRUE(Eventually([&] { return rec.updates.load() == 1; }));
    client_.reset();
    client.reset();  // destroyed without Stop: the providers end with it
  }
  standin_.SetAphs({{kAph2, true}});
  standin_.StopForwarding();
  EXPECT_EQ(rec.updates.load(), 1);
}

TEST(TnProxyClientSingletonTest, InitKeepsTheFirstInstance) {
  EXPECT_EQ(TnProxyClientCommon::getInstance(), nullptr);
  TnProxyClientCommon::Init("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:2");
  auto first = TnProxyClientCommon::getInstance();
  ASSERT_NE(first, nullptr);
  TnProxyClientCommon::Init("Other", "tcp://127.0.0.1:3", "tcp://127.0.0.1:4");
  EXPECT_EQ(TnProxyClientCommon::getInstance(), first);
  EXPECT_NE(first->GetProvider(), nullptr);
  EXPECT_FALSE(first->IsConnectedForForwarding());
  EXPECT_TRUE(first->getTnUuidStr().empty());
}

}  // namespace
}  // namespace qbx
