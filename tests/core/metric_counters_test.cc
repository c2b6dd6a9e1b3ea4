#include "core/metric_counters.h"

#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/logger.h"

namespace qbx {
namespace metrics {
namespace {

class RecordingSerializer : public Serializer {
 public:
  void Units(const std::string& u) override { items.push_back("units=" + u); }
  void Text(const std::string&) override { items.push_back("text"); }
  void Field(const char* n, uint64_t v) override {
    items.push_back(std::string(n) + "=" + std::to_string(v));
  }
  void Field(const char* n, double v) override {
    items.push_back(std::string(n) + "=" + std::to_string(static_cast<int64_t>(v)));
  }
  std::vector<std::string> items;
};

TEST(UnitCounter, IncrementsThenCollectFreezesTheSlot) {
  MetricRegistry registry;
  Metric<UnitCounter> m(registry, "work_group/thread/idle_count");
  ++*m;
  ++*m;
  ++*m;
  auto live = m->snapshot(false);
  EXPECT_EQ(live.value, 3u);
  EXPECT_EQ(live.num, 3u);
  EXPECT_EQ(live.min, 1u);
  EXPECT_EQ(live.max, 3u);
  EXPECT_EQ(m->string(false), "v~last: 3, s~num: 3, s~min: 1, s~max: 3");

  m->collect();
  EXPECT_EQ(m->string(true), "v~last: 3, s~num: 3, s~min: 1, s~max: 3");
  EXPECT_EQ(m->string(false), "v~last: 3, s~num: 0, s~min: 0, s~max: 0");
  // The new live slot continues from 3 with fresh statistics.
  --*m;
  live = m->snapshot(false);
  EXPECT_EQ(live.value, 2u);
  EXPECT_EQ(live.num, 1u);
  EXPECT_EQ(live.min, 2u);
  EXPECT_EQ(live.max, 2u);
  // A second collection overwrites the older frozen slot.
  m->collect();
  EXPECT_EQ(m->snapshot(true).num, 1u);
  EXPECT_EQ(m->snapshot(true).value, 2u);
}

TEST(UnitCounter, DecrementBelowZeroWrapsAndResetKeepsTheValue) {
  MetricRegistry registry;
  Metric<UnitCounter> m(registry, "work_group/queue/length");
  --*m;
  EXPECT_EQ(m->snapshot(false).value, std::numeric_limits<uint64_t>::max());
  *m -= 4;
  EXPECT_EQ(m->snapshot(false).value, std::numeric_limits<uint64_t>::max() - 4);
  EXPECT_EQ(m->snapshot(false).min, std::numeric_limits<uint64_t>::max() - 4);
  m->reset();
  auto s = m->snapshot(false);
  EXPECT_EQ(s.value, std::numeric_limits<uint64_t>::max() - 4);
  EXPECT_EQ(s.num, 0u);
  EXPECT_EQ(s.max, 0u);
}

TEST(LatencyCounter, SamplesMinMaxSumAvg) {
  MetricRegistry registry;
  Metric<LatencyCounter> m(registry, "work_group/item/queued_time");
  EXPECT_EQ(m->string(false), "s~last: 0, s~num: 0, s~min: 0, s~max: 0, s~sum: 0, s~avg: 0");
  m->record(10);
  m->record(30);
  m->record(20);
  EXPECT_EQ(m->string(false), "s~last: 20, s~num: 3, s~min: 10, s~max: 30, s~sum: 60, s~avg: 20");
  m->collect();
  auto frozen = m->snapshot(true);
  EXPECT_EQ(frozen.num, 3u);
  EXPECT_DOUBLE_EQ(frozen.avg, 20.0);
  // The new live slot starts empty.
  EXPECT_EQ(m->snapshot(false).num, 0u);
  EXPECT_EQ(m->snapshot(false).last, 0u);
  m->record(5);
  m->reset();
  EXPECT_EQ(m->snapshot(false).num, 0u);
  EXPECT_DOUBLE_EQ(m->snapshot(false).sum, 0.0);
}

TEST(LatencyCounter, StopwatchRecordsOneSampleWhenDestroyed) {
  MetricRegistry registry;
  Metric<LatencyCounter> m(registry, "work_group/item/processing_time");
  { LatencyStopwatch watch(*m); }
  EXPECT_EQ(m->snapshot(false).num, 1u);
}

TEST(CounterSerialize, FieldsInOrder) {
  MetricRegistry registry;
  Metric<UnitCounter> unit(registry, "u");
  ++*unit;
  RecordingSerializer u;
  unit->serialize(u, false);
  EXPECT_EQ(u.items, (std::vector<std::string>{"units=", "text", "value=1", "num=1", "min=1",
                                               "max=1"}));
  Metric<LatencyCounter> lat(registry, "l");
  lat->record(4);
  lat->record(8);
  RecordingSerializer l;
  lat->serialize(l, false);
  EXPECT_EQ(l.items, (std::vector<std::string>{"units=", "text", "last=8", "num=2", "min=4",
                                               "max=8", "sum=12", "avg=6"}));
}

TEST(MetricHandle, SameKindSharesOneValueAndTheKeyGoesWithTheLastHandle) {
  MetricRegistry registry;
  {
    Metric<UnitCounter> a(registry, "shared", tags("app", "FabricStats"));
    Metric<UnitCounter> b(registry, "shared", tags("app", "FabricStats"));
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(&a.check_or_create_value(), a.get());
    ++*a;
    EXPECT_EQ(b->snapshot(false).value, 1u);
    EXPECT_EQ(registry.Find("shared", tags("app", "FabricStats")).get(), a.get());
    Metric<UnitCounter> other(registry, "shared");  // other tags: another value
    EXPECT_NE(other.get(), a.get());
  }
  EXPECT_EQ(registry.size(), 0u);
}

TEST(MetricHandle, WrongKindLogsMxlib200AndThrows) {
  std::vector<std::string> lines;
  Logger::SetSinkForTest([&](int, const std::string& line) { lines.push_back(line); });
  MetricRegistry registry;
  Metric<LatencyCounter> latency(registry, "work_group/thread/idle_count");
  try {
    Metric<UnitCounter> unit(registry, "work_group/thread/idle_count");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Metric: wrong value type (57982058496 != 6442450944)");
  }
  Logger::SetSinkForTest(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("MXLIB200"), std::string::npos);
  EXPECT_NE(lines[0].find("qbx-metrics"), std::string::npos);
  EXPECT_NE(lines[0].find("wrong value type (57982058496 != 6442450944)"), std::string::npos);
  // The failed handle gave its key back; the latency counter is untouched.
  EXPECT_EQ(registry.Find("work_group/thread/idle_count").get(), latency.get());
  Metric<FrequencyCounter> freq(registry, "work_group/queue/enqueue_freq");
  EXPECT_EQ(freq->type(), FrequencyCounter::kTypeCode);
}

TEST(MetricHandle, WrongKindIsSilentWhenTheLibraryLevelIsLow) {
  std::vector<std::string> lines;
  Logger::SetSinkForTest([&](int, const std::string& line) { lines.push_back(line); });
  const auto saved = library_log_level.load();
  library_log_level = loglevel::kFatal;
  MetricRegistry registry;
  Metric<UnitCounter> unit(registry, "x");
  EXPECT_THROW(Metric<LatencyCounter>(registry, "x"), std::runtime_error);
  library_log_level = saved;
  Logger::SetSinkForTest(nullptr);
  EXPECT_TRUE(lines.empty());
}

TEST(UnitCounter, ConcurrentUpdatesAreNotLost) {
  MetricRegistry registry;
  Metric<UnitCounter> m(registry, "concurrent");
  Metric<LatencyCounter> lat(registry, "concurrent/latency");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        ++*m;
        lat->record(1);
        if (i % 1000 == 0) m->string(false);
      }
    });
  }
  std::thread collector([&] {
    for (int i = 0; i < 100; ++i) registry.CollectAll();
  });
  for (auto& t : threads) t.join();
  collector.join();
  EXPECT_EQ(m->snapshot(false).value, 80000u);
}

}  // namespace
}  // namespace metrics
}  // namespace qbx
