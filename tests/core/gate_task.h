// A task that blocks the worker running it until the test opens it, so that tests can queue
// other tasks behind it deterministically.
#pragma once

#include <condition_variable>
#include <mutex>

#include "core/thread.h"

namespace qbx::testing {

class GateTask : public Runnable {
 public:
  void Run() override {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void Cleanup() override {}
  void AwaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return entered_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool open_ = false;
};

}  // namespace qbx::testing
