// The MPA client core: the registry, the send paths of the RPC transport and the receive
// routine that every inbound record passes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "channels/mpa/mpa_client.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "core/uuid.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using testing::LogCapture;

// Records what the RPC transport was asked to send.
class SendRecordingClient : public MpaClient {
 public:
  using MpaClient::MpaClient;
  int32_t SendMsgViaTnProxy(rmqClientMessage*, const std::string& correlationId, const std::string& aphUuid) override {
    ids.push_back(correlationId);
    aphs.push_back(aphUuid);
    return result;
  }
  std::vector<std::string> ids;
  std::vector<std::string> aphs;
  int32_t result = 0;
};

class MpaClientTest : public ::testing::Test {
 protected:
  void SetUp() override { MpaClient::ResetRegistryForTest(); }
  void TearDown() override {
    MpaClient::ResetRegistryForTest();
    MpaClient::SetAggAppClientFactory(nullptr);
    MpaClient::SetNodePersonaSource(nullptr);
  }
  // A record in one heap buffer, as the channel delivers it.
  static rmqClientMessage* HeapRecord(uint32_t type, const std::string& app) {
    auto* base = static_cast<char*>(std::calloc(1, sizeof(rmqClientMessage) + app.size() + 1));
    auto* rec = reinterpret_cast<rmqClientMessage*>(base);
    rec->messageType = type;
    rec->appType = base + sizeof(rmqClientMessage);
    std::memcpy(rec->appType, app.data(), app.size());
    rec->buffer = base;
    return rec;
  }
};

TEST_F(MpaClientTest, AggregationNamesUseTheFactoryAndOthersArePlainClients) {
  LogCapture log;
  std::vector<std::string> made;
  MpaClient::SetAggAppClientFactory([&](const MpaClient::CreateArgs& args) {
    made.push_back(args.appName);
    return std::make_shared<SendRecordingClient>(args);
  });
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "DFWRuleStats", "qbx", 1, 9002, 1, 2, nullptr);
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "SomethingElse", "qbx", 1, 9002, 1, 2, nullptr);
  EXPECT_EQ(made, std::vector<std::string>{"DFWRuleStats"});
  EXPECT_NE(dynamic_cast<SendRecordingClient*>(MpaClient::GetClient("DFWRuleStats").get()), nullptr);
  EXPECT_EQ(dynamic_cast<SendRecordingClient*>(MpaClient::GetClient("SomethingElse").get()), nullptr);
  EXPECT_TRUE(log.Contains("Unknown app type in AggSvc SomethingElse"));
  // A plain client on the RPC transport cannot send.
  rmqClientMessage msg{};
  EXPECT_EQ(MpaClient::GetClient("SomethingElse")->SendMsg(&msg), -1);
}

TEST_F(MpaClientTest, RegisteringAgainReplacesTheClient) {
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "App", "qbx", 1, 9002, 1, 2, nullptr);
  auto first = MpaClient::GetClient("App");
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "App", "qbx", 1, 9002, 1, 2, nullptr);
  EXPECT_NE(MpaClient::GetClient("App"), first);
  MpaClient::UnRegister("App");
  EXPECT_EQ(MpaClient::GetClient("App"), nullptr);
  MpaClient::UnRegister("App");  // a second time does nothing
}

TEST_F(MpaClientTest, RpcSendWithoutARandomSourceIsRefused) {
  MpaClient::SetAggAppClientFactory([](const MpaClient::CreateArgs& args) { return std::make_shared<SendRecordingClient>(args); });
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "FabricStats", "qbx", 1, 9002, 1, 2, nullptr);
  auto* client = dynamic_cast<SendRecordingClient*>(MpaClient::GetClient("FabricStats").get());
  ASSERT_NE(client, nullptr);
  rmqClientMessage msg{};
  UUID::SetRandomSourceForTest([](unsigned char*, int) { return 0; });
  const int32_t rc = client->SendMsg(&msg);
  UUID::SetRandomSourceForTest(nullptr);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(client->ids.empty());
  EXPECT_EQ(client->TxCount(), 0u);
}

TEST_F(MpaClientTest, RpcSendAddressesTheMasterWithAFreshUuid) {
  MpaClient::SetAggAppClientFactory([](const MpaClient::CreateArgs& args) { return std::make_shared<SendRecordingClient>(args); });
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "FabricStats", "qbx", 1, 9002, 1, 2, nullptr);
  auto* client = dynamic_cast<SendRecordingClient*>(MpaClient::GetClient("FabricStats").get());
  ASSERT_NE(client, nullptr);
  rmqClientMessage msg{};
  EXPECT_EQ(client->SendMsg(&msg), 0);
  EXPECT_EQ(client->SendMsg(&msg), 0);
  ASSERT_EQ(client->ids.size(), 2u);
  UUID parsed;
  EXPECT_TRUE(UUID::Parse(client->ids[0], parsed));
  EXPECT_NE(client->ids[0], client->ids[1]);
  EXPECT_EQ(client->aphs[0], "");
  EXPECT_EQ(client->TxCount(), 2u);

  const std::string id = "0123abcd-0000-1111-2222-333344445555";
  EXPECT_EQ(client->SendMsg(&msg, id), 0);
  EXPECT_EQ(client->ids.back(), id);
  EXPECT_EQ(client->SendMsg(&msg, "0123abcd-0000-1111-2222-33334444555"), -1);  // one digit short
  EXPECT_EQ(client->SendMsg(&msg, ""), -1);
  client->result = -7;
  EXPECT_EQ(client->SendMsg(&msg), -7);
  EXPECT_EQ(client->TxCount(), 3u);
}

TEST_F(MpaClientTest, ReceiveRoutineDeliversAcceptedTypesAndFreesEveryRecord) {
  LogCapture log;
  std::vector<uint32_t> got;
  MpaClient::Register(nullptr, [&](rmqClientMessage* m) { got.push_back(m->messageType); }, "App", "qbx", 1, 9002, 1,
                      2, nullptr);
  for (uint32_t type : {2u, 3u, 8u, 9u, 10u, 11u, 12u, 13u}) MpaClient::MpaRxCallback(HeapRecord(type, "App"));
  EXPECT_EQ(got, (std::vector<uint32_t>{2, 3, 8, 9, 10, 11, 12, 13}));
  // Refused types and unknown applications: dropped with their records, buffers freed
  // (the sanitizer builds catch a leak or a double free here).
  MpaClient::MpaRxCallback(HeapRecord(4, "App"));
  MpaClient::MpaRxCallback(HeapRecord(77, "App"));
  EXPECT_EQ(log.TagCount("MPA00104"), 2u);
  MpaClient::MpaRxCallback(HeapRecord(3, "NoSuchApp"));
  EXPECT_TRUE(log.HasTag("MPA00106"));
  EXPECT_EQ(got.size(), 8u);
  EXPECT_EQ(MpaClient::GetClient("App")->RxCount(), 10u);
}

// The receive routine times the application's callback on its registration provider's
// clock: only a callback of more than 250 ms is reported, in whole milliseconds.
TEST_F(MpaClientTest, SlowReceiveCallbacksAreReportedOnTheProvidersClock) {
  LogCapture log;
  auto clock = std::make_shared<ManualClock>();
  auto provider = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "reg", clock);
  std::chrono::nanoseconds takes{0};
  MpaClient::Register(provider, [&](rmqClientMessage*) { clock->Advance(takes); }, "App", "qbx", 1, 9002, 1, 2,
                      nullptr);
  const char* report = "Vertical (App) rx-callback took";
  takes = std::chrono::milliseconds(250);
  MpaClient::MpaRxCallback(HeapRecord(3, "App"));
  EXPECT_FALSE(log.Contains(report));
  takes = std::chrono::milliseconds(250) + std::chrono::nanoseconds(1);
  MpaClient::MpaRxCallback(HeapRecord(3, "App"));
  EXPECT_TRUE(log.Contains("Vertical (App) rx-callback took (250) msecs"));
  takes = std::chrono::microseconds(251999);
  MpaClient::MpaRxCallback(HeapRecord(8, "App"));
  EXPECT_TRUE(log.Contains("Vertical (App) rx-callback took (251) msecs"));
  // A callback that throws is still timed, and the routine goes on.
  MpaClient::ResetRegistryForTest();
  MpaClient::Register(provider, [&](rmqClientMessage*) {
    clock->Advance(std::chrono::seconds(2));
    throw std::runtime_error("vertical failed");
  }, "App", "qbx", 1, 9002, 1, 2, nullptr);
  MpaClient::MpaRxCallback(HeapRecord(3, "App"));
  EXPECT_TRUE(log.Contains("rx-callback threw: vertical failed"));
  EXPECT_TRUE(log.Contains("Vertical (App) rx-callback took (2000) msecs"));
}

TEST_F(MpaClientTest, CloseInInitStateIsLoggedAndStillDelivered) {
  LogCapture log;
  std::vector<uint32_t> got;
  MpaClient::Register(nullptr, [&](rmqClientMessage* m) { got.push_back(m->messageType); }, "App", "qbx", 1, 9002, 1,
                      2, nullptr);
  auto* rec = HeapRecord(5, "App");
  rec->cookieId = -1;  // the current cookie of an unconnected client
  MpaClient::MpaRxCallback(rec);
  EXPECT_TRUE(log.Contains("Got CLOSE Message in state 1"));
  EXPECT_EQ(got, std::vector<uint32_t>{5});
}

TEST_F(MpaClientTest, ReceiveCallbackMayUnregisterItsOwnApplication) {
  // The registry lock is not held while the callback runs, so this does not deadlock.
  int calls = 0;
  MpaClient::Register(nullptr, [&](rmqClientMessage*) {
    ++calls;
    MpaClient::UnRegister("App");
  }, "App", "qbx", 1, 9002, 1, 2, nullptr);
  MpaClient::MpaRxCallback(HeapRecord(3, "App"));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(MpaClient::GetClient("App"), nullptr);
}

TEST_F(MpaClientTest, ErrorsReachTheRegisteredErrorCallbackOnly) {
  LogCapture log;
  std::vector<std::pair<uint32_t, std::string>> errors;
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "App", "qbx", 1, 9002, 1, 2,
                      [&](uint32_t code, const std::string& v) { errors.emplace_back(code, v); });
  MpaClient::DeliverErrorToApp(1, "id-1", "App", false);
  MpaClient::DeliverErrorToApp(1, "id-2", "App", true);  // smart-NIC: nothing delivered
  MpaClient::DeliverErrorToApp(1, "id-3", "Other", false);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].second, "id-1");
  EXPECT_TRUE(log.Contains("[Other] No error callback registered"));
}

TEST_F(MpaClientTest, PersonaDecidesTheSmartNicDelivery) {
  std::vector<std::string> got;
  MpaClient::SetNodePersonaSource([] { return 1u; });
  MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:9004", "tcp://127.0.0.1:4096");
  // The event loop made the process-wide proxy clients; other tests expect none.
  TnProxyClientCommon::ResetInstanceForTest();
  SNProxyClientCommon::ResetInstanceForTest();
  EXPECT_EQ(MpaClient::NodePersona(), 1u);
  MpaClient::Register(nullptr, [&](rmqClientMessage*) { got.push_back("host"); }, "App", "qbx", 1, 9002, 1, 2, nullptr);
  MpaClient::RegisterSNHost(nullptr, [&](rmqClientMessage*) { got.push_back("snhost"); }, "App", "qbx", 1, 9002);
  auto host = MpaClient::GetClient("App");
  host->ProcessMpaMessage(HeapRecord(3, "App"), true);
  host->ProcessMpaMessage(HeapRecord(3, "App"), false);
  EXPECT_EQ(got, (std::vector<std::string>{"snhost", "host"}));
  EXPECT_FALSE(MpaClient::GetMpaClientAllSNAppsConnected());
  MpaClient::GetSNHostClient("App")->SetConnState(MpaClient::STATE_CONNECTED);
  EXPECT_TRUE(MpaClient::GetMpaClientAllSNAppsConnected());
}

// Each smart-NIC registration belongs to one persona: on any other it installs no client
// and leaves no record.
TEST_F(MpaClientTest, SmartNicRegistrationsActOnlyOnTheirPersona) {
  MpaClient::SetSNClientFactory([](const MpaClient::CreateArgs& args) { return std::make_shared<MpaClient>(args); });
  for (uint32_t persona : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE("persona " + std::to_string(persona));
    MpaClient::ResetRegistryForTest();
    MpaClient::SetNodePersonaSource([persona] { return persona; });
    MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
    TnProxyClientCommon::ResetInstanceForTest();
    SNProxyClientCommon::ResetInstanceForTest();
    LogCapture log;
    MpaClient::RegisterSN(nullptr, [](rmqClientMessage*) {}, "FabricStats", "qbx", 1, 9002);
    MpaClient::RegisterSNHost(nullptr, [](rmqClientMessage*) {}, "FabricStats", "qbx", 1, 9002);
    EXPECT_EQ(MpaClient::GetSNClient("FabricStats") != nullptr, persona == 2);
    EXPECT_EQ(MpaClient::GetSNHostClient("FabricStats") != nullptr, persona == 1);
    EXPECT_EQ(log.Contains("FabricStats Register SN mpa client"), persona == 2);
    EXPECT_EQ(log.Contains("FabricStats Register SN Host mpa client"), persona == 1);
  }
  MpaClient::SetSNClientFactory(nullptr);
}

TEST_F(MpaClientTest, AppInitSequenceNumbers) {
  MpaClient::Register(nullptr, [](rmqClientMessage*) {}, "App", "qbx", 1, 9002, 1, 2, nullptr);
  auto client = MpaClient::GetClient("App");
  const uint32_t first = client->GetNewAppInitSequenceNumber();
  EXPECT_TRUE(client->IsCurrentAppInitSeq(first));
  const uint32_t second = client->GetNewAppInitSequenceNumber();
  EXPECT_FALSE(client->IsCurrentAppInitSeq(first));
  EXPECT_FALSE(client->CompleteAppInitHanshake(first, true));
  EXPECT_TRUE(client->CompleteAppInitHanshake(second, true));
  EXPECT_TRUE(client->IsAppInitCompleted());
  client->Close();
  EXPECT_FALSE(client->IsAppInitCompleted());
}

}  // namespace
}  // namespace qbx
