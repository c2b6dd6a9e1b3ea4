// The smart-NIC proxy-information client against the stand-in proxy: the subscription's
// updates (peers, own uuid, version), notifications of the registered clients, empty and
// malformed updates, the expected peer count by persona, stop and start again.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "channels/mpa/mpa_client.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/smartnic/sn_util.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/snproxy_standin/snproxy_standin.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::SnProxyStandin;
using namespace std::chrono_literals;

constexpr char kSnA[] = "5e000000-0000-4000-8000-00000000000a";
constexpr char kSnB[] = "5e000000-0000-4000-8000-00000000000b";
constexpr char kLocal[] = "40000000-0000-4000-8000-000000000001";

void SetPersona(int persona, size_t nics) {
  SNUtil::Topology topology;
  topology.persona = persona;
  for (size_t i = 0; i < nics; ++i) topology.smartNics.push_back({"ip-" + std::to_string(i), "sn-" + std::to_string(i)});
  SNUtil::SetTopology(topology);
}

// Waits until everything posted to `provider` before this call has run.
void Drain(AsioQbxProvider* provider) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  provider->dispatcher().Post([done] { done->store(true); });
  ASSERT_TRUE(test::Eventually([&] { return done->load(); }));
}

class SnProxyClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPersona(SNUtil::kPersonaSnHost, 2);
    infoPort_ = standin_.StartInfo("127.0.0.1:0");
    fwdPort_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(infoPort_, 0);
    ASSERT_GT(fwdPort_, 0);
    standin_.SetLocalUuid(kLocal);
    standin_.SetProductVersion(4, 1);
    SNProxyClientCommon::Options options;
    options.forwardingEndPoint = "tcp://127.0.0.1:" + std::to_string(fwdPort_);
    options.stubRetryDelay = 20ms;
    options.reconnectDelay = 50ms;
    client_ = SNProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort_), options);
    client_->SetSNProxyConnectionUp("app", [this] { ++ups_; });
    client_->SetUpdateStubs("app", [this] { ++updates_; });
    client_->SetSNProxyConnectionDown("app", [this](rpc::CloseReason) { ++downs_; });
  }
  void TearDown() override {
    client_->Stop();
    client_.reset();
    SNUtil::SetTopology(SNUtil::Topology());
  }

  SnProxyStandin standin_;
  int infoPort_ = -1;
  int fwdPort_ = -1;
  std::shared_ptr<SNProxyClientCommon> client_;
  std::atomic<int> ups_{0};
  std::atomic<int> updates_{0};
  std::atomic<int> downs_{0};
};

TEST_F(SnProxyClientTest, LearnsPeersOwnUuidAndVersionAndNotifiesTheClients) {
  EXPECT_EQ(client_->NumSmartNics(), 2);
  standin_.SetPeers({kSnA, kSnB});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->GetSnUuidMap().size() == 2u && updates_ > 0; }));
  EXPECT_EQ(client_->GetSnUuidMap().count(kSnA), 1u);
  EXPECT_EQ(client_->getSNUuidStr(), kLocal);
  EXPECT_EQ(client_->GetProductVersion().major(), 4);
  EXPECT_EQ(client_->GetProductVersion().minor(), 1);
  EXPECT_TRUE(client_->IsConnectedForForwarding());
  EXPECT_EQ(ups_, 1);
  // A new list replaces the old one entirely.
  const int before = updates_;
  standin_.SetPeers({kSnB});
  ASSERT_TRUE(Eventually([&] { return updates_ > before; }));
  EXPECT_EQ(client_->GetSnUuidMap(), (std::map<std::string, bool>{{kSnB, true}}));
}

TEST_F(SnProxyClientTest, AnEmptyListClearsThePeersAndStillNotifies) {
  standin_.SetPeers({kSnA});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->GetSnUuidMap().size() == 1u && updates_ > 0; }));
  const int before = updates_;
  standin_.SetPeers({});
  ASSERT_TRUE(Eventually([&] { return updates_ > before; }));
  EXPECT_TRUE(client_->GetSnUuidMap().empty());
}

TEST_F(SnProxyClientTest, AnEntryWithoutIdStopsTheUpdateAndNotifiesNobody) {
  test::LogCapture logs;
  standin_.SetPeers({kSnA});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->GetSnUuidMap().size() == 1u && updates_ > 0; }));
  Drain(client_->GetProvider());
  const int before = updates_;
  zumbra::qbx::messaging::SNProxyInfoRspMsg bad;
  bad.add_sn_proxy_info()->mutable_id()->set_first_half(0x5e00000000004000ull);
  bad.mutable_sn_proxy_info(0)->mutable_id()->set_second_half(0x800000000000000bull);
  bad.add_sn_proxy_info();  // no id
  bad.add_sn_proxy_info()->mutable_id()->set_first_half(1);
  client_->ProcessSNProxyInfo(bad);
  Drain(client_->GetProvider());
  EXPECT_EQ(updates_, before);
  EXPECT_EQ(logs.Count("snProxyInfoMsg does not have id field"), 1u);
  // The entry before the bad one stays, the one after it was never read.
  EXPECT_EQ(client_->GetSnUuidMap(), (std::map<std::string, bool>{{kSnB, true}}));
}

TEST_F(SnProxyClientTest, NoUpdateIsPostedWhileTheForwardingConnectionIsDown) {
  standin_.StopForwarding();
  standin_.SetPeers({kSnA});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->GetSnUuidMap().size() == 1u; }));
  Drain(client_->GetProvider());
  EXPECT_EQ(updates_, 0);
  EXPECT_FALSE(client_->IsConnectedForForwarding());
  EXPECT_TRUE(client_->IsStubCreationEnabled());
}

TEST_F(SnProxyClientTest, ForwardingLossTellsTheClientsAndARemovedClientHearsNothing) {
  standin_.SetPeers({kSnA});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->IsConnectedForForwarding(); }));
  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return downs_ == 1; }));
  EXPECT_FALSE(client_->IsConnectedForForwarding());
  client_->RemoveClient("app");
  ASSERT_GT(standin_.StartForwarding("127.0.0.1:" + std::to_string(fwdPort_)), 0);
  ASSERT_TRUE(Eventually([&] { return client_->IsConnectedForForwarding(); }));
  EXPECT_EQ(ups_, 1);  // the removed client was not told of the second connection
}

TEST_F(SnProxyClientTest, StopTwiceThenStartAgainReconnects) {
  standin_.SetPeers({kSnA});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return client_->IsConnectedForForwarding() && updates_ > 0; }));
  client_->Stop();
  client_->Stop();
  EXPECT_TRUE(client_->IsStopped());
  const int before = updates_;
  client_->Start();
  EXPECT_FALSE(client_->IsStopped());
  ASSERT_TRUE(Eventually([&] { return client_->IsConnectedForForwarding() && updates_ > before; }));
}

TEST_F(SnProxyClientTest, AnEndedSubscriptionIsRenewedAndLaterListsStillNotify) {
  standin_.SetPeers({kSnA});
  client_->Start();
  ASSERT_TRUE(Eventually([&] { return updates_ > 0 && standin_.ActiveSubscribers() == 1; }));
  // The proxy ends the stream while the connection stays up: a new one follows.
  standin_.EndSubscriptions();
  ASSERT_TRUE(Eventually([&] { return standin_.SubscriptionCount() == 2 && standin_.ActiveSubscribers() == 1; }));
  const int before = updates_;
  standin_.SetPeers({kSnA, kSnB});
  ASSERT_TRUE(Eventually([&] { return client_->GetSnUuidMap().size() == 2u && updates_ > before; }));
  EXPECT_EQ(standin_.ActiveSubscribers(), 1);
  EXPECT_TRUE(client_->IsConnectedForForwarding());
}

TEST(SnProxyClientPersona, ExpectedPeersFollowTheNodePersona) {
  SetPersona(SNUtil::kPersonaSnHost, 3);
  EXPECT_EQ(SNProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:1", {})->NumSmartNics(), 3);
  SetPersona(SNUtil::kPersonaSn, 0);
  EXPECT_EQ(SNProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:1", {})->NumSmartNics(), 1);
  SetPersona(SNUtil::kPersonaNone, 0);
  EXPECT_EQ(SNProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:1", {})->NumSmartNics(), 0);
  SNUtil::SetTopology(SNUtil::Topology());
}

TEST(SnProxyClientPersona, TheChannelMakesNoProxyClientOnPersonaThree) {
  SNProxyClientCommon::ResetInstanceForTest();
  MpaClient::SetNodePersonaSource([] { return 3u; });
  MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
  EXPECT_FALSE(SNProxyClientCommon::getInstance());
  MpaClient::StopMpaClientEventLoop();  // nothing to stop on this persona
  MpaClient::SetNodePersonaSource([] { return 1u; });
  MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
  EXPECT_TRUE(SNProxyClientCommon::getInstance());
  MpaClient::StopMpaClientEventLoop();
  MpaClient::SetNodePersonaSource(nullptr);
  MpaClient::ResetRegistryForTest();
  SNProxyClientCommon::ResetInstanceForTest();
}

}  // namespace
}  // namespace qbx
