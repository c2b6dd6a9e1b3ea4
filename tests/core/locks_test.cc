#include "core/locks.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

TEST(LocksTest, ExceptionCarriesCodeAndCLibraryText) {
  Locks::LockException e(EINVAL);
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(std::string(e.what()), std::string("LockException: ") + std::strerror(EINVAL));
  const std::exception& base = e;
  EXPECT_STREQ(base.what(), e.what());
}

TEST(LocksTest, ScopedLockHoldsAndReleases) {
  Locks::Mutex mutex;
  int counter = 0;
  {
    Locks::ScopedLock lock(mutex);
    ++counter;
  }
  // Released: a second guard in the same thread does not deadlock.
  {
    Locks::ScopedLock lock(mutex);
    ++counter;
  }
  EXPECT_EQ(counter, 2);
}

TEST(LocksTest, RelockFromSameThreadThrowsAndHoldsNothing) {
  Locks::Mutex mutex(PTHREAD_MUTEX_ERRORCHECK);
  Locks::ScopedLock outer(mutex);
  try {
    Locks::ScopedLock inner(mutex);
    FAIL() << "relocking an error-checking mutex must throw";
  } catch (const Locks::LockException& e) {
    EXPECT_EQ(e.Code(), EDEADLK);
    EXPECT_EQ(std::string(e.what()), std::string("LockException: ") + std::strerror(EDEADLK));
  }
  // The failed guard unlocked nothing: the outer guard still holds the mutex.
  std::thread other([&mutex] {
    EXPECT_EQ(pthread_mutex_trylock(reinterpret_cast<pthread_mutex_t*>(&mutex)), EBUSY);
  });
  other.join();
}

TEST(LocksTest, BadMutexTypeThrowsFromConstructor) {
  EXPECT_THROW(Locks::Mutex mutex(12345), Locks::LockException);
}

#if !defined(__SANITIZE_THREAD__)
TEST(LocksTest, UnlockFailureIsReportedOnStderrAndDoesNotThrow) {
  Locks::Mutex mutex(PTHREAD_MUTEX_ERRORCHECK);
  std::unique_ptr<Locks::ScopedLock> lock;
  std::thread owner([&] { lock = std::make_unique<Locks::ScopedLock>(mutex); });
  owner.join();
  testing::internal::CaptureStderr();
  // Unlocking from a thread that is not the owner fails with EPERM.
  EXPECT_NO_THROW(lock.reset());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string("failed to mutex unlock: LockException: ") + std::strerror(EPERM) + "\n");
}
#endif

TEST(LocksTest, ManyThreadsCountUnderTheLock) {
  Locks::Mutex mutex;
  long counter = 0;
  constexpr int kThreads = 8;
  constexpr int kIncrements = 5000;
  std::thread threads[kThreads];
  for (auto& t : threads) {
    t = std::thread([&] {
      for (int i = 0; i < kIncrements; ++i) {
        Locks::ScopedLock lock(mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kIncrements);
}

}  // namespace
