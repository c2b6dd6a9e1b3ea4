// The smart-NIC topology stand-in: configuration file, node identity, and datapath-restart
// observers; and the demultiplexing utility's target table.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "aggsvc/agg_service_client.h"
#include "base/node_identity.h"
#include "platform/smartnic/sn_demux_util.h"
#include "platform/smartnic/sn_util.h"
#include "tests/aggsvc/fakes/log_capture.h"

namespace qbx::test {
namespace {

class SmartNicTopology : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("snutil-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    SNUtil::SetTopology({});  // the rest of the suite runs on a plain node
    std::filesystem::remove_all(dir);
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = (dir / name).string();
    std::ofstream(path) << text;
    return path;
  }
  std::filesystem::path dir;
};

TEST_F(SmartNicTopology, FileGivesPersonaSmartNicsAndTheDpuId) {
  const std::string good = Write("good.json", R"({"persona": 1, "hostUuid": "host-1",
      "smartNics": [{"mgmtIp": "10.0.0.2", "uuid": "sn-a"}, {"mgmtIp": "10.0.0.3", "uuid": "sn-b"}]})");
  ASSERT_EQ(SNUtil::Init(good), 0);
  EXPECT_EQ(SNUtil::GetNodePersona(), 1);
  EXPECT_EQ(AggServiceClient::DefaultNodePersona(), 1);  // no persona source installed: the library's
  EXPECT_EQ(SNUtil::GetNumSmartNICs(), 2u);
  EXPECT_EQ(SNUtil::GetSNMgmtIPListOnHost(), (std::vector<std::string>{"10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(SNUtil::GetSNUUIDFromIP("10.0.0.3"), "sn-b");
  EXPECT_EQ(SNUtil::GetSNUUIDFromIP("10.0.0.9"), "");
  EXPECT_EQ(qbx::GetDpuId(), "host-1");

  // A broken or incomplete file is refused and changes nothing; a missing one is no error.
  LogCapture logs;
  EXPECT_EQ(SNUtil::Init(Write("bad.json", "{ not json")), -1);
  EXPECT_EQ(SNUtil::Init(Write("partial.json", R"({"persona": 2, "smartNics": [{"mgmtIp": "10.0.0.2"}]})")), -1);
  EXPECT_EQ(SNUtil::Init((dir / "absent.json").string()), 0);
  // Nested far too deep for the recursive parser: refused before parsing, no crash.
  const std::string deep = R"({"persona": 2, "x": )" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_EQ(SNUtil::Init(Write("deep.json", deep)), -1);
  EXPECT_EQ(logs.Count("nested deeper than 64 levels"), 1u);
  EXPECT_EQ(SNUtil::GetNodePersona(), 1);
  EXPECT_EQ(logs.Count("Smart NIC entry without mgmtIp or uuid"), 1u);

  // On the smart NIC itself there is no host id and no list of smart NICs.
  SNUtil::SetTopology({SNUtil::kPersonaSn, "host-1", {{"10.0.0.2", "sn-a"}}});
  EXPECT_EQ(qbx::GetDpuId(), "");
  EXPECT_EQ(SNUtil::GetNumSmartNICs(), 0u);
  EXPECT_TRUE(SNUtil::GetSNMgmtIPListOnHost().empty());
}

TEST_F(SmartNicTopology, RestartObserversRunOutsideTheLockAndMayUnsubscribe) {
  std::vector<std::string> seen;
  uint64_t id = 0;
  id = SNUtil::AddDatapathRestartObserver([&](const std::string& sn) {
    seen.push_back(sn);
    SNUtil::RemoveDatapathRestartObserver(id);  // re-entering the library from an observer
  });
  uint64_t thrower = SNUtil::AddDatapathRestartObserver([](const std::string&) { throw std::runtime_error("x"); });
  SNUtil::NotifyDatapathRestart("sn-a");
  SNUtil::NotifyDatapathRestart("sn-b");
  SNUtil::RemoveDatapathRestartObserver(thrower);
  EXPECT_EQ(seen, std::vector<std::string>{"sn-a"});
}

TEST(SmartNicDemux, MapsKnownTargetsOnly) {
  qbx::smartnic::demux::SNDemuxUtil demux;
  EXPECT_FALSE(demux.IsInitialized());
  EXPECT_EQ(demux.Init(nullptr), 0);
  EXPECT_TRUE(demux.IsInitialized());
  demux.SetTargetMapping("lr-1", {"sn-a", "sn-b"});
  std::vector<std::string> ids{"untouched"};
  EXPECT_FALSE(demux.GetSNUUIDsForTarget("lr-2", ids));
  EXPECT_EQ(ids, std::vector<std::string>{"untouched"});
  EXPECT_TRUE(demux.GetSNUUIDsForTarget("lr-1", ids));
  EXPECT_EQ(ids, (std::vector<std::string>{"sn-a", "sn-b"}));
  demux.SetTargetMapping("lr-1", {});
  EXPECT_FALSE(demux.GetSNUUIDsForTarget("lr-1", ids));
}

}  // namespace
}  // namespace qbx::test
