// The configuration-database client against the stand-in: start and state machine,
// reconnection, monitor sessions, modifications and the status codes they react to.
#include <csignal>
#include <cstdio>

#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

using nodedb::NodeDbClient;

class NodeDbClientTest : public NodeDbClientFixture {};

size_t IndexOf(const std::vector<std::string>& lines, const std::string& text) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return i;
  }
  return lines.size();
}

TEST_F(NodeDbClientTest, StartRequestsTheThreeStubsInOrderAndReturnsOnceConnected) {
  std::vector<bool> channel;
  std::mutex m;
  std::atomic<bool> now{false};
  LoopStopper stop_loop{provider_};
  client_->AddChannelStatusCallback([&](bool up) {
    std::lock_guard<std::mutex> lock(m);
    channel.push_back(up);
  });
  EXPECT_EQ(client_->state(), NodeDbClient::INIT);
  EXPECT_FALSE(client_->Echo("x", [](const std::string&, const rpc::Status&) { FAIL(); }));
  StartClient();
  EXPECT_TRUE(Connected());
  const auto lines = log_.Lines();
  const size_t data = IndexOf(lines, "NodeDbClient: requesting stub to");
  const size_t ops = IndexOf(lines, "NodeDbClient: requesting ops stub to");
  const size_t health = IndexOf(lines, "NodeDbClient: requesting daemon health stub to");
  const size_t connected = IndexOf(lines, "NodeDbClient is connected");
  EXPECT_LT(data, ops);
  EXPECT_LT(ops, health);
  EXPECT_LT(health, connected);
  EXPECT_LT(connected, lines.size());
  EXPECT_TRUE(log_.Contains("NodeDbClient: changing state INIT to CONNECTING"));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return channel.size() == 2;
  }));
  EXPECT_EQ(channel, (std::vector<bool>{false, true}));
  // Added once connected: called with true, from the loop thread.
  client_->AddChannelStatusCallback([&](bool up) { now = up; });
  EXPECT_TRUE(WaitUntil([&] { return now.load(); }));
  client_->Start();  // returns at once
  EXPECT_TRUE(log_.Contains("NodeDbClient is already trying to connect (state: CONNECTED)"));
  std::atomic<bool> echoed{false};
  EXPECT_TRUE(client_->Echo("hello", [&](const std::string& text, const rpc::Status& s) {
    EXPECT_EQ(text, "hello");
    EXPECT_TRUE(s.ok());
    echoed = true;
  }));
  EXPECT_TRUE(WaitUntil([&] { return echoed.load(); }));
}

TEST_F(NodeDbClientTest, StartKeepsWaitingWhileTheDatabaseIsDownAndRetriesEveryFiveSeconds) {
  standin_.Stop();
  std::atomic<bool> started{false};
  std::thread t([&] {
    client_->Start();
    started = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("NodeDbClient: failed to get stub to") >= 2; }, clock_));
  EXPECT_FALSE(started.load());
  EXPECT_TRUE(log_.Contains("retrying in 5000 ms..."));
  ASSERT_TRUE(standin_.Start());
  const bool ok = WaitUntil([&] { return started.load(); }, clock_);
  t.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Connected());
}

TEST_F(NodeDbClientTest, RefusedOpsServiceKeepsTheClientInRequestOpsStub) {
  standin_.SetServing("zumbra.qbx.nodedb.NodeDbOps", false);
  client_->StartAsync();
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("NodeDbClient: failed to get ops stub to") >= 2; }, clock_));
  EXPECT_EQ(client_->state(), NodeDbClient::REQUEST_OPS_STUB);
  standin_.SetServing("zumbra.qbx.nodedb.NodeDbOps", true);
  EXPECT_TRUE(WaitUntil([&] { return Connected(); }, clock_));
}

TEST_F(NodeDbClientTest, UpdatesReachOnlyTheirModulesAndBarriersOnlyNotifiedOnes) {
  standin_.Put(1, pb::FIREWALL_CONFIG, "rule-1", "a");
  standin_.Put(1, pb::LOGICAL_PORT, "port-1", "b");
  RecordingModule fw1, fw2, ports;
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw1.Updates(), fw1.Barriers(), 1));
  ASSERT_TRUE(client_->RegisterMonitorCallback(11, fw2.Updates(), fw2.Barriers(), 1));
  ASSERT_TRUE(client_->RegisterMonitorCallback(10, ports.Updates(), ports.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 11, 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::LOGICAL_PORT)}, {}, 10, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return fw1.BarrierCount() == 1 && fw2.BarrierCount() == 1 && ports.BarrierCount() == 1; }));
  EXPECT_EQ(fw1.View(), (std::map<std::string, std::string>{{"rule-1", "a"}}));
  EXPECT_EQ(fw2.View(), (std::map<std::string, std::string>{{"rule-1", "a"}}));
  EXPECT_EQ(ports.View(), (std::map<std::string, std::string>{{"port-1", "b"}}));
  standin_.Put(1, pb::FIREWALL_CONFIG, "rule-2", "c");
  ASSERT_TRUE(WaitUntil([&] { return fw1.BarrierCount() == 2 && fw2.BarrierCount() == 2; }));
  EXPECT_EQ(fw1.Count("rule-2"), 1u);
  EXPECT_EQ(ports.Count("rule-2"), 0u);
  // An Echo round trip orders after the update stream; the port module saw no barrier.
  std::atomic<bool> echoed{false};
  client_->Echo("x", [&](const std::string&, const rpc::Status&) { echoed = true; });
  ASSERT_TRUE(WaitUntil([&] { return echoed.load(); }));
  EXPECT_EQ(ports.BarrierCount(), 1);
}

TEST_F(NodeDbClientTest, CallbacksMayChangeTheTablesDuringDelivery) {
  RecordingModule first, second, late;
  LoopStopper stop_loop{provider_};
  // The first module, on its first update, stops monitoring and registers a new module; the
  // second module of the same response must still get its update.
  first.on_update = [&](const pb::MonitorUpdateMsg&) {
    if (first.Count("k") == 1 && first.Count("k2") == 0) {
      client_->ConfigureMonitor({}, {Statement(pb::FIREWALL_CONFIG)}, 1, 1);
      client_->RegisterMonitorCallback(3, late.Updates(), late.Barriers(), 1);
      client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 3, 1);
    }
  };
  second.on_barrier = [&] { client_->Modify({PutRequest(pb::NODE_CONFIG, "from-barrier", "1")}, [] {}); };
  ASSERT_TRUE(client_->RegisterMonitorCallback(1, first.Updates(), first.Barriers(), 1));
  ASSERT_TRUE(client_->RegisterMonitorCallback(2, second.Updates(), second.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 1, 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 2, 1));
  StartClient();
  standin_.Put(1, pb::FIREWALL_CONFIG, "k", "v");
  ASSERT_TRUE(WaitUntil([&] { return second.Count("k") == 1 && first.Count("k") == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return standin_.Table(1, pb::NODE_CONFIG).count("from-barrier") == 1; }));
  standin_.Put(1, pb::FIREWALL_CONFIG, "k2", "v");
  ASSERT_TRUE(WaitUntil([&] { return late.Count("k2") == 1 && second.Count("k2") == 1; }));
  EXPECT_EQ(first.Count("k2"), 0u);
}

TEST_F(NodeDbClientTest, ReconnectsAfterRestartAndMonitorsComeBackWithoutDuplicates) {
  RecordingModule fw;
  std::vector<bool> channel;
  std::mutex m;
  LoopStopper stop_loop{provider_};
  client_->AddChannelStatusCallback([&](bool up) {
    std::lock_guard<std::mutex> lock(m);
    channel.push_back(up);
  });
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw.Updates(), fw.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();
  standin_.Put(1, pb::FIREWALL_CONFIG, "before", "1");
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("before") == 1; }));
  ASSERT_TRUE(standin_.Restart(true));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return channel.size() >= 3 && channel.back();
  }, clock_));
  ASSERT_TRUE(WaitUntil([&] { return standin_.active_monitors() == 1 && Connected(); }, clock_));
  EXPECT_TRUE(log_.Contains("NodeDbClient: changing state CONNECTED to DISCONNECTED"));
  EXPECT_TRUE(log_.Contains("NodeDbClient: changing state DISCONNECTED to CONNECTING"));
  standin_.Put(1, pb::FIREWALL_CONFIG, "after", "2");
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("after") == 1; }));
  std::atomic<bool> echoed{false};
  client_->Echo("x", [&](const std::string&, const rpc::Status&) { echoed = true; });
  ASSERT_TRUE(WaitUntil([&] { return echoed.load(); }));
  EXPECT_EQ(fw.Count("after"), 1u);
  EXPECT_EQ(fw.View(), (std::map<std::string, std::string>{{"after", "2"}, {"before", "1"}}));
  EXPECT_EQ(standin_.active_monitors(), 1u);
}

TEST_F(NodeDbClientTest, MonitorEndCodesResetOrRemoveTheSession) {
  RecordingModule fw;
  std::vector<bool> channel;
  std::mutex m;
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw.Updates(), fw.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 1 && standin_.active_monitors() == 1; }));
  client_->AddChannelStatusCallback([&](bool up) {
    std::lock_guard<std::mutex> lock(m);
    channel.push_back(up);
  });
  standin_.EndMonitorStreams(rpc::StatusCode::kSessionReset);
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 2 && standin_.active_monitors() == 1; }));
  // The notices run on the loop after the new session was sent: the stand-in may see it first.
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return channel == std::vector<bool>{true, false, true};
  }));
  standin_.EndMonitorStreams(rpc::StatusCode::kInvalidRequest);
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 3 && standin_.active_monitors() == 1; }));
  standin_.Put(1, pb::FIREWALL_CONFIG, "once", "1");
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("once") == 1; }));
  standin_.EndMonitorStreams(rpc::StatusCode::kSessionClosed);
  ASSERT_TRUE(WaitUntil([&] { return standin_.active_monitors() == 0; }));
  ASSERT_TRUE(WaitUntil([&] { return client_->AddMonitorSession(1); }));  // the old one is gone
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 4; }));
  EXPECT_EQ(fw.Count("once"), 1u);
}

TEST_F(NodeDbClientTest, ModificationsQueuedWhileDisconnectedGoAsOneMergedCall) {
  std::vector<int> done;
  std::mutex m;
  LoopStopper stop_loop{provider_};
  for (int i = 1; i <= 3; ++i) {
    client_->Modify({PutRequest(pb::NODE_CONFIG, "k" + std::to_string(i), "v")}, [&, i] {
      std::lock_guard<std::mutex> lock(m);
      done.push_back(i);
    });
  }
  EXPECT_FALSE(client_->IsPendingModificationReqEmpty());
  StartClient();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return done.size() == 3;
  }));
  EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(standin_.modify_calls(), 1u);
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).size(), 3u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbClientTest, ModifyWhileABatchIsInFlightGoesAsTheNextBatch) {
  StartClient();
  standin_.HoldNextModify();
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  client_->Modify({PutRequest(pb::NODE_CONFIG, "a", "1")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  client_->Modify({PutRequest(pb::NODE_CONFIG, "b", "1")}, [&] { ++done; });
  client_->Modify({PutRequest(pb::NODE_CONFIG, "c", "1")}, [&] { ++done; });
  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 3; }));
  EXPECT_EQ(standin_.modify_calls(), 2u);
}

TEST_F(NodeDbClientTest, FailedModificationIsResentAfterTheRetryDelayNotAtOnce) {
  StartClient();
  standin_.FailNextModify(static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  client_->Modify({PutRequest(pb::NODE_CONFIG, "a", "1")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Failed to modify"); }));
  // Round trips after the failure: had the client resent at once, the server would have
  // seen the second call by now.
  for (int i = 0; i < 3; ++i) {
    std::atomic<bool> echoed{false};
    client_->Echo("x", [&](const std::string&, const rpc::Status&) { echoed = true; });
    ASSERT_TRUE(WaitUntil([&] { return echoed.load(); }));
  }
  EXPECT_EQ(standin_.modify_calls(), 1u);
  EXPECT_EQ(done.load(), 0);
  clock_->Advance(std::chrono::milliseconds(1000));
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  EXPECT_EQ(standin_.modify_calls(), 2u);
}

TEST_F(NodeDbClientTest, TransportLossDuringAModificationIsNoRefusal) {
  StartClient();
  standin_.HoldNextModify();
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  client_->Modify({PutRequest(pb::NODE_CONFIG, "kept", "1")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  ASSERT_TRUE(standin_.Restart(true));
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }, clock_));
  EXPECT_FALSE(log_.Contains("NDB100"));
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).count("kept"), 1u);
}

TEST_F(NodeDbClientTest, DeleteVDbPurgesItsPendingModifications) {
  StartClient();
  standin_.HoldNextModify();
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  client_->Modify({PutRequest(pb::NODE_CONFIG, "in-flight", "1", {3})}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  client_->Modify({PutRequest(pb::NODE_CONFIG, "both", "1", {1, 3})}, [&] { ++done; });
  client_->Modify({PutRequest(pb::NODE_CONFIG, "only-3", "1", {3})}, [&] { ++done; });
  client_->Modify({PutRequest(pb::NODE_CONFIG, "default", "1")}, [&] { ++done; });
  std::atomic<bool> deleted{false};
  ASSERT_TRUE(client_->DeleteVDb("gone", [&](const rpc::Status&) { deleted = true; }, 3));
  // Nothing of the write to VDb 3 alone is left to write, but it stays behind the writes
  // before it: it is confirmed with the one behind the call in flight.
  ASSERT_TRUE(WaitUntil([&] { return deleted.load(); }));
  RoundTrip();
  EXPECT_EQ(done.load(), 0);
  standin_.ReleaseHeldModifies();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 4 && deleted.load(); }));
  const auto vdb1 = standin_.Table(1, pb::NODE_CONFIG);
  const auto vdb3 = standin_.Table(3, pb::NODE_CONFIG);
  EXPECT_EQ(vdb1.count("both"), 1u);
  EXPECT_EQ(vdb1.count("default"), 1u);
  EXPECT_EQ(vdb3.count("in-flight"), 1u) << "the batch in flight is not purged";
  EXPECT_EQ(vdb3.count("both"), 0u);
  EXPECT_EQ(vdb3.count("only-3"), 0u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbClientTest, ReadsAndVDbOperationsAnswerThroughTheirCallbacks) {
  auto objects_cb = [](const std::vector<pb::TypedObjectMsg>&, const rpc::Status&) {};
  pb::StatementMsg all;
  all.set_object_type(pb::NODE_CONFIG);
  EXPECT_FALSE(client_->Get({}, objects_cb, 1));
  EXPECT_FALSE(client_->Query(all, objects_cb, 1));
  EXPECT_FALSE(client_->GetVDbId("", [](const std::vector<pb::VDbMsg>&, const rpc::Status&) {}));
  StartClient();
  standin_.Put(1, pb::NODE_CONFIG, "a", "1");
  standin_.Put(1, pb::NODE_CONFIG, "b", "2");
  std::atomic<int> answers{0};
  LoopStopper stop_loop{provider_};
  pb::ObjectRequestMsg one;
  one.set_object_type(pb::NODE_CONFIG);
  one.set_key("b");
  ASSERT_TRUE(client_->Get({one}, [&](const std::vector<pb::TypedObjectMsg>& objects, const rpc::Status& s) {
    EXPECT_TRUE(s.ok());
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].value(), "2");
    ++answers;
  }, 0));
  ASSERT_TRUE(client_->Query(all, [&](const std::vector<pb::TypedObjectMsg>& objects, const rpc::Status&) {
    EXPECT_EQ(objects.size(), 2u);
    ++answers;
  }, 1));
  ASSERT_TRUE(client_->CreateVDb("tenant", [&](uint32_t id, const rpc::Status& s) {
    EXPECT_TRUE(s.ok());
    EXPECT_GE(id, 2u);
    ++answers;
    client_->GetVDbId("", [&](const std::vector<pb::VDbMsg>& vdbs, const rpc::Status&) {
      EXPECT_EQ(vdbs.size(), 2u);  // an empty name asks for all
      ++answers;
    });
  }));
  ASSERT_TRUE(WaitUntil([&] { return answers.load() == 4; }));
}

TEST_F(NodeDbClientTest, ClientDestroyedWithARetryPendingIgnoresTheTimer) {
  standin_.Stop();
  client_->StartAsync();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("NodeDbClient: failed to get stub to"); }));
  client_.reset();
  clock_->Advance(std::chrono::milliseconds(5000));
  EXPECT_TRUE(log_.Contains("NodeDbClient::RequestStub: ignoring callback, client is already destroyed"));
}

// ---------------------------------------------------------------- refusal as invalid

class NodeDbRefusalTest : public NodeDbClientFixture, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(NodeDbRefusalTest, ModificationRefusedAsInvalidEndsTheProcessWithStatus1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const uint32_t code = GetParam();
  EXPECT_EXIT(
      {
        Logger::SetSinkForTest([](int, const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        StartClient();
        standin_.FailNextModify(code);
        client_->Modify({PutRequest(pb::NODE_CONFIG, "bad", "1")}, [] {});
        WaitUntil([] { return false; });
        std::exit(3);
      },
      ::testing::ExitedWithCode(1),
      "NDB100.*Server reported error due to invalid client request, unrecoverable on client!");
}

INSTANTIATE_TEST_SUITE_P(Codes, NodeDbRefusalTest,
                         ::testing::Values(2u, 5u, 6u, static_cast<uint32_t>(rpc::AppStatus::NOT_FOUND)));

}  // namespace
}  // namespace testing
}  // namespace qbx
