// The smart-NIC variants of the messaging client against the stand-in smart-NIC proxy, with
// every timer on a manual clock: per-peer back-off and the retry budget when one smart
// NIC's stubs cannot be made, a stub-map update that arrives while another waits, the last
// stub going, the proxy going down and coming back, send routing by persona, and the
// management-plane version the vertical is told.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "channels/mpa/mpa_client_sn_private.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "platform/mq/rmq_client.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/rpc/status.h"
#include "platform/runtime/manual_clock.h"
#include "platform/smartnic/sn_util.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/snproxy_standin/snproxy_standin.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::SnProxyStandin;
using namespace std::chrono_literals;
using HostClient = MpaClientSNPrivate<AggSvcHostStub>;

constexpr char kSnA[] = "5e000000-0000-4000-8000-00000000000a";
constexpr char kSnB[] = "5e000000-0000-4000-8000-00000000000b";
constexpr char kLocal[] = "40000000-0000-4000-8000-000000000001";
constexpr char kApp[] = "AggSvc-Routing";
constexpr char kNowhere[] = "tcp://127.0.0.1:1";

// What reached the vertical: notices and their management-plane versions.
struct Notices {
  std::mutex mutex;
  std::vector<rmqClientMessage> records;
  void Add(const rmqClientMessage* m) {
    std::lock_guard<std::mutex> lock(mutex);
    rmqClientMessage copy{};
    copy.messageType = m->messageType;
    copy.mpMajorVersion = m->mpMajorVersion;
    copy.mpMinorVersion = m->mpMinorVersion;
    records.push_back(copy);
  }
  size_t Count(uint32_t type) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const auto& r : records) n += r.messageType == type;
    return n;
  }
  rmqClientMessage Last(uint32_t type) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
      if (it->messageType == type) return *it;
    }
    return rmqClientMessage{};
  }
};

// A host with smart NICs A and B behind the stand-in proxy; the smart-NIC proxy client
// and the host variant of the application run their timers on `clock`.
class SnVariantsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SNUtil::Topology topology;
    topology.persona = SNUtil::kPersonaSnHost;
    topology.smartNics = {{"ip-a", kSnA}, {"ip-b", kSnB}};
    SNUtil::SetTopology(topology);
    infoPort_ = standin_.StartInfo("127.0.0.1:0");
    fwdPort_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(infoPort_, 0);
    ASSERT_GT(fwdPort_, 0);
    standin_.SetLocalUuid(kLocal);
    standin_.SetProductVersion(4, 3);
    standin_.SetPeers({kSnA, kSnB});

    MpaClient::ResetRegistryForTest();
    AggSvcMpService::ResetForTest();
    SNProxyClientCommon::ResetInstanceForTest();
    TnProxyClientCommon::ResetInstanceForTest();
    SNProxyClientCommon::Options options;
    options.forwardingEndPoint = "tcp://127.0.0.1:" + std::to_string(fwdPort_);
    options.clock = clock_;
    SNProxyClientCommon::Init("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort_), options);
    snProxy_ = SNProxyClientCommon::getInstance();
    MpaClient::SetNodePersonaSource([] { return 1u; });
    MpaClient::StartMpaClientEventLoop("AggSvc", kNowhere, kNowhere);
    TnProxyClientCommon::ResetInstanceForTest();  // nothing here needs the transport-node proxy

    regProvider_ = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "reg", clock_);
    regProvider_->RunAsync(1);
    auto notices = notices_;
    MpaClient::RegisterSNHost(regProvider_, [notices](rmqClientMessage* m) { notices->Add(m); }, kApp, "qbx", 1, 9002);
    client_ = std::dynamic_pointer_cast<HostClient>(MpaClient::GetSNHostClient(kApp));
    ASSERT_NE(client_, nullptr);
  }

  void TearDown() override {
    client_.reset();
    MpaClient::ResetRegistryForTest();
    MpaClient::SetNodePersonaSource(nullptr);
    if (snProxy_) snProxy_->Stop();
    SNProxyClientCommon::ResetInstanceForTest();
    AggSvcMpService::ResetForTest();
    regProvider_->StopAndWait(true);
    standin_.StopForwarding();
    standin_.StopInfo();
    snProxy_.reset();
    SNUtil::SetTopology(SNUtil::Topology());
  }

  void Open() {
    client_->RegisterWithSNProxyClient();
    snProxy_->Start();
  }
  // Waits until everything already posted to the smart-NIC provider (timer actions among
  // them) has run.
  void Drain() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    snProxy_->GetProvider()->dispatcher().Post([done] { done->store(true); });
    ASSERT_TRUE(Eventually([&] { return done->load(); }));
  }
  // Moves time on in small steps until `pred` holds (the proxy client's own connection
  // requests wait on timers too).
  bool AdvanceUntil(const std::function<bool()>& pred, std::chrono::milliseconds step = 10ms) {
    return Eventually([&] {
      if (pred()) return true;
      clock_->Advance(step);
      return pred();
    });
  }
  size_t Failures(const char* sn) {
    return logs_.Count(std::string("Stub creation failed for sn (") + sn + ")");
  }
  size_t Retries(const char* sn) { return logs_.Count(std::string("Starting timer for retry. SN (") + sn + ")"); }
  size_t RetryRuns(const char* sn) { return logs_.Count(std::string("GetStub_ for SN (") + sn + ")"); }
  // Moves time on in 250 ms steps until the next retry of `sn` runs (at most 6 s); the time
  // it took.
  std::chrono::milliseconds WaitForNextRetryRun(const char* sn) {
    const size_t runs = RetryRuns(sn);
    std::chrono::milliseconds waited{0};
    while (RetryRuns(sn) == runs && waited < 6s) {
      clock_->Advance(250ms);
      waited += 250ms;
      Drain();
    }
    return waited;
  }

  test::LogCapture logs_;
  SnProxyStandin standin_;
  int infoPort_ = -1;
  int fwdPort_ = -1;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<SNProxyClientCommon> snProxy_;
  std::shared_ptr<AsioQbxProvider> regProvider_;
  std::shared_ptr<Notices> notices_ = std::make_shared<Notices>();
  std::shared_ptr<HostClient> client_;
};

TEST_F(SnVariantsTest, OneSmartNicsFailingStubsBackOffPerPeerWithinTheRetryBudget) {
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kFail);
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1 && client_->PendingTimerCount() == 1; }));
  EXPECT_FALSE(client_->AllStubsCreated());
  EXPECT_EQ(notices_->Count(RMQ_CLIENT_REGISTRATION_ACK), 0u);
  // Whatever time the set-up took, the next retry of B starts its back-off afresh from here:
  // run the pending one and wait for its failure.
  clock_->Advance(5s);
  ASSERT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1 && RetryRuns(kSnB) >= 1; }));
  ASSERT_TRUE(Eventually([&] { return Retries(kSnB) == Failures(kSnB); }));

  // B's waits grow from the policy's current step up to 5 s; A is never asked again.
  const int aChecks = standin_.StubChecks(kSnA);
  std::vector<std::chrono::milliseconds> waits;
  for (int i = 0; i < 4; ++i) {
    const size_t runs = RetryRuns(kSnB);
    const auto waited = WaitForNextRetryRun(kSnB);
    ASSERT_EQ(RetryRuns(kSnB), runs + 1);
    waits.push_back(waited);
    ASSERT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1 && Retries(kSnB) == Failures(kSnB); }));
  }
  for (size_t i = 1; i < waits.size(); ++i) EXPECT_GE(waits[i], waits[i - 1]);
  EXPECT_EQ(waits.back(), 5000ms);
  EXPECT_EQ(standin_.StubChecks(kSnA), aChecks);
  EXPECT_EQ(client_->StubCount(), 1u);

  // Every 100th failure since the budget was last reset is retried at once, not by timer.
  ASSERT_TRUE(Eventually(
      [&] {
        if (Failures(kSnB) > 100) return true;
        if (client_->PendingTimerCount() == 1) clock_->Advance(5s);
        return Failures(kSnB) > 100;
      },
      60s));
  ASSERT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1; }));
  EXPECT_EQ(Retries(kSnB), Failures(kSnB) - 1);

  // B's stubs can be made again: the next retry completes the set.
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kServe);
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }, 1s));
  // The acknowledgement follows the last stub on the provider's thread.
  ASSERT_TRUE(Eventually([&] { return notices_->Count(RMQ_CLIENT_REGISTRATION_ACK) == 1; }));
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_CONNECTED);
}

TEST_F(SnVariantsTest, AnUpdateWhileAnotherWaitsForAStubCreationIsAlreadyPending) {
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kHold);
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1 && standin_.HeldStubChecks() == 1; }));
  // A new peer list while B's creation is in flight: the update waits for it, re-running
  // itself every 500 ms; one more list meanwhile changes nothing.
  standin_.SetPeers({kSnA, kSnB});
  ASSERT_TRUE(Eventually([&] { return logs_.Count("performUpdateStubMap: Re-scheduling self on provider thread") == 1; }));
  standin_.SetPeers({kSnA, kSnB});
  ASSERT_TRUE(Eventually([&] { return logs_.Count("[AggSvc-Routing] updateStubMap: Already Pending") == 1; }));
  clock_->Advance(500ms);
  ASSERT_TRUE(Eventually([&] { return logs_.Count("performUpdateStubMap: Re-scheduling self on provider thread") == 2; }));
  EXPECT_EQ(client_->StubCount(), 1u);

  // B's creation completes during the update: its stub is dropped, and the update, run
  // again, makes it anew.
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kServe);
  standin_.ReleaseHeldStubChecks();
  ASSERT_TRUE(Eventually([&] { return logs_.Count(std::string("Dropping Stub for SN (") + kSnB + "), update stub is pending.") == 1; }));
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }, 500ms));
  EXPECT_EQ(client_->StubCount(), 2u);
  EXPECT_EQ(logs_.Count("[AggSvc-Routing] updateStubMap: Already Pending"), 1u);
  ASSERT_TRUE(Eventually([&] { return notices_->Count(RMQ_CLIENT_REGISTRATION_ACK) == 1; }));
}

TEST_F(SnVariantsTest, StreamsEndingByReasonAndTheLastStubGoingClosesTheVertical) {
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated() && standin_.DestinationWatchers() >= 1; }));
  ASSERT_TRUE(Eventually([&] { return notices_->Count(RMQ_CLIENT_REGISTRATION_ACK) == 1; }));
  const int aChecks = standin_.StubChecks(kSnA);
  const int bChecks = standin_.StubChecks(kSnB);

  // A peer's close: its stub is made again at once.
  ASSERT_TRUE(standin_.EndPeerStream(kSnA, 2));
  ASSERT_TRUE(Eventually([&] { return standin_.StubChecks(kSnA) == aChecks + 1 && client_->AllStubsCreated(); }));
  EXPECT_EQ(notices_->Count(RMQ_CLIENT_CLOSE), 0u);

  // Transport shut down and idle: made again too, so the smart NIC does not stay out of
  // reach until an unrelated event.
  ASSERT_TRUE(standin_.EndPeerStream(kSnA, 5));
  ASSERT_TRUE(Eventually([&] { return standin_.StubChecks(kSnA) == aChecks + 2 && client_->AllStubsCreated(); }));
  ASSERT_TRUE(standin_.EndPeerStream(kSnB, 6));
  ASSERT_TRUE(Eventually([&] { return standin_.StubChecks(kSnB) == bChecks + 1 && client_->AllStubsCreated(); }));
  EXPECT_EQ(notices_->Count(RMQ_CLIENT_CLOSE), 0u);
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_CONNECTED);

  // The last stub going: with both creations refused, both streams ending leave no stub,
  // and the vertical is told with a smart-NIC close notice.
  standin_.SetStubCheck(kSnA, SnProxyStandin::StubCheck::kFail);
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kFail);
  ASSERT_TRUE(standin_.EndPeerStream(kSnA, 5));
  ASSERT_TRUE(Eventually([&] { return client_->StubCount() == 1; }));
  EXPECT_FALSE(client_->AllStubsCreated());
  EXPECT_EQ(notices_->Count(RMQ_CLIENT_CLOSE), 0u);
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_CONNECTED);
  ASSERT_TRUE(standin_.EndPeerStream(kSnB, 6));
  ASSERT_TRUE(Eventually([&] { return client_->StubCount() == 0 && notices_->Count(RMQ_CLIENT_CLOSE) == 1; }));
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_INIT);
  // Sent as a smart-NIC notice: it carries the version that came with the peer list.
  EXPECT_EQ(notices_->Last(RMQ_CLIENT_CLOSE).mpMajorVersion, 4u);
  EXPECT_EQ(notices_->Last(RMQ_CLIENT_CLOSE).mpMinorVersion, 3u);

  // Served again, the retries bring both back.
  standin_.SetStubCheck(kSnA, SnProxyStandin::StubCheck::kServe);
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kServe);
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }, 500ms));
  EXPECT_EQ(client_->StubCount(), 2u);
}

TEST_F(SnVariantsTest, ProxyGoingDownDropsEveryStubAndComingBackMakesThemAgain) {
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }));
  ASSERT_TRUE(Eventually([&] { return notices_->Count(RMQ_CLIENT_REGISTRATION_ACK) == 1; }));

  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return !client_->IsSNProxyConnected(); }));
  EXPECT_EQ(client_->StubCount(), 0u);
  EXPECT_EQ(client_->InflightCount(), 0u);
  EXPECT_FALSE(client_->AllStubsCreated());
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_INIT);

  ASSERT_EQ(standin_.StartForwarding("127.0.0.1:" + std::to_string(fwdPort_)), fwdPort_);
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }, 100ms));
  EXPECT_TRUE(client_->IsSNProxyConnected());
  EXPECT_EQ(client_->StubCount(), 2u);
  ASSERT_TRUE(Eventually([&] { return notices_->Count(RMQ_CLIENT_REGISTRATION_ACK) == 2; }));
  EXPECT_EQ(client_->GetConnState(), MpaClient::STATE_CONNECTED);
}

TEST_F(SnVariantsTest, TheVerticalIsToldTheVersionThatCameWithThePeerList) {
  // Before any peer list: no version, and the vertical gets the default.
  uint32_t major = 7;
  uint32_t minor = 7;
  EXPECT_TRUE(client_->GetMpVersionSNMpaClient(major, minor));
  EXPECT_EQ(major, 0u);
  EXPECT_EQ(minor, 0u);
  client_->AppSpecific()->SendRegistrationAckToVertical(true);
  EXPECT_EQ(notices_->Last(RMQ_CLIENT_REGISTRATION_ACK).mpMajorVersion, 9u);

  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }));
  ASSERT_TRUE(Eventually([&] { return notices_->Count(RMQ_CLIENT_REGISTRATION_ACK) == 2; }));
  EXPECT_TRUE(client_->GetMpVersionSNMpaClient(major, minor));
  EXPECT_EQ(major, 4u);
  EXPECT_EQ(minor, 3u);
  const rmqClientMessage ack = notices_->Last(RMQ_CLIENT_REGISTRATION_ACK);
  EXPECT_EQ(ack.mpMajorVersion, 4u);
  EXPECT_EQ(ack.mpMinorVersion, 3u);
}

// Records which road of the message layer a send took.
class RoutingLayer : public MpaClientAppSpecific {
 public:
  using MpaClientAppSpecific::MpaClientAppSpecific;
  int SendRequestToSN(rmqClientMessage*, const std::string& sn) override { return Took("request to SN " + sn); }
  int SendRequest(rmqClientMessage*, const std::string& peer) override { return Took("request " + peer); }
  int RespondMsgToSN(rmqClientMessage*) override { return Took("respond to SN"); }
  int RespondMsgByHeader(rmqClientMessage*) override { return Took("respond by header"); }
  std::vector<std::string> took;

 private:
  int Took(const std::string& what) {
    took.push_back(what);
    return 0;
  }
};

int32_t Send(MpaClient& client, uint32_t type) {
  rmqClientMessage message{};
  message.messageType = type;
  return client.SendMsgViaSNProxy(&message, "peer-1");
}

TEST(SnVariantsRouting, SendsTakeTheRoadOfTheirPersonaAndOtherTypesAreRefused) {
  test::LogCapture logs;
  for (uint32_t persona : {1u, 2u}) {
    SCOPED_TRACE("persona " + std::to_string(persona));
    MpaClient::ResetRegistryForTest();
    MpaClient::SetNodePersonaSource([persona] { return persona; });
    MpaClient::StartMpaClientEventLoop("AggSvc", kNowhere, kNowhere);
    TnProxyClientCommon::ResetInstanceForTest();
    SNProxyClientCommon::ResetInstanceForTest();
    MpaClient::CreateArgs args;
    args.appName = kApp;
    std::shared_ptr<MpaClient> client;
    if (persona == 1) {
      client = std::make_shared<MpaClientSNPrivate<AggSvcHostStub>>(args, nullptr);
    } else {
      client = std::make_shared<MpaClientSNPrivate<AggSvcMpStub>>(args, nullptr);
    }
    auto layer = std::make_shared<RoutingLayer>(kApp, client);
    if (persona == 1) {
      std::static_pointer_cast<MpaClientSNPrivate<AggSvcHostStub>>(client)->SetAppSpecific(layer);
    } else {
      std::static_pointer_cast<MpaClientSNPrivate<AggSvcMpStub>>(client)->SetAppSpecific(layer);
    }
    for (uint32_t type : {4u, 9u, 11u}) EXPECT_EQ(Send(*client, type), 0);
    EXPECT_EQ(Send(*client, 5), -1);
    EXPECT_EQ(client->SendMsgViaSNProxy(nullptr, "peer-1"), -1);
    if (persona == 1) {
      EXPECT_EQ(layer->took, (std::vector<std::string>{"request to SN peer-1", "respond to SN", "respond to SN"}));
    } else {
      EXPECT_EQ(layer->took, (std::vector<std::string>{"request peer-1", "respond by header", "respond by header"}));
    }
  }
  EXPECT_EQ(logs.Count("[AggSvc-Routing] MpaClientSNPrivate SendMsgViaSNProxy: Unsupported message (5)"), 2u);
  MpaClient::ResetRegistryForTest();
  MpaClient::SetNodePersonaSource(nullptr);
}

// A peer that left the list while a send still held its stub, whose stream then ends: not
// made again whatever the reason, so it neither stays in the stub map nor counts towards a
// complete set; back in the list, its stub is made again.
TEST_F(SnVariantsTest, APeerThatLeftIsNotMadeAgainWhateverEndsItsStream) {
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated() && standin_.DestinationWatchers() >= 1; }));
  for (const auto reason : {rpc::CloseReason::kPeerRemoved, rpc::CloseReason::kTransportShutdown, rpc::CloseReason::kIdle}) {
    const std::string why = rpc::CloseReasonToCStr(reason);
    SCOPED_TRACE(why);
    std::optional<AggSvcHostStub> inFlight = client_->getSNStub(kSnB);
    ASSERT_TRUE(inFlight);
    standin_.SetPeers({kSnA});
    ASSERT_TRUE(Eventually([&] { return client_->StubCount() == 1; }));
    ASSERT_TRUE(standin_.EndPeerStream(kSnB, static_cast<uint32_t>(reason)));
    const std::string removed = std::string("[") + kApp + "] OnStreamDown for SN (" + kSnB + "), reason (" + why +
                                "): SN was removed from cluster";
    ASSERT_TRUE(Eventually([&] { return logs_.Count(removed) == 1; }));
    const int checks = standin_.StubChecks(kSnB);
    for (int i = 0; i < 6; ++i) {
      clock_->Advance(1s);
      Drain();
    }
    EXPECT_EQ(client_->StubCount(), 1u);
    EXPECT_FALSE(client_->AllStubsCreated());
    EXPECT_EQ(client_->InflightCount(), 0u);
    EXPECT_EQ(client_->PendingTimerCount(), 0u);
    EXPECT_EQ(standin_.StubChecks(kSnB), checks);
    inFlight.reset();
    standin_.SetPeers({kSnA, kSnB});
    ASSERT_TRUE(AdvanceUntil([&] { return client_->AllStubsCreated(); }, 100ms));
    EXPECT_EQ(standin_.StubChecks(kSnB), checks + 1);
  }
}

// A smart NIC whose stubs cannot be made is asked again after 1, 2, 4 and then 5 s.
TEST_F(SnVariantsTest, AFailingPeerIsAskedAgainAfterOneTwoFourThenFiveSeconds) {
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kFail);
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return Retries(kSnB) == 1; }));
  ASSERT_TRUE(Eventually([&] { return client_->PendingTimerCount() == 1; }));
  for (const auto expected : {1000ms, 2000ms, 4000ms, 5000ms, 5000ms}) {
    const size_t retries = Retries(kSnB);
    EXPECT_EQ(WaitForNextRetryRun(kSnB), expected);
    ASSERT_TRUE(Eventually([&] { return Retries(kSnB) == retries + 1 && client_->PendingTimerCount() == 1; }));
  }
}

// A creation that fails after the smart-NIC proxy went down is neither retried nor left in
// flight.
TEST_F(SnVariantsTest, ACreationFailingAfterTheProxyWentDownIsDroppedWithoutRetry) {
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kHold);
  Open();
  ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1 && standin_.HeldStubChecks() == 1; }));
  ASSERT_EQ(client_->InflightCount(), 1u);
  client_->OnSNProxyDisconnected(rpc::CloseReason::kTransportShutdown);
  standin_.SetStubCheck(kSnB, SnProxyStandin::StubCheck::kFail);
  standin_.ReleaseHeldStubChecks(/*serving=*/false);
  const std::string notConnected = std::string("[") + kApp +
                                   "] Not connected with SNProxy. Not re-trying stub creation for SN (" + kSnB + ").";
  ASSERT_TRUE(Eventually([&] { return logs_.Count(notConnected) == 1; }));
  Drain();
  EXPECT_EQ(client_->InflightCount(), 0u);
  EXPECT_EQ(client_->PendingTimerCount(), 0u);
  const int checks = standin_.StubChecks(kSnB);
  for (int i = 0; i < 6; ++i) {
    clock_->Advance(1s);
    Drain();
  }
  EXPECT_EQ(client_->PendingTimerCount(), 0u);
  EXPECT_EQ(standin_.StubChecks(kSnB), checks);
}

}  // namespace
}  // namespace qbx
