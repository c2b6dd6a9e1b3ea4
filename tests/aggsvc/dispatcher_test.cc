// The outgoing path and the request lock under concurrency: answers drain on stop, requests
// never overlap, stop waits for the request in flight, and statistics resets neither
// deadlock with a request nor outlive the client.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace {

using qbx::test::ClientHarness;
namespace l2 = zumbra::qbx::agg_service::l2;
using Targets = std::vector<std::shared_ptr<PullTarget>>;
using Msgs = std::vector<std::shared_ptr<l2::MacTableMsg>>;
constexpr const char* kMac = "zumbra.qbx.agg_service.l2.MacTableMsg";

class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

void OnePerTarget(const Targets& targets, Msgs& out) {
  for (const auto& t : targets) {
    out.push_back(std::make_shared<l2::MacTableMsg>());
    out.back()->set_target_id(t->GetTargetId());
  }
}

TEST(Dispatcher, StopSendsEveryQueuedAnswerFirst) {
  ClientHarness h;
  ASSERT_EQ(h.Setup(), 0);
  h.sender->Hold(true);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(h.client->CreateAndEnqueueMpaMessageTask("p" + std::to_string(i), MsgMetadata("t", "c", "r")), 0);
  }
  h.sender->WaitForSendsStarted(1);  // one inside the sender, four queued behind it
  h.sender->Hold(false);
  h.client->StopAggServiceClient();
  auto sent = h.sender->Sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[4].payload, "p4");
}

TEST(RequestLock, RequestsFromSeveralThreadsNeverOverlap) {
  ClientHarness h;
  std::atomic<int> inside{0}, overlaps{0};
  h.client->RegisterPullHandler<l2::MacTableMsg>([&](const Targets& targets, Msgs& out) {
    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    std::this_thread::yield();
    OnePerTarget(targets, out);
    inside.fetch_sub(1);
  });
  ASSERT_EQ(h.Setup(), 0);
  constexpr int kPerThread = 200;
  auto worker = [&](std::string id) {
    for (int i = 0; i < kPerThread; ++i) h.Pull(kMac, {id}, id + std::to_string(i));
  };
  std::thread a(worker, "a"), b(worker, "b");
  // Version changes from the channel thread land between requests, never inside one;
  // the receive thread may also hold the lock around a request itself.
  std::thread c([&] {
    for (int i = 0; i < 50; ++i) h.client->SetMPVersion(3, 2 + (i % 2));
    h.client->Lock();
    h.Pull(kMac, {"c"}, "c");
    h.client->Unlock();
  });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(overlaps.load(), 0);
  h.client->StopAggServiceClient();
  EXPECT_EQ(h.sender->Sent().size(), 2u * kPerThread + 1);
}

TEST(RequestLock, StopWaitsForTheRequestInFlight) {
  ClientHarness h;
  Gate entered, stopping;
  h.client->RegisterPullHandler<l2::MacTableMsg>([&](const Targets& targets, Msgs& out) {
    entered.Open();
    stopping.Wait();
    for (int i = 0; i < 100; ++i) std::this_thread::yield();  // give the stop every chance to overtake
    OnePerTarget(targets, out);
  });
  ASSERT_EQ(h.Setup(), 0);
  int result = 1;
  std::thread request([&] { result = h.Pull(kMac, {"in-flight"}, "c1"); });
  entered.Wait();
  std::thread stopper([&] {
    stopping.Open();
    h.client->StopAggServiceClient();
  });
  request.join();
  stopper.join();
  EXPECT_EQ(result, 0);  // queued before the dispatcher stopped, and sent before the stop returned
  ASSERT_EQ(h.sender->Sent().size(), 1u);
  EXPECT_EQ(h.sender->Sent()[0].correlationId, "c1");
}

TEST(StatisticsReset, AsyncResetFromInsideACallbackNeitherDeadlocksNorOutlivesTheClient) {
  qbx::test::LogCapture logs;
  {
    ClientHarness h;
    std::weak_ptr<AggServiceClient> weak = h.client;
    h.client->RegisterPullHandler<l2::MacTableMsg>([weak](const Targets& targets, Msgs& out) {
      // The datapath restarted: the vertical asks for resets while its request holds the lock.
      if (auto client = weak.lock()) {
        client->ResetStatisticsAsync();
        client->ResetStatisticsAsync();
      }
      OnePerTarget(targets, out);
    });
    ASSERT_EQ(h.Setup(), 0);
    EXPECT_EQ(h.Pull(kMac, {"t"}), 0);
    h.client->ResetStatistics();
  }  // the client's destructor joins the reset threads
  EXPECT_EQ(logs.Count("[ResetStatistics][TestVertical]: Received reset statistics from verticals"), 3u);
}

}  // namespace
