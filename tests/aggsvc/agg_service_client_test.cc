// Client construction, handler registration, set-up, open and stop.
#include "aggsvc/agg_service_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aggsvc/vertical_adapter.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/agg_service/l3/l3_status.pb.h"
#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace {

using qbx::test::ClientHarness;
using qbx::test::LogCapture;
using Update = std::shared_ptr<GenericRuntimeStatusUpdateMsg>;
namespace l2 = zumbra::qbx::agg_service::l2;
namespace l3 = zumbra::qbx::agg_service::l3;

template <class Msg>
AggServiceClient::PullHandler<Msg> Counting(int& calls) {
  return [&calls](const std::vector<std::shared_ptr<PullTarget>>&, std::vector<std::shared_ptr<Msg>>&) { ++calls; };
}
const AggServiceClient::GenericStatusGetter kNoStatus = [] { return std::optional<Update>(); };
const AggServiceClient::GenericStatusDiff kSame = [](const Update&, const Update&) { return true; };

TEST(Vertical, EntriesVersionsAndException) {
  qbx::test::TestVertical vertical("V");
  EXPECT_EQ(vertical.MpMajorVersion() + vertical.MpMinorVersion(), 0u);
  vertical.AddAdapterEntry(0, "zumbra.qbx.agg_service.TunnelsMsg");
  EXPECT_FALSE(vertical.HasSnicAdapter());
  vertical.AddAdapterEntry(SNIC_ADAPTER, "zumbra.qbx.agg_service.l2.MacTableMsg");
  EXPECT_TRUE(vertical.HasSnicAdapter());
  EXPECT_TRUE(vertical.HasAdapter("zumbra.qbx.agg_service.l2.MacTableMsg", SNIC_ADAPTER));
  EXPECT_FALSE(vertical.HasAdapter("zumbra.qbx.agg_service.TunnelsMsg", SNIC_ADAPTER));
  EXPECT_STREQ(VerticalInitException("exact text").what(), "exact text");
  EXPECT_THROW(AggServiceClient(nullptr, nullptr, nullptr), VerticalInitException);
}

TEST(ClientVersion, StartsAtThreeTwoResetsOnlyOnChangeAndIgnoresZeroZero) {
  LogCapture logs;
  ClientHarness h;
  EXPECT_EQ(h.vertical->MpMajorVersion(), 3u);
  EXPECT_EQ(h.vertical->MpMinorVersion(), 2u);
  EXPECT_EQ(AggServiceClient::MpTypeNameTable().size(), 67u);
  h.client->SetMPVersion(3, 2);
  EXPECT_EQ(logs.Count("reset due to MP version difference"), 1u);  // the constructor's only
  EXPECT_EQ(logs.Count("<SetMPVersion> SetMpVersion Major Version: 3 Minor Version 2 in TestVertical"), 2u);
  h.client->SetMPVersion(3, 3);
  EXPECT_EQ(logs.Count("reset due to MP version difference"), 2u);
  h.client->SetMPVersion(0, 0);
  EXPECT_EQ(logs.Count("mpMajorVersion and mpMinorVersion should not be both 0"), 1u);
  EXPECT_EQ(h.vertical->MpMinorVersion(), 3u);
}

TEST(HandlerRegistration, EachMapRefusesASecondAdapterForAType) {
  ClientHarness h;
  LogCapture logs;
  int first = 0, second = 0;
  EXPECT_EQ(h.client->RegisterPullHandler<l3::EdgeClusterStatusMsg>(Counting<l3::EdgeClusterStatusMsg>(first)), 0);
  EXPECT_EQ(logs.Count("App (TestVertical) registered status handler for msgType: "
                       "zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg"),
            1u);
  EXPECT_EQ(h.client->RegisterPullHandler<l3::EdgeClusterStatusMsg>(Counting<l3::EdgeClusterStatusMsg>(second)),
            aggresult::kDuplicateRegistration);
  EXPECT_EQ(logs.CountAll({"MPA10024", "Vertical already has pullHandler registered: "
                                       "zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg"}),
            1u);
  // The other map takes the same type, as a separate adapter.
  EXPECT_EQ(h.client->RegisterGenericPullHandler<l3::EdgeClusterStatusMsg>(kNoStatus, kSame), 0);
  EXPECT_EQ(h.client->RegisterGenericPullHandler<l3::EdgeClusterStatusMsg>(kNoStatus, kSame),
            aggresult::kDuplicateRegistration);
  EXPECT_EQ(logs.Count("Vertical already has generic message pullHandler registered"), 1u);
  auto* plain = h.client->FindAdapter("zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg");
  ASSERT_NE(plain, nullptr);
  EXPECT_NE(plain, h.client->FindGenericAdapter("zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg"));
  std::vector<std::string> payloads;
  plain->RunVerticalCb({}, payloads);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

TEST(HandlerRegistration, RuntimeStatusFormHandsTheClientsWrapperToTheAdapter) {
  ClientHarness h;
  LogCapture logs;
  AggServiceClient::RuntimeStatusGetter getter = [](const RuntimeStatusOptionsGet&) -> std::optional<RuntimeStatus> {
    return RuntimeStatus{std::make_shared<GenericRuntimeStatusUpdateMsg>(), std::make_shared<MetricsAgentMessage>()};
  };
  AggServiceClient::RuntimeStatusDiff diff = [](const Update&, const Update&, RuntimeStatus&) { return true; };
  EXPECT_EQ(h.client->RegisterGenericPullHandler<l2::LogicalPortState>(getter, diff), 0);
  EXPECT_EQ(logs.Count("App (TestVertical) register status handler for msgType: zumbra.qbx.agg_service.l2.LogicalPortState"),
            1u);
  h.sha->SetTsdbEnabled(true);
  h.client->FindGenericAdapter("zumbra.qbx.agg_service.l2.LogicalPortState")->GetGenericRuntimeStatus(true);
  EXPECT_EQ(h.sha->metrics.size(), 1u);
}

TEST(StatisticsRegistration, PollHandlerOnceOnDemandHandlersReplaced) {
  ClientHarness h;
  LogCapture logs;
  int polls = 0, firstOnDemand = 0, secondOnDemand = 0;
  EXPECT_EQ(h.client->RegisterPollStatsHandler([&](qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory>) { ++polls; }),
            0);
  EXPECT_EQ(h.client->RegisterPollStatsHandler(nullptr), aggresult::kDuplicateRegistration);
  EXPECT_EQ(logs.CountAll({"MPA10024", "already has poll statistics handler registered for"}), 1u);
  h.client->FindAdapter("zumbra.qbx.agg_service.messaging.PullOverwriteStatsRequestMsg")->PollStats(qbx::OVERWRITE, nullptr);
  EXPECT_EQ(polls, 1);

  using Targets = std::vector<std::shared_ptr<qbx::TargetContext>>;
  EXPECT_EQ(h.client->RegisterOnDemandStatsHandler(
                [&](const Targets&, std::shared_ptr<qbx::IStatsStoreFactory>) { ++firstOnDemand; }, nullptr),
            0);
  EXPECT_EQ(h.client->RegisterOnDemandStatsHandler(
                [&](const Targets&, std::shared_ptr<qbx::IStatsStoreFactory>) { ++secondOnDemand; }, nullptr),
            0);
  EXPECT_EQ(h.client->AdapterCount(), 3u);
  h.client->FindAdapter("zumbra.qbx.agg_service.messaging.OnDemandStatsRequestMsg")->OnDemandStats({}, nullptr);
  EXPECT_EQ(firstOnDemand + 10 * secondOnDemand, 10);
}

TEST(ClientSetup, FailsWithoutASenderAndThenCannotOpen) {
  LogCapture logs;
  ClientHarness h(std::make_shared<qbx::test::TestVertical>("NoSender"), false);
  EXPECT_EQ(h.Setup(), -1);
  EXPECT_EQ(logs.CountAll({"MPA10008", "Failed to create MpaClient stub"}), 1u);
  EXPECT_FALSE(h.client->HasDispatcherThread());
  EXPECT_EQ(h.client->OpenAggServiceClient(), -1);  // refused, not a crash
  EXPECT_EQ(h.client->SetupAggServiceClient(nullptr), -1);  // the one-context form never gets a sender
  EXPECT_EQ(h.registrar->registered, (std::vector<std::string>{"NoSender", "NoSender (simple)"}));
}

TEST(ClientSetup, BindsTheSenderStartsOneDispatcherAndStops) {
  ClientHarness h;
  LogCapture logs;
  ASSERT_EQ(h.Setup(), 0);
  EXPECT_EQ(h.sender->Client().lock(), h.client);
  EXPECT_TRUE(h.client->HasDispatcherThread());
  EXPECT_EQ(h.Setup(), aggresult::kDispatcherAlreadyCreated);
  EXPECT_EQ(logs.CountAll({"MPA10021", "mpaDispatcherThread already created"}), 1u);
  EXPECT_TRUE(h.client->HasDispatcherThread());

  h.client->StopAggServiceClient();
  EXPECT_FALSE(h.client->HasDispatcherThread());
  EXPECT_EQ(h.sender->Closes(), 1);
  EXPECT_EQ(h.client->GetLastSummationStatus(), 1u);
  h.client->StopAggServiceClient();
  EXPECT_EQ(logs.Count("MpaDispatcherThread already deleted"), 1u);
}

TEST(ClientOpen, SenderOrStatusSourceRefusalFailsTheOpen) {
  ClientHarness idle;  // no generic adapters: the status source is not asked
  ASSERT_EQ(idle.Setup(), 0);
  EXPECT_EQ(idle.client->OpenAggServiceClient(), 0);
  EXPECT_EQ(idle.statusSource->attempts, 0);

  ClientHarness closed;
  closed.client->RegisterGenericPullHandler<l2::LogicalPortState>(kNoStatus, kSame);
  closed.sender->openResult = false;
  ASSERT_EQ(closed.Setup(), 0);
  EXPECT_EQ(closed.client->OpenAggServiceClient(), -1);
  EXPECT_EQ(closed.statusSource->attempts, 0);

  LogCapture logs;
  ClientHarness refused;
  refused.client->RegisterGenericPullHandler<l3::LogicalRouterStatusMsg>(kNoStatus, kSame);
  refused.statusSource->refused.insert("zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg");
  ASSERT_EQ(refused.Setup(), 0);
  EXPECT_EQ(refused.client->OpenAggServiceClient(), -1);
  EXPECT_EQ(logs.Count("Registering TestVertical with StatusSource failed"), 1u);
}

TEST(ClientOpen, StatusSourceCallbacksDoNothingOnceTheClientIsGone) {
  ClientHarness h;
  auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  h.client->RegisterGenericPullHandler<l2::LogicalPortState>([status] { return std::optional<Update>(status); },
                                                             [](const Update&, const Update&) { return false; });
  ASSERT_EQ(h.Setup(), 0);
  ASSERT_EQ(h.client->OpenAggServiceClient(), 0);
  const auto* reg = h.statusSource->Find("zumbra.qbx.agg_service.l2.LogicalPortState");
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(reg->vertical, "TestVertical");
  EXPECT_EQ(*reg->statusCb(false), status);
  EXPECT_FALSE(reg->compareCb(nullptr, nullptr));
  h.client->StopAggServiceClient();
  h.client.reset();  // the source keeps its callbacks; they must not reach a freed adapter
  EXPECT_FALSE(reg->statusCb(true).has_value());
  EXPECT_TRUE(reg->compareCb(nullptr, nullptr));
}

}  // namespace
