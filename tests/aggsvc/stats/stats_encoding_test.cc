// Absolute statistics encoding.
#include <gtest/gtest.h>

#include <string>

#include "aggsvc/stats/proto_store_factory.h"
#include "tests/aggsvc/stats/stats_log_capture.h"
#include "tests/aggsvc/stats/stats_response_reader.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {
namespace {

namespace msg = zumbra::qbx::agg_service::messaging;

TEST(ProtoStoreFactoryTest, NothingWrittenGivesATimestampOnly) {
  ProtoStoreFactoryImpl factory;
  msg::StatsResponseMsg response;
  const uint64_t before = GetCurrentTimeMs();
  ASSERT_TRUE(factory.Encode(&response));
  EXPECT_EQ(response.target_type_stats_size(), 0);
  ASSERT_TRUE(response.has_timestamp());
  EXPECT_GE(static_cast<uint64_t>(response.timestamp()), before);
  StatsLogCapture logs;
  EXPECT_FALSE(factory.Encode(nullptr));
  EXPECT_TRUE(logs.Contains("StatsResponseMsg out ptr is Null"));
}

TEST(ProtoStoreFactoryTest, VectorCountersAreSentWithAbsentValuesAndWithoutErrors) {
  ProtoStoreFactoryImpl factory;
  auto store = factory.GetTargetStatsStore("t1", "lport", "", "");
  ASSERT_TRUE(store);
  store->AddStats({5, -1, 7}, false);
  store->AddError(-1100);
  msg::StatsResponseMsg response;
  ASSERT_TRUE(factory.Encode(&response));
  const msg::TargetStatsMsg* target = FindTarget(response, "lport", "t1");
  ASSERT_TRUE(target);
  ASSERT_EQ(target->counters_size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(target->counters(i).counter_index(), i);
    EXPECT_FALSE(target->counters(i).has_key());
  }
  EXPECT_EQ(target->counters(0).long_value(), 5);
  EXPECT_EQ(target->counters(1).long_value(), -1);
  EXPECT_EQ(target->counters(2).long_value(), 7);
  // Without named counters the error codes stay behind.
  EXPECT_EQ(target->errors_size(), 0);
  const msg::TargetTypeStatsMsg& type = response.target_type_stats(0);
  EXPECT_EQ(type.target_type(), "lport");
  EXPECT_FALSE(type.has_parent_type());
  EXPECT_FALSE(type.has_parent_id());
  EXPECT_FALSE(type.has_stat_type());
}

TEST(ProtoStoreFactoryTest, NamedCountersWithSortedErrors) {
  ProtoStoreFactoryImpl factory;
  auto store = factory.GetTargetStatsStore("t1", "lport", "ls-1", "lswitch");
  store->AddStat("a", 1, false);
  store->AddStat("b", 2, false);
  store->AddError(-1100);
  store->AddError(-1200);
  msg::StatsResponseMsg response;
  ASSERT_TRUE(factory.Encode(&response));
  const msg::TargetTypeStatsMsg& type = response.target_type_stats(0);
  EXPECT_EQ(type.parent_type(), "lswitch");
  EXPECT_EQ(type.parent_id().string_id(), "ls-1");
  const msg::TargetStatsMsg* target = FindTarget(response, "lport", "t1");
  ASSERT_TRUE(target);
  EXPECT_EQ(NamedValue(*target, "a"), 1.0);
  EXPECT_EQ(NamedValue(*target, "b"), 2.0);
  ASSERT_EQ(target->errors_size(), 2);
  EXPECT_EQ(target->errors(0), -1200);
  EXPECT_EQ(target->errors(1), -1100);
}

TEST(ProtoStoreFactoryTest, ErrorOnlyTargetIsSentEmpty) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  ASSERT_EQ(factory.GetErrorStore()->AddTargetError("t1", "lport", "", "", -1100), 0);
  msg::StatsResponseMsg response;
  ASSERT_TRUE(factory.Encode(&response));
  const msg::TargetStatsMsg* target = FindTarget(response, "lport", "t1");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->target_id().string_id(), "t1");
  EXPECT_EQ(target->counters_size(), 0);
  EXPECT_EQ(target->errors_size(), 0);
}

TEST(ProtoStoreFactoryTest, StatTypeEntriesFollowTargetTypeEntries) {
  ProtoStoreFactoryImpl factory;
  factory.GetTargetStatsStore(3, "t9", "p")->AddStats({1}, false);
  factory.GetTargetStatsStore(4, "t8", "")->AddStats({1}, false);
  factory.GetTargetStatsStore("t1", "lport", "", "")->AddStat("rx", 1, false);
  factory.GetTargetStatsStore("t2", "vif", "", "")->AddStat("rx", 1, false);
  msg::StatsResponseMsg response;
  ASSERT_TRUE(factory.Encode(&response));
  ASSERT_EQ(response.target_type_stats_size(), 4);
  EXPECT_TRUE(response.target_type_stats(0).has_target_type());
  EXPECT_TRUE(response.target_type_stats(1).has_target_type());
  for (int i = 2; i < 4; ++i) {
    const auto& type = response.target_type_stats(i);
    EXPECT_FALSE(type.has_target_type());
    ASSERT_TRUE(type.has_stat_type());
    if (type.stat_type() == 3) {
      EXPECT_EQ(type.parent_id().string_id(), "p");
    } else {
      EXPECT_EQ(type.stat_type(), 4);
      EXPECT_FALSE(type.has_parent_id());
    }
  }
}

TEST(SetStringIdTest, RefusesNullAndEmpty) {
  StatsLogCapture logs;
  msg::UuidOrStringIdMsg id;
  EXPECT_FALSE(SetStringId("x", nullptr));
  EXPECT_FALSE(SetStringId("", &id));
  EXPECT_FALSE(id.has_string_id());
  EXPECT_TRUE(SetStringId("0b6a5c1e-0000-4000-8000-000000000001", &id));
  EXPECT_EQ(id.string_id(), "0b6a5c1e-0000-4000-8000-000000000001");
  EXPECT_FALSE(id.has_uuid_id());
  EXPECT_TRUE(SetStringId("y", &id));
  EXPECT_EQ(id.string_id(), "y");
}

TEST(ProtoStoreFactoryTest, DebugLoggingOfEveryCounterIsOffAtInfo) {
  StatsLogCapture logs(loglevel::kInfo);
  ProtoStoreFactoryImpl factory;
  for (int t = 0; t < 10; ++t) {
    auto store = factory.GetTargetStatsStore("t" + std::to_string(t), "lport", "", "");
    for (int c = 0; c < 4; ++c) store->AddStat("c" + std::to_string(c), c, false);
  }
  msg::StatsResponseMsg response;
  ASSERT_TRUE(factory.Encode(&response));
  EXPECT_TRUE(logs.Lines().empty());
}

}  // namespace
}  // namespace qbx
