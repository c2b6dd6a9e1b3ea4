#include "core/locks.h"

#include <cstdio>
#include <cstring>

namespace Locks {

namespace {

std::string ErrorText(int rc) {
  // strerror is not thread-safe; the GNU strerror_r returns the text it chose.
  char buffer[128];
  buffer[0] = '\0';
  const char* text = strerror_r(rc, buffer, sizeof(buffer));
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

LockException::LockException(int rc) : rc_(rc), message_("LockException: " + ErrorText(rc)) {}

LockException::~LockException() = default;

const char* LockException::what() const noexcept { return message_.c_str(); }

Mutex::Mutex() {
  const int rc = pthread_mutex_init(&mutex_, nullptr);
  if (rc != 0) {
    throw LockException(rc);
  }
}

Mutex::Mutex(int pthreadMutexType) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) {
    throw LockException(rc);
  }
  rc = pthread_mutexattr_settype(&attr, pthreadMutexType);
  if (rc == 0) {
    rc = pthread_mutex_init(&mutex_, &attr);
  }
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    throw LockException(rc);
  }
}

Mutex::~Mutex() { static_cast<void>(pthread_mutex_destroy(&mutex_)); }

void Mutex::Lock() {
  const int rc = pthread_mutex_lock(&mutex_);
  if (rc != 0) {
    throw LockException(rc);
  }
}

ScopedLock::ScopedLock(Mutex& mutex) : mutex_(&mutex) { mutex_->Lock(); }

ScopedLock::~ScopedLock() {
  const int rc = pthread_mutex_unlock(&mutex_->mutex_);
  if (rc != 0) {
    try {
      throw LockException(rc);
    } catch (const LockException& e) {
      std::fprintf(stderr, "failed to mutex unlock: %s\n", e.what());
    } catch (...) {
      // Out of memory while building the text: still never throw from a destructor.
    }
  }
}

}  // namespace Locks
