// The smart-NIC adapter on a host with smart NICs (persona 1): what a pull's merge callback
// is given and what becomes of its result, and the overwrite and on-demand statistics that
// add every smart NIC's counters to the host's.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/smartnic_harness.h"
#include "tests/aggsvc/stats/stats_response_reader.h"

namespace qbx::test {
namespace {

using Mode = FakeSmartNics::Mode;
namespace l2 = zumbra::qbx::agg_service::l2;
using Source = AggServiceClient::StatusMessageSource;

constexpr const char* kMpMacTable = "com.zumbra.qbx.management.aggservice.l2.MacTableMsg";

SnReply MacTableReply(const SnRequest& request, const std::string& id) {
  l2::MacTableMsg table;
  table.set_target_id(id);
  return SnReply{kMpMacTable, request.correlationId, table.SerializeAsString()};
}

// The host's two tables, sn-a's two and sn-b's one reach the merge callback, which answers
// with a single table of its own and reports failure.
struct PullMergeHost : SnicHostHarness {
  PullMergeHost() {
    AggSvcSnic::SnicPullCallbacks<l2::MacTableMsg> callbacks;
    callbacks.merge = [this](const std::vector<std::shared_ptr<l2::MacTableMsg>>& all, const std::vector<Source>& sources,
                             std::vector<std::shared_ptr<l2::MacTableMsg>>& merged) {
      for (const auto& table : all) seenIds.push_back(table ? table->target_id() : "null");
      seenSources = sources;
      merged.clear();
      merged.push_back(std::make_shared<l2::MacTableMsg>());
      merged.back()->set_target_id("merged");
      return false;
    };
    EXPECT_EQ(client->RegisterSnicPullHandler<l2::MacTableMsg>(
                  [](const auto&, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
                    for (const char* id : {"host-1", "host-2"}) {
                      out.push_back(std::make_shared<l2::MacTableMsg>());
                      out.back()->set_target_id(id);
                    }
                  },
                  callbacks),
              0);
    nics->ConfigureReplies("sn-a", Mode::kAnswer, [](const SnRequest& r) {
      return std::vector<SnReply>{MacTableReply(r, "a-1"), MacTableReply(r, "a-2")};
    });
    nics->ConfigureReplies("sn-b", Mode::kAnswer,
                           [](const SnRequest& r) { return std::vector<SnReply>{MacTableReply(r, "b")}; });
  }
  int Pull() {
    snmsg::ClientDataRequestMsg request;
    request.add_target_data_request()->set_target_type(kMpMacTable);
    return Request(AggServiceClient::kClientDataRequestTypeId, request.SerializeAsString(), "pull-1");
  }

  std::vector<std::string> seenIds;
  std::vector<Source> seenSources;
};

TEST(SmartNicPullMerge, CallbackSeesHostThenSmartNicMessagesTaggedInOrder) {
  PullMergeHost h;
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.Pull(), 0);
  EXPECT_EQ(h.seenIds, (std::vector<std::string>{"host-1", "host-2", "a-1", "a-2", "b"}));
  EXPECT_EQ(h.seenSources,
            (std::vector<Source>{AggServiceClient::STATUS_SOURCE_LOCAL, AggServiceClient::STATUS_SOURCE_LOCAL,
                                 AggServiceClient::STATUS_SOURCE_SNIC, AggServiceClient::STATUS_SOURCE_SNIC,
                                 AggServiceClient::STATUS_SOURCE_SNIC}));
}

TEST(SmartNicPullMerge, OneMergedMessageIsTheWholeAnswerEvenWhenTheMergeReportsFailure) {
  LogCapture logs;
  PullMergeHost h;
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.Pull(), 0);
  h.client->StopAggServiceClient();  // every queued answer has been sent
  const auto sent = h.nics->Sent();
  ASSERT_EQ(sent.size(), 1u);
  l2::MacTableMsg expected;
  expected.set_target_id("merged");
  EXPECT_EQ(sent[0].payload, expected.SerializeAsString());
  EXPECT_EQ(sent[0].typeId, kMpMacTable);
  EXPECT_EQ(sent[0].correlationId, "pull-1");
  // With debug records on, the merged message is shown as text.
  EXPECT_EQ(logs.Count("MergeStatusWithRemote[zumbra.qbx.agg_service.l2.MacTableMsg]: status_protobuf "
                       "target_id: \"merged\""),
            1u);
  EXPECT_EQ(logs.Count("MergeStatusWithRemote[zumbra.qbx.agg_service.l2.MacTableMsg]:  status_len=1"), 1u);
}

// The statistics answer of one smart NIC to `request`, of the response type that the request
// asks for, with the records that `fill` writes.
SnReply StatsReply(const SnRequest& request, const std::function<void(snmsg::StatsResponseMsg&)>& fill) {
  std::string body;
  std::string typeId;
  if (request.typeId == AggServiceClient::kOverwriteRequestTypeId) {
    snmsg::OverwriteStatsResponseMsg response;
    fill(*response.mutable_stats());
    body = response.SerializeAsString();
    typeId = "com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg";
  } else {
    snmsg::OnDemandStatsResponseMsg response;
    fill(*response.mutable_stats());
    body = response.SerializeAsString();
    typeId = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg";
  }
  return SnReply{typeId, request.correlationId, body};
}

// Adds the named counter `key` = `value` of target `id` under `type`.
void AddNamed(snmsg::StatsResponseMsg& stats, const std::string& type, const std::string& id, const std::string& key,
              double value) {
  auto* entry = stats.add_target_type_stats();
  entry->set_target_type(type);
  auto* target = entry->add_target_stats();
  target->mutable_target_id()->set_string_id(id);
  auto* counter = target->add_counters();
  counter->set_key(key);
  counter->set_value(value);
}

// Sets sn-a and sn-b to answer every statistics request with rx = `a` and `b` for t1 (and
// for the on-demand port p1), and 7 and 8 at index 0 of the vector target v1.
void SmartNicsCount(SnicHostHarness& h, double a, double b) {
  for (const auto& [id, rx] : std::vector<std::pair<std::string, double>>{{"sn-a", a}, {"sn-b", b}}) {
    const int64_t indexed = id == "sn-a" ? 7 : 8;
    h.nics->Configure(id, Mode::kAnswer, [rx, indexed](const SnRequest& request) -> std::optional<SnReply> {
      return StatsReply(request, [&](snmsg::StatsResponseMsg& stats) {
        AddNamed(stats, "rule", "t1", "rx", rx);
        AddNamed(stats, "lport", "p1", "rx", rx);
        auto* vector = stats.add_target_type_stats();
        vector->set_stat_type(3);
        auto* target = vector->add_target_stats();
        target->mutable_target_id()->set_string_id("v1");
        auto* counter = target->add_counters();
        counter->set_counter_index(0);
        counter->set_long_value(indexed);
      });
    });
  }
}

TEST(SmartNicStatistics, OverwriteAnswerHoldsHostPlusEverySmartNicEachTime) {
  SnicHostHarness h;
  int64_t hostRx = 10;
  ASSERT_EQ(h.client->RegisterPollStatsHandler([&](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
    factory->GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", hostRx, false);
  }),
            0);
  SmartNicsCount(h, 5.9, 4);
  ASSERT_EQ(h.Open(), 0);
  const std::string body = snmsg::PullOverwriteStatsRequestMsg().SerializeAsString();
  ASSERT_EQ(h.Request(AggServiceClient::kOverwriteRequestTypeId, body, "ow-1"), 0);
  hostRx = 12;
  SmartNicsCount(h, 6, 4);
  ASSERT_EQ(h.Request(AggServiceClient::kOverwriteRequestTypeId, body, "ow-2"), 0);
  std::vector<double> rx;
  for (size_t i = 0; i < 2; ++i) {
    const SentMessage answer = h.Answer(i);
    EXPECT_EQ(answer.typeId, "com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg");
    snmsg::OverwriteStatsResponseMsg response;
    ASSERT_TRUE(response.ParseFromString(answer.payload));
    rx.push_back(CounterOr(response.stats(), "rule", "t1", "rx"));
  }
  // Absolute sums, never deltas: 10 + 5 + 4, then 12 + 6 + 4.
  EXPECT_EQ(rx, (std::vector<double>{19, 22}));
  const auto sends = h.nics->Sends();
  ASSERT_EQ(sends.size(), 4u);
  EXPECT_EQ(sends[0].second.typeId, AggServiceClient::kOverwriteRequestTypeId);
  EXPECT_EQ(sends[0].second.correlationId, "ow-1");
}

// On-demand targets of both forms: the port p1 by target type, the vector target v1 by stat
// type. The host counts rx = 1 for a port and 5 at index 0 for a vector target.
struct OnDemandHost : SnicHostHarness {
  OnDemandHost() {
    EXPECT_EQ(client->RegisterOnDemandStatsHandler(
                  [](const std::vector<std::shared_ptr<TargetContext>>& targets, std::shared_ptr<IStatsStoreFactory> f) {
                    for (const auto& t : targets) {
                      f->GetTargetStatsStore(t->targetId, t->metaData.TargetType(), "", "")->AddStat("rx", 1, false);
                    }
                  },
                  [](const std::vector<std::shared_ptr<TargetContextNew>>& targets,
                     std::shared_ptr<IStatsStoreFactory> f) {
                    for (const auto& t : targets) {
                      f->GetTargetStatsStore(t->metaData.StatType(), t->targetId, "")->AddStats({5}, false);
                    }
                  }),
              0);
    SmartNicsCount(*this, 2, 3);
  }
  snmsg::StatsResponseMsg Ask(const snmsg::TargetStatsRequestMsg& target, size_t answer) {
    snmsg::OnDemandStatsRequestMsg request;
    *request.add_target_request() = target;
    EXPECT_EQ(Request(AggServiceClient::kOnDemandRequestTypeId, request.SerializeAsString(), "od"), 0);
    snmsg::OnDemandStatsResponseMsg response;
    EXPECT_TRUE(response.ParseFromString(Answer(answer).payload));
    return response.stats();
  }
};

TEST(SmartNicStatistics, OnDemandKeyValueTargetsAddEverySmartNicsCounters) {
  OnDemandHost h;
  ASSERT_EQ(h.Open(), 0);
  snmsg::TargetStatsRequestMsg port;
  port.set_target_type("lport");
  port.mutable_target_id()->set_string_id("p1");
  EXPECT_EQ(CounterOr(h.Ask(port, 0), "lport", "p1", "rx"), 6.0);  // 1 + 2 + 3
  EXPECT_EQ(h.nics->Sends().size(), 2u);
}

TEST(SmartNicStatistics, OnDemandStatTypeTargetsAddEverySmartNicsVector) {
  OnDemandHost h;
  ASSERT_EQ(h.Open(), 0);
  snmsg::TargetStatsRequestMsg vector;
  vector.set_stat_type(3);
  vector.mutable_target_id()->set_string_id("v1");
  const snmsg::StatsResponseMsg stats = h.Ask(vector, 0);
  const auto* target = FindTarget(stats, 3, "v1");
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(IndexedValue(*target, 0), 20);  // 5 + 7 + 8
}

}  // namespace
}  // namespace qbx::test
