// Monitor tables, registrations and schema helpers of the client, without a connection:
// every refusal is logged with its tag and leaves the tables as the rules say.
#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

using nodedb::NodeDbClient;

class NodeDbTablesTest : public NodeDbClientFixture {};

pb::WhereMsg Where(const std::string& value) {
  pb::WhereMsg w;
  w.set_column("key");
  w.set_op("==");
  w.set_value(value);
  return w;
}

TEST_F(NodeDbTablesTest, RegistrationAndSessionsRefuseUnknownOrRepeatedEntries) {
  auto noop_update = [](const pb::MonitorUpdateMsg&) {};
  auto noop_barrier = [] {};
  EXPECT_FALSE(client_->RegisterMonitorCallback(1, noop_update, noop_barrier, 5));
  EXPECT_TRUE(log_.Contains("Unable to find monitor session for vdb_id 5"));
  EXPECT_TRUE(client_->RegisterMonitorCallback(1, noop_update, noop_barrier, 1));  // VDb 1 needs no session
  EXPECT_FALSE(client_->RegisterMonitorCallback(1, noop_update, noop_barrier, 1));
  EXPECT_TRUE(client_->AddMonitorSession(5));
  EXPECT_FALSE(client_->AddMonitorSession(5));
  EXPECT_TRUE(log_.Contains("An existing monitor session for vdb_id 5 already exists"));
  EXPECT_TRUE(client_->RegisterMonitorCallback(1, noop_update, noop_barrier, 5));
  EXPECT_TRUE(client_->RemoveMonitorSession(5));
  EXPECT_FALSE(client_->RemoveMonitorSession(5));
  EXPECT_FALSE(client_->RegisterMonitorCallback(2, noop_update, noop_barrier, 5));
  EXPECT_FALSE(client_->EnableMonitorSessionCreation() && false);
}

TEST_F(NodeDbTablesTest, ConfigureMonitorSharesIdenticalStatementsAndRefusesConflicts) {
  EXPECT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  EXPECT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 10, 1));
  pb::MonitorStatementMsg narrower = Statement(pb::FIREWALL_CONFIG);
  *narrower.mutable_object()->add_where() = Where("x");
  EXPECT_FALSE(client_->ConfigureMonitor({narrower}, {}, 11, 1));
  EXPECT_TRUE(log_.Contains("NDB111"));
  EXPECT_FALSE(client_->ConfigureMonitor({pb::MonitorStatementMsg()}, {}, 9, 1));
  EXPECT_TRUE(log_.Contains("MonitorStatementMsg is missing StatementMsg"));
  // Removal paths.
  EXPECT_FALSE(client_->ConfigureMonitor({}, {Statement(pb::LOGICAL_PORT)}, 9, 1));
  EXPECT_TRUE(log_.Contains("No existing monitor found for the given object type: LOGICAL_PORT"));
  EXPECT_FALSE(client_->ConfigureMonitor({}, {narrower}, 9, 1));
  EXPECT_TRUE(log_.Contains("does not match any existing monitor"));
  EXPECT_FALSE(client_->ConfigureMonitor({}, {Statement(pb::FIREWALL_CONFIG)}, 77, 1));
  EXPECT_TRUE(log_.Contains("No module id 77 associated with the given object type: FIREWALL_CONFIG"));
  EXPECT_TRUE(client_->ConfigureMonitor({}, {Statement(pb::FIREWALL_CONFIG)}, 9, 1));
  EXPECT_TRUE(client_->ConfigureMonitor({}, {Statement(pb::FIREWALL_CONFIG)}, 10, 1));
  EXPECT_FALSE(client_->ConfigureMonitor({}, {Statement(pb::FIREWALL_CONFIG)}, 10, 1));
  EXPECT_TRUE(log_.Contains("No existing monitor found for the given vdb_id 1"));
  // After the last module left, another statement for the type is welcome.
  EXPECT_TRUE(client_->ConfigureMonitor({narrower}, {}, 11, 1));
}

TEST_F(NodeDbTablesTest, UpdateMonitorChangesWhereClausesAllOrNothing) {
  EXPECT_FALSE(client_->UpdateMonitor({}, 1));
  EXPECT_TRUE(log_.Contains("NDB106"));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  pb::MonitorStatementUpdateMsg add;
  add.set_object_type(pb::FIREWALL_CONFIG);
  *add.add_add_where() = Where("a");
  EXPECT_TRUE(client_->UpdateMonitor({add}, 1));
  // Adding it again is refused, and so is the whole list it is part of.
  pb::MonitorStatementUpdateMsg add_b;
  add_b.set_object_type(pb::FIREWALL_CONFIG);
  *add_b.add_add_where() = Where("b");
  EXPECT_FALSE(client_->UpdateMonitor({add_b, add}, 1));
  EXPECT_TRUE(log_.Contains("already exists"));
  pb::MonitorStatementUpdateMsg remove_b;
  remove_b.set_object_type(pb::FIREWALL_CONFIG);
  *remove_b.add_remove_where() = Where("b");
  EXPECT_FALSE(client_->UpdateMonitor({remove_b}, 1)) << "b must not have been stored";
  EXPECT_TRUE(log_.Contains("NDB113"));
  pb::MonitorStatementUpdateMsg other;
  other.set_object_type(pb::LOGICAL_PORT);
  EXPECT_FALSE(client_->UpdateMonitor({other}, 1));
  EXPECT_TRUE(log_.Contains("Monitor for the object type: LOGICAL_PORT not found"));
  // The stored statement now has where "a": removing it with the plain statement fails.
  EXPECT_FALSE(client_->ConfigureMonitor({}, {Statement(pb::FIREWALL_CONFIG)}, 9, 1));
  pb::MonitorStatementMsg with_a = Statement(pb::FIREWALL_CONFIG);
  *with_a.mutable_object()->add_where() = Where("a");
  EXPECT_TRUE(client_->ConfigureMonitor({}, {with_a}, 9, 1));
}

TEST_F(NodeDbTablesTest, MonitorRequestOfAConnectedClientCarriesTheStatementsConfiguredBefore) {
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG), Statement(pb::LOGICAL_PORT)}, {}, 9, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.MonitoredTypes(1).size() == 2; }));
  // Added once connected: sent to the server at once.
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::NODE_CONFIG)}, {}, 9, 1));
  ASSERT_TRUE(WaitUntil([&] { return standin_.MonitoredTypes(1).size() == 3; }));
  ASSERT_TRUE(client_->ConfigureMonitor({}, {Statement(pb::LOGICAL_PORT)}, 9, 1));
  ASSERT_TRUE(WaitUntil([&] { return standin_.MonitoredTypes(1).size() == 2; }));
}

TEST(NodeDbSchemaTest, ObjectCountComesFromTheLastEnumeratorOrTheVersionTable) {
  EXPECT_EQ(NodeDbClient::ParseObjectCount("x enum ObjectType {\n  A = 1;\n  LAST = 217;\n}\n"), 217);
  EXPECT_EQ(NodeDbClient::ParseObjectCount("enum ObjectType {\n  A = 1;\n  B = 200;}"), 1);
  EXPECT_EQ(NodeDbClient::ParseObjectCount("message M {}"), 0);
  EXPECT_EQ(NodeDbClient::ParseObjectCount("enum ObjectType { A = 1;"), 0);
  EXPECT_EQ(NodeDbClient::ObjectCountForVersion("3.1.2"), 188);
  EXPECT_EQ(NodeDbClient::ObjectCountForVersion("3.0.0"), 178);
  EXPECT_FALSE(NodeDbClient::ObjectCountForVersion("9.9.9").has_value());
}

TEST(NodeDbSchemaTest, TheVersionTableGivesEveryRowsObjectCount) {
  const std::vector<std::pair<std::string, int32_t>> rows = {
      {"3.0.0", 178}, {"3.0.1", 178}, {"3.0.2", 179}, {"3.0.3", 179}, {"3.1.0", 187},
      {"3.1.1", 188}, {"3.1.2", 188}, {"3.1.3", 188}, {"3.2.0", 217},
  };
  for (const auto& [version, count] : rows) {
    EXPECT_EQ(NodeDbClient::ObjectCountForVersion(version), std::optional<int32_t>(count)) << version;
  }
  for (const char* outside : {"2.9.9", "3.0.4", "3.1.4", "3.2.1", "3.3.0", "3.1", ""}) {
    EXPECT_FALSE(NodeDbClient::ObjectCountForVersion(outside).has_value()) << outside;
  }
}

TEST(NodeDbSchemaTest, AVersionMeetsAMinimumByTheFirstDifferingPieceAndOnlyWithNumbers) {
  struct Case {
    const char* server;
    const char* minimum;
    std::optional<bool> meets;
  };
  const Case cases[] = {
      {"3.1.2", "3.1", true},    {"3.1.2", "3.2", false}, {"4.0.0", "3.1", true},  // a higher first piece decides
      {"3.1", "3.1.2", true},    {"3.10.0", "3.9", true}, {"3.1.2", "3.1.2", true}, {"2.9.9", "3.0", false},
      {"devel", "3.1", std::nullopt}, {"3.2.0", "3.x", std::nullopt},
      {"4.0.0", "3.x", std::nullopt},  // every compared piece must be a number, not only the deciding one
      {"3..0", "3.1", std::nullopt},   {"3.1.2", "3.-1", std::nullopt}, {"3. 1", "3.1", std::nullopt},
      // a version is numbers as a whole, also beyond the pieces that are compared
      {"3.1.2xyz", "3.1", std::nullopt}, {"3.2rc1", "3.1", std::nullopt}, {"3.1 ", "3.1", std::nullopt},
      {"3.2rc1", "3", std::nullopt},     {"3.1.", "3.1", std::nullopt},   {"3.1", "3.1.", std::nullopt},
      {"+3.1", "3.1", std::nullopt},     {" 3.1", "3", std::nullopt},
      // an empty text compares with nothing
      {"", "3.1", std::nullopt},         {"3.1", "", std::nullopt},       {"", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NodeDbClient::VersionMeets(c.server, c.minimum), c.meets) << c.server << " against " << c.minimum;
  }
}

TEST_F(NodeDbTablesTest, VersionConstraintsCompareNumerically) {
  std::atomic<int> called{0};
  auto cb = [&](const pb::ObjectType&) { ++called; };
  LoopStopper stop_loop{provider_};
  EXPECT_TRUE(client_->CheckVersionConstraint(pb::NODE_CONFIG));  // no constraint
  ASSERT_TRUE(client_->SetVersionConstraint(pb::NODE_CONFIG, "3.2", cb));
  EXPECT_FALSE(client_->SetVersionConstraint(pb::NODE_CONFIG, "3.1", cb));
  ASSERT_TRUE(client_->SetVersionConstraint(pb::LOGICAL_PORT, "3.1", cb));
  // Learn the server's version the way the client does.
  auto checked = std::make_shared<NodeDbClient>("c", net::Endpoint(standin_.endpoint()), provider_, nullptr, true,
                                                true, true);
  checked->SetVersionConstraint(pb::NODE_CONFIG, "3.2", cb);
  checked->SetVersionConstraint(pb::LOGICAL_PORT, "3.1", cb);
  checked->SetVersionConstraint(pb::FIREWALL_CONFIG, "4.0", cb);
  std::atomic<bool> started{false};
  std::thread t([&] {
    checked->Start();
    started = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }, clock_));
  t.join();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Got NodeDb Server schema version 3.2.0"); }));
  EXPECT_TRUE(checked->CheckVersionConstraint(pb::NODE_CONFIG));
  EXPECT_TRUE(checked->CheckVersionConstraint(pb::LOGICAL_PORT));
  EXPECT_FALSE(checked->CheckVersionConstraint(pb::FIREWALL_CONFIG));
  // The constraint's callback comes from the loop thread, after the check has returned.
  ASSERT_TRUE(WaitUntil([&] { return called.load() == 1; }));
  EXPECT_TRUE(checked->IsObjectInServerSchema(pb::EXPORTER_CONFIG));
}

}  // namespace
}  // namespace testing
}  // namespace qbx
