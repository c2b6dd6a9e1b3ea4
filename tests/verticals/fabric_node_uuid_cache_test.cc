// The fabric vertical's node-UUID cache is filled once per process: this program holds
// nothing else, so the first vertical made here is the first of its process.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/static_tables.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "verticals/fabric_vertical_impl.h"

namespace {

constexpr const char* kUuid = "6f1c1e3a-0000-4000-8000-00000000f00d";

TEST(FabricNodeUuidCache, TheFirstVerticalFillsItAndLogsItOnceForTheProcess) {
  qbx::test::LogCapture logs;
  int reads = 0;
  auto first = std::make_shared<FabricVerticalImpl>("FabricStats", [&reads] {
    ++reads;
    return std::string(kUuid);
  });
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(qbx::FabricNodeUuid(), kUuid);
  EXPECT_EQ(logs.Count(std::string("[FabricStats] Node-uuid: ") + kUuid), 1u);

  // Later verticals, with another source or the host configuration's, read nothing.
  auto second = std::make_shared<FabricVerticalImpl>("FabricStats", [&reads] {
    ++reads;
    return std::string("another-uuid");
  });
  auto third = std::make_shared<FabricVerticalImpl>("FabricStats");
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(qbx::FabricNodeUuid(), kUuid);
  EXPECT_EQ(logs.Count("[FabricStats] Node-uuid:"), 1u);
  EXPECT_EQ(logs.Count("Error reading node uuid"), 0u);
}

}  // namespace
