// Delta statistics encoding: what each poll reports and what it leaves as the next base.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/stats/proto_store_factory.h"
#include "tests/aggsvc/stats/stats_log_capture.h"
#include "tests/aggsvc/stats/stats_response_reader.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {
namespace {

namespace msg = zumbra::qbx::agg_service::messaging;
using Fill = std::function<void(IStatsStoreFactory&)>;

Fill Named(const std::string& target, std::vector<std::pair<std::string, int64_t>> counters,
           const std::string& type = "rule") {
  return [=](IStatsStoreFactory& f) {
    auto store = f.GetTargetStatsStore(target, type, "", "");
    ASSERT_TRUE(store);
    for (const auto& [key, value] : counters) store->AddStat(key, value, false);
  };
}

Fill Vector(const std::string& target, std::vector<int64_t> values, int32_t statType = 1) {
  return [=](IStatsStoreFactory& f) {
    auto store = f.GetTargetStatsStore(statType, target, "");
    ASSERT_TRUE(store);
    store->AddStats(values, false);
  };
}

// Every case runs with both forms of a delta: the message that Encode fills, and the bytes
// that EncodeWire writes (read back into a message here).
class DiffStoreFactoryTest : public ::testing::TestWithParam<bool> {
 protected:
  bool EncodeAs(DiffStoreFactoryImpl& diff, msg::StatsResponseMsg* response) {
    if (!GetParam()) return diff.Encode(response);
    std::string bytes = "kept";  // EncodeWire appends
    if (!diff.EncodeWire(response == nullptr ? nullptr : &bytes)) {
      EXPECT_EQ(bytes, "kept");
      return false;
    }
    EXPECT_EQ(bytes.compare(0, 4, "kept"), 0);
    EXPECT_TRUE(response->ParseFromString(bytes.substr(4)));
    return true;
  }

  // One delta response as the summation handler makes it.
  msg::StatsResponseMsg Delta(DiffStoreFactoryImpl& diff, const Fill& fill) {
    diff.UpdatePreviousWithCurrent();
    fill(diff);
    msg::StatsResponseMsg response;
    EXPECT_TRUE(EncodeAs(diff, &response));
    diff.CommitUpdate();
    return response;
  }
};

INSTANTIATE_TEST_SUITE_P(Encodings, DiffStoreFactoryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Wire" : "Message"; });

TEST_P(DiffStoreFactoryTest, FirstDeltaCarriesFullValuesUnlessSkipped) {
  DiffStoreFactoryImpl full(false);
  auto r1 = Delta(full, Named("t1", {{"rx", 10}}));
  const auto* t1 = FindTarget(r1, "rule", "t1");
  ASSERT_TRUE(t1);
  EXPECT_EQ(NamedValue(*t1, "rx"), 10.0);

  DiffStoreFactoryImpl skip(true);
  auto r2 = Delta(skip, Named("t1", {{"rx", 10}}));
  EXPECT_EQ(r2.target_type_stats_size(), 0);
  EXPECT_TRUE(r2.has_timestamp());
  auto r3 = Delta(skip, Named("t1", {{"rx", 15}}));
  t1 = FindTarget(r3, "rule", "t1");
  ASSERT_TRUE(t1);
  EXPECT_EQ(NamedValue(*t1, "rx"), 5.0);
}

TEST_P(DiffStoreFactoryTest, BackwardCounterIsSkippedOnceAndBecomesTheBase) {
  StatsLogCapture logs;
  DiffStoreFactoryImpl diff(false);
  Delta(diff, Named("t1", {{"rx", 100}}));
  logs.Clear();
  auto r = Delta(diff, Named("t1", {{"rx", 90}}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
  EXPECT_EQ(logs.Count("Skipping delta for stat as its delta [-10] is negative[rx] for tid: t1"), 1u);
  r = Delta(diff, Named("t1", {{"rx", 95}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "rx"), 5.0);
}

TEST_P(DiffStoreFactoryTest, MissingCounterKeepsItsLastValueAsBase) {
  DiffStoreFactoryImpl diff(false);
  Delta(diff, Named("t1", {{"rx", 100}, {"tx", 1}}));
  auto r = Delta(diff, Named("t1", {{"tx", 2}}));
  const auto* t1 = FindTarget(r, "rule", "t1");
  ASSERT_TRUE(t1);
  EXPECT_FALSE(NamedValue(*t1, "rx"));
  EXPECT_EQ(NamedValue(*t1, "tx"), 1.0);
  r = Delta(diff, Named("t1", {{"rx", 100}, {"tx", 2}}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
  r = Delta(diff, Named("t1", {{"rx", 110}, {"tx", 2}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "rx"), 10.0);
}

TEST_P(DiffStoreFactoryTest, CounterFirstSeenInAKnownTargetIsABase) {
  DiffStoreFactoryImpl diff(false);
  Delta(diff, Named("t1", {{"rx", 1}}));
  auto r = Delta(diff, Named("t1", {{"rx", 1}, {"drops", 7}}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
  r = Delta(diff, Named("t1", {{"rx", 1}, {"drops", 9}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "drops"), 2.0);
}

TEST_P(DiffStoreFactoryTest, TargetWithoutNamedCountersCopiesNothing) {
  DiffStoreFactoryImpl diff(false);
  Delta(diff, Named("t1", {{"rx", 100}}));
  // The target is polled but reports only a vector: its named counters are not carried.
  Delta(diff, [](IStatsStoreFactory& f) { f.GetTargetStatsStore("t1", "rule", "", "")->AddStats({1}, false); });
  // Its previous named counters are empty, so the next named value is only a base.
  auto r = Delta(diff, Named("t1", {{"rx", 130}}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
  r = Delta(diff, Named("t1", {{"rx", 140}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "rx"), 10.0);
}

TEST_P(DiffStoreFactoryTest, VectorCounters) {
  StatsLogCapture logs;
  DiffStoreFactoryImpl diff(false);
  Delta(diff, Vector("t1", {10, 20}));
  auto r = Delta(diff, Vector("t1", {15, -1}));
  const auto* t1 = FindTarget(r, 1, "t1");
  ASSERT_TRUE(t1);
  ASSERT_EQ(t1->counters_size(), 1);
  EXPECT_EQ(IndexedValue(*t1, 0), 5);
  // The absent value was carried forward: (15, 20) is the next base.
  r = Delta(diff, Vector("t1", {15, 26}));
  ASSERT_TRUE(FindTarget(r, 1, "t1"));
  EXPECT_EQ(FindTarget(r, 1, "t1")->counters_size(), 1);
  EXPECT_EQ(IndexedValue(*FindTarget(r, 1, "t1"), 1), 6);

  logs.Clear();
  r = Delta(diff, Vector("t1", {16, 27, 30}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
  EXPECT_EQ(logs.Count("MPA10040"), 1u);
  EXPECT_TRUE(logs.Contains("Previous Stats size and Current Stats size are not same"));
}

TEST_P(DiffStoreFactoryTest, VectorLengthMismatchDropsTheWholeTarget) {
  StatsLogCapture logs;
  DiffStoreFactoryImpl diff(false);
  auto fill = [](int64_t rx, std::vector<int64_t> vec) {
    return [=](IStatsStoreFactory& f) {
      auto store = f.GetTargetStatsStore("t1", "rule", "", "");
      store->AddStat("rx", rx, false);
      store->AddStats(vec, false);
    };
  };
  Delta(diff, fill(1, {1, 2}));
  auto r = Delta(diff, fill(5, {1, 2, 3}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
}

TEST_P(DiffStoreFactoryTest, ValueAbsentLastTimeIsABaseNotAGainOfOneMore) {
  DiffStoreFactoryImpl diff(false);
  auto r = Delta(diff, Vector("t1", {10, -1}));
  ASSERT_TRUE(FindTarget(r, 1, "t1"));
  EXPECT_EQ(FindTarget(r, 1, "t1")->counters_size(), 1);
  r = Delta(diff, Vector("t1", {10, 7}));
  EXPECT_EQ(r.target_type_stats_size(), 0);
  r = Delta(diff, Vector("t1", {10, 9}));
  ASSERT_TRUE(FindTarget(r, 1, "t1"));
  EXPECT_EQ(IndexedValue(*FindTarget(r, 1, "t1"), 1), 2);
}

TEST_P(DiffStoreFactoryTest, DifferencesWrapLikeTheUnsignedCountersTheyCameFrom) {
  DiffStoreFactoryImpl diff(false);
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  Delta(diff, Named("t1", {{"bytes", max - 1}}));
  auto r = Delta(diff, Named("t1", {{"bytes", min + 3}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "bytes"), 5.0);
  // Positional counters use negative values as "absent", so they never wrap.
}

TEST_P(DiffStoreFactoryTest, ErrorOnlyTargetIsLeftOut) {
  StatsLogCapture logs;
  DiffStoreFactoryImpl diff(false);
  auto r = Delta(diff, [](IStatsStoreFactory& f) {
    f.GetErrorStore()->AddTargetError("t1", "rule", "", "", -1100);
  });
  EXPECT_EQ(r.target_type_stats_size(), 0);
}

TEST_P(DiffStoreFactoryTest, ErrorsTravelWithNamedCounters) {
  DiffStoreFactoryImpl diff(false);
  auto r = Delta(diff, [](IStatsStoreFactory& f) {
    auto store = f.GetTargetStatsStore("t1", "rule", "", "");
    store->AddStat("rx", 3, false);
    store->AddError(-1100);
    store->AddError(-1300);
  });
  const auto* t1 = FindTarget(r, "rule", "t1");
  ASSERT_TRUE(t1);
  ASSERT_EQ(t1->errors_size(), 2);
  EXPECT_EQ(t1->errors(0), -1300);
  // Errors are sent even when no counter moved, which keeps the target entry.
  r = Delta(diff, [](IStatsStoreFactory& f) {
    auto store = f.GetTargetStatsStore("t1", "rule", "", "");
    store->AddStat("rx", 3, false);
    store->AddError(-1100);
  });
  t1 = FindTarget(r, "rule", "t1");
  ASSERT_TRUE(t1);
  EXPECT_EQ(t1->counters_size(), 0);
  EXPECT_EQ(t1->errors_size(), 1);
}

TEST_P(DiffStoreFactoryTest, SilentTypeSurvivesOnlyWhileMarked) {
  StatsLogCapture logs;
  DiffStoreFactoryImpl diff(false);
  auto lport = [](int64_t rx) {
    return [=](IStatsStoreFactory& f) { f.GetTargetStatsStore("p1", "lport", "ls-1", "lswitch")->AddStat("rx", rx, false); };
  };
  Delta(diff, lport(10));
  // Not reported, but marked: the previous collection is carried into the current map.
  Delta(diff, [](IStatsStoreFactory& f) { f.GetErrorStore()->AddTargetTypeError("lport", "ls-1", "lswitch", -2100); });
  EXPECT_TRUE(logs.Contains("error was found for it, assuming it is still in the system"));
  auto r = Delta(diff, lport(15));
  ASSERT_TRUE(FindTarget(r, "lport", "p1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "lport", "p1"), "rx"), 5.0);

  // Not reported and not marked: forgotten, so it comes back as new with its full value.
  Delta(diff, [](IStatsStoreFactory&) {});
  Delta(diff, [](IStatsStoreFactory&) {});
  r = Delta(diff, lport(20));
  ASSERT_TRUE(FindTarget(r, "lport", "p1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "lport", "p1"), "rx"), 20.0);
}

TEST_P(DiffStoreFactoryTest, IdenticalPollsGiveOnlyATimestamp) {
  DiffStoreFactoryImpl diff(false);
  auto fill = [](IStatsStoreFactory& f) {
    f.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 4, false);
    f.GetTargetStatsStore("t2", "rule", "", "")->AddStat("rx", 5, false);
    f.GetTargetStatsStore(2, "t3", "")->AddStats({1, 2}, false);
  };
  Delta(diff, fill);
  auto r = Delta(diff, fill);
  EXPECT_EQ(r.target_type_stats_size(), 0);
  EXPECT_TRUE(r.has_timestamp());
}

TEST_P(DiffStoreFactoryTest, EncodeWithoutPreviousMapsFails) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl proto;
  proto.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 10, false);
  DiffStoreFactoryImpl diff(proto.GetCurrentStatsMap(), nullptr, false);
  EXPECT_TRUE(logs.Contains("StatsMapNew provided for current is NULL, creating a new one"));
  msg::StatsResponseMsg response;
  EXPECT_FALSE(EncodeAs(diff, &response));
  EXPECT_EQ(logs.Count("MPA10037"), 1u);
  EXPECT_FALSE(EncodeAs(diff, nullptr));
  EXPECT_EQ(logs.Count("MPA10036"), 1u);
  // After a full answer the absolute values are the base of the next delta.
  auto r = Delta(diff, Named("t1", {{"rx", 12}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "rx"), 2.0);
}

TEST_P(DiffStoreFactoryTest, ResetAllStartsFromEmptyPreviousValues) {
  DiffStoreFactoryImpl diff(false);
  Delta(diff, Named("t1", {{"rx", 10}}));
  Delta(diff, Named("t1", {{"rx", 12}}));
  diff.ResetAll();
  auto r = Delta(diff, Named("t1", {{"rx", 13}}));
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "rx"), 13.0);
}

TEST_P(DiffStoreFactoryTest, SecondEncodeReportsNothingNew) {
  DiffStoreFactoryImpl diff(false);
  diff.UpdatePreviousWithCurrent();
  Named("t1", {{"rx", 10}})(diff);
  msg::StatsResponseMsg first, second;
  ASSERT_TRUE(EncodeAs(diff, &first));
  ASSERT_TRUE(EncodeAs(diff, &second));
  EXPECT_EQ(first.target_type_stats_size(), 1);
  EXPECT_EQ(second.target_type_stats_size(), 0);
}

// A delta whose response is never built must leave the base where it was: the retried
// request reports exactly what the failed one would have, for known, new targets and new types.
TEST_P(DiffStoreFactoryTest, RollbackRestoresTheBase) {
  DiffStoreFactoryImpl diff(false);
  auto poll1 = [](IStatsStoreFactory& f) {
    f.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 10, false);
    f.GetTargetStatsStore(1, "v1", "")->AddStats({1, 2}, false);
  };
  auto poll2 = [](IStatsStoreFactory& f) {
    f.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 15, false);
    f.GetTargetStatsStore("t2", "rule", "", "")->AddStat("rx", 7, false);
    f.GetTargetStatsStore("p1", "lport", "", "")->AddStat("rx", 3, false);
    f.GetTargetStatsStore(1, "v1", "")->AddStats({4, -1}, false);
    f.GetTargetStatsStore(1, "v2", "")->AddStats({9}, false);
  };
  Delta(diff, poll1);

  // Failure after Encode (e.g. the response could not be serialised).
  diff.UpdatePreviousWithCurrent();
  poll2(diff);
  msg::StatsResponseMsg lost;
  ASSERT_TRUE(EncodeAs(diff, &lost));
  diff.RollbackUpdate();
  // Failure before Encode (the vertical's callback threw halfway).
  diff.UpdatePreviousWithCurrent();
  diff.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 11, false);
  diff.RollbackUpdate();

  auto r = Delta(diff, poll2);
  EXPECT_EQ(r.DebugString(), [&] {
    msg::StatsResponseMsg expected = lost;
    expected.set_timestamp(r.timestamp());
    return expected.DebugString();
  }());
  ASSERT_TRUE(FindTarget(r, "rule", "t1"));
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t1"), "rx"), 5.0);
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t2"), "rx"), 7.0);
  EXPECT_EQ(NamedValue(*FindTarget(r, "lport", "p1"), "rx"), 3.0);
  EXPECT_EQ(IndexedValue(*FindTarget(r, 1, "v1"), 0), 3);
  EXPECT_EQ(IndexedValue(*FindTarget(r, 1, "v2"), 0), 9);
  // And the committed state moves on normally.
  r = Delta(diff, [](IStatsStoreFactory& f) { f.GetTargetStatsStore("t2", "rule", "", "")->AddStat("rx", 8, false); });
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t2"), "rx"), 1.0);
  diff.RollbackUpdate();  // nothing pending: no effect
  r = Delta(diff, [](IStatsStoreFactory& f) { f.GetTargetStatsStore("t2", "rule", "", "")->AddStat("rx", 9, false); });
  EXPECT_EQ(NamedValue(*FindTarget(r, "rule", "t2"), "rx"), 1.0);
}

TEST_P(DiffStoreFactoryTest, ErrorStoreIsRenewedPerPollAndRestoredOnRollback) {
  DiffStoreFactoryImpl diff(false);
  auto first = diff.GetErrorStore();
  diff.UpdatePreviousWithCurrent();
  auto second = diff.GetErrorStore();
  EXPECT_NE(first, second);
  diff.RollbackUpdate();
  EXPECT_EQ(diff.GetErrorStore(), first);
  StatsLogCapture logs;
  // The dropped store no longer reaches the factory.
  EXPECT_EQ(second->AddTargetError("t1", "rule", "", "", -1100), -1006);
  EXPECT_EQ(first->AddTargetError("t1", "rule", "", "", -1100), 0);
}

}  // namespace
}  // namespace qbx
