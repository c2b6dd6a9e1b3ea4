#include "base/node_identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/bounded_file.h"
#include "base/json_file.h"

#include "tests/base/log_test_support.h"
#include "tests/base/startup_file_support.h"

namespace qbx {
namespace {

using logtest::CapturingSink;
using logtest::TempDir;

class NodeUuid : public ::testing::Test {
 protected:
  TempDir dir_;
  CapturingSink sink_{loglevel::kTrace};
};

TEST_F(NodeUuid, ValueIsReturnedUnchanged) {
  std::string path = dir_.Write("host-cfg.xml",
                                "<?xml version=\"1.0\"?>\n<!-- a comment -->\n<config>\n"
                                "  <other>1</other>\n  <uuid>ABC-not-checked</uuid>\n</config>\n");
  EXPECT_EQ(GetNodeUuid(path), "ABC-not-checked");
  EXPECT_TRUE(sink_.Lines().empty());
}

TEST_F(NodeUuid, EmptyOrMissingElementLogsDebugOnly) {
  std::string empty = dir_.Write("empty.xml", "<config><uuid></uuid></config>");
  std::string none = dir_.Write("none.xml", "<config><other/></config>");
  EXPECT_EQ(GetNodeUuid(empty), "");
  EXPECT_EQ(GetNodeUuid(none), "");
  auto texts = sink_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("subcomp=\"agg-service\""), std::string::npos);
  EXPECT_NE(texts[0].find("level=\"DEBUG\"] Empty uuid in host config file: " + empty), std::string::npos);
  EXPECT_NE(texts[1].find("level=\"DEBUG\"] Empty uuid in host config file: " + none), std::string::npos);

  sink_.Clear();
  Logger::logLevel = loglevel::kInfo;
  EXPECT_EQ(GetNodeUuid(empty), "");
  EXPECT_TRUE(sink_.Lines().empty());
}

TEST_F(NodeUuid, MissingOrMalformedFileLogsInfoAndGivesEmpty) {
  std::string missing = (dir_.path() / "absent.xml").string();
  std::string broken = dir_.Write("broken.xml", "<config><uuid>x</config>");
  EXPECT_EQ(GetNodeUuid(missing), "");
  EXPECT_EQ(GetNodeUuid(broken), "");
  auto texts = sink_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("level=\"INFO\"] Error reading node uuid from " + missing + ". "), std::string::npos)
      << texts[0];
  EXPECT_EQ(texts[0].back(), '.');
  EXPECT_NE(texts[1].find("Error reading node uuid from " + broken + ". "), std::string::npos);
  EXPECT_EQ(sink_.Count("Empty uuid"), 0);
}

TEST_F(NodeUuid, FifoIsRefusedAtOnceWithTheReason) {
  const std::string fifo = (dir_.path() / "host-cfg.xml").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string uuid = "unset";
  ASSERT_TRUE(startup::ReturnsWithoutAWriter(fifo, [&] { uuid = GetNodeUuid(fifo); }));
  EXPECT_EQ(uuid, "");
  auto texts = sink_.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("level=\"INFO\"] Error reading node uuid from " + fifo + ". " + fifo +
                          ": not a regular file (a FIFO)."),
            std::string::npos)
      << texts[0];
}

TEST_F(NodeUuid, EndlessDeviceOrHugeFileIsRefusedWithTheReason) {
  const std::string zero = (dir_.path() / "zero.xml").string();
  std::filesystem::create_symlink("/dev/zero", zero);
  const std::string huge = dir_.Write("huge.xml", "<config><uuid>u</uuid>" + std::string(5 << 20, ' ') + "</config>");
  EXPECT_EQ(GetNodeUuid(zero), "");
  EXPECT_EQ(GetNodeUuid(huge), "");
  EXPECT_EQ(sink_.Count("Error reading node uuid from " + zero + ". " + zero +
                        ": not a regular file (a character device)."),
            1);
  EXPECT_EQ(sink_.Count("Error reading node uuid from " + huge + ". " + huge + ": larger than 4194304 bytes."), 1);
}

TEST_F(NodeUuid, LinkToTheFileIsFollowed) {
  const std::string file = dir_.Write("real.xml", "<config><uuid>u-1</uuid></config>");
  const std::string link = (dir_.path() / "host-cfg.xml").string();
  std::filesystem::create_symlink(file, link);
  EXPECT_EQ(GetNodeUuid(link), "u-1");
  EXPECT_TRUE(sink_.Lines().empty());
}

// Resident memory of this process, in kB.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Read once at start, the host configuration's tree must not stay resident for the life of the
// process: the largest file allowed otherwise leaves several MB in the C library's free lists.
TEST_F(NodeUuid, MemoryOfTheParseIsGivenBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators keep freed memory by design";
#endif
  std::string elements;
  for (size_t i = 0; i + 3 < kMaxFileTreeNodes; ++i) elements += "<a>" + std::string(390, 't') + "</a>";
  const std::string path = dir_.Write("host-cfg.xml", "<config><uuid>u-2</uuid>" + elements + "</config>");
  elements = std::string();
  ReleaseFreedMemory();  // start from what is in use
  const long before = ResidentKb();
  EXPECT_EQ(GetNodeUuid(path), "u-2");
  const long after = ResidentKb();
  EXPECT_LT(after - before, 2048) << before << " kB before, " << after << " kB after";
}

class NodeType : public ::testing::Test {
 protected:
  std::string Issue(const std::string& contents) { return dir_.Write("issue" + std::to_string(n_++), contents); }
  TempDir dir_;
  int n_ = 0;
};

TEST_F(NodeType, FirstLineWithTheMarkerGivesTheValueFromOffsetEleven) {
  std::string type = "unchanged";
  EXPECT_EQ(ReadNodeType(type, Issue("name: x\nnode-type: qbx-edge\nnode-type: other\n")), 0);
  EXPECT_EQ(type, "qbx-edge");
  EXPECT_EQ(ReadNodeType(type, Issue("xxnode-type: qbx-edge\n")), 0);
  EXPECT_EQ(type, ": qbx-edge");
  EXPECT_EQ(ReadNodeType(type, Issue("node-type: ")), 0);
  EXPECT_EQ(type, "");
}

TEST_F(NodeType, MissingFileOrMarkerLeavesOutputAlone) {
  std::string type = "unchanged";
  EXPECT_EQ(ReadNodeType(type, (dir_.path() / "absent").string()), -1);
  EXPECT_EQ(ReadNodeType(type, Issue("node-type:edge\nnode-type :x\n")), -1);
  EXPECT_EQ(ReadNodeType(type, Issue("")), -1);
  EXPECT_EQ(type, "unchanged");
}

TEST_F(NodeType, ServiceNameFollowsTheNodeType) {
  const std::pair<const char*, const char*> cases[] = {
      {"qbx-edge", "qbx-edge-exporter"},
      {"qbx-public-cloud-gateway", "qbx-edge-exporter"},
      {"global-manager", "qbx-host-node-status-reporter"},
      {"qbx-manager", "qbx-host-node-status-reporter"},
      {"qbx-krx", "qbx-exporter"},
      {"", "qbx-exporter"},
      // First matching rule wins.
      {"qbx-edge qbx-manager", "qbx-host-node-status-reporter"},
  };
  for (const auto& [type, name] : cases) {
    EXPECT_EQ(GetServiceNameForNodeType(Issue(std::string("node-type: ") + type + "\n")), name) << type;
  }
  EXPECT_EQ(GetServiceNameForNodeType((dir_.path() / "absent").string()), "qbx-exporter");
}

// Read line by line, an endless device was an endless line; a FIFO waited for a writer. (The
// device here is one that ends, so that the test ends without the type check too.)
TEST_F(NodeType, FifoOrDeviceIsRefusedWithTheReasonAndAMissingFileSilently) {
  CapturingSink sink(loglevel::kTrace);
  const std::string device = (dir_.path() / "null").string();
  std::filesystem::create_symlink("/dev/null", device);
  std::string type = "unchanged";
  EXPECT_EQ(ReadNodeType(type, device), -1);
  EXPECT_EQ(GetServiceNameForNodeType(device), "qbx-exporter");
  const std::string fifo = (dir_.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int result = 0;
  ASSERT_TRUE(startup::ReturnsWithoutAWriter(fifo, [&] { result = ReadNodeType(type, fifo); }));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(type, "unchanged");
  EXPECT_EQ(sink.Count("Error reading node type from " + device + ". " + device +
                       ": not a regular file (a character device)."),
            2);
  EXPECT_EQ(sink.Count("Error reading node type from " + fifo + ". " + fifo + ": not a regular file (a FIFO)."), 1);
  sink.Clear();
  EXPECT_EQ(ReadNodeType(type, (dir_.path() / "absent").string()), -1);
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(NodeType, LinkToTheFileIsFollowed) {
  const std::string link = (dir_.path() / "issue-link").string();
  std::filesystem::create_symlink(Issue("node-type: qbx-edge\n"), link);
  std::string type;
  EXPECT_EQ(ReadNodeType(type, link), 0);
  EXPECT_EQ(type, "qbx-edge");
}

TEST(SmartNicIdentity, DpuIdOnlyOnSmartNicHosts) {
  struct Reset {
    ~Reset() { SetSmartNicTopologyHooks({}); }
  } reset;
  EXPECT_EQ(GetDpuId(), "");  // no topology installed: an ordinary host

  SmartNicTopologyHooks hooks;
  hooks.getNodePersona = []() { return kNodePersonaSmartNicHost; };
  hooks.getSnHostUuid = []() { return std::string("11111111-2222-3333-4444-555555555555"); };
  SetSmartNicTopologyHooks(hooks);
  EXPECT_EQ(GetDpuId(), "11111111-2222-3333-4444-555555555555");

  hooks.getNodePersona = []() { return kNodePersonaSmartNic; };
  SetSmartNicTopologyHooks(hooks);
  EXPECT_EQ(GetDpuId(), "");

  hooks.getNodePersona = []() { return kNodePersonaSmartNicHost; };
  hooks.getSnHostUuid = nullptr;
  SetSmartNicTopologyHooks(hooks);
  EXPECT_EQ(GetDpuId(), "");
  EXPECT_FALSE(IsPlatformModeEnabled());
}

}  // namespace
}  // namespace qbx
