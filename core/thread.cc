#include "core/thread.h"

#include <cxxabi.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <exception>

#include "base/logger.h"

Thread::Thread(bool joinable, Runnable* target, size_t stackSize)
    : target_(target), joinable_(joinable) {
  int rc = pthread_attr_init(&attributes_);
  if (rc != 0) {
    throw Exception("pthread_attr_init", rc);
  }
  rc = pthread_attr_setdetachstate(&attributes_,
                                   joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
  if (rc == 0 && stackSize > kMinStackSize) {
    rc = pthread_attr_setstacksize(&attributes_, stackSize);
  }
  if (rc != 0) {
    pthread_attr_destroy(&attributes_);
    throw Exception("pthread_attr_set", rc);
  }
  rc = pthread_cond_init(&condition_, nullptr);
  if (rc != 0) {
    pthread_attr_destroy(&attributes_);
    throw Exception("pthread_cond_init", rc);
  }
  // Error-checking, so that Cleanup after a cancellation outside Wait (mutex not held)
  // is refused instead of corrupting the mutex.
  pthread_mutexattr_t mutexAttributes;
  rc = pthread_mutexattr_init(&mutexAttributes);
  if (rc == 0) {
    rc = pthread_mutexattr_settype(&mutexAttributes, PTHREAD_MUTEX_ERRORCHECK);
    if (rc == 0) {
      rc = pthread_mutex_init(&mutex_, &mutexAttributes);
    }
    pthread_mutexattr_destroy(&mutexAttributes);
  }
  if (rc != 0) {
    pthread_cond_destroy(&condition_);
    pthread_attr_destroy(&attributes_);
    throw Exception("pthread_mutex_init", rc);
  }
}

Thread::~Thread() {
  delete handle_;
  delete target_;
  pthread_mutex_destroy(&mutex_);
  pthread_cond_destroy(&condition_);
  pthread_attr_destroy(&attributes_);
}

namespace {
// The Thread whose condition this thread is waiting on, if any: after a cancellation inside
// the wait the mutex is held again although the holder record may name someone else.
thread_local const Thread* t_waitingOn = nullptr;
}  // namespace

void Thread::Cleanup() {
  if (holder_.load() == pthread_self() || t_waitingOn == this) {
    UnlockMutex();
  }
}

int32_t Thread::GetThreadId() {
  if (handle_ == nullptr) {
    return -1;
  }
  return static_cast<int32_t>(static_cast<uint64_t>(*handle_) & 0xffffffffu);
}

void Thread::Start() {
  if (handle_ != nullptr) {
    throw Exception("thread has been started", 0);
  }
  auto* handle = new pthread_t();
  Runnable* runnable = target_ != nullptr ? target_ : this;
  const int rc = pthread_create(handle, &attributes_, &Thread::Entry, runnable);
  if (rc != 0) {
    // Not started: a later Start may try again.
    delete handle;
    throw Exception("pthread_create", rc);
  }
  handle_ = handle;
}

void Thread::Join() {
  if (handle_ == nullptr) {
    throw Exception("Thread not started yet", 0);
  }
  if (joined_) {
    // Joining a finished thread's handle a second time is undefined; it has ended.
    return;
  }
  const int rc = pthread_join(*handle_, nullptr);
  if (rc != 0) {
    throw Exception("pthread_join", rc);
  }
  joined_ = true;
}

void Thread::Cancel() {
  if (handle_ == nullptr) {
    throw Exception("Thread not started yet", 0);
  }
  const int rc = pthread_cancel(*handle_);
  if (rc != 0) {
    throw Exception("pthread_cancel", rc);
  }
}

bool Thread::Wait(int seconds) {
  // A cancellation inside the wait re-acquires the mutex before unwinding; the holder
  // stays this thread so that Cleanup releases it.
  const pthread_t self = pthread_self();
  t_waitingOn = this;
  int rc;
  if (seconds == 0) {
    rc = pthread_cond_wait(&condition_, &mutex_);
  } else {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    rc = pthread_cond_timedwait(&condition_, &mutex_, &deadline);
  }
  // Another thread may have held (and released) the mutex while this one waited.
  holder_.store(self);
  t_waitingOn = nullptr;
  if (rc == ETIMEDOUT) {
    return false;
  }
  if (rc != 0) {
    throw Exception("pthread_cond_wait", rc);
  }
  return true;
}

void Thread::Signal() {
  const int rc = pthread_cond_signal(&condition_);
  if (rc != 0) {
    throw Exception("pthread_cond_signal", rc);
  }
}

void Thread::LockMutex() {
  const int rc = pthread_mutex_lock(&mutex_);
  if (rc != 0) {
    throw Exception("pthread_mutex_lock", rc);
  }
  holder_.store(pthread_self());
}

void Thread::UnlockMutex() {
  // A guard unwinding out of a cancelled Wait releases the mutex itself; Cleanup must not
  // release it a second time.
  if (t_waitingOn == this) {
    t_waitingOn = nullptr;
  }
  holder_.store(0);
  static_cast<void>(pthread_mutex_unlock(&mutex_));
}

Thread::Guard::Guard(Thread& thread) : thread_(thread) { thread_.LockMutex(); }

Thread::Guard::~Guard() { thread_.UnlockMutex(); }

namespace {

// A Cleanup that throws must not end the process from inside a handler.
void CleanupQuietly(Runnable* runnable) noexcept {
  try {
    runnable->Cleanup();
  } catch (...) {
  }
}

}  // namespace

void* Thread::Entry(void* arg) {
  auto* runnable = static_cast<Runnable*>(arg);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGABRT);
  // Stop, reload and level-toggle requests belong to the one thread that waits for them.
  sigaddset(&blocked, SIGHUP);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

  try {
    runnable->Run();
  } catch (abi::__forced_unwind&) {
    // A cancellation: clean up and let the unwinding end the thread.
    CleanupQuietly(runnable);
    throw;
  } catch (const Exception& e) {
    CleanupQuietly(runnable);
    QBX_LOG(qbx::loglevel::kError)
        .subcomp("agg-service")
        .put("Thread [%p] ended by exception: %s (%d)\n", static_cast<void*>(runnable),
             e.GetMessage().c_str(), e.GetCode());
  } catch (const std::exception& e) {
    CleanupQuietly(runnable);
    QBX_LOG(qbx::loglevel::kError)
        .subcomp("agg-service")
        .put("Thread [%p] ended by exception: %s\n", static_cast<void*>(runnable), e.what());
  } catch (...) {
    CleanupQuietly(runnable);
    QBX_LOG(qbx::loglevel::kError)
        .subcomp("agg-service")
        .put("Thread [%p] ended by unknown exception\n", static_cast<void*>(runnable));
  }
  return nullptr;
}
