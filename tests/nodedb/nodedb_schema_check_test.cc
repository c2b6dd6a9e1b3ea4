// The server-schema check of a connected client against the stand-in: nothing is sent or
// filtered before the decision, a failed schema or version call is no answer, the version
// table and the time-out decide the object count, and a write the schema refuses is
// confirmed with a warning instead of vanishing.
#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

using nodedb::NodeDbClient;
using SchemaAnswer = tools::NodeDbStandin::SchemaAnswer;

class NodeDbSchemaCheckTest : public NodeDbClientFixture {
 protected:
  NodeDbSchemaCheckTest() {
    client_ = std::make_shared<NodeDbClient>("stats-exporter", net::Endpoint(standin_.endpoint()), provider_, nullptr,
                                             true, true, true);
  }

  // One Echo round trip: what the client sent before it has reached the stand-in.
  void RoundTrip() {
    std::atomic<bool> echoed{false};
    ASSERT_TRUE(client_->Echo("x", [&](const std::string&, const rpc::Status&) { echoed = true; }));
    ASSERT_TRUE(WaitUntil([&] { return echoed.load(); }));
  }
};

TEST_F(NodeDbSchemaCheckTest, WritesAndSessionsWaitForTheSchemaAnswerAndAreThenSent) {
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kHold);
  RecordingModule fw;
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw.Updates(), fw.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_schema_requests() == 2; }));
  // Connected, the decision pending: a write, a new session and a monitor change.
  client_->Modify({PutRequest(pb::FIREWALL_CONFIG, "in-window", "1")}, [&] { ++done; });
  ASSERT_TRUE(client_->AddMonitorSession(5));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::LOGICAL_PORT)}, {}, 9, 5));
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), 0u);
  EXPECT_EQ(standin_.monitor_calls(), 0u);
  EXPECT_EQ(done.load(), 0);
  EXPECT_FALSE(client_->IsPendingModificationReqEmpty());

  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 2u);
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).count("in-window"), 1u);
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("in-window") == 1; }));
  EXPECT_EQ(standin_.MonitoredTypes(1), (std::vector<int>{pb::FIREWALL_CONFIG}));
  ASSERT_TRUE(WaitUntil([&] { return standin_.MonitoredTypes(5).size() == 1; }));
  EXPECT_EQ(standin_.MonitoredTypes(5), (std::vector<int>{pb::LOGICAL_PORT}));
  EXPECT_EQ(standin_.monitor_calls(), 2u) << "one set-up per session, none before the decision";
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbSchemaCheckTest, AFailedSchemaCallIsNoAnswerAndKeepsEveryStatement) {
  standin_.SetSchemaAnswers(SchemaAnswer::kFail, SchemaAnswer::kAnswer);  // version 3.2.0: 217 types
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG), Statement(pb::EXPORTER_CONFIG)}, {}, 9, 1));
  client_->Modify({PutRequest(pb::EXPORTER_CONFIG, "kept", "1")}, [&] { ++done; });
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  EXPECT_TRUE(log_.Contains("GetServerSchema failed"));
  EXPECT_TRUE(log_.Contains("Found 217 objects in server schema"));
  EXPECT_EQ(standin_.Table(1, pb::EXPORTER_CONFIG).count("kept"), 1u);
  ASSERT_TRUE(WaitUntil([&] { return standin_.MonitoredTypes(1).size() == 2; }));
  EXPECT_FALSE(log_.Contains("from Monitor as server schema does not support it"));
}

TEST_F(NodeDbSchemaCheckTest, VersionWithASuffixUsesItsPrefixAndDropsNewerTypes) {
  standin_.SetSchemaVersion("3.1.2xyz");
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kAnswer);
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->ConfigureMonitor(
      {Statement(pb::FIREWALL_CONFIG), Statement(pb::ROUTE_TABLE_STATE), Statement(pb::FLOW_EXPORT_CONFIG)}, {}, 9, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 1 && standin_.active_monitors() == 1; }));
  EXPECT_TRUE(log_.Contains("Found 188 objects in server schema"));
  EXPECT_EQ(standin_.MonitoredTypes(1), (std::vector<int>{pb::FIREWALL_CONFIG, pb::ROUTE_TABLE_STATE}));
  EXPECT_TRUE(log_.Contains("Removing object type FLOW_EXPORT_CONFIG from Monitor as server schema does not support it"));
  EXPECT_TRUE(client_->IsObjectInServerSchema(pb::ROUTE_TABLE_STATE));
  EXPECT_FALSE(client_->IsObjectInServerSchema(pb::FLOW_EXPORT_CONFIG));

  // A write of an unsupported type alone: confirmed, named in a warning, nothing sent.
  client_->Modify({PutRequest(pb::FLOW_EXPORT_CONFIG, "too-new", "1")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  EXPECT_TRUE(log_.Contains("not sending put"));
  EXPECT_TRUE(log_.Contains("refused by the server schema"));
  EXPECT_EQ(standin_.modify_calls(), 0u);
  // Mixed with a supported one: the supported part is written.
  client_->Modify({PutRequest(pb::FLOW_EXPORT_CONFIG, "too-new", "1"), PutRequest(pb::FIREWALL_CONFIG, "fine", "1")},
                  [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 2; }));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).count("fine"), 1u);
  EXPECT_TRUE(standin_.Table(1, pb::FLOW_EXPORT_CONFIG).empty());
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
  standin_.ReleaseSchemaRequests();
}

TEST_F(NodeDbSchemaCheckTest, VersionTimeoutGivesTheOldestTableEntry) {
  standin_.SetSchemaAnswers(SchemaAnswer::kFail, SchemaAnswer::kHold);
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::LOGICAL_SWITCH_STATE), Statement(pb::LOGICAL_PORT_STATE)}, {},
                                        9, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_schema_requests() == 1 && log_.Contains("GetServerSchema failed"); }));
  RoundTrip();
  EXPECT_EQ(standin_.monitor_calls(), 0u) << "a failed schema call decides nothing";
  clock_->Advance(std::chrono::seconds(300));
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 1 && standin_.active_monitors() == 1; }));
  EXPECT_TRUE(log_.Contains("Timeout on GetServerSchema request"));
  EXPECT_TRUE(log_.Contains("Timeout on server schema version request"));
  EXPECT_TRUE(log_.Contains("Found 178 objects in server schema"));
  EXPECT_EQ(standin_.MonitoredTypes(1), (std::vector<int>{pb::LOGICAL_SWITCH_STATE}));
  standin_.ReleaseSchemaRequests();
}

TEST_F(NodeDbSchemaCheckTest, AFailedVersionCallWaitsForItsTimeoutWhenTheSchemaCallFailsToo) {
  standin_.SetSchemaAnswers(SchemaAnswer::kFail, SchemaAnswer::kFail);
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  client_->Modify({PutRequest(pb::FIREWALL_CONFIG, "late", "1")}, [&] { ++done; });
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("GetServerSchemaVersion failed"); }));
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), 0u);
  clock_->Advance(std::chrono::seconds(300));
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  EXPECT_TRUE(log_.Contains("Found 178 objects in server schema"));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).count("late"), 1u);
}

}  // namespace
}  // namespace testing
}  // namespace qbx
