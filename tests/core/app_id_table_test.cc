#include <gtest/gtest.h>

#include <cstring>

#include "core/app_id_table.h"

namespace {

TEST(AppIdTableTest, BoundsAndKnownNames) {
  const auto& table = qbx::AppIdNameTable();
  ASSERT_EQ(table.size(), 5362u);
  EXPECT_EQ(qbx::AppIdTableSize(), 5362u);
  EXPECT_STREQ(table.at(-1), "APP_INVALID");
  EXPECT_STREQ(table.at(3), "APP_BASE");
  EXPECT_STREQ(table.at(4), "APP_UNKNOWN");
  EXPECT_STREQ(table.at(98), "APP_L2TP");
  EXPECT_STREQ(table.at(99), "APP_LCP");
  EXPECT_STREQ(table.at(5360), "APP_SNMP_V3");
  EXPECT_EQ(table.count(5361), 0u);
  EXPECT_EQ(table.count(-2), 0u);
  EXPECT_EQ(table.begin()->first, -1);
  EXPECT_EQ(table.rbegin()->first, 5360);
  for (const auto& [id, name] : table) ASSERT_EQ(std::strncmp(name, "APP_", 4), 0) << id;
}

TEST(AppIdTableTest, DisplayNameDropsPrefixAndNamesUnknownIds) {
  EXPECT_EQ(qbx::AppIdDisplayName(67), "HTTP");
  EXPECT_EQ(qbx::AppIdDisplayName(5360), "SNMP_V3");
  EXPECT_EQ(qbx::AppIdDisplayName(5361), "UNKNOWN");
  EXPECT_EQ(qbx::AppIdDisplayName(-100), "UNKNOWN");
}

}  // namespace
