// The open calls a server ends before its shutdown: each call is ended once, never after it
// removed itself, and calls that come after the close are refused.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/rpc/open_calls.h"

namespace qbx::rpc {
namespace {

class RecordingCall : public OpenCall {
 public:
  void EndForShutdown() override {
    EXPECT_FALSE(gone.load()) << "ended after it removed itself";
    ++ended;
  }
  std::atomic<int> ended{0};
  std::atomic<bool> gone{false};
};

TEST(OpenCallsTest, CloseEndsTheOpenCallsOnceAndRefusesLaterOnesUntilOpened) {
  OpenCalls calls;
  RecordingCall a, b, removed;
  ASSERT_TRUE(calls.Add(&a));
  ASSERT_TRUE(calls.Add(&b));
  ASSERT_TRUE(calls.Add(&removed));
  calls.Remove(&removed);  // answered by its application
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls.Close(), 2u);
  EXPECT_EQ(a.ended, 1);
  EXPECT_EQ(b.ended, 1);
  EXPECT_EQ(removed.ended, 0);
  EXPECT_EQ(calls.size(), 0u);
  // Closed: a call that still arrives is refused, and a second close ends nothing again.
  RecordingCall late;
  EXPECT_FALSE(calls.Add(&late));
  EXPECT_EQ(calls.Close(), 0u);
  EXPECT_EQ(a.ended, 1);
  calls.Remove(&a);  // removing an ended call is harmless
  // Served again: calls are accepted and ended by the next close.
  calls.Open();
  EXPECT_TRUE(calls.Add(&late));
  EXPECT_EQ(calls.Close(), 1u);
  EXPECT_EQ(late.ended, 1);
}

TEST(OpenCallsTest, CallsGoingAwayWhileTheSetClosesAreNeverEndedAfterwards) {
  for (int round = 0; round < 20; ++round) {
    auto calls = std::make_shared<OpenCalls>();
    constexpr int kCalls = 200;
    std::vector<std::unique_ptr<RecordingCall>> all;
    for (int i = 0; i < kCalls; ++i) all.push_back(std::make_unique<RecordingCall>());
    std::atomic<int> refused{0};
    std::thread churn([&] {
      for (size_t i = 0; i < all.size(); ++i) {
        if (!calls->Add(all[i].get())) {
          ++refused;
          continue;
        }
        if (i % 2 == 0) {  // every other call is answered and goes away
          calls->Remove(all[i].get());
          all[i]->gone = true;
        }
      }
    });
    std::thread closer([&] { calls->Close(); });
    churn.join();
    closer.join();
    calls->Close();
    for (auto& call : all) EXPECT_LE(call->ended.load(), 1);
    // Every call was either refused, removed by itself, or ended by a close.
    int accounted = refused.load();
    for (auto& call : all) accounted += (call->ended.load() == 1 || call->gone.load()) ? 1 : 0;
    EXPECT_EQ(accounted, kCalls);
  }
}

}  // namespace
}  // namespace qbx::rpc
