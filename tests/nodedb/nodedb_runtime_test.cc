// Runtime paths of the client against the stand-in that the other tests leave aside: the
// pending-request gauge through merge, success and purge; UpdateMonitor reaching the
// server's monitor; a health-stub completion that arrives after the stream went down.
#include <future>

#include "core/metric_counters.h"
#include "platform/metrics/metric_registry.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

using nodedb::NodeDbClient;

class NodeDbRuntimeTest : public NodeDbClientFixture {
 protected:
  uint64_t Gauge() {
    auto value = provider_.metrics().Find("/qbx/nodedb/client/pending_request/count");
    auto* counter = dynamic_cast<metrics::UnitCounterT<unsigned long>*>(value.get());
    return counter == nullptr ? ~0ull : counter->snapshot(false).value;
  }
};

pb::WhereMsg KeyIs(const std::string& key) {
  pb::WhereMsg w;
  w.set_column("key");
  w.set_op("==");
  w.set_value(key);
  return w;
}

TEST_F(NodeDbRuntimeTest, PendingRequestGaugeFollowsMergeSuccessAndPurge) {
  std::atomic<int> done{0};
  LoopStopper stop_loop{provider_};
  EXPECT_EQ(Gauge(), 0u);
  for (int i = 0; i < 3; ++i) client_->Modify({PutRequest(pb::NODE_CONFIG, "q" + std::to_string(i), "v")}, [&] { ++done; });
  EXPECT_EQ(Gauge(), 3u);
  standin_.HoldNextModify();
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  EXPECT_EQ(Gauge(), 1u) << "the three entries went out merged";
  standin_.ReleaseHeldModifies();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 3; }));
  EXPECT_EQ(Gauge(), 0u);

  // A batch in flight and two entries of VDb 3 behind it; deleting VDb 3 purges those two,
  // which are confirmed, with nothing of them left to write, right after the batch in flight.
  standin_.HoldNextModify();
  client_->Modify({PutRequest(pb::NODE_CONFIG, "flight", "v")}, [&] { ++done; });
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  client_->Modify({PutRequest(pb::NODE_CONFIG, "p1", "v", {3})}, [&] { ++done; });
  client_->Modify({PutRequest(pb::NODE_CONFIG, "p2", "v", {3})}, [&] { ++done; });
  EXPECT_EQ(Gauge(), 3u);
  ASSERT_TRUE(client_->DeleteVDb("three", [](const rpc::Status&) {}, 3));
  EXPECT_EQ(Gauge(), 1u);
  EXPECT_EQ(done.load(), 3);
  standin_.ReleaseHeldModifies();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 6; }));
  EXPECT_EQ(Gauge(), 0u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbRuntimeTest, UpdateMonitorNarrowsTheServersMonitor) {
  RecordingModule fw;
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw.Updates(), fw.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();
  standin_.Put(1, pb::FIREWALL_CONFIG, "wanted", "1");
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("wanted") == 1; }));
  pb::MonitorStatementUpdateMsg narrow;
  narrow.set_object_type(pb::FIREWALL_CONFIG);
  *narrow.add_add_where() = KeyIs("wanted");
  ASSERT_TRUE(client_->UpdateMonitor({narrow}, 1));
  // The server answers a changed statement with a snapshot of what it now selects.
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("wanted") == 2; }));
  standin_.Put(1, pb::FIREWALL_CONFIG, "other", "1");
  standin_.Put(1, pb::FIREWALL_CONFIG, "wanted", "2");
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("wanted") == 3; }));
  EXPECT_EQ(fw.Count("other"), 0u) << "the stream is ordered: a change of \"other\" would have come first";

  // Widening again: the clause is removed and "other" is part of the next snapshot.
  pb::MonitorStatementUpdateMsg widen;
  widen.set_object_type(pb::FIREWALL_CONFIG);
  *widen.add_remove_where() = KeyIs("wanted");
  ASSERT_TRUE(client_->UpdateMonitor({widen}, 1));
  ASSERT_TRUE(WaitUntil([&] { return fw.Count("other") == 1; }));
}

TEST_F(NodeDbRuntimeTest, HealthStubCompletionAfterAStreamDownIsIgnored) {
  std::mutex m;
  std::vector<bool> channel;
  LoopStopper stop_loop{provider_};
  client_->AddChannelStatusCallback([&](bool up) {
    std::lock_guard<std::mutex> lock(m);
    channel.push_back(up);
  });
  standin_.SetServing("zumbra.qbx.daemon.DaemonHealth", false);
  client_->StartAsync();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("NodeDbClient: failed to get daemon health stub to"); }));
  EXPECT_EQ(client_->state(), NodeDbClient::REQUEST_DAEMON_HEALTH_STUB);

  // The test's own look at the connection the three stubs share.
  std::promise<std::shared_ptr<rpc::Connection>> got;
  provider_.rpc().transport().GetConnection(
      net::Endpoint(standin_.endpoint()),
      [&](const boost::system::error_code&, const std::shared_ptr<rpc::Connection>& c) { got.set_value(c); });
  auto connection = got.get_future().get();
  ASSERT_TRUE(connection && connection->IsOpen());

  // Hold the loop while the database goes away; then, still ahead of the stream-down notice,
  // let the health retry come due on the loop itself. Its stub request waits for a
  // connection that is gone and answers after the client has left REQUEST_DAEMON_HEALTH_STUB.
  std::promise<void> entered;
  std::promise<void> release;
  ASSERT_TRUE(provider_.dispatcher().Post([&, gate = release.get_future().share()] {
    entered.set_value();
    gate.wait();
    clock_->Advance(std::chrono::milliseconds(5000));  // runs the retry here, on the loop
  }));
  entered.get_future().wait();
  standin_.Stop();
  const bool closed = WaitUntil([&] { return !connection->IsOpen(); });
  release.set_value();
  ASSERT_TRUE(closed);

  ASSERT_TRUE(WaitUntil([&] {
    return log_.Contains("NodeDbClient: not in REQUEST_DAEMON_HEALTH_STUB state. Ignoring SetDaemonHealthStub callback");
  }));
  const auto lines = log_.Lines();
  size_t down = lines.size();
  size_t ignored = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (down == lines.size() && lines[i].find("NodeDbClient::OnRpcStreamDown") != std::string::npos) down = i;
    if (lines[i].find("Ignoring SetDaemonHealthStub callback") != std::string::npos) ignored = i;
  }
  EXPECT_LT(down, ignored);
  EXPECT_NE(client_->state(), NodeDbClient::CONNECTED);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(channel, (std::vector<bool>{false})) << "the channel was never up";
  }
  // The database comes back with every service: the client connects from the start.
  ASSERT_TRUE(standin_.Start());
  ASSERT_TRUE(WaitUntil([&] { return Connected(); }, clock_));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return channel == std::vector<bool>{false, true};
  }));
}

}  // namespace
}  // namespace testing
}  // namespace qbx
