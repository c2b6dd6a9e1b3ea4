// The server version is one connection's: a constrained write is checked against the version
// of the server it goes to, waits for that server's answer within the answer window, and is
// refused when none came; a failed version call is asked again, also once the schema has
// decided, with a back-off that every connection starts afresh; a version that is not wholly
// numbers compares with nothing.
#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

using nodedb::NodeDbClient;
using SchemaAnswer = tools::NodeDbStandin::SchemaAnswer;

class NodeDbServerVersionTest : public NodeDbClientFixture {
 protected:
  NodeDbServerVersionTest() {
    client_ = std::make_shared<NodeDbClient>("stats-exporter", net::Endpoint(standin_.endpoint()), provider_, nullptr,
                                             true, true, true);
    // Firewall rows may only be written to a server of version 3.1 or later.
    EXPECT_TRUE(client_->SetVersionConstraint(pb::FIREWALL_CONFIG, "3.1", [this](const pb::ObjectType& type) {
      EXPECT_EQ(type, pb::FIREWALL_CONFIG);
      ++refused_;
    }));
    client_->AddChannelStatusCallback(channel_.Callback());
  }

  void Write(const std::string& key) {
    client_->Modify({PutRequest(pb::FIREWALL_CONFIG, key, "1")}, [this] { ++done_; });
  }
  bool Written(const std::string& key) { return standin_.Table(1, pb::FIREWALL_CONFIG).count(key) == 1; }

  // Connects to a database that answers the schema and holds the version answer.
  void StartHoldingTheVersion() {
    standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kHold);
    StartClient();
    ASSERT_TRUE(WaitUntil([&] { return standin_.held_schema_requests() == 1; }));
  }
  // The database restarts, keeping its data, and holds the next connection's version answer;
  // returns once that connection is up again (its schema answered).
  void RestartHoldingTheVersion() {
    standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kHold);
    ASSERT_TRUE(standin_.Restart(true));
    ASSERT_TRUE(WaitUntil(
        [&] {
          return standin_.held_schema_requests() == 1 &&
                 channel_.Seen() == std::vector<bool>{false, true, false, true};
        },
        clock_));
  }
  // Runs what the client's loop has queued so far: an answer whose record has been seen has
  // been handled once this returns.
  void DrainLoop() {
    std::atomic<bool> ran{false};
    ASSERT_TRUE(provider_.dispatcher().Post([&] { ran = true; }));
    ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
  }
  // The database goes away, its held schema requests still open over the ended connection;
  // returns once the client has seen the connection end and waits to try again.
  void TakeTheDatabaseAwayKeepingItsHeldCalls() {
    const size_t failed = log_.Count("failed to get stub to");
    standin_.StopDraining(std::chrono::seconds(60));
    ASSERT_TRUE(WaitUntil([&] { return log_.Count("failed to get stub to") > failed; }));
    ASSERT_FALSE(Connected());
  }
  // The database comes back and the client's stub retry, due in 5 s, connects it again; the
  // clock does not move otherwise.
  void BringTheDatabaseBack() {
    ASSERT_TRUE(standin_.Start());
    clock_->Advance(std::chrono::seconds(5));
    ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
  }

  ChannelRecorder channel_;
  std::atomic<int> refused_{0};
  std::atomic<int> done_{0};
};

TEST_F(NodeDbServerVersionTest, AConstrainedWriteWaitsForTheVersionOfTheServerItGoesTo) {
  LoopStopper stop_loop{provider_};
  StartClient();
  Write("to-3.2.0");
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 1; }));
  EXPECT_TRUE(Written("to-3.2.0"));
  const uint64_t calls = standin_.modify_calls();

  // The database comes back as 3.0.0 with its version answer held; its schema answers, so
  // the channel is up again and unconstrained writes go.
  standin_.SetSchemaVersion("3.0.0");
  RestartHoldingTheVersion();
  Write("to-3.0.0");
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), calls) << "checked against the version of the last connection";
  EXPECT_EQ(done_.load(), 1);
  EXPECT_EQ(refused_.load(), 0);
  // The last connection's version is forgotten: until this server answers there is nothing
  // to compare with.
  EXPECT_FALSE(client_->CheckVersionConstraint(pb::FIREWALL_CONFIG));
  EXPECT_TRUE(Warned("cannot compare server version \"\" with the version constraint \"3.1\""));
  ASSERT_TRUE(WaitUntil([&] { return refused_.load() == 1; }));

  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 2 && refused_.load() == 2; }));
  EXPECT_TRUE(log_.Contains("Version check fails for object FIREWALL_CONFIG, server schema version = 3.0.0"));
  EXPECT_TRUE(Warned("the server version does not meet the object's version constraint"));
  EXPECT_FALSE(Written("to-3.0.0"));
  EXPECT_EQ(standin_.modify_calls(), calls);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbServerVersionTest, AConstrainedWriteWithoutAVersionAnswerIsRefusedWhenTheWindowEnds) {
  standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kHold);
  LoopStopper stop_loop{provider_};
  // Queued before the connection, they go as one batch: the constrained write holds back
  // the one before it as well as the one behind it.
  client_->Modify({PutRequest(pb::NODE_CONFIG, "ahead", "1")}, [this] { ++done_; });
  Write("no-answer");
  client_->Modify({PutRequest(pb::NODE_CONFIG, "behind", "1")}, [this] { ++done_; });
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return channel_.Seen() == std::vector<bool>{false, true}; }));
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), 0u);
  EXPECT_EQ(done_.load(), 0);

  clock_->Advance(std::chrono::seconds(300));
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 3 && refused_.load() == 1; }));
  EXPECT_TRUE(log_.Contains("Timeout on server schema version request"));
  EXPECT_TRUE(Warned("the server version does not meet the object's version constraint"));
  EXPECT_FALSE(Written("no-answer"));
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).count("ahead"), 1u);
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).count("behind"), 1u);
  EXPECT_EQ(standin_.modify_calls(), 1u);
  standin_.ReleaseSchemaRequests();
}

TEST_F(NodeDbServerVersionTest, AWriteQueuedBeforeItsTypeWasConstrainedWaitsForTheVersionToo) {
  standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kHold);
  std::atomic<int> node_refused{0};
  LoopStopper stop_loop{provider_};
  client_->Modify({PutRequest(pb::NODE_CONFIG, "queued-first", "1")}, [this] { ++done_; });
  ASSERT_TRUE(client_->SetVersionConstraint(pb::NODE_CONFIG, "3.1", [&](const pb::ObjectType&) { ++node_refused; }));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return channel_.Seen() == std::vector<bool>{false, true}; }));
  RoundTrip();
  EXPECT_EQ(done_.load(), 0);
  EXPECT_EQ(node_refused.load(), 0);
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);  // 3.2.0
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 1; }));
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).count("queued-first"), 1u);
  EXPECT_EQ(node_refused.load(), 0);
}

TEST_F(NodeDbServerVersionTest, AFailedVersionCallIsAskedAgainAfterTheSchemaDecidedAndEachConnectionStartsAt1s) {
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kFail);
  LoopStopper stop_loop{provider_};
  // Only the failed version call's own record says both "not taken as an answer" and when it
  // is asked again.
  auto asked_again_in = [&](const std::string& ms) {
    return log_.Count("not taken as an answer, asking again in " + ms + " ms");
  };
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return asked_again_in("1000") == 1; }));
  // The schema decides while the version is to be asked again: it still is.
  standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kFail);
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return channel_.Seen() == std::vector<bool>{false, true}; }));
  Write("waits");
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), 0u);
  EXPECT_EQ(done_.load(), 0);
  clock_->Advance(std::chrono::seconds(1));
  ASSERT_TRUE(WaitUntil([&] { return asked_again_in("2000") == 1; }));
  clock_->Advance(std::chrono::seconds(2));
  ASSERT_TRUE(WaitUntil([&] { return asked_again_in("4000") == 1; }));

  // A new connection starts the back-off again at 1 s.
  ASSERT_TRUE(standin_.Restart(true));
  ASSERT_TRUE(WaitUntil([&] { return asked_again_in("1000") == 2; }, clock_));
  EXPECT_EQ(done_.load(), 0);

  standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kAnswer);  // 3.2.0
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 1; }, clock_));
  EXPECT_TRUE(Written("waits"));
  EXPECT_EQ(refused_.load(), 0);
  EXPECT_FALSE(log_.Contains("Timeout on server schema version request"));
}

TEST_F(NodeDbServerVersionTest, AnswersOfAnEarlierConnectionDecideNothingForTheNextOne) {
  // The first server (3.2.0) holds both schema requests; the next one is 3.0.0.
  standin_.SetSchemaAnswers(SchemaAnswer::kHold, SchemaAnswer::kHold);
  LoopStopper stop_loop{provider_};
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_schema_requests() == 2; }));
  Write("constrained");
  standin_.SetSchemaVersion("3.0.0");
  standin_.SetSchemaAnswers(SchemaAnswer::kAnswer, SchemaAnswer::kAnswer);
  // The database restarts letting its calls in progress finish: the client connects again
  // while the first connection's schema requests are still open.
  ASSERT_TRUE(standin_.RestartDraining(std::chrono::seconds(60)));
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("NodeDbClient is connected") == 2 && Connected(); }, clock_));
  RoundTrip();

  // They are answered now, with the first server's schema and version (3.2.0).
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 2u);
  ASSERT_TRUE(WaitUntil([&] {
    return (log_.Contains("Ignoring a schema answer of an earlier connection") &&
            log_.Contains("Ignoring a schema version answer of an earlier connection")) ||
           channel_.Seen().size() > 2;
  }));
  RoundTrip();
  EXPECT_EQ(channel_.Seen(), (std::vector<bool>{false, false})) << "decided by the first connection's answers";
  EXPECT_EQ(standin_.modify_calls(), 0u) << "written on the first server's version";
  EXPECT_EQ(done_.load(), 0);

  // This connection asks again and decides on its own answers: 3.0.0 refuses the write.
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 1 && refused_.load() == 1; }, clock_));
  EXPECT_EQ(channel_.Seen(), (std::vector<bool>{false, false, true}));
  EXPECT_TRUE(log_.Contains("Version check fails for object FIREWALL_CONFIG, server schema version = 3.0.0"));
  EXPECT_FALSE(Written("constrained"));
  EXPECT_EQ(standin_.modify_calls(), 0u);
}

TEST_F(NodeDbServerVersionTest, AVersionAnswerArrivingBetweenConnectionsCountsForNone) {
  LoopStopper stop_loop{provider_};
  StartHoldingTheVersion();
  TakeTheDatabaseAwayKeepingItsHeldCalls();

  // The first server's answer (3.2.0) comes while the client is between connections.
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Got NodeDb Server schema version 3.2.0"); }));
  DrainLoop();
  EXPECT_FALSE(client_->CheckVersionConstraint(pb::FIREWALL_CONFIG)) << "taken while no connection is current";

  // The next server is 3.0.0 and has not answered yet: there is still no version.
  standin_.SetSchemaVersion("3.0.0");
  BringTheDatabaseBack();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_schema_requests() == 1; }));
  EXPECT_FALSE(client_->CheckVersionConstraint(pb::FIREWALL_CONFIG)) << "the ended connection's version taken";
  EXPECT_EQ(log_.Count("cannot compare server version \"\" with the version constraint \"3.1\""), 2u);
  ASSERT_TRUE(WaitUntil([&] { return refused_.load() == 2; }));

  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Got NodeDb Server schema version 3.0.0"); }));
  DrainLoop();
  EXPECT_FALSE(client_->CheckVersionConstraint(pb::FIREWALL_CONFIG));
  EXPECT_TRUE(log_.Contains("Version check fails for object FIREWALL_CONFIG, server schema version = 3.0.0"));
}

TEST_F(NodeDbServerVersionTest, TheVersionWindowRunsFromTheFirstAskEvenWhileAnEndedConnectionsCallBlocksIt) {
  LoopStopper stop_loop{provider_};
  StartHoldingTheVersion();
  // The first connection's version call stays open for the whole test: every ask of the next
  // connection is refused.
  TakeTheDatabaseAwayKeepingItsHeldCalls();
  BringTheDatabaseBack();  // its first ask is now
  ASSERT_TRUE(WaitUntil([&] {
    return log_.Contains("Response is still pending from the previous call to GetServerSchemaVersion") &&
           channel_.Seen() == std::vector<bool>{false, true, false, true};
  }));
  const uint64_t calls = standin_.modify_calls();
  Write("constrained");
  client_->Modify({PutRequest(pb::NODE_CONFIG, "behind", "1")}, [this] { ++done_; });
  RoundTrip();
  clock_->Advance(std::chrono::seconds(299));
  RoundTrip();
  EXPECT_EQ(done_.load(), 0) << "the window ended before 300 s";
  EXPECT_EQ(standin_.modify_calls(), calls);

  clock_->Advance(std::chrono::seconds(1));
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 2 && refused_.load() == 1; }));
  EXPECT_TRUE(log_.Contains("Timeout on server schema version request"));
  EXPECT_FALSE(Written("constrained"));
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).count("behind"), 1u);
  EXPECT_EQ(standin_.modify_calls(), calls + 1);
  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
}

TEST_F(NodeDbServerVersionTest, TheRestOfASplitConstrainedWriteWaitsForTheVersionOfTheNextServer) {
  LoopStopper stop_loop{provider_};
  std::vector<pb::ModifyRequestMsg> requests;
  for (size_t r = 0; r < NodeDbClient::kMaxBatchRequests + 100; ++r) {
    requests.push_back(PutRequest(pb::FIREWALL_CONFIG, "k" + std::to_string(r), "1"));
  }
  client_->Modify(requests, [this] { ++done_; });
  standin_.HoldNextModify(1);  // the first call is written, the one with the rest held
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).size(), NodeDbClient::kMaxBatchRequests);

  // The database restarts before the rest is written, and answers its version only later.
  RestartHoldingTheVersion();
  RoundTrip();
  EXPECT_EQ(standin_.modify_calls(), 2u) << "the rest went before this server's version answer";
  EXPECT_EQ(done_.load(), 0);

  EXPECT_EQ(standin_.ReleaseSchemaRequests(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 1; }));
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).size(), NodeDbClient::kMaxBatchRequests + 100);
  EXPECT_EQ(refused_.load(), 0);
  EXPECT_FALSE(log_.Contains("cannot compare server version"));
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

class NodeDbUncomparableVersionTest : public NodeDbServerVersionTest,
                                      public ::testing::WithParamInterface<std::string> {};

TEST_P(NodeDbUncomparableVersionTest, RefusesTheConstrainedWriteAndNamesBothVersions) {
  standin_.SetSchemaVersion(GetParam());
  LoopStopper stop_loop{provider_};
  StartClient();
  Write("constrained");
  ASSERT_TRUE(WaitUntil([&] { return done_.load() == 1 && refused_.load() == 1; }));
  EXPECT_TRUE(Warned("cannot compare server version \"" + GetParam() +
                     "\" with the version constraint \"3.1\" of object FIREWALL_CONFIG"));
  EXPECT_FALSE(Written("constrained"));
  EXPECT_EQ(standin_.modify_calls(), 0u);
}

const char* const kVersionNames[] = {"Empty", "TextAfterTheDigits", "SpaceAfterTheDigits"};

INSTANTIATE_TEST_SUITE_P(Versions, NodeDbUncomparableVersionTest, ::testing::Values("", "3.2rc1", "3.1 "),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return std::string(kVersionNames[info.index]);
                         });

}  // namespace
}  // namespace testing
}  // namespace qbx
