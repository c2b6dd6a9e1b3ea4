// Throwing wrappers of a POSIX mutex and its scope guard.
//
// A failing mutex operation is never returned as a code: it raises Locks::LockException
// carrying the POSIX error number and a readable text, so a caller cannot carry on while
// believing it holds a lock it does not hold.
//
// Threading: a Mutex is a plain, non-recursive POSIX mutex. Locking it twice from one
// thread deadlocks; the thread that locked it unlocks it (through ScopedLock). The order in
// which several mutexes are taken is fixed by their users.
#pragma once

#include <pthread.h>

#include <exception>
#include <string>

namespace Locks {

class LockException : public std::exception {
 public:
  // `rc` is the value returned by the failing POSIX call.
  explicit LockException(int rc);
  ~LockException() override;

  const char* what() const noexcept override;
  int Code() const noexcept { return rc_; }

 private:
  int rc_;
  std::string message_;
};

class ScopedLock;

class Mutex {
 public:
  // A normal mutex with default attributes; throws LockException when it cannot be made.
  Mutex();
  // A mutex of the given POSIX type (e.g. PTHREAD_MUTEX_ERRORCHECK), so that tests can make
  // the lock operations fail on purpose.
  explicit Mutex(int pthreadMutexType);
  ~Mutex();

  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Throws LockException on a non-zero result; unlocking is ScopedLock's job.
  void Lock();

 private:
  friend class ScopedLock;
  pthread_mutex_t mutex_;
};

// Locks in the constructor (a failure throws and nothing is held), unlocks in the
// destructor. An unlock failure is written to standard error; the destructor never throws.
class ScopedLock {
 public:
  explicit ScopedLock(Mutex& mutex);
  ~ScopedLock();

  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Mutex* mutex_;
};

}  // namespace Locks
