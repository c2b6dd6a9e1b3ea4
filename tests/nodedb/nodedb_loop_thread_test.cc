// Where the client's user callbacks run: only on its event-loop thread(s), in order, and never
// on a caller's thread. A writer that calls Modify in a loop, holding a lock of its own
// that the monitor callbacks also take, must neither run those callbacks nor deadlock.
#include <condition_variable>
#include <future>

#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

// Set by the writer while it holds its own lock: a callback that finds it set runs on the
// writer's thread under that lock, where taking the lock again would deadlock.
thread_local bool holds_writer_lock = false;

class NodeDbLoopThreadTest : public NodeDbClientFixture {
 protected:
  bool OnLoop() { return provider_.dispatcher().IsLoopThread(); }
};

TEST_F(NodeDbLoopThreadTest, MonitorUpdatesDoneAndChannelCallbacksRunOnlyOnTheLoopWhileAnotherThreadWrites) {
  constexpr int kWrites = 3000;
  std::mutex writer_lock;  // the writer's own, not recursive
  std::atomic<int> off_loop{0};
  std::atomic<int> under_writer_lock{0};
  std::atomic<int> channel_calls{0};
  std::mutex order_mutex;
  std::vector<int> done_order;
  RecordingModule fw;
  fw.on_update = [&](const pb::MonitorUpdateMsg&) {
    if (!OnLoop()) ++off_loop;
    if (holds_writer_lock) {
      ++under_writer_lock;
      return;
    }
    std::lock_guard<std::mutex> lock(writer_lock);
  };
  fw.on_barrier = [&] {
    if (!OnLoop()) ++off_loop;
  };
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(client_->RegisterMonitorCallback(9, fw.Updates(), fw.Barriers(), 1));
  ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::FIREWALL_CONFIG)}, {}, 9, 1));
  StartClient();

  std::thread writer([&] {
    for (int i = 0; i < kWrites; ++i) {
      std::lock_guard<std::mutex> lock(writer_lock);
      holds_writer_lock = true;
      client_->Modify({PutRequest(pb::FIREWALL_CONFIG, "k" + std::to_string(i), "v")}, [&, i] {
        if (!OnLoop()) ++off_loop;
        std::lock_guard<std::mutex> order(order_mutex);
        done_order.push_back(i);
      });
      if (i % 500 == 0) {
        client_->AddChannelStatusCallback([&](bool) {
          if (!OnLoop()) ++off_loop;
          ++channel_calls;
        });
      }
      holds_writer_lock = false;
    }
  });
  writer.join();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> order(order_mutex);
    return static_cast<int>(done_order.size()) == kWrites && fw.View().size() == static_cast<size_t>(kWrites) &&
           channel_calls.load() == kWrites / 500;
  }));
  EXPECT_EQ(off_loop.load(), 0);
  EXPECT_EQ(under_writer_lock.load(), 0);
  std::lock_guard<std::mutex> order(order_mutex);
  for (int i = 0; i < kWrites; ++i) ASSERT_EQ(done_order[i], i) << "done callbacks run in the order of the writes";
}

TEST_F(NodeDbLoopThreadTest, StartAndTheFirstChannelStatusCallRunNothingOnTheCallersThread) {
  std::atomic<int> off_loop{0};
  std::mutex m;
  std::vector<bool> seen;
  LoopStopper stop_loop{provider_};
  auto record = [&](bool up) {
    if (!OnLoop()) ++off_loop;
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(up);
  };
  client_->AddChannelStatusCallback(record);  // queued: false
  StartClient();                              // the connection queues true behind it
  client_->AddChannelStatusCallback(record);  // queued: true
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 3;
  }));
  EXPECT_EQ(off_loop.load(), 0);
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(seen, (std::vector<bool>{false, true, true}));
}

TEST_F(NodeDbLoopThreadTest, AFailedVersionConstraintCallsBackOnTheLoopWithoutTheClientLock) {
  auto checked = std::make_shared<nodedb::NodeDbClient>("c", net::Endpoint(standin_.endpoint()), provider_, nullptr,
                                                        true, true, true);
  std::atomic<int> calls{0};
  std::atomic<int> off_loop{0};
  std::atomic<bool> done{false};
  LoopStopper stop_loop{provider_};
  ASSERT_TRUE(checked->SetVersionConstraint(pb::FIREWALL_CONFIG, "4.0", [&](const pb::ObjectType& type) {
    if (!OnLoop()) ++off_loop;
    EXPECT_EQ(type, pb::FIREWALL_CONFIG);
    ++calls;
  }));
  checked->Start();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Got NodeDb Server schema version 3.2.0"); }));
  // Checked from this thread: the owner of the constraint still hears of it on the loop.
  EXPECT_FALSE(checked->CheckVersionConstraint(pb::FIREWALL_CONFIG));
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 1; }));
  // A write the constraint refuses: the callback again comes from the loop, not from under
  // the lock of the send.
  checked->Modify({PutRequest(pb::FIREWALL_CONFIG, "refused", "1")}, [&] { done = true; });
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 2 && done.load(); }));
  EXPECT_EQ(off_loop.load(), 0);
  EXPECT_EQ(standin_.Table(1, pb::FIREWALL_CONFIG).count("refused"), 0u);
  EXPECT_TRUE(log_.Contains("Removing object type FIREWALL_CONFIG from Modify due to version mismatch of object"));
}

TEST_F(NodeDbLoopThreadTest, WithTwoLoopThreadsEveryCallbackAWriterQueuesRuns) {
  // A drain posted while the other loop thread is still draining finds nothing to do; the
  // next callback queued after that drain ended must still get a drain of its own.
  constexpr int kRounds = 10;
  std::mutex m;
  std::condition_variable cv;
  bool blocked = false;
  bool go = false;
  std::atomic<int> ran{0};
  AsioQbxProvider two_loops(AsioQbxProvider::Options{}, "nodedb-two-loops", std::make_shared<ManualClock>());
  ASSERT_TRUE(two_loops.RunAsync(2));
  LoopStopper stop_loops{two_loops};
  auto set_go = [&] {
    std::lock_guard<std::mutex> lock(m);
    go = true;
    cv.notify_all();
  };
  // However the test ends, a blocked callback is let go before the loops are stopped.
  struct Unblock {
    std::function<void()> fn;
    ~Unblock() { fn(); }
  } unblock{set_go};
  auto client = std::make_shared<nodedb::NodeDbClient>("c", net::Endpoint(standin_.endpoint()), two_loops, nullptr,
                                                        true, true, false);
  std::thread writer([&] {
    for (int round = 0; round < kRounds; ++round) {
      {
        std::lock_guard<std::mutex> lock(m);
        blocked = false;
        go = false;
      }
      // The first callback holds one loop thread inside its drain.
      client->AddChannelStatusCallback([&](bool) {
        std::unique_lock<std::mutex> lock(m);
        blocked = true;
        cv.notify_all();
        cv.wait(lock, [&] { return go; });
      });
      {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return blocked; }));
      }
      // The second callback's drain goes to the other loop thread and finds the first drain
      // running. The marker runs after it: the free thread takes posted work in order.
      client->AddChannelStatusCallback([&](bool) { ++ran; });
      std::promise<void> marker;
      ASSERT_TRUE(two_loops.dispatcher().Post([&] { marker.set_value(); }));
      marker.get_future().wait();
      set_go();  // the first drain runs the second callback and ends
      ASSERT_TRUE(WaitUntil([&] { return ran.load() == 2 * round + 1; }));
      client->AddChannelStatusCallback([&](bool) { ++ran; });
      ASSERT_TRUE(WaitUntil([&] { return ran.load() == 2 * round + 2; })) << "round " << round;
    }
  });
  writer.join();
  EXPECT_EQ(ran.load(), 2 * kRounds);
}

}  // namespace
}  // namespace testing
}  // namespace qbx
