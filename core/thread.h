// A small object wrapper of a POSIX thread with its own mutex and condition variable.
//
// Threading: the owner calls Start, Join, Cancel and the destructor from one thread. The
// mutex guards whatever state a derived class keeps; Wait must be called with it held (see
// Thread::Guard) and Signal wakes one waiter. The destructor neither joins nor cancels:
// the owner stops and joins the thread first.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

// The error type of Thread (also thrown by the messaging-channel client): a message and the
// POSIX result that caused it, or 0. Thrown by value, caught by reference.
class Exception {
 public:
  Exception(std::string message, int32_t code) : message_(std::move(message)), code_(code) {}
  virtual ~Exception() = default;

  const std::string& GetMessage() const { return message_; }
  int32_t GetCode() const { return code_; }

 private:
  std::string message_;
  int32_t code_;
};

// The unit of work of a thread or a task queue.
class Runnable {
 public:
  virtual void Run() = 0;
  // Called when Run is left by an exception or by a thread cancellation.
  virtual void Cleanup() = 0;
  virtual ~Runnable() = default;
};

class Thread : public Runnable {
 public:
  // Stacks of this size or less keep the system default.
  static constexpr size_t kMinStackSize = 16384;

  // `target`, when given, is run instead of this object and is owned (deleted with it).
  // A thread that is not joinable is created detached.
  explicit Thread(bool joinable = true, Runnable* target = nullptr, size_t stackSize = 0);
  ~Thread() override;

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Run() override {}
  // Unlocks the mutex when the calling thread holds it: a cancellation inside Wait leaves
  // it held. Anything else (an exception thrown outside any locked scope) unlocks nothing.
  void Cleanup() override;

  // The low 32 bits of the POSIX handle, or -1 before Start.
  virtual int32_t GetThreadId();
  virtual void Join();
  // With the mutex held. 0: wait for a Signal, returns true. N > 0: wait at most N whole
  // seconds of wall-clock time; false when the time ran out, true when woken.
  virtual bool Wait(int seconds);
  virtual void Signal();
  virtual void Start();
  virtual void Cancel();

  bool Started() const { return handle_ != nullptr; }
  // Whether the thread is created joinable (Join applies) rather than detached.
  bool Joinable() const { return joinable_; }

  // Holds the thread's mutex for a scope (the mutex Wait works with).
  class Guard {
   public:
    explicit Guard(Thread& thread);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    Thread& thread_;
  };

 protected:
  void LockMutex();
  void UnlockMutex();

 private:
  // A cancellation unwinds through catch (abi::__forced_unwind&), which binds a reference
  // to an exception without a C++ object; the null-reference check must not flag it.
  __attribute__((no_sanitize("null"))) static void* Entry(void* runnable);

  Runnable* target_;
  pthread_t* handle_ = nullptr;
  pthread_attr_t attributes_;
  pthread_cond_t condition_;
  pthread_mutex_t mutex_;
  // The thread that holds mutex_ (0 when none), so that Cleanup unlocks only its own hold.
  std::atomic<pthread_t> holder_{0};
  const bool joinable_;
  bool joined_ = false;
};
