#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/metrics/frequency_counter.h"
#include "platform/metrics/metric_registry.h"

namespace qbx {
namespace metrics {
namespace {

MetricValuePtr MakeFrequency() { return MetricValuePtr(new FrequencyCounter()); }

class RecordingSerializer : public Serializer {
 public:
  void Units(const std::string& u) override { items.push_back("units=" + u); }
  void Text(const std::string& t) override { items.push_back("text=" + t); }
  void Field(const char* n, uint64_t v) override {
    items.push_back(std::string(n) + "=" + std::to_string(v));
  }
  void Field(const char* n, double v) override {
    items.push_back(std::string(n) + "=" + std::to_string(v));
  }
  std::vector<std::string> items;
};

TEST(MetricRegistry, KeysAreSharedByNameAndTagsAndForgottenAfterTheLastRelease) {
  MetricRegistry registry;
  MetricKey* a = registry.key("queue/length");
  MetricKey* b = registry.key("queue/length");
  MetricKey* tagged = registry.key("queue/length", tags("app", "FabricStats"));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, tagged);
  EXPECT_EQ(registry.Names(),
            (std::vector<std::string>{"queue/length", "queue/length{app=FabricStats}"}));

  MetricValuePtr v = a->instance(MakeFrequency);
  EXPECT_EQ(b->instance(MakeFrequency), v);  // the second make is not used
  EXPECT_EQ(registry.Find("queue/length"), v);
  EXPECT_EQ(registry.Find("missing"), nullptr);

  a->release();
  EXPECT_EQ(registry.Find("queue/length"), v);  // b still uses it
  b->release();
  EXPECT_EQ(registry.Find("queue/length"), nullptr);
  tagged->release();
  EXPECT_EQ(registry.size(), 0u);
  // The value outlives the key while someone holds it.
  EXPECT_EQ(v->type(), FrequencyCounter::kTypeCode);
}

TEST(MetricRegistry, TagsText) {
  EXPECT_EQ(tags().to_string(), "");
  tags t("app", "x");
  t.add("k", "v");
  EXPECT_EQ(t.to_string(), "{app=x,k=v}");
}

TEST(FrequencyCounter, CountsPerCollectionPeriod) {
  MetricRegistry registry;
  MetricKey* key = registry.key("enqueue_freq");
  auto* f = static_cast<FrequencyCounter*>(key->instance(MakeFrequency).get());
  ++*f;
  f->increment();
  EXPECT_EQ(f->count(false), 2u);
  registry.CollectAll();
  EXPECT_EQ(f->count(true), 2u);
  EXPECT_EQ(f->count(false), 0u);
  ++*f;
  EXPECT_EQ(f->string(false), "s~count: 1");
  RecordingSerializer out;
  f->serialize(out, true);
  EXPECT_EQ(out.items, (std::vector<std::string>{"units=", "text=s~count: 2", "count=2"}));
  f->reset();
  EXPECT_EQ(f->count(false), 0u);
  key->release();
}

TEST(FrequencyCounter, ConcurrentIncrementsAreAllCounted) {
  MetricValuePtr v = MakeFrequency();
  auto* f = static_cast<FrequencyCounter*>(v.get());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([f] {
      for (int i = 0; i < 20000; ++i) f->increment();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(f->count(false), 80000u);
}

TEST(MetricRegistry, ConcurrentKeyUsersAgreeOnOneValue) {
  MetricRegistry registry;
  std::vector<std::thread> threads;
  std::vector<MetricValue*> seen(8);
  MetricKey* holder = registry.key("shared");  // keeps the key alive throughout
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        MetricKey* k = registry.key("shared");
        seen[t] = k->instance(MakeFrequency).get();
        k->release();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto* v : seen) EXPECT_EQ(v, holder->instance().get());
  holder->release();
  EXPECT_EQ(registry.size(), 0u);
}

}  // namespace
}  // namespace metrics
}  // namespace qbx
