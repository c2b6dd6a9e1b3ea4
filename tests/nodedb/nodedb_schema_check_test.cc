// The server-schema check of a connected client against the stand-in: nothing is sent or
// filtered before the decision, a failed schema or version call is no answer but is asked
// again, every connection decides afresh, the version table and the time-out decide the
// object count, version constraints never stall the writes, and a write the schema refuses
// is confirmed with a warning instead of vanishing.
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
  // The version answer may decide (and the write go) before the failed schema call ends.
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("GetServerSchema failed"); }));
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
  EXPECT_TRUE(Warned("not monitoring object { object_type: FLOW_EXPORT_CONFIG }"));
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

TEST_F(NodeDbSchemaCheckTest, AVersionThatIsNotANumberFailsItsConstraintAndLaterWritesGoOn) {
  standin_.SetSchemaVersion("devel");
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kAnswer);
  std::atomic<int> refused{0};
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->SetVersionConstraint(pb::FIREWALL_CONFIG, "3.1", [&](const pb::ObjectType& type) {
    EXPECT_EQ(type, pb::FIREWALL_CONFIG);
    ++refused;
  }));
  StartClient();
  // The version is stored (it decides nothing), then the schema answer decides.
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("server version devel is not in the version table"); }));
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Found 217 objects in server schema"); }));

  EXPECT_NO_THROW(client_->Modify({PutRequest(pb::FIREWALL_CONFIG, "constrained", "1")}, [&] { ++done; }));
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1 && refused.load() == 1; }));
  EXPECT_TRUE(Warned("cannot compare server version \"devel\" with the version constraint \"3.1\" of object "
                     "FIREWALL_CONFIG"));
  EXPECT_TRUE(log_.Contains("Removing object type FIREWALL_CONFIG from Modify due to version mismatch of object"));
  // The queue is not stuck behind it: a write of another type reaches the database.
  client_->Modify({PutRequest(pb::NODE_CONFIG, "later", "1")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 2; }));
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).count("later"), 1u);
  EXPECT_TRUE(standin_.Table(1, pb::FIREWALL_CONFIG).empty());
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbSchemaCheckTest, ANewerServerMeetsAnOlderMinimumAndAnOlderServerFailsANewerOne) {
  standin_.SetSchemaVersion("3.1.2");
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kAnswer);  // the version decides
  std::mutex m;
  std::vector<int> refused;
  LoopStopper stop_loop{provider_};
  auto record = [&](const pb::ObjectType& type) {
    std::lock_guard<std::mutex> lock(m);
    refused.push_back(type);
  };
  auto refused_types = [&] {
    std::lock_guard<std::mutex> lock(m);
    return refused;
  };
  ASSERT_TRUE(client_->SetVersionConstraint(pb::LOGICAL_PORT, "3.1", record));
  ASSERT_TRUE(client_->SetVersionConstraint(pb::NODE_CONFIG, "3.2", record));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Found 188 objects in server schema"); }));
  EXPECT_TRUE(client_->CheckVersionConstraint(pb::LOGICAL_PORT)) << "3.1.2 meets 3.1";
  EXPECT_FALSE(client_->CheckVersionConstraint(pb::NODE_CONFIG)) << "3.1.2 fails 3.2";
  ASSERT_TRUE(WaitUntil([&] { return refused_types().size() == 1; }));
  EXPECT_EQ(refused_types(), (std::vector<int>{pb::NODE_CONFIG}));
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);

  // The next connection learns 4.0.0: its first piece is higher, so it meets both, although
  // its second piece is lower than either constraint's.
  standin_.SetSchemaVersion("4.0.0");
  ASSERT_TRUE(standin_.Restart(true));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("server version 4.0.0 is not in the version table"); }, clock_));
  EXPECT_TRUE(client_->CheckVersionConstraint(pb::LOGICAL_PORT));
  EXPECT_TRUE(client_->CheckVersionConstraint(pb::NODE_CONFIG));
  RoundTrip();
  EXPECT_EQ(refused_types().size(), 1u);
  standin_.ReleaseSchemaRequests();
}

TEST_F(NodeDbSchemaCheckTest, ASchemaCallThatFailedIsAskedAgainAndItsAnswerDecides) {
  // 3.3.0 is newer than the version table: only the schema can decide.
  standin_.SetSchemaVersion("3.3.0");
  standin_.SetSchemaAnswers(SchemaAnswer::kFail, SchemaAnswer::kAnswer);
  RecordingModule fw;
  ChannelRecorder channel;
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  client_->AddChannelStatusCallback(channel.Callback());
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw.Updates(), fw.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] {
    return log_.Contains("GetServerSchema failed") && log_.Contains("server version 3.3.0 is not in the version table");
  }));
  client_->Modify({PutRequest(pb::FIREWALL_CONFIG, "held", "1")}, [&] { ++done; });
  RoundTrip();
  // Undecided: nothing monitored or written, the channel not reported up, and said so.
  EXPECT_EQ(standin_.modify_calls(), 0u);
  EXPECT_EQ(standin_.monitor_calls(), 0u);
  EXPECT_EQ(done.load(), 0);
  EXPECT_EQ(channel.Seen(), (std::vector<bool>{false}));
  EXPECT_TRUE(Warned("no server schema decision on this connection yet"));
  EXPECT_TRUE(log_.Contains("asking again in 1000 ms"));

  // The database answers from now on: the next ask, within the back-off, decides.
  standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kAnswer);
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }, clock_));
  EXPECT_TRUE(log_.Contains("Found 217 objects in server schema"));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).count("held"), 1u);
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("held") == 1; }));
  EXPECT_EQ(channel.Seen(), (std::vector<bool>{false, true}));
}

TEST_F(NodeDbSchemaCheckTest, AVersionCallThatFailedIsAskedAgainBeforeItsTimeout) {
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kFail);
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("GetServerSchemaVersion failed"); }));
  client_->Modify({PutRequest(pb::EXPORTER_CONFIG, "held", "1")}, [&] { ++done; });
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), 0u);
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kAnswer);
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }, clock_));
  // Decided by the re-asked version (3.2.0), not by the time-out's oldest table entry.
  EXPECT_TRUE(log_.Contains("Found 217 objects in server schema"));
  EXPECT_FALSE(log_.Contains("Timeout on server schema version request"));
  EXPECT_EQ(standin_.Table(1, pb::EXPORTER_CONFIG).count("held"), 1u);
  standin_.ReleaseSchemaRequests();
}

TEST_F(NodeDbSchemaCheckTest, EveryConnectionDecidesAfreshAndHoldsWritesUntilItsOwnAnswer) {
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  StartClient();
  // First connection: version 3.2.0 knows FLOW_EXPORT_CONFIG.
  client_->Modify({PutRequest(pb::FLOW_EXPORT_CONFIG, "known-then", "1")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  EXPECT_EQ(standin_.Table(1, pb::FLOW_EXPORT_CONFIG).count("known-then"), 1u);
  const uint64_t calls = standin_.modify_calls();

  // The database comes back older (3.1.2, no FLOW_EXPORT_CONFIG), its schema call failing and
  // its version answer held.
  standin_.SetSchemaVersion("3.1.2");
  standin_.SetSchemaAnswers(SchemaAnswer::kFail, SchemaAnswer::kHold);
  ASSERT_TRUE(standin_.Restart(true));
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_schema_requests() == 1; }, clock_));
  client_->Modify(
      {PutRequest(pb::FIREWALL_CONFIG, "in-window", "1"), PutRequest(pb::FLOW_EXPORT_CONFIG, "unknown-now", "1")},
      [&] { ++done; });
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), calls) << "the earlier connection's decision must not send it";
  EXPECT_EQ(done.load(), 1);

  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 2; }));
  EXPECT_TRUE(log_.Contains("Found 188 objects in server schema"));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).count("in-window"), 1u);
  EXPECT_EQ(standin_.Table(1, pb::FLOW_EXPORT_CONFIG).count("unknown-now"), 0u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

}  // namespace
}  // namespace testing
}  // namespace qbx
