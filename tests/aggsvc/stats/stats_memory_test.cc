// What the statistics of a client hold between two polls: the base of the next delta and the
// cached answer, and beyond a size no second set of stores and no spare answer buffer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/stats/proto_store_factory.h"
#include "tests/aggsvc/stats/stats_log_capture.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {
namespace {

void Fill(IStatsStoreFactory& factory, int targets, int64_t value) {
  for (int t = 0; t < targets; ++t) {
    auto store = factory.GetTargetStatsStore("t" + std::to_string(t), "rule", "", "");
    ASSERT_TRUE(store);
    for (const char* name : {"rx", "tx", "drops"}) store->AddStat(name, value + t, false);
  }
}

// Weak references to the stores of the current poll.
std::vector<std::weak_ptr<ITargetStatsStore>> StoresOf(DiffStoreFactoryImpl& factory, int targets) {
  std::vector<std::weak_ptr<ITargetStatsStore>> stores;
  for (int t = 0; t < targets; ++t) stores.push_back(factory.GetTargetStatsStore("t" + std::to_string(t), "rule", "", ""));
  return stores;
}

size_t Alive(const std::vector<std::weak_ptr<ITargetStatsStore>>& stores) {
  size_t alive = 0;
  for (const auto& store : stores) alive += store.expired() ? 0 : 1;
  return alive;
}

TEST(StatsHeldMemoryTest, PollsBeyondTheSpareLimitAreLetGoAtCommitAndStillRollBack) {
  StatsLogCapture quiet(loglevel::kError);
  for (size_t limit : {size_t{1000}, size_t{2}}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    DiffStoreFactoryImpl diff(false);
    diff.SetMaxSpareTargetsForTest(limit);
    std::vector<std::weak_ptr<ITargetStatsStore>> first;
    for (int poll = 1; poll <= 3; ++poll) {
      diff.UpdatePreviousWithCurrent();
      Fill(diff, 4, poll * 100);
      if (poll == 1) first = StoresOf(diff, 4);
      std::string bytes;
      ASSERT_TRUE(diff.EncodeWire(&bytes));
      diff.CommitUpdate();
    }
    // Three polls on, the first poll's stores serve later ones below the limit and are gone
    // beyond it; the base of the next delta is the last poll alone.
    EXPECT_EQ(Alive(first), limit == 2 ? 0u : 4u);
    EXPECT_TRUE(diff.GetPreviousStatsMap()->empty());
    // A lost answer after a commit that let the previous poll go: the retry diffs against the
    // same base.
    diff.UpdatePreviousWithCurrent();
    Fill(diff, 4, 1000);
    std::string lost;
    ASSERT_TRUE(diff.EncodeWire(&lost));
    diff.RollbackUpdate();
    diff.UpdatePreviousWithCurrent();
    Fill(diff, 4, 1000);
    std::string retried;
    ASSERT_TRUE(diff.EncodeWire(&retried));
    zumbra::qbx::agg_service::messaging::StatsResponseMsg a;
    zumbra::qbx::agg_service::messaging::StatsResponseMsg b;
    ASSERT_TRUE(a.ParseFromString(lost));
    ASSERT_TRUE(b.ParseFromString(retried));
    a.clear_timestamp();
    b.clear_timestamp();
    EXPECT_EQ(a.SerializeAsString(), b.SerializeAsString());
    ASSERT_EQ(b.target_type_stats_size(), 1);
    EXPECT_EQ(b.target_type_stats(0).target_stats(0).counters(0).value(), 700.0);  // 1000 - 300
  }
}

TEST(StatsHeldMemoryTest, CollectionThatShrinksToAFewTargetsDoesNotKeepTheRoomOfItsLargestPoll) {
  StatsLogCapture quiet(loglevel::kError);
  DiffStoreFactoryImpl diff(false);
  const TargetMetaData key("rule", "", "");
  auto capacity = [&] { return diff.GetCurrentStatsMap()->at(key)->Capacity(); };
  std::vector<std::weak_ptr<ITargetStatsStore>> large;
  int64_t value = 0;
  for (int targets : {4000, 4000, 3, 3, 3, 3}) {
    diff.UpdatePreviousWithCurrent();
    Fill(diff, targets, value += 100);
    if (targets == 4000) large = StoresOf(diff, 4000);
    std::string bytes;
    ASSERT_TRUE(diff.EncodeWire(&bytes));
    diff.CommitUpdate();
  }
  // The large polls' entries and stores are gone, and so is their room: what serves the
  // few targets now is sized for them.
  EXPECT_LE(Alive(large), 3u);
  EXPECT_LT(capacity(), 100u);
  // The few targets still get their deltas, and a target that comes back after the shrink
  // is new again.
  diff.UpdatePreviousWithCurrent();
  Fill(diff, 4, value + 100);
  std::string bytes;
  ASSERT_TRUE(diff.EncodeWire(&bytes));
  zumbra::qbx::agg_service::messaging::StatsResponseMsg answer;
  ASSERT_TRUE(answer.ParseFromString(bytes));
  ASSERT_EQ(answer.target_type_stats_size(), 1);
  ASSERT_EQ(answer.target_type_stats(0).target_stats_size(), 4);
  EXPECT_EQ(answer.target_type_stats(0).target_stats(0).counters(0).value(), 100.0);
  EXPECT_EQ(answer.target_type_stats(0).target_stats(3).counters(0).value(), value + 100 + 3);
}

TEST(StatsHeldMemoryTest, DeltaBuffersAreSizedForTheirAnswerAndLargeOnesAreNotKept) {
  StatsLogCapture quiet(loglevel::kError);
  DiffStoreFactoryImpl diff(false);
  std::shared_ptr<std::string> cached;
  for (int poll = 1; poll <= 3; ++poll) {
    diff.UpdatePreviousWithCurrent();
    Fill(diff, 3000, poll * 1000);
    // A buffer of its own, as every answer beyond the recycler's limit has.
    auto bytes = std::make_shared<std::string>();
    ASSERT_TRUE(diff.EncodeWire(bytes.get()));
    diff.CommitUpdate();
    cached = bytes;
  }
  // Reserved at the last answer's size, not grown to up to twice its size.
  EXPECT_LE(cached->capacity(), cached->size() + cached->size() / 16);

  auto recycler = BufferRecycler::Create();
  auto large = recycler->Take();
  large->reserve(BufferRecycler::kMaxKeptBytes + 1);
  large.reset();
  EXPECT_FALSE(recycler->HasSpare());
  auto small = recycler->Take();
  small->reserve(BufferRecycler::kMaxKeptBytes / 2);
  small.reset();
  EXPECT_TRUE(recycler->HasSpare());
}

}  // namespace
}  // namespace qbx
