// Reuse of memory between polls: counter entries of a refilled store, stores handed from one
// poll to a later one, and recycled answer buffers. Reuse must never change a value.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/stats/proto_store_factory.h"
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

TEST(KeyValueCountersReuseTest, CountersBeyondThoseHeldInPlaceKeepTheirValuesThroughGrowthClearAndCopy) {
  const size_t many = 5 * KeyValueCounters::kInlineValues + 3;
  auto name = [](size_t i) { return "counter_" + std::to_string(i); };
  KeyValueCounters kv;
  for (size_t i = 0; i < many; ++i) ASSERT_TRUE(kv.try_emplace(name(i), static_cast<int64_t>(i) * 10).second);
  ASSERT_EQ(kv.size(), many);
  for (size_t i = 0; i < many; ++i) EXPECT_EQ(kv.at(name(i)), static_cast<int64_t>(i) * 10);
  // A copy owns its values: changing one side leaves the other as it was.
  KeyValueCounters copy(kv);
  KeyValueCounters small;
  small.try_emplace("x", 1);
  KeyValueCounters assigned;
  assigned = kv;
  kv.find(name(many - 1))->second = -5;
  copy = copy;  // self-assignment keeps everything
  EXPECT_EQ(copy.at(name(many - 1)), static_cast<int64_t>(many - 1) * 10);
  EXPECT_EQ(assigned.at(name(many - 1)), static_cast<int64_t>(many - 1) * 10);
  EXPECT_EQ(assigned.size(), many);
  assigned = small;  // back to values held in place
  EXPECT_EQ(assigned.size(), 1u);
  EXPECT_EQ(assigned.at("x"), 1);
  EXPECT_TRUE(assigned.try_emplace("y", 2).second);
  EXPECT_EQ(small.size(), 1u);
  // A refill after clear() reuses the grown room, with fewer and then with more counters.
  kv.clear();
  for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(kv.try_emplace(name(i), -1).second);
  EXPECT_EQ(kv.size(), 3u);
  EXPECT_EQ(kv.at(name(2)), -1);
  EXPECT_THROW(kv.at(name(3)), std::out_of_range);
  for (size_t i = 3; i < 2 * many; ++i) ASSERT_TRUE(kv.try_emplace(name(i), static_cast<int64_t>(i)).second);
  for (size_t i = 3; i < 2 * many; ++i) EXPECT_EQ(kv.ValueAt(i), static_cast<int64_t>(i));
  EXPECT_EQ(kv.ValueAt(0), -1);
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

TEST(KeyValueCountersReuseTest, ChangingASharedNameListCopiesItFirst) {
  KeyValueCounters a;
  for (const char* name : {"x", "y", "z"}) a.try_emplace(name, 1);
  KeyValueCounters b;
  b.SeedNames(a.Names());
  EXPECT_TRUE(b.try_emplace("x", 2).second);
  EXPECT_EQ(b.Names(), a.Names());  // the same names so far: nothing copied
  EXPECT_TRUE(b.try_emplace("w", 3).second);
  EXPECT_FALSE(b.try_emplace("x", 4).second);
  EXPECT_NE(b.Names(), a.Names());
  EXPECT_EQ(Names(a), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(Names(b), (std::vector<std::string>{"x", "w"}));
  EXPECT_EQ(a.at("y"), 1);
  EXPECT_EQ(b.at("w"), 3);
  EXPECT_THROW(b.at("y"), std::out_of_range);
  // A store that has counters, or other names, keeps its own list.
  EXPECT_FALSE(b.ShareNames(a.Names()));
  b.clear();
  EXPECT_FALSE(b.ShareNames(a.Names()));
  KeyValueCounters c;
  for (const char* name : {"x", "y", "z"}) c.try_emplace(name, 5);
  c.clear();
  EXPECT_TRUE(c.ShareNames(a.Names()));
  EXPECT_EQ(c.Names(), a.Names());
  EXPECT_TRUE(c.try_emplace("x", 6).second);
  EXPECT_TRUE(c.try_emplace("q", 7).second);  // copies, a stays as it is
  EXPECT_EQ(Names(a), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(Names(c), (std::vector<std::string>{"x", "q"}));
}

TEST(KeyValueCountersReuseTest, NamesOfEveryLengthCompareByContent) {
  KeyValueCounters kv;
  std::vector<std::string> names;
  for (size_t n = 1; n <= 40; ++n) {
    names.push_back(std::string(n, 'a'));
    names.push_back(std::string(n - 1, 'a') + "b");
    names.push_back("b" + std::string(n - 1, 'a'));
  }
  for (const auto& name : names) kv.try_emplace(name, static_cast<int64_t>(name.size()));
  ASSERT_EQ(kv.size(), 2 + 3 * 39u);  // n == 1 gives "b" twice
  for (const auto& name : names) EXPECT_EQ(kv.at(name), static_cast<int64_t>(name.size())) << name;
  EXPECT_EQ(kv.find(std::string(41, 'a')), kv.end());
}

// A new store starts from the names of the store made before it; one with other names
// still gets exactly its own.
TEST(StatsStoreFactoryReuseTest, NewStoresShareTheNamesOfTheirPredecessor) {
  ProtoStoreFactoryImpl factory;
  auto first = factory.GetTargetStatsStore("t1", "rule", "", "");
  first->AddStat("rx", 1, false);
  first->AddStat("tx", 2, false);
  auto second = factory.GetTargetStatsStore("t2", "rule", "", "");
  second->AddStat("rx", 3, false);
  second->AddStat("tx", 4, false);
  auto third = factory.GetTargetStatsStore("t3", "rule", "", "");
  third->AddStat("drops", 5, false);
  auto& a = static_cast<TargetStatsMap*>(first.get())->GetKeyValueStats();
  auto& b = static_cast<TargetStatsMap*>(second.get())->GetKeyValueStats();
  auto& c = static_cast<TargetStatsMap*>(third.get())->GetKeyValueStats();
  EXPECT_EQ(a.Names(), b.Names());
  EXPECT_NE(a.Names(), c.Names());
  EXPECT_EQ(Names(a), (std::vector<std::string>{"rx", "tx"}));
  EXPECT_EQ(Names(c), (std::vector<std::string>{"drops"}));
  EXPECT_EQ(b.at("tx"), 4);
  EXPECT_EQ(c.at("drops"), 5);
}

TEST(DiffStoreReuseTest, StoresOfEqualCounterNamesEndUpSharingOneList) {
  DiffStoreFactoryImpl diff(false);
  std::vector<std::shared_ptr<ITargetStatsStore>> stores;
  for (int poll = 1; poll <= 4; ++poll) {
    diff.UpdatePreviousWithCurrent();
    stores.clear();
    for (int t = 0; t < 20; ++t) {
      auto store = diff.GetTargetStatsStore("t" + std::to_string(t), "rule", "", "");
      // Each target builds its own list in the first poll.
      for (const char* name : {"rx", "tx", "drops"}) store->AddStat(name, poll * 10 + t, false);
      stores.push_back(store);
    }
    msg::StatsResponseMsg r;
    ASSERT_TRUE(diff.Encode(&r));
    diff.CommitUpdate();
    if (poll > 1) {
      EXPECT_EQ(Flatten(r).size(), 60u);
      EXPECT_EQ(Flatten(r)["rule:t7:tx"], 10.0);
    }
  }
  auto names = static_cast<TargetStatsMap*>(stores[0].get())->GetKeyValueStats().Names();
  for (const auto& store : stores) {
    EXPECT_EQ(static_cast<TargetStatsMap*>(store.get())->GetKeyValueStats().Names(), names);
  }
}

TEST(TargetStatsCollTest, RefillInTheSameOrderTakesEachTargetsOwnEntryAndStore) {
  TargetStatsColl coll;
  std::vector<TargetStatsColl::Store> stores;
  for (const char* id : {"a", "b", "c"}) {
    auto [slot, added] = coll.Insert(id);
    ASSERT_TRUE(added);
    EXPECT_EQ(*slot, nullptr);
    *slot = std::make_shared<TargetStatsMap>();
    stores.push_back(*slot);
  }
  EXPECT_FALSE(coll.Insert("b").second);
  coll.Clear();
  EXPECT_TRUE(coll.empty());
  EXPECT_EQ(coll.Find("a"), nullptr);  // a spare is no target
  EXPECT_EQ(coll.Find("a", 0), nullptr);
  auto [slot, added] = coll.Insert("a");
  EXPECT_TRUE(added);
  EXPECT_EQ(*slot, stores[0]);
  EXPECT_FALSE(coll.Insert("a").second);
  // "c" comes before "b" now: it takes its own entry all the same.
  std::tie(slot, added) = coll.Insert("c");
  EXPECT_TRUE(added);
  EXPECT_EQ(*slot, stores[2]);
  // A target that was not there before takes the entry of one that is not back.
  std::tie(slot, added) = coll.Insert("d");
  EXPECT_TRUE(added);
  EXPECT_EQ(*slot, stores[1]);
  EXPECT_EQ(coll.Find("b"), nullptr);
  ASSERT_NE(coll.Find("d", 2), nullptr);
  std::vector<std::string> ids;
  for (const auto& [id, store] : coll) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "c", "d"}));
}

TEST(TargetStatsCollTest, ClearKeepsOnlyTheEntriesOfTheTargetsItHad) {
  TargetStatsColl coll;
  auto gone = std::make_shared<TargetStatsMap>();
  auto kept = std::make_shared<TargetStatsMap>();
  coll.Emplace("gone", gone);
  coll.Emplace("kept", kept);
  coll.Clear();
  // Only "kept" comes back; "gone" stays a spare for one more poll.
  EXPECT_TRUE(coll.Insert("kept").second);
  EXPECT_EQ(*coll.Find("kept"), kept);
  EXPECT_EQ(gone.use_count(), 2);
  coll.Clear();
  EXPECT_EQ(gone.use_count(), 1);  // dropped with its entry
  EXPECT_EQ(kept.use_count(), 2);
  ASSERT_TRUE(coll.Insert("kept").second);
  EXPECT_EQ(*coll.Find("kept"), kept);
  auto [slot, added] = coll.Insert("gone");
  EXPECT_TRUE(added);
  EXPECT_EQ(*slot, nullptr);  // a new entry
}

TEST(TargetStatsCollTest, ErasedTargetLetsItsStoreGoAndCanComeBack) {
  TargetStatsColl coll;
  auto store = std::make_shared<TargetStatsMap>();
  EXPECT_TRUE(coll.Emplace("a", store));
  EXPECT_FALSE(coll.Emplace("a", std::make_shared<TargetStatsMap>()));
  EXPECT_TRUE(coll.Emplace("b", nullptr));
  EXPECT_EQ(store.use_count(), 2);
  EXPECT_EQ(coll.Erase("a"), 1u);
  EXPECT_EQ(coll.Erase("a"), 0u);
  EXPECT_EQ(coll.Erase("never"), 0u);
  EXPECT_EQ(store.use_count(), 1);
  EXPECT_EQ(coll.size(), 1u);
  EXPECT_EQ(coll.Find("a"), nullptr);
  ASSERT_NE(coll.Find("b"), nullptr);
  EXPECT_TRUE(coll.Emplace("a", store));
  ASSERT_NE(coll.Find("a"), nullptr);
  EXPECT_EQ(*coll.Find("a"), store);
}

// Random inserts, erases and refills against a plain set of the live ids: the index must
// find exactly the live targets whatever order and reuse of entries brought them there.
TEST(TargetStatsCollTest, AgreesWithASetOfLiveIdsUnderEveryKindOfChange) {
  std::mt19937 random(7);
  TargetStatsColl coll;
  std::set<std::string> live;
  auto id = [&] { return "target-" + std::to_string(random() % 300); };
  for (int step = 0; step < 20000; ++step) {
    const unsigned op = random() % 100;
    if (op < 55) {
      const std::string t = id();
      EXPECT_EQ(coll.Insert(t).second, live.insert(t).second) << t;
    } else if (op < 85) {
      const std::string t = id();
      EXPECT_EQ(coll.Erase(t), live.erase(t)) << t;
    } else if (op < 99) {
      const std::string t = id();
      EXPECT_EQ(coll.Find(t, random() % 300) != nullptr, live.count(t) == 1) << t;
    } else {
      coll.Clear();
      live.clear();
    }
    if (step % 500 == 0) {
      std::set<std::string> seen;
      for (const auto& [t, store] : coll) EXPECT_TRUE(seen.insert(t).second) << t;
      EXPECT_EQ(seen, live);
      ASSERT_EQ(coll.size(), live.size());
    }
  }
}

// A collection that starts from the ids of another one's live targets (the delta encoder's
// new collection beside the previous poll's): the same targets in the same order take their
// positions without a store, and the index stays right under every later change, whether
// the other one had spares, removed targets or none.
TEST(TargetStatsCollTest, StartingFromTheIdsOfAnotherKeepsItsOwnIndexRight) {
  std::mt19937 random(11);
  auto id = [&] { return "target-" + std::to_string(random() % 200); };
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TargetStatsColl other;
    std::vector<std::string> order;
    // Every fourth one has no spares (its index is taken as it is), the others have some.
    const bool onlyInserts = round % 4 == 0;
    for (int step = 0; step < 300; ++step) {
      const unsigned op = onlyInserts ? 0 : random() % 100;
      if (op < 70) {
        auto [slot, added] = other.Insert(id());
        if (added) *slot = std::make_shared<TargetStatsMap>();
      } else if (op < 70u + static_cast<unsigned>(round % 20)) {
        other.Erase(id());
      } else if (op < 92) {
        other.Clear();
      }
    }
    for (const auto& [t, store] : other) order.push_back(t);
    TargetStatsColl coll;
    coll.TakeIdsOf(other);
    EXPECT_TRUE(coll.empty());
    EXPECT_EQ(coll.Capacity(), order.size());
    // Refilled in the same order: every target is new to this collection and has no store
    // (the other's stores stay the other's).
    std::set<std::string> live;
    for (size_t i = 0; i < order.size(); ++i) {
      if (random() % 8 == 0) continue;  // some are not back
      auto [slot, added] = coll.Insert(order[i]);
      EXPECT_TRUE(added) << order[i];
      EXPECT_EQ(*slot, nullptr);
      live.insert(order[i]);
    }
    for (int step = 0; step < 400; ++step) {
      const std::string t = id();
      const unsigned op = random() % 100;
      if (op < 50) {
        EXPECT_EQ(coll.Insert(t).second, live.insert(t).second) << t;
      } else if (op < 80) {
        EXPECT_EQ(coll.Erase(t), live.erase(t)) << t;
      } else {
        EXPECT_EQ(coll.Find(t, random() % 200) != nullptr, live.count(t) == 1) << t;
      }
    }
    std::set<std::string> seen;
    for (const auto& [t, store] : coll) EXPECT_TRUE(seen.insert(t).second) << t;
    EXPECT_EQ(seen, live);
    // A collection with entries keeps them.
    const size_t before = coll.size();
    coll.TakeIdsOf(other);
    EXPECT_EQ(coll.size(), before);
  }
}

TEST(TargetStatsCollTest, GrowsPastItsReservation) {
  TargetStatsColl coll;
  coll.Reserve(10);
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(coll.Emplace(std::to_string(i), nullptr));
  for (int i = 0; i < 5000; ++i) ASSERT_NE(coll.Find(std::to_string(i)), nullptr) << i;
  EXPECT_EQ(coll.Find("5000"), nullptr);
  EXPECT_EQ(coll.size(), 5000u);
}

TEST(BufferRecyclerTest, ReleasedBufferIsHandedOutAgainEmptyWithItsMemory) {
  auto recycler = BufferRecycler::Create();
  auto first = recycler->Take();
  first->assign(4096, 'x');
  const size_t capacity = first->capacity();
  auto second = recycler->Take();
  EXPECT_NE(first.get(), second.get());
  std::string* raw = first.get();
  first.reset();
  EXPECT_TRUE(recycler->HasSpare());
  second.reset();  // only one spare is kept; this one is freed
  auto third = recycler->Take();
  EXPECT_EQ(third.get(), raw);
  EXPECT_TRUE(third->empty());
  EXPECT_GE(third->capacity(), capacity);
  EXPECT_FALSE(recycler->HasSpare());
}

TEST(BufferRecyclerTest, BufferOutlivingTheRecyclerIsFreedNormally) {
  auto recycler = BufferRecycler::Create();
  auto buffer = recycler->Take();
  std::shared_ptr<const std::string> cached = buffer;  // like the cached answer of the handler
  recycler.reset();
  buffer->assign("abc");
  buffer.reset();
  EXPECT_EQ(*cached, "abc");
  cached.reset();
}

// The buffer of the answer before the cached one serves the next delta; the cached one is
// never written while it is kept.
TEST(DiffStoreReuseTest, DeltaBuffersAlternateAndTheCachedOneStaysIntact) {
  DiffStoreFactoryImpl diff(false);
  std::shared_ptr<const std::string> cached;
  std::vector<const std::string*> seen;
  for (int poll = 1; poll <= 4; ++poll) {
    diff.UpdatePreviousWithCurrent();
    diff.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 10 * poll, false);
    std::shared_ptr<std::string> bytes = diff.NewBuffer();
    ASSERT_TRUE(bytes->empty());
    const std::string before = cached ? *cached : std::string();
    ASSERT_TRUE(diff.EncodeWire(bytes.get()));
    diff.CommitUpdate();
    if (cached) {
      EXPECT_EQ(*cached, before);
    }
    EXPECT_NE(bytes.get(), cached.get());
    seen.push_back(bytes.get());
    cached = std::move(bytes);
  }
  EXPECT_EQ(seen[2], seen[0]);
  EXPECT_EQ(seen[3], seen[1]);
  msg::StatsResponseMsg last;
  ASSERT_TRUE(last.ParseFromString(*cached));
  EXPECT_EQ(Flatten(last), (std::map<std::string, double>{{"rule:t1:rx", 10.0}}));
}

}  // namespace
}  // namespace qbx
