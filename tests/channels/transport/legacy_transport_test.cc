// The legacy message-queue transport: the library's name tables, the payload dump, and the
// MPA client's connect, close and reconnect logic over the in-process channel stand-in.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "channels/mpa/mpa_client.h"
#include "channels/transport/bson_headers.h"
#include "channels/transport/rmq_client.h"
#include "core/metric_counters.h"
#include "platform/metrics/metric_registry.h"
#include "platform/mq/rmq_client.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using testing::FakeTimerFactory;
using testing::LogCapture;

TEST(RmqTablesTest, ErrorNamesAndLegacyApps) {
  EXPECT_STREQ(RmqErrorName(-2027), "BAD_EPHM_PORT");
  EXPECT_STREQ(RmqErrorName(-2000), "ENOMEM");
  EXPECT_STREQ(RmqErrorName(-2012), "INVALID_BSON");
  EXPECT_STREQ(RmqErrorName(-2100), "GENERIC");
  EXPECT_STREQ(RmqErrorName(-2101), "EXCEPTION");
  EXPECT_STREQ(RmqErrorName(-1999), "UNKNOWN");
  EXPECT_STREQ(RmqErrorName(0), "UNKNOWN");
  EXPECT_STREQ(RmqErrorName(-2028), "UNKNOWN");
  EXPECT_FALSE(IsLegacyAckApp(""));
  EXPECT_FALSE(IsLegacyAckApp("IDPSRuleStats"));
  EXPECT_TRUE(IsLegacyAckApp("DFWRuleStats"));
  EXPECT_TRUE(IsLegacyAckApp("ZKWT"));
  EXPECT_TRUE(IsLegacyAckApp("L3UD"));
}

TEST(RmqTablesTest, PayloadDumpLinesHaveFixedColumns) {
  LogCapture log;
  Logger::logLevel = loglevel::kTrace;
  std::string data = "ABCDEFGHIJKLMNOP\x01xyz";  // 20 bytes
  DumpPayloadHex("Payload", reinterpret_cast<const uint8_t*>(data.data()), data.size());
  EXPECT_TRUE(log.Contains("Payload: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP"));
  // The second line: 4 bytes, then blanks in both columns.
  EXPECT_TRUE(log.Contains("Payload: 01 78 79 7a " + std::string(36, ' ') + " .xyz" + std::string(12, ' ')));
}

class LegacyClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mq::rmqStub_ResetForTest();
    MpaClient::ResetRegistryForTest();
    MpaClient::SetTimerFactoryForTest(&timers_);
  }
  void TearDown() override {
    MpaClient::ResetRegistryForTest();
    MpaClient::SetTimerFactoryForTest(nullptr);
    mq::rmqStub_ResetForTest();
  }
  std::shared_ptr<MpaClient> RegisterLegacy(const std::string& name, uint32_t port = 6666) {
    MpaClient::Register(nullptr, [this](rmqClientMessage* m) { received_.push_back(m->messageType); }, name, "qbx", 1,
                        port, 30000000, 5000000, nullptr);
    return MpaClient::GetClient(name);
  }

  FakeTimerFactory timers_;
  std::vector<uint32_t> received_;
};

TEST_F(LegacyClientTest, PortSelectsTheTransport) {
  auto legacy = RegisterLegacy("LegacyApp");
  EXPECT_FALSE(legacy->IsQbxRpcEnabled());
  auto wrapped = RegisterLegacy("WrappedApp", 65536 + 6666);
  EXPECT_FALSE(wrapped->IsQbxRpcEnabled());
  auto rpc = RegisterLegacy("RpcApp", 9002);
  EXPECT_TRUE(rpc->IsQbxRpcEnabled());
  rpc->Open(nullptr);
  rpc->ConnectToMpa();
  EXPECT_EQ(mq::rmqStub_ConnectCallsForTest(), 0);
  EXPECT_EQ(rpc->GetCookieId(), -1);
  legacy->Open(nullptr);
  EXPECT_EQ(mq::rmqStub_ConnectCallsForTest(), 1);
  EXPECT_GT(legacy->GetCookieId(), 0);
  EXPECT_EQ(legacy->GetConnState(), MpaClient::STATE_CONNECTED);
  EXPECT_EQ(legacy->EstablishCount(), 1u);
}

TEST_F(LegacyClientTest, AcknowledgementEnablesSendingAndIsDelivered) {
  auto client = RegisterLegacy("LegacyApp");
  client->Open(nullptr);
  EXPECT_FALSE(client->IsRegistrationAcked());
  EXPECT_EQ(mq::rmqStub_DeliverPendingForTest(), 1u);
  EXPECT_TRUE(client->IsRegistrationAcked());
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0], static_cast<uint32_t>(RMQ_CLIENT_REGISTRATION_ACK));

  rmqClientMessage msg{};
  msg.messageType = RMQ_ZLM_PAYLOAD;
  msg.cookieId = client->GetCookieId();
  EXPECT_EQ(client->SendMsg(&msg), 0);
  EXPECT_EQ(client->TxCount(), 1u);
  ASSERT_EQ(mq::rmqStub_SentForTest().size(), 1u);
}

// The channel's traffic is counted in the registration provider's metrics registry: one
// connection counter for the process, received and sent messages per application.
TEST_F(LegacyClientTest, TrafficIsCountedInTheProvidersRegistryWithTheApplicationsTag) {
  auto provider = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "reg", std::make_shared<ManualClock>());
  auto& registry = provider->metrics();
  auto count = [&registry](const std::string& name, const metrics::tags& tags) -> int64_t {
    auto value = registry.Find(name, tags);
    auto* counter = dynamic_cast<metrics::UnitCounter*>(value.get());
    return counter ? static_cast<int64_t>(counter->snapshot(false).value) : -1;  // -1: no such counter
  };
  for (const std::string name : {"LegacyApp", "OtherApp"}) {
    MpaClient::Register(provider, [](rmqClientMessage*) {}, name, "qbx", 1, 6666, 30000000, 5000000, nullptr);
  }
  auto client = MpaClient::GetClient("LegacyApp");
  client->Open(nullptr);
  MpaClient::GetClient("OtherApp")->Open(nullptr);
  EXPECT_EQ(count("rmq/connection/establish", metrics::tags()), 2);
  EXPECT_EQ(count("rmq/connection/establish", metrics::tags("app", "LegacyApp")), -1);

  EXPECT_EQ(mq::rmqStub_DeliverPendingForTest(), 2u);  // one acknowledgement each
  rmqClientMessage msg{};
  msg.messageType = RMQ_ZLM_PAYLOAD;
  msg.cookieId = client->GetCookieId();
  ASSERT_EQ(client->SendMsg(&msg), 0);
  ASSERT_EQ(client->SendMsg(&msg), 0);
  // A failed send is not counted.
  mq::rmqStub_SetSendResultForTest(RMQ_ERR_SEND);
  EXPECT_NE(client->SendMsg(&msg), 0);

  EXPECT_EQ(count("rmq/msg/rx", metrics::tags("app", "LegacyApp")), 1);
  EXPECT_EQ(count("rmq/msg/rx", metrics::tags("app", "OtherApp")), 1);
  EXPECT_EQ(count("rmq/msg/tx", metrics::tags("app", "LegacyApp")), 2);
  EXPECT_EQ(count("rmq/msg/tx", metrics::tags("app", "OtherApp")), 0);
  EXPECT_EQ(count("rmq/msg/tx", metrics::tags()), -1);
  client.reset();
  MpaClient::ResetRegistryForTest();
  // The counters go with their clients.
  EXPECT_EQ(count("rmq/msg/rx", metrics::tags("app", "LegacyApp")), -1);
}

TEST_F(LegacyClientTest, SendFailureIsReturnedAndLogged) {
  LogCapture log;
  auto client = RegisterLegacy("LegacyApp");
  client->Open(nullptr);
  mq::rmqStub_SetSendResultForTest(RMQ_ERR_SEND);
  rmqClientMessage msg{};
  msg.cookieId = client->GetCookieId();
  EXPECT_EQ(client->SendMsg(&msg), RMQ_ERR_SEND);
  EXPECT_TRUE(log.HasTag("MPA00103"));
  EXPECT_EQ(client->TxCount(), 0u);
  // A correlation id that is not uuid text is refused on the legacy transport too.
  EXPECT_EQ(client->SendMsg(&msg, "not-a-uuid"), -1);
  EXPECT_EQ(client->SendMsg(&msg, ""), -1);
}

TEST_F(LegacyClientTest, CloseNoticeForTheCurrentCookieSchedulesReconnect) {
  auto client = RegisterLegacy("LegacyApp");
  client->Open(nullptr);
  mq::rmqStub_DeliverPendingForTest();
  const int32_t cookie = client->GetCookieId();
  // DFW-style legacy apps also arm the 30 s acknowledgement re-check; clear it first.
  timers_.FireAll();
  ASSERT_TRUE(mq::rmqStub_CloseFromChannelForTest(cookie));
  mq::rmqStub_DeliverPendingForTest();
  EXPECT_EQ(client->GetCookieId(), -1);
  EXPECT_FALSE(client->IsRegistrationAcked());
  EXPECT_EQ(client->GetConnState(), MpaClient::STATE_INIT);
  EXPECT_EQ(received_.back(), static_cast<uint32_t>(RMQ_CLIENT_CLOSE));
  ASSERT_EQ(timers_.PendingDelays().size(), 1u);
  EXPECT_EQ(timers_.PendingDelays()[0], std::chrono::seconds(1));
  timers_.FireAll();  // the reconnect
  EXPECT_GT(client->GetCookieId(), cookie);
}

TEST_F(LegacyClientTest, CloseNoticeWithAnotherCookieIsDropped) {
  LogCapture log;
  auto client = RegisterLegacy("LegacyApp");
  client->Open(nullptr);
  const int32_t cookie = client->GetCookieId();
  rmqClientMessage msg{};
  msg.messageType = RMQ_CLIENT_CLOSE;
  msg.cookieId = cookie + 100;
  std::string app = "LegacyApp";
  msg.appType = app.data();
  client->ProcessMpaMessage(&msg, false);
  EXPECT_TRUE(log.HasTag("MPA00101"));
  EXPECT_EQ(client->GetCookieId(), cookie);
  EXPECT_TRUE(received_.empty());
}

TEST_F(LegacyClientTest, FailedConnectRetriesAfterTheReconnectDelay) {
  LogCapture log;
  auto client = RegisterLegacy("SomeLegacyApp");
  mq::rmqStub_FailNextConnectForTest(RMQ_ERR_CONNECT_FAIL);
  client->Open(nullptr);
  EXPECT_TRUE(log.Contains("connecting to mpa return cookie [CONNECT_FAIL]"));
  ASSERT_EQ(timers_.PendingDelays().size(), 1u);
  EXPECT_EQ(timers_.PendingDelays()[0], std::chrono::seconds(5));
  timers_.FireAll();
  EXPECT_GT(client->GetCookieId(), 0);
}

TEST_F(LegacyClientTest, UnacknowledgedLegacyAppIsReconnectedAfterTheAckWait) {
  mq::rmqStub_SetAutoAckForTest(false, 0, 0);
  auto client = RegisterLegacy("DFWRuleStats");
  client->Open(nullptr);
  const int32_t first = client->GetCookieId();
  ASSERT_EQ(timers_.PendingDelays().size(), 1u);
  EXPECT_EQ(timers_.PendingDelays()[0], std::chrono::seconds(30));
  timers_.FireAll();
  EXPECT_NE(client->GetCookieId(), first);
  // The stale connection was closed; only the new one stays open.
  EXPECT_EQ(mq::rmqStub_OpenCookiesForTest(), std::vector<int32_t>{client->GetCookieId()});
}

TEST_F(LegacyClientTest, CloseRmqConnectionWithoutCookieChangesNothing) {
  auto client = RegisterLegacy("LegacyApp");
  client->CloseRmqConnection();
  EXPECT_EQ(client->GetCookieId(), -1);
  EXPECT_EQ(client->GetConnState(), MpaClient::STATE_INIT);
  client->Open(nullptr);
  client->Close();
  EXPECT_EQ(client->GetCookieId(), -1);
  EXPECT_TRUE(mq::rmqStub_OpenCookiesForTest().empty());
}

TEST_F(LegacyClientTest, ReconnectTimerOfAnUnregisteredClientDoesNothing) {
  mq::rmqStub_FailNextConnectForTest(RMQ_ERR_CONNECT_FAIL);
  auto client = RegisterLegacy("LegacyApp");
  client->Open(nullptr);
  ASSERT_EQ(timers_.PendingDelays().size(), 1u);
  MpaClient::UnRegister("LegacyApp");
  client.reset();  // the registry held the last reference
  EXPECT_EQ(timers_.FireAll(), 0);  // the client cancelled its timer when it went away
  EXPECT_EQ(mq::rmqStub_ConnectCallsForTest(), 1);
}

TEST_F(LegacyClientTest, LibraryEventLoopDeliversUntilStopped) {
  auto client = RegisterLegacy("LegacyApp");
  EXPECT_EQ(rmqClient_StopNETEventLoop(), RMQ_ERR_NO_EVENTLOOP);  // nothing runs yet
  std::promise<void> acked;
  MpaClient::Register(nullptr, [&](rmqClientMessage* m) {
    if (m->messageType == RMQ_CLIENT_REGISTRATION_ACK) acked.set_value();
  }, "LoopApp", "qbx", 1, 6666, 30000000, 5000000, nullptr);
  std::thread loop([] { rmqClient_NETEventLoop(nullptr); });
  MpaClient::GetClient("LoopApp")->Open(nullptr);
  acked.get_future().wait();  // delivered on the loop's thread
  EXPECT_EQ(rmqClient_StopNETEventLoop(), 0);  // the loop runs: it delivered the acknowledgement
  loop.join();
}

// Registering an application again replaces both of its waits: the acknowledgement wait and
// the reconnect delay of the last registration are the ones used.
TEST_F(LegacyClientTest, RegisteringAgainReplacesTheAckWaitAndTheReconnectDelay) {
  mq::rmqStub_SetAutoAckForTest(false, 0, 0);
  auto first = RegisterLegacy("DFWRuleStats");
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "DFWRuleStats", "qbx", 1, 6666, 7000000, 3000000, nullptr);
  auto client = MpaClient::GetClient("DFWRuleStats");
  ASSERT_NE(client, first);
  first.reset();
  mq::rmqStub_FailNextConnectForTest(RMQ_ERR_CONNECT_FAIL);
  client->Open(nullptr);
  ASSERT_EQ(timers_.PendingDelays().size(), 1u);
  EXPECT_EQ(timers_.PendingDelays()[0], std::chrono::seconds(3));  // the new reconnect delay
  timers_.FireAll();
  ASSERT_GT(client->GetCookieId(), 0);
  ASSERT_EQ(timers_.PendingDelays().size(), 1u);
  EXPECT_EQ(timers_.PendingDelays()[0], std::chrono::seconds(7));  // the new acknowledgement wait
}

}  // namespace
}  // namespace qbx
