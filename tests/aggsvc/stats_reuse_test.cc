// Reuse of memory between polls: counter entries of a refilled store, stores handed from one
// poll to a later one, and recycled response messages. Reuse must never change a value.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aggsvc/delta_store_factory.h"
#include "aggsvc/proto_store_factory.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {
namespace {

namespace msg = zumbra::qbx::agg_service::messaging;

std::vector<std::string> Names(const KeyValueCounters& kv) {
  std::vector<std::string> names;
  for (const auto& [name, value] : kv) names.push_back(name);
  return names;
}

TEST(KeyValueCountersReuseTest, RefillWithTheSameNamesKeepsOrderAndValues) {
  KeyValueCounters kv;
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(kv.try_emplace(name, 1).second);
  kv.clear();
  EXPECT_TRUE(kv.empty());
  EXPECT_EQ(kv.find("a"), kv.end());
  EXPECT_TRUE(kv.try_emplace("a", 7).second);
  EXPECT_TRUE(kv.try_emplace("b", 8).second);
  EXPECT_FALSE(kv.try_emplace("a", 9).second);
  EXPECT_EQ(kv.size(), 2u);
  EXPECT_EQ(kv.at("a"), 7);
  EXPECT_EQ(kv.at("b"), 8);
  EXPECT_THROW(kv.at("c"), std::out_of_range);  // a spare, not a counter
  EXPECT_EQ(kv.find("c", 2), kv.end());
}

TEST(KeyValueCountersReuseTest, DuplicateIsRefusedEvenWhenItEqualsTheSpareAtItsPosition) {
  KeyValueCounters kv;
  for (const char* name : {"a", "b", "c"}) kv.try_emplace(name, 1);
  kv.clear();
  // "c" overwrites the spare "a"; the spares behind it ("b", "c") no longer differ from the
  // live names, so a name equal to its spare must still be searched for.
  EXPECT_TRUE(kv.try_emplace("c", 1).second);
  EXPECT_TRUE(kv.try_emplace("b", 2).second);
  auto [it, inserted] = kv.try_emplace("c", 3);
  EXPECT_FALSE(inserted);
  EXPECT_EQ(it->second, 1);
  EXPECT_EQ(Names(kv), (std::vector<std::string>{"c", "b"}));
  kv.clear();
  for (const char* name : {"x", "y", "z", "w"}) EXPECT_TRUE(kv.try_emplace(name, 4).second);
  EXPECT_FALSE(kv.try_emplace("z", 5).second);
  EXPECT_EQ(Names(kv), (std::vector<std::string>{"x", "y", "z", "w"}));
}

TEST(KeyValueCountersReuseTest, RefillInAnotherOrderFindsEveryName) {
  KeyValueCounters kv;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("counter_" + std::to_string(i));
  for (const auto& n : names) kv.try_emplace(n, 1);
  for (int round = 0; round < 3; ++round) {
    kv.clear();
    for (size_t i = 0; i < names.size(); ++i) {
      const auto& n = names[(i * 7 + static_cast<size_t>(round)) % names.size()];
      ASSERT_TRUE(kv.try_emplace(n, static_cast<int64_t>(i)).second) << n;
    }
    for (const auto& n : names) ASSERT_FALSE(kv.try_emplace(n, -1).second) << n;
    ASSERT_EQ(kv.size(), names.size());
  }
}

TEST(TargetStatsMapReuseTest, ResetForgetsCountersVectorAndErrors) {
  TargetStatsMap store;
  store.AddStat("rx", 5, false);
  store.AddStats({1, 2}, false);
  store.AddError(-1001);
  store.Reset();
  EXPECT_TRUE(store.GetKeyValueStats().empty());
  EXPECT_TRUE(store.GetVectorStats().empty());
  EXPECT_EQ(store.GetErrorCount(), 0u);
  EXPECT_EQ(store.AddStat("rx", 3, true), statsresult::kOk);
  EXPECT_EQ(store.GetKeyValueStats().at("rx"), 3);
  EXPECT_EQ(store.AddStats({4, -1, 6}, true), statsresult::kOk);
  EXPECT_EQ(store.GetVectorStats(), (std::vector<int64_t>{4, -1, 6}));
}

// (type:target:counter) -> value of a response, independent of the order of its entries.
std::map<std::string, double> Flatten(const msg::StatsResponseMsg& response) {
  std::map<std::string, double> out;
  for (const auto& type : response.target_type_stats()) {
    const std::string typeName = type.has_stat_type() ? std::to_string(type.stat_type()) : type.target_type();
    for (const auto& target : type.target_stats()) {
      const std::string prefix = typeName + ":" + target.target_id().string_id() + ":";
      for (const auto& c : target.counters()) {
        if (c.has_key()) {
          out[prefix + c.key()] = c.value();
        } else {
          out[prefix + "#" + std::to_string(c.counter_index())] = static_cast<double>(c.long_value());
        }
      }
      for (int32_t code : target.errors()) out[prefix + "error" + std::to_string(code)] = 1;
    }
  }
  return out;
}

// One poll of a vertical whose targets come and go and whose counters change names and order.
void Poll(IStatsStoreFactory& f, int poll, std::vector<std::shared_ptr<ITargetStatsStore>>* keep) {
  for (int t = 0; t < 12; ++t) {
    if ((t + poll) % 5 == 0) continue;  // absent this time
    auto store = f.GetTargetStatsStore("t" + std::to_string(t), t % 3 == 0 ? "port" : "rule", "", "");
    ASSERT_TRUE(store);
    const int n = 2 + (t + poll) % 4;
    for (int c = 0; c < n; ++c) {
      const int id = (c + t + poll) % 6;
      store->AddStat("c" + std::to_string(id), int64_t{100} * poll + id * t + (poll % 3 == 2 ? -50 : 0), false);
    }
    if (t == 4 && poll % 2 == 0) store->AddError(-1001);
    auto vec = f.GetTargetStatsStore(7, "v" + std::to_string(t), "");
    ASSERT_TRUE(vec);
    vec->AddStats({poll * 10 + t, (poll + t) % 4 == 0 ? -1 : poll * 3}, false);
    if (keep) {
      keep->push_back(store);
      keep->push_back(vec);
    }
  }
}

// The same polls give the same deltas whether the stores are recycled or, because the
// vertical keeps every one of them, never recycled.
TEST(DiffStoreReuseTest, RecycledStoresGiveTheSameDeltasAsFreshOnes) {
  for (bool skip : {false, true}) {
    DiffStoreFactoryImpl recycled(skip);
    DiffStoreFactoryImpl fresh(skip);
    std::vector<std::shared_ptr<ITargetStatsStore>> kept;
    bool retried = false;
    for (int poll = 1; poll <= 12; ++poll) {
      msg::StatsResponseMsg a;
      msg::StatsResponseMsg b;
      recycled.UpdatePreviousWithCurrent();
      Poll(recycled, poll, nullptr);
      ASSERT_TRUE(recycled.Encode(&a));
      fresh.UpdatePreviousWithCurrent();
      Poll(fresh, poll, &kept);
      ASSERT_TRUE(fresh.Encode(&b));
      if (poll % 4 == 3 && !retried) {
        // A lost answer: the same poll is made again after the rollback.
        recycled.RollbackUpdate();
        fresh.RollbackUpdate();
        retried = true;
        --poll;
        continue;
      }
      retried = false;
      recycled.CommitUpdate();
      fresh.CommitUpdate();
      EXPECT_EQ(Flatten(a), Flatten(b)) << "poll " << poll << " skip " << skip;
    }
  }
}

TEST(DiffStoreReuseTest, StoreKeptByTheVerticalIsNotHandedToAnotherTarget) {
  DiffStoreFactoryImpl diff(false);
  diff.UpdatePreviousWithCurrent();
  auto held = diff.GetTargetStatsStore("old", "rule", "", "");
  held->AddStat("rx", 42, false);
  msg::StatsResponseMsg r;
  diff.Encode(&r);
  diff.CommitUpdate();
  for (int poll = 0; poll < 3; ++poll) {
    diff.UpdatePreviousWithCurrent();
    auto store = diff.GetTargetStatsStore("new" + std::to_string(poll), "rule", "", "");
    EXPECT_NE(store.get(), held.get());
    store->AddStat("rx", 1, false);
    msg::StatsResponseMsg out;
    diff.Encode(&out);
    diff.CommitUpdate();
  }
  auto* map = dynamic_cast<TargetStatsMap*>(held.get());
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->GetKeyValueStats().at("rx"), 42);
}

TEST(MessageRecyclerTest, ReleasedMessageIsHandedOutAgainEmpty) {
  auto recycler = MessageRecycler<msg::SummationStatsResponseMsg>::Create();
  auto first = recycler->Take();
  first->set_seq_num(5);
  first->mutable_stats()->add_target_type_stats()->set_target_type("rule");
  auto second = recycler->Take();
  EXPECT_NE(first.get(), second.get());
  msg::SummationStatsResponseMsg* raw = first.get();
  first.reset();
  EXPECT_TRUE(recycler->HasSpare());
  second.reset();  // only one spare is kept; this one is freed
  auto third = recycler->Take();
  EXPECT_EQ(third.get(), raw);
  EXPECT_FALSE(third->has_seq_num());
  EXPECT_EQ(third->stats().target_type_stats_size(), 0);
  EXPECT_FALSE(recycler->HasSpare());
}

TEST(MessageRecyclerTest, MessageOutlivingTheRecyclerIsFreedNormally) {
  auto recycler = MessageRecycler<msg::SummationStatsResponseMsg>::Create();
  auto message = recycler->Take();
  auto copy = message;  // like the cached response of the handler
  recycler.reset();
  message.reset();
  copy->set_seq_num(9);
  EXPECT_EQ(copy->seq_num(), 9u);
  copy.reset();
}

}  // namespace
}  // namespace qbx
