// Reliability: the database restarts 20 times while a monitor session is open and
// modifications flow. Afterwards the client's view equals the server's, every modification
// was confirmed exactly once, and no update reached a module twice from two streams.
#include <cstdio>

#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

class NodeDbReliabilityTest : public NodeDbClientFixture {};

TEST_F(NodeDbReliabilityTest, TwentyRestartsLoseNothingAndConfirmEveryModificationOnce) {
  constexpr int kRestarts = 20;
  constexpr int kPerRound = 5;
  RecordingModule module;
  LoopStopper stop_module_loop{provider_};
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, module.Updates(), module.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();
  // The rounds count monitor sessions from the first one: it must be open before the first
  // restart, or a restart before it would leave the count one short.
  ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() == 1 && standin_.active_monitors() == 1; }, clock_));

  std::mutex m;
  std::map<std::string, int> confirmed;
  int sent = 0;
  LoopStopper stop_loop{provider_};
  auto send = [&](const std::string& key, const std::string& value) {
    ++sent;
    client_->Modify({PutRequest(pb::FIREWALL_CONFIG, key, value)}, [&, key] {
      std::lock_guard<std::mutex> lock(m);
      ++confirmed[key];
    });
  };
  for (int round = 0; round < kRestarts; ++round) {
    for (int i = 0; i < kPerRound; ++i) {
      send("r" + std::to_string(round) + "-" + std::to_string(i), std::to_string(round));
    }
    // Some rounds restart with a modification held in flight, some while idle.
    if (round % 2 == 0) standin_.HoldNextModify();
    send("held-" + std::to_string(round), "h");
    ASSERT_TRUE(standin_.Restart(true));
    // The client notices, reconnects and opens its monitor session again before the next
    // restart; the modifications of this round may still be on their way.
    const uint64_t calls = static_cast<uint64_t>(round) + 2;
    ASSERT_TRUE(WaitUntil([&] { return standin_.monitor_calls() >= calls && standin_.active_monitors() == 1; },
                          clock_, std::chrono::milliseconds(1000)))
        << "round " << round;
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return static_cast<int>(confirmed.size()) == sent;
  }, clock_, std::chrono::milliseconds(1000)));
  {
    std::lock_guard<std::mutex> lock(m);
    for (const auto& [key, n] : confirmed) EXPECT_EQ(n, 1) << key;
  }
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
  const auto server = standin_.Table(1, pb::FIREWALL_CONFIG);
  EXPECT_EQ(static_cast<int>(server.size()), sent);
  ASSERT_TRUE(WaitUntil([&] { return module.View() == server; }, clock_));

  // A final change after the dust settled arrives exactly once: one stream feeds the module.
  standin_.Put(1, pb::FIREWALL_CONFIG, "final", "x");
  ASSERT_TRUE(WaitUntil([&] { return module.Count("final") == 1; }));
  std::atomic<bool> echoed{false};
  client_->Echo("x", [&](const std::string&, const rpc::Status&) { echoed = true; });
  ASSERT_TRUE(WaitUntil([&] { return echoed.load(); }));
  EXPECT_EQ(module.Count("final"), 1u);
  EXPECT_EQ(standin_.active_monitors(), 1u);
  std::printf("[ figures  ] restarts=%d modifications=%d server_operations=%llu (re-sent after loss: %llu) "
              "monitor_calls=%llu\n",
              kRestarts, sent, static_cast<unsigned long long>(standin_.applied_operations()),
              static_cast<unsigned long long>(standin_.applied_operations() - sent),
              static_cast<unsigned long long>(standin_.monitor_calls()));
}

}  // namespace
}  // namespace testing
}  // namespace qbx
