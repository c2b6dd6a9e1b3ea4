// A bounded producer-consumer queue.
//
// The receive path of each vertical uses it with the blocking flag clear: a full queue
// refuses an item at once instead of holding the channel's receiving thread.
//
// Threading: every operation is safe from any thread; the queue's mutex guards all of its
// fields. Close() wakes every blocked consumer and producer; afterwards Dequeue returns
// std::nullopt once the queue is drained and Enqueue refuses. This is what lets a stopping
// dequeue thread leave a wait on an empty queue without an interruption mechanism.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace qbx {

template <class T>
class CPQueue {
 public:
  CPQueue(uint32_t capacity, bool blockWhenFull) : capacity_(capacity), blockWhenFull_(blockWhenFull) {}
  CPQueue(const CPQueue&) = delete;
  CPQueue& operator=(const CPQueue&) = delete;

  // Appends `item`. With the blocking flag clear a full queue refuses at once; with it
  // set the producer waits for room. False when refused or the queue is closed.
  bool enqueue(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (queue_.size() >= capacity_) {
      if (!blockWhenFull_) return false;
      notFull_.wait(lock, [&] { return closed_ || queue_.size() < capacity_; });
      if (closed_) return false;
    }
    queue_.push_back(std::move(item));
    if (queue_.size() == 1) notEmpty_.notify_one();
    return true;
  }

  // Removes the front item, waiting while the queue is empty. std::nullopt only after
  // Close() with nothing left.
  std::optional<T> dequeue() {
    std::unique_lock<std::mutex> lock(mutex_);
    notEmpty_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    T item = std::move(queue_.front());
    queue_.pop_front();
    if (queue_.size() + 1 == capacity_) notFull_.notify_one();
    return item;
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

  uint32_t capacity() const { return capacity_; }

  // Wakes every waiter; later enqueues are refused. Items already queued may still be
  // dequeued, or dropped with Clear().
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    notEmpty_.notify_all();
    notFull_.notify_all();
  }

  // Opens a closed queue again (a client whose dequeue thread is restarted).
  void Reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
  }

  void Clear() {
    std::deque<T> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dropped.swap(queue_);
      notFull_.notify_all();
    }
    // `dropped` is destroyed here, outside the lock: item destructors may free records.
  }

 private:
  const uint32_t capacity_;
  const bool blockWhenFull_;
  std::deque<T> queue_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  mutable std::mutex mutex_;
  bool closed_ = false;
};

}  // namespace qbx
