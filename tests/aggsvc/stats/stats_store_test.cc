// The statistics store model, the error store and the current-value store factory.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "aggsvc/stats/error_store.h"
#include "aggsvc/stats/proto_store_factory.h"
#include "aggsvc/stats/stats_store.h"
#include "tests/aggsvc/stats/stats_log_capture.h"

namespace qbx {
namespace {

TEST(TargetMetaDataTest, KeyTextsAndValidation) {
  EXPECT_EQ(TargetMetaData("lport", "", "").KeyText(), "::lport");
  EXPECT_EQ(TargetMetaData("lport", "ls-1", "lswitch").KeyText(), "lswitch:ls-1:lport");
  EXPECT_EQ(TargetMetaDataNew(-2, "p").KeyText(), "-2:p");
  EXPECT_EQ(TargetMetaDataNew(3, "").KeyText(), "3:");

  StatsLogCapture logs;
  // The parent check comes before the target type check.
  try {
    TargetMetaData("", "", "lswitch");
    FAIL() << "unpaired parent accepted";
  } catch (const ::Exception& e) {
    EXPECT_EQ(e.GetMessage(),
              "ParentType and ParentId should both be,           empty or both should be non-empty");
    EXPECT_EQ(e.GetCode(), 0);
  }
  try {
    TargetMetaData("", "", "");
    FAIL() << "empty target type accepted";
  } catch (const ::Exception& e) {
    EXPECT_EQ(e.GetMessage(), "TargetType field cant be empty");
  }
  try {
    TargetMetaDataNew(-1, "p");
    FAIL() << "unset stat type accepted";
  } catch (const ::Exception& e) {
    EXPECT_EQ(e.GetMessage(), "StatType field cant be empty");
  }
  EXPECT_EQ(logs.Count("MPA10044"), 3u);
  EXPECT_THROW(TargetContext("t1", "lport", "ls-1", ""), ::Exception);
  EXPECT_NO_THROW(TargetContextNew("t1", -2, ""));
}

TEST(TargetMetaDataTest, EqualityAndHashFollowTheThreeFields) {
  TargetStatsCollMap map;
  map[TargetMetaData("lport", "ls-1", "lswitch")] = nullptr;
  map[TargetMetaData("lport", "ls-1", "lswitch")] = nullptr;
  map[TargetMetaData("lport", "ls-2", "lswitch")] = nullptr;
  EXPECT_EQ(map.size(), 2u);
}

TEST(TargetStatsMapTest, AddStatAccumulatesOrRefuses) {
  StatsLogCapture logs;
  TargetStatsMap store;
  EXPECT_EQ(store.AddStat("rx", 5, false), 0);
  EXPECT_EQ(store.AddStat("rx", 7, true), 0);
  EXPECT_EQ(store.GetKeyValueStats().at("rx"), 12);
  EXPECT_EQ(store.AddStat("rx", 1, false), -3001);
  EXPECT_EQ(store.GetKeyValueStats().at("rx"), 12);
  EXPECT_TRUE(logs.Contains("Statistic rx already inserted with value 12"));
  EXPECT_EQ(store.AddStat("", 1, true), -3000);
  EXPECT_EQ(store.GetKeyValueStats().size(), 1u);
}

TEST(TargetStatsMapTest, ManyNamedCountersKeepInsertionOrderAndRefuseDuplicates) {
  StatsLogCapture logs(loglevel::kFatal);
  TargetStatsMap store;
  for (int i = 0; i < 200; ++i) ASSERT_EQ(store.AddStat("c" + std::to_string(i), i, false), 0);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(store.AddStat("c" + std::to_string(i), 1, false), -3001);
  ASSERT_EQ(store.GetKeyValueStats().size(), 200u);
  int expected = 0;
  for (const auto& [key, value] : store.GetKeyValueStats()) {
    EXPECT_EQ(key, "c" + std::to_string(expected));
    EXPECT_EQ(value, expected++);
  }
  const auto& counters = store.GetKeyValueStats();
  EXPECT_EQ(counters.find("c150", 150)->second, 150);
  EXPECT_EQ(counters.find("c150", 3)->second, 150);
  EXPECT_EQ(counters.find("absent", 3), counters.end());
  EXPECT_THROW(counters.at("absent"), std::out_of_range);
}

TEST(TargetStatsMapTest, AccumulationWrapsInsteadOfOverflowing) {
  TargetStatsMap store;
  const int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(store.AddStat("bytes", max, false), 0);
  EXPECT_EQ(store.AddStat("bytes", 2, true), 0);
  EXPECT_EQ(store.GetKeyValueStats().at("bytes"), std::numeric_limits<int64_t>::min() + 1);
  EXPECT_EQ(store.AddStats({max, 1}, false), 0);
  EXPECT_EQ(store.AddStats({1, 1}, true), 0);
  EXPECT_EQ(store.GetVectorStats()[0], std::numeric_limits<int64_t>::min());
}

TEST(TargetStatsMapTest, AddStatsMergesElementWise) {
  StatsLogCapture logs;
  TargetStatsMap store;
  EXPECT_EQ(store.AddStats({1, -1, 3}, true), 0);
  EXPECT_EQ(store.GetVectorStats(), (std::vector<int64_t>{1, -1, 3}));
  EXPECT_EQ(store.AddStats({-1, 4, 5}, true), 0);
  EXPECT_EQ(store.GetVectorStats(), (std::vector<int64_t>{1, 4, 8}));
  // A length mismatch with the accumulate flag keeps the stored vector.
  EXPECT_EQ(store.AddStats({9, 9}, true), -3008);
  EXPECT_EQ(store.GetVectorStats(), (std::vector<int64_t>{1, 4, 8}));
  EXPECT_TRUE(logs.Contains("input vector size is not equal to the existing vector size"));
  // Without the flag the input replaces it.
  EXPECT_EQ(store.AddStats({9, 9}, false), 0);
  EXPECT_EQ(store.GetVectorStats(), (std::vector<int64_t>{9, 9}));
  EXPECT_EQ(store.AddStats({}, false), -3008);
  EXPECT_TRUE(logs.Contains("Cannot add empty stats vector"));
}

TEST(TargetStatsMapTest, ErrorCodesAreASet) {
  StatsLogCapture logs;
  TargetStatsMap store;
  EXPECT_EQ(store.AddError(-1500), 0);
  EXPECT_EQ(store.AddError(-1500), 5001);
  EXPECT_EQ(logs.Count("Error code -1500 is already inserted, ignoring it"), 1u);
  EXPECT_EQ(store.GetErrorCount(), 1u);
  store.ClearErrors();
  EXPECT_EQ(store.GetErrorCount(), 0u);
  EXPECT_EQ(store.GetAttributes(), 0);
}

TEST(StatsStoreFactoryTest, GetOrCreateByTargetType) {
  ProtoStoreFactoryImpl factory;
  auto s1 = factory.GetTargetStatsStore("t1", "lport", "ls-1", "lswitch");
  auto again = factory.GetTargetStatsStore("t1", "lport", "ls-1", "lswitch");
  auto s2 = factory.GetTargetStatsStore("t2", "lport", "ls-1", "lswitch");
  ASSERT_TRUE(s1);
  EXPECT_EQ(s1, again);
  EXPECT_NE(s1, s2);
  ASSERT_EQ(factory.GetCurrentStatsMap()->size(), 1u);
  EXPECT_EQ(factory.GetCurrentStatsMap()->begin()->second->size(), 2u);
}

TEST(StatsStoreFactoryTest, RefusalsCreateNothing) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  EXPECT_FALSE(factory.GetTargetStatsStore("t1", "lport", "ls-1", ""));
  EXPECT_FALSE(factory.GetTargetStatsStore("", "lport", "", ""));
  EXPECT_FALSE(factory.GetTargetStatsStore("t1", "", "", ""));
  EXPECT_FALSE(factory.GetTargetStatsStore(-1, "t1", "p"));
  EXPECT_FALSE(factory.GetTargetStatsStore(2, "", "p"));
  EXPECT_TRUE(factory.GetCurrentStatsMap()->empty());
  EXPECT_TRUE(factory.GetCurrentStatsMapNew()->empty());
  EXPECT_TRUE(factory.GetTargetStatsStore(-2, "t1", ""));
  EXPECT_EQ(factory.GetCurrentStatsMapNew()->size(), 1u);
}

TEST(StatsStoreFactoryTest, StoresOfMarkedParentsAreRefused) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  auto errors = factory.GetErrorStore();
  EXPECT_EQ(errors, factory.GetErrorStore());
  EXPECT_EQ(errors->AddParentTypeError("lswitch", -4001), 0);
  EXPECT_FALSE(factory.GetTargetStatsStore("t1", "lport", "ls-1", "lswitch"));
  EXPECT_EQ(logs.Count("MPA10025"), 1u);
  EXPECT_TRUE(factory.GetCurrentStatsMap()->empty());
  // The stat-type form consults no error store.
  EXPECT_TRUE(factory.GetTargetStatsStore(7, "t1", "ls-1"));
  // A target-level error under the marked parent finds no store.
  EXPECT_EQ(errors->AddTargetError("t1", "lport", "ls-1", "lswitch", -1001), -1006);
}

TEST(ErrorStoreTest, RangesPerLevel) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  auto errors = factory.GetErrorStore();
  EXPECT_EQ(errors->AddTargetError("t1", "lport", "", "", -1000), 0);
  EXPECT_EQ(errors->AddTargetError("t2", "lport", "", "", -1999), 0);
  EXPECT_EQ(errors->AddTargetError("t3", "lport", "", "", -999), -3007);
  EXPECT_EQ(errors->AddTargetError("t3", "lport", "", "", -2000), -3007);
  EXPECT_EQ(errors->AddTargetError("t4", "lport", "", "", -5000), 0);
  EXPECT_EQ(errors->AddTargetError("t5", "lport", "", "", -70000), 0);
  EXPECT_EQ(logs.Count("MPA10043"), 2u);
  EXPECT_TRUE(logs.Contains("Error code -999 out of valid range [-1000, -1999] and is not a custom error code."));
  EXPECT_EQ(errors->AddTargetTypeError("lport", "", "", -1500), -3007);
  EXPECT_EQ(errors->AddTargetTypeError("lport", "", "", -2999), 0);
  EXPECT_EQ(errors->AddParentIdError("ls-1", "lswitch", -2999), -3007);
  EXPECT_EQ(errors->AddParentIdError("ls-1", "lswitch", -3000), 0);
  EXPECT_EQ(errors->AddParentTypeError("lswitch", -3999), -3007);
  EXPECT_EQ(errors->AddParentTypeError("lswitch", -4999), 0);
  EXPECT_EQ(errors->AddParentTypeError("lswitch", -6000), 0);
  // Stat-type form of the target-level error.
  EXPECT_EQ(errors->AddTargetError(3, "t1", "p", -1200), 0);
  EXPECT_EQ(errors->AddTargetError(3, "t1", "p", -1200), 5001);
  EXPECT_EQ(errors->AddTargetError(-1, "t1", "p", -1200), -1006);
}

TEST(ErrorStoreTest, TargetErrorsGoToTheTargetStore) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  auto errors = factory.GetErrorStore();
  EXPECT_EQ(errors->AddTargetError("t1", "lport", "ls-1", "lswitch", -1100), 0);
  EXPECT_EQ(errors->AddTargetError("t1", "lport", "ls-1", "lswitch", -1100), 5001);
  auto store = factory.GetTargetStatsStore("t1", "lport", "ls-1", "lswitch");
  ASSERT_TRUE(store);
  EXPECT_EQ(store->GetErrorCount(), 1u);
  EXPECT_EQ(errors->AddTargetError("t1", "lport", "ls-1", "", -1100), -1006);
}

TEST(ErrorStoreTest, MarkingLevels) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  auto& errors = *factory.GetErrorStoreImpl();
  const TargetMetaData lport("lport", "ls-1", "lswitch");
  const TargetMetaData vif("vif", "ls-1", "lswitch");
  const TargetMetaData otherParent("lport", "ls-2", "lswitch");
  const TargetMetaData otherType("lport", "lr-1", "lrouter");
  EXPECT_FALSE(errors.IsMarkedForError(lport));

  EXPECT_EQ(errors.AddTargetTypeError("lport", "ls-1", "lswitch", -2500), 0);
  EXPECT_TRUE(errors.IsMarkedForError(lport));
  EXPECT_TRUE(logs.Contains("Target [lswitch:ls-1:lport] marked for error at target type level"));
  EXPECT_FALSE(errors.IsMarkedForError(vif));

  EXPECT_EQ(errors.AddParentIdError("ls-1", "lswitch", -3500), 0);
  EXPECT_TRUE(errors.IsMarkedForError(vif));
  EXPECT_FALSE(errors.IsMarkedForError(otherParent));

  EXPECT_EQ(errors.AddParentTypeError("lswitch", -4500), 0);
  EXPECT_TRUE(errors.IsMarkedForError(otherParent));
  EXPECT_FALSE(errors.IsMarkedForError(otherType));

  // Nothing records a stat-type key.
  EXPECT_FALSE(errors.IsMarkedForError(TargetMetaDataNew(3, "ls-1")));
}

TEST(ErrorStoreTest, InvalidArgumentsRecordNothing) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  auto& errors = *factory.GetErrorStoreImpl();
  EXPECT_EQ(errors.AddParentIdError("ls-1", "", -3000), -1006);
  EXPECT_EQ(errors.AddParentIdError("", "lswitch", -3000), -1006);
  EXPECT_EQ(errors.AddTargetTypeError("", "", "", -2000), -1006);
  EXPECT_EQ(errors.AddTargetTypeError("lport", "ls-1", "", -2000), -1006);
  EXPECT_EQ(errors.AddParentTypeError("", -4000), -1006);
  EXPECT_FALSE(errors.IsMarkedForError(TargetMetaData("lport", "ls-1", "lswitch")));
  EXPECT_FALSE(errors.IsMarkedForError(TargetMetaData("lport", "", "")));
}

TEST(ErrorStoreTest, AStoreKeptPastItsFactoryIsHarmless) {
  StatsLogCapture logs;
  std::shared_ptr<IErrorStore> kept;
  {
    ProtoStoreFactoryImpl factory;
    kept = factory.GetErrorStore();
  }
  EXPECT_EQ(kept->AddTargetError("t1", "lport", "", "", -1100), -1006);
  EXPECT_EQ(kept->AddTargetError(3, "t1", "", -1100), -1006);
  EXPECT_EQ(kept->AddParentTypeError("lswitch", -4000), 0);
}

}  // namespace
}  // namespace qbx
