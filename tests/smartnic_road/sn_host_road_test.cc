// A host with smart NICs (persona 1), the whole road below the management plane: a pull
// reaches the vertical's smart-NIC client, fans out through the queue-based client, the
// smart-NIC host variant of the MPA client and the stand-in smart-NIC proxy to the
// stand-in smart NICs, and their answers come back through the smart-NIC-host message
// layer and are merged with the host's own. Smart NICs that answer late, never, or with a
// failure cost at most the wait.
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "aggsvc/snic_vertical_adapter.h"
#include "channels/mpa/mpa_client_sn_private.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/aggsvc/stats/stats_response_reader.h"
#include "tests/smartnic_road/sn_road_fixture.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx::test {
namespace {

using namespace std::chrono_literals;
using tools::SnProxyStandin;
namespace snmsg = zumbra::qbx::agg_service::messaging;
namespace agg = zumbra::qbx::agg_service;
using HostVariant = MpaClientSNPrivate<AggSvcHostStub>;

constexpr char kApp[] = "TransportNodeStatusVertical";

SnProxyStandin::NicBehaviour Answers(std::vector<std::pair<std::string, double>> counters, std::string status = "") {
  SnProxyStandin::NicBehaviour b;
  b.counters = std::move(counters);
  if (!status.empty()) b.statusEntries = {status};
  return b;
}

class SnHostRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<SnRoadEnvironment>(SNUtil::kPersonaSnHost, std::vector<std::string>{kSnA, kSnB}, kHost);
    env_->standin.ConfigureNic(kSnA, Answers({{"rx", 5}, {"tx", 2}}, "a"));
    env_->standin.ConfigureNic(kSnB, Answers({{"rx", 4}}, "b"));
    MpaClient::SetAggAppClientFactory([this](const MpaClient::CreateArgs& args) -> std::shared_ptr<MpaClient> {
      auto client = std::make_shared<RecordingMpClient>(args);
      mp_ = client;
      return client;
    });
    provider_ = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "test");
    provider_->RunAsync(1);
    collector_ = std::make_unique<RemoteCollector>(std::make_shared<FastWaitClock>(), RemoteCollector::Topology{});
    collector_->Start();
    vertical_ = std::make_shared<TestVertical>(kApp, /*skipFirstValue=*/false);
    vertical_->AddAdapterEntry(SNIC_ADAPTER, agg::TunnelsSummaryMsg::default_instance().GetTypeName());
    AggServiceClient::Deps deps{std::make_shared<AggSvcMpaClientRegistrar>(), [] { return 1; }};
    client_ = std::make_shared<AggSvcSnic::SnicAggServiceClient>(vertical_, statusSource_, sha_, collector_.get(), deps);
    client_->RegisterPollStatsHandler([this](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
      if (auto store = factory->GetTargetStatsStore("t1", "rule", "", "")) store->AddStat("rx", hostRx_, false);
    });
  }
  void TearDown() override {
    if (client_) client_->StopAggServiceClient();
    client_.reset();
    env_.reset();
    provider_->StopAndWait(true);
  }

  // Sets the client up, opens it, starts the proxy client and waits for both stubs.
  void Connect() {
    ASSERT_EQ(client_->SetupAggServiceClient(provider_, provider_), 0);
    ASSERT_EQ(client_->OpenAggServiceClient(), 0);
    ASSERT_TRUE(mp_);
    // The management-plane side is not under test: it may send at once.
    mp_->SetRegistrationAcked(true);
    mp_->SetConnState(MpaClient::STATE_CONNECTED);
    sn_ = std::dynamic_pointer_cast<HostVariant>(MpaClient::GetSNHostClient(kApp));
    ASSERT_TRUE(sn_);
    env_->snProxy->Start();
    ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated(); }));
    ASSERT_TRUE(Eventually([&] { return sn_->IsRegistrationAcked(); }));
  }

  int Summation(uint64_t seq, uint64_t ack) {
    snmsg::PullSummationStatsRequestMsg request;
    request.set_seq_num(seq);
    request.set_last_ack(ack);
    const std::string payload = request.SerializeAsString();
    return client_->ProcessReceivedMessage(
        payload.data(), static_cast<int32_t>(payload.size()),
        MsgMetadata(AggServiceClient::kSummationRequestTypeId, "sum-" + std::to_string(seq), "reply-q"));
  }

  double SummedRx(size_t n, const char* key = "rx") {
    MpAnswer answer;
    EXPECT_TRUE(mp_->WaitForAnswer(n, answer));
    return SummedCounter(answer.payload, "rule", "t1", key);
  }

  // The host's own runtime status of the tunnels summary is "host".
  void RegisterHostStatus() {
    AggSvcSnic::MultiCollectorCallbacks callbacks;
    callbacks.genericStatusMerge = [](const auto& statuses, const auto& sources, auto& merged) {
      return DefaultMergeGenericRuntimeStatus(statuses, sources, merged);
    };
    ASSERT_EQ(client_->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(
                  [] {
                    auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
                    status->add_status("host");
                    return std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>(status);
                  },
                  callbacks),
              0);
  }

  // A runtime-status pull of the tunnels summary; what the client returns.
  int RuntimeStatus(const std::string& correlationId) {
    snmsg::GenericRuntimeStatusRequestMsg request;
    request.set_target_type(agg::TunnelsSummaryMsg::default_instance().GetTypeName());
    const std::string payload = request.SerializeAsString();
    return client_->ProcessReceivedMessage(
        payload.data(), static_cast<int32_t>(payload.size()),
        MsgMetadata(AggServiceClient::kGenericRuntimeStatusRequestTypeId, correlationId, ""));
  }

  std::unique_ptr<SnRoadEnvironment> env_;
  std::shared_ptr<AsioQbxProvider> provider_;
  std::unique_ptr<RemoteCollector> collector_;  // outlives the client
  std::shared_ptr<TestVertical> vertical_;
  std::shared_ptr<FakeStatusSource> statusSource_ = std::make_shared<FakeStatusSource>();
  std::shared_ptr<FakeShaClientWrapper> sha_ = std::make_shared<FakeShaClientWrapper>();
  std::shared_ptr<AggSvcSnic::SnicAggServiceClient> client_;
  std::shared_ptr<RecordingMpClient> mp_;
  std::shared_ptr<HostVariant> sn_;
  int64_t hostRx_ = 10;
};

TEST_F(SnHostRoad, SummationPullIsAnsweredWithHostAndSmartNicCountersMerged) {
  LogCapture logs;
  Connect();
  ASSERT_EQ(Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(0), 19.0);  // 10 + 5 + 4
  EXPECT_EQ(SummedRx(0, "tx"), 2.0);
  MpAnswer answer;
  ASSERT_TRUE(mp_->WaitForAnswer(0, answer));
  EXPECT_EQ(answer.correlationId, "sum-1");
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 1u);
  // Each smart NIC got the request once, in the summation field, with its type id.
  ASSERT_EQ(env_->standin.NicRequestCount(kSnA), 1);
  ASSERT_EQ(env_->standin.NicRequestCount(kSnB), 1);
  for (const auto& request : env_->standin.NicRequests()) {
    EXPECT_EQ(request.msg.obj_type(), AggServiceClient::kSummationRequestTypeId);
    EXPECT_EQ(request.msg.app_name(), kApp);
    EXPECT_EQ(request.msg.pull_summation_stats_request().seq_num(), 1u);
    EXPECT_EQ(request.caller, kHost);  // the local uuid the proxy reported
  }
}

TEST_F(SnHostRoad, RuntimeStatusPullMergesHostStatusWithEverySmartNics) {
  ASSERT_NO_FATAL_FAILURE(RegisterHostStatus());
  Connect();
  ASSERT_EQ(RuntimeStatus("grs-1"), 0);
  MpAnswer answer;
  ASSERT_TRUE(mp_->WaitForAnswer(0, answer));
  snmsg::GenericRuntimeStatusResponseMsg response;
  ASSERT_TRUE(response.ParseFromString(answer.payload));
  ASSERT_TRUE(response.status_obtained());
  GenericRuntimeStatusUpdateMsg merged;
  ASSERT_TRUE(merged.ParseFromString(response.status()));
  ASSERT_EQ(merged.status_size(), 3);
  EXPECT_EQ(merged.status(0), "host");
  EXPECT_EQ(std::set<std::string>({merged.status(1), merged.status(2)}), std::set<std::string>({"a", "b"}));
  // The request reached the smart NICs in the summation field with its own type id, and
  // its bytes unchanged.
  for (const auto& sent : env_->standin.NicRequests()) {
    EXPECT_EQ(sent.msg.obj_type(), AggServiceClient::kGenericRuntimeStatusRequestTypeId);
    snmsg::GenericRuntimeStatusRequestMsg asked;
    ASSERT_TRUE(asked.ParseFromString(sent.msg.pull_summation_stats_request().SerializeAsString()));
    EXPECT_EQ(asked.target_type(), agg::TunnelsSummaryMsg::default_instance().GetTypeName());
  }
}

TEST_F(SnHostRoad, SilentSmartNicLeavesTheAnswerCompleteAfterTheWait) {
  LogCapture logs;
  SnProxyStandin::NicBehaviour silent = Answers({{"rx", 4}});
  silent.mode = SnProxyStandin::NicMode::kSilent;
  env_->standin.ConfigureNic(kSnB, silent);
  Connect();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(0), 15.0);  // the host and sn-a
  EXPECT_EQ(logs.Count("RetrieveInfo timed out"), 1u);
  // The wait ran on the collector's clock: a tenth of five seconds here, never the held call.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // The held answer, released now, belongs to no fan-out: dropped, not merged later.
  env_->standin.ReleaseHeld();
  ASSERT_TRUE(Eventually([&] { return logs.Count("reply does not match request") == 1u; }));
  env_->standin.ConfigureNic(kSnB, Answers({{"rx", 4}}));
  hostRx_ = 11;
  ASSERT_EQ(Summation(2, 1), 0);
  EXPECT_EQ(SummedRx(1), 5.0);  // 11 + 5 + 4 against the 15 acknowledged: the late answer counted nowhere
}

TEST_F(SnHostRoad, LateAndFailingSmartNicsCostOnlyTheWait) {
  LogCapture logs;
  SnProxyStandin::NicBehaviour late = Answers({{"rx", 100}});
  late.mode = SnProxyStandin::NicMode::kLate;
  late.lateBy = 2000ms;  // later than the (scaled) 5 s wait
  env_->standin.ConfigureNic(kSnA, late);
  SnProxyStandin::NicBehaviour failing;
  failing.mode = SnProxyStandin::NicMode::kFail;
  env_->standin.ConfigureNic(kSnB, failing);
  Connect();
  ASSERT_EQ(Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(0), 10.0);  // the host's own, complete
  EXPECT_EQ(logs.Count("RetrieveInfo timed out"), 1u);
  // The late answer arrives after the fan-out ended and is not merged into the next one.
  ASSERT_TRUE(Eventually([&] { return logs.Count("reply does not match request") == 1u; }));
  env_->standin.ConfigureNic(kSnA, Answers({{"rx", 5}}));
  env_->standin.ConfigureNic(kSnB, Answers({{"rx", 4}}));
  ASSERT_EQ(Summation(2, 1), 0);
  EXPECT_EQ(SummedRx(1), 9.0);  // 10 + 5 + 4 against the 10 acknowledged
}

TEST_F(SnHostRoad, SmartNicDatapathRestartResetsTheVerticalsSummation) {
  LogCapture logs;
  Connect();
  ASSERT_EQ(Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(0), 19.0);
  hostRx_ = 12;
  ASSERT_EQ(Summation(2, 1), 0);
  EXPECT_EQ(SummedRx(1), 2.0);  // a delta
  env_->standin.ConfigureNic(kSnB, Answers({{"rx", 1}}));
  SNUtil::NotifyDatapathRestart(kSnB);
  client_->WaitForResetsForTest();
  EXPECT_EQ(logs.Count("resetting summation statistics"), 1u);
  ASSERT_EQ(Summation(3, 2), 0);
  EXPECT_EQ(SummedRx(2), 18.0);  // 12 + 5 + 1 from an empty base
}

TEST_F(SnHostRoad, ConcurrentFanOutsOfOneVerticalEachGetTheirOwnAnswers) {
  ASSERT_NO_FATAL_FAILURE(RegisterHostStatus());
  Connect();
  // A runtime-status pull and a summation pull at once: each fan-out files only the replies
  // of its own request.
  std::thread status([&] { EXPECT_EQ(RuntimeStatus("grs-1"), 0); });
  ASSERT_EQ(Summation(1, 0), 0);
  status.join();
  MpAnswer first;
  MpAnswer second;
  ASSERT_TRUE(mp_->WaitForAnswer(0, first));
  ASSERT_TRUE(mp_->WaitForAnswer(1, second));
  const MpAnswer& sum = first.correlationId == "sum-1" ? first : second;
  const MpAnswer& grs = first.correlationId == "sum-1" ? second : first;
  ASSERT_EQ(sum.correlationId, "sum-1");
  ASSERT_EQ(grs.correlationId, "grs-1");
  snmsg::SummationStatsResponseMsg summed;
  ASSERT_TRUE(summed.ParseFromString(sum.payload));
  const auto* target = FindTarget(summed.stats(), "rule", "t1");
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(NamedValue(*target, "rx").value_or(-1), 19.0);
  snmsg::GenericRuntimeStatusResponseMsg response;
  ASSERT_TRUE(response.ParseFromString(grs.payload));
  GenericRuntimeStatusUpdateMsg merged;
  ASSERT_TRUE(merged.ParseFromString(response.status()));
  EXPECT_EQ(merged.status_size(), 3);
  EXPECT_EQ(env_->standin.NicRequestCount(kSnA), 2);
  EXPECT_EQ(env_->standin.NicRequestCount(kSnB), 2);
}

TEST_F(SnHostRoad, ASmartNicThatLeavesLosesItsStubAndIsNotAsked) {
  LogCapture logs;
  Connect();
  env_->standin.SetPeers({kSnA});
  ASSERT_TRUE(Eventually([&] { return sn_->StubCount() == 1u; }));
  EXPECT_FALSE(sn_->AllStubsCreated());  // the host expects two
  // The collector still asks both smart NICs the topology names; the one without a stub is
  // refused at once and not waited for.
  ASSERT_EQ(Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(0), 15.0);
  EXPECT_EQ(logs.Count("Request sent to 1 DPUs"), 1u);
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 1u);
  EXPECT_EQ(env_->standin.NicRequestCount(kSnB), 0);
  // It comes back: a stub again, and the vertical is registered again.
  env_->standin.SetPeers({kSnA, kSnB});
  ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated(); }));
}

TEST_F(SnHostRoad, ASmartNicStreamEndedAsShutDownOrIdleIsMadeAgain) {
  Connect();
  ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated(); }));
  for (const auto reason : {rpc::CloseReason::kTransportShutdown, rpc::CloseReason::kIdle}) {
    SCOPED_TRACE(rpc::CloseReasonToCStr(reason));
    sn_->OnStreamDown(kSnB, reason);
    // Not left out of reach until some unrelated event: its stub is made again.
    ASSERT_TRUE(Eventually([&] { return sn_->AllStubsCreated() && sn_->StubCount() == 2u; }));
  }
  const int before = env_->standin.NicRequestCount(kSnB);
  ASSERT_EQ(Summation(1, 0), 0);
  EXPECT_EQ(env_->standin.NicRequestCount(kSnB), before + 1);
}

}  // namespace
}  // namespace qbx::test
