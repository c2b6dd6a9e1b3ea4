#include "aggsvc/vertical_adapter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/aggsvc/fakes/fake_sha_client_wrapper.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace {

using MacTableMsg = zumbra::qbx::agg_service::l2::MacTableMsg;
using Adapter = AggServiceClient::VerticalAdapter<MacTableMsg>;
using Statuses = std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>;
constexpr auto kHost = AggServiceClient::STATUS_SOURCE_LOCAL;
constexpr auto kSnic = AggServiceClient::STATUS_SOURCE_SNIC;

std::shared_ptr<GenericRuntimeStatusUpdateMsg> Status(uint64_t timestamp, const std::string& error,
                                                      const std::string& property) {
  auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  status->set_timestamp(timestamp);
  status->mutable_error()->set_error_message(error);
  status->add_properties()->set_key(property);
  return status;
}

TEST(VerticalAdapter, PullSerialisesInOrderSkipsNullsAndOnlyAppends) {
  qbx::test::LogCapture logs;
  Adapter adapter;
  adapter.pullHandler = [](const std::vector<std::shared_ptr<PullTarget>>& targets,
                           std::vector<std::shared_ptr<MacTableMsg>>& out) {
    for (const auto& t : targets) {
      out.push_back(std::make_shared<MacTableMsg>());
      out.back()->set_target_id(t->GetTargetId());
      out.push_back(nullptr);
    }
  };
  std::vector<std::string> payloads{"earlier"};
  adapter.RunVerticalCb({std::make_shared<PullTarget>("a"), std::make_shared<PullTarget>("b")}, payloads);
  ASSERT_EQ(payloads.size(), 3u);
  MacTableMsg parsed;
  ASSERT_TRUE(parsed.ParseFromString(payloads[2]));
  EXPECT_EQ(parsed.target_id(), "b");
  EXPECT_EQ(logs.Count("MPA10033"), 2u);
  EXPECT_EQ(adapter.MsgTypeName(), "zumbra.qbx.agg_service.l2.MacTableMsg");
}

TEST(VerticalAdapter, MissingCallbacksAnswerEmptyInsteadOfThrowing) {
  Adapter adapter;
  std::vector<std::string> payloads;
  EXPECT_NO_THROW(adapter.RunVerticalCb({}, payloads));
  EXPECT_TRUE(payloads.empty());
  EXPECT_FALSE(adapter.GetGenericRuntimeStatus(true).has_value());
  EXPECT_NO_THROW(adapter.PollStats(qbx::SUMMATION, nullptr));
  EXPECT_NO_THROW(adapter.OnDemandStatsNew({}, nullptr));
  std::vector<std::shared_ptr<MacTableMsg>> merged;
  EXPECT_FALSE(adapter.MergeStatus({}, {}, merged));
  EXPECT_FALSE(adapter.HasPollStatsWithMetrics());
  EXPECT_FALSE(adapter.DiffGenericRuntimeStatus(Status(1, "", ""), Status(1, "", "")));  // every update counts
  std::vector<std::string> ids{"kept"};
  EXPECT_FALSE(adapter.GetRemoteTargets(std::make_shared<PullTarget>("t"), ids));
  EXPECT_EQ(ids.size(), 1u);
}

struct RuntimeStatusAdapter : ::testing::Test {
  RuntimeStatusAdapter() {
    adapter.SetShaClientWrapper(sha);
    adapter.SetRuntimeStatusGetter([this](const RuntimeStatusOptionsGet& options) -> std::optional<RuntimeStatus> {
      seenTsdb = options.tsdbEnabled;
      if (!present) return std::nullopt;
      return RuntimeStatus{status, metric};
    });
    adapter.SetRuntimeStatusDiff([this](const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&,
                                        const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&, RuntimeStatus& out) {
      out.metric = metric;
      return same;
    });
  }
  Adapter adapter;
  std::shared_ptr<qbx::test::FakeShaClientWrapper> sha = std::make_shared<qbx::test::FakeShaClientWrapper>();
  std::shared_ptr<MetricsAgentMessage> metric = std::make_shared<MetricsAgentMessage>();
  std::shared_ptr<GenericRuntimeStatusUpdateMsg> status = Status(7, "", "");
  bool present = true, same = true, seenTsdb = false;
};

TEST_F(RuntimeStatusAdapter, GetterSendsMetricOnlyOnFullSyncWithTimeSeriesEnabled) {
  EXPECT_EQ(*adapter.GetGenericRuntimeStatus(true), status);
  EXPECT_FALSE(seenTsdb);
  EXPECT_TRUE(sha->metrics.empty());
  sha->SetTsdbEnabled(true);
  adapter.GetGenericRuntimeStatus(false);
  EXPECT_TRUE(seenTsdb);
  EXPECT_TRUE(sha->metrics.empty());
  adapter.GetGenericRuntimeStatus(true);
  ASSERT_EQ(sha->metrics.size(), 1u);
  EXPECT_EQ(sha->metrics[0].first, "zumbra.qbx.agg_service.l2.MacTableMsg");
  status = nullptr;  // a present answer with no status stays present
  auto result = adapter.GetGenericRuntimeStatus(false);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, nullptr);
  present = false;
  EXPECT_FALSE(adapter.GetGenericRuntimeStatus(false).has_value());
}

TEST_F(RuntimeStatusAdapter, CompareAndMergeSendMetricsOnlyWhenTheyShould) {
  sha->SetTsdbEnabled(true);
  EXPECT_TRUE(adapter.DiffGenericRuntimeStatus(nullptr, nullptr));
  EXPECT_TRUE(sha->metrics.empty());
  same = false;
  EXPECT_FALSE(adapter.DiffGenericRuntimeStatus(nullptr, nullptr));
  EXPECT_EQ(sha->metrics.size(), 1u);

  sha->SetTsdbEnabled(false);  // the merge path does not ask the flag
  adapter.runtimeStatusMerge = [&](const Statuses& all, const std::vector<AggServiceClient::StatusMessageSource>&,
                                   RuntimeStatus& out) {
    for (const auto& s : all) out.status->MergeFrom(*s);
    out.metric = metric;
    return false;  // not used
  };
  auto merged = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  auto before = merged;
  EXPECT_TRUE(adapter.MergeGenericRuntimeStatus({Status(3, "", "p")}, {kHost}, merged, true));
  EXPECT_EQ(merged, before);
  EXPECT_EQ(merged->properties_size(), 1);
  EXPECT_EQ(sha->metrics.size(), 2u);
  EXPECT_TRUE(adapter.MergeGenericRuntimeStatus({}, {}, merged, false));
  EXPECT_EQ(sha->metrics.size(), 2u);
}

TEST(DefaultMerge, HostTimestampAndErrorWinWhileRepeatedFieldsAccumulate) {
  auto merged = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  EXPECT_TRUE(DefaultMergeGenericRuntimeStatus({}, {}, merged));
  EXPECT_EQ(merged->ByteSizeLong(), 0u);
  EXPECT_TRUE(DefaultMergeGenericRuntimeStatus({Status(10, "host", "h"), Status(20, "a", "s1"), Status(30, "b", "s2")},
                                               {kHost, kSnic, kSnic}, merged));
  EXPECT_EQ(merged->timestamp(), 10u);
  EXPECT_EQ(merged->error().error_message(), "host");
  ASSERT_EQ(merged->properties_size(), 3);
  EXPECT_EQ(merged->properties(2).key(), "s2");

  auto twoHosts = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  DefaultMergeGenericRuntimeStatus({Status(1, "first", ""), Status(2, "second", "")}, {kHost, kHost}, twoHosts);
  EXPECT_EQ(twoHosts->timestamp(), 2u);
  EXPECT_EQ(twoHosts->error().error_message(), "second");
}

TEST(DefaultMerge, ToleratesNullEntriesAShortSourceListAndNoTarget) {
  auto merged = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  EXPECT_TRUE(DefaultMergeGenericRuntimeStatus({nullptr, Status(5, "x", "p")}, {kHost}, merged));
  EXPECT_EQ(merged->properties_size(), 1);
  std::shared_ptr<GenericRuntimeStatusUpdateMsg> none;
  EXPECT_FALSE(DefaultMergeGenericRuntimeStatus({Status(1, "", "")}, {kHost}, none));
}

}  // namespace
