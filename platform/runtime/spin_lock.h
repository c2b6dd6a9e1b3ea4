// A small spin lock for critical sections of a few arithmetic operations (metric updates).
//
// Meets BasicLockable/Lockable, so std::lock_guard and std::unique_lock work with it. A
// waiter spins briefly and then yields, so a holder that was preempted does not make the
// waiters burn a whole time slice. Never hold it across a call that may block or run
// foreign code.
#pragma once

#include <atomic>
#include <thread>

namespace qbx {

class SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() noexcept {
    for (unsigned spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins) {
      if (spins >= kSpinsBeforeYield) std::this_thread::yield();
    }
  }
  bool try_lock() noexcept { return !flag_.test_and_set(std::memory_order_acquire); }
  void unlock() noexcept { flag_.clear(std::memory_order_release); }

 private:
  static constexpr unsigned kSpinsBeforeYield = 64;
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

}  // namespace qbx
