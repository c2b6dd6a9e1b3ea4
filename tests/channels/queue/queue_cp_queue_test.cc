#include "channels/queue/cp_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace qbx {
namespace {

TEST(CPQueueTest, RefusesAtCapacityAndKeepsArrivalOrder) {
  CPQueue<int> queue(3, false);
  EXPECT_TRUE(queue.enqueue(1));
  EXPECT_TRUE(queue.enqueue(2));
  EXPECT_TRUE(queue.enqueue(3));
  EXPECT_FALSE(queue.enqueue(4));  // full: refused at once, not blocked
  EXPECT_EQ(queue.size(), 3u);
  EXPECT_EQ(*queue.dequeue(), 1);
  EXPECT_TRUE(queue.enqueue(5));
  EXPECT_EQ(*queue.dequeue(), 2);
  EXPECT_EQ(*queue.dequeue(), 3);
  EXPECT_EQ(*queue.dequeue(), 5);
}

TEST(CPQueueTest, CloseWakesABlockedConsumerAndRefusesNewItems) {
  CPQueue<int> queue(2, false);
  std::optional<int> got = 7;
  std::thread consumer([&] { got = queue.dequeue(); });
  queue.Close();
  consumer.join();
  EXPECT_FALSE(got.has_value());
  EXPECT_FALSE(queue.enqueue(1));
  queue.Reopen();
  EXPECT_TRUE(queue.enqueue(1));
  EXPECT_EQ(*queue.dequeue(), 1);
}

TEST(CPQueueTest, ItemsQueuedBeforeCloseCanStillBeDrainedOrCleared) {
  CPQueue<int> queue(4, false);
  queue.enqueue(1);
  queue.enqueue(2);
  queue.Close();
  EXPECT_EQ(*queue.dequeue(), 1);
  queue.Clear();
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_FALSE(queue.dequeue().has_value());
}

TEST(CPQueueTest, BlockingProducerWaitsForRoom) {
  CPQueue<int> queue(1, true);
  ASSERT_TRUE(queue.enqueue(1));
  std::atomic<bool> added{false};
  std::thread producer([&] { added = queue.enqueue(2); });
  EXPECT_EQ(*queue.dequeue(), 1);  // makes room; the producer goes on
  EXPECT_EQ(*queue.dequeue(), 2);
  producer.join();
  EXPECT_TRUE(added);
}

}  // namespace
}  // namespace qbx
