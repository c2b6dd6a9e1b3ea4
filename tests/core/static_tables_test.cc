#include "core/static_tables.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(StaticTablesTest, DefaultIntervalsPerVertical) {
  const auto& intervals = qbx::StatusSourceDefaultIntervals();
  ASSERT_EQ(intervals.size(), 9u);
  EXPECT_EQ(intervals.at(5), 120);
  EXPECT_EQ(intervals.at(1), 30);
  EXPECT_EQ(intervals.at(8), 30);
  for (int32_t id : {2, 3, 4, 6, 7, 9}) {
    EXPECT_EQ(intervals.at(id), 60) << "vertical " << id;
  }
  EXPECT_EQ(intervals.count(0), 0u);
  EXPECT_EQ(intervals.count(10), 0u);
  // Ordered by id, as the pollers copy them.
  int32_t previous = 0;
  for (const auto& [id, seconds] : intervals) {
    EXPECT_GT(id, previous);
    EXPECT_GT(seconds, 0);
    previous = id;
  }
}

TEST(StaticTablesTest, VerticalNamesHoldExactlyTwoEntries) {
  const auto& ids = qbx::StatusSourceVerticalIds();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids.at("HostNodeStatusVertical"), 1);
  EXPECT_EQ(ids.at("FabricStats"), 7);
  EXPECT_EQ(ids.count("DFWRuleStats"), 0u);
  EXPECT_EQ(ids.count("fabricstats"), 0u);
  EXPECT_EQ(ids.count(""), 0u);
}

TEST(StaticTablesTest, ConstantStrings) {
  EXPECT_EQ(qbx::OverlaySwitchingDevicePath(), "/tkfs/devices/char/kztdriver/qbx_rwn2");
  EXPECT_EQ(qbx::SnReplyTypeKey(), "sn_protobuf_type_from_reply");
  // One object for the whole process.
  EXPECT_EQ(&qbx::OverlaySwitchingDevicePath(), &qbx::OverlaySwitchingDevicePath());
}

TEST(StaticTablesTest, ProcessStringsKeepWhatWasStored) {
  qbx::SetComponentName("qbx-exporter");
  qbx::SetFabricNodeUuid("6f1c1e3a-0000-4000-8000-000000000001");
  EXPECT_EQ(qbx::ComponentName(), "qbx-exporter");
  EXPECT_EQ(qbx::FabricNodeUuid(), "6f1c1e3a-0000-4000-8000-000000000001");
}

}  // namespace
