// Intrusive reference counting for platform objects that are shared by raw pointer across
// libraries (metric values, work groups, call handles).
//
// A RefCounted object starts with a count of 0; the first owner takes a reference (directly
// with AddRef or through boost::intrusive_ptr) and the Release that brings the count back
// to 0 deletes the object. The count is atomic, so references may be taken and dropped on
// any thread; the object itself is not made thread-safe by this.
#pragma once

#include <atomic>
#include <cstdint>

namespace qbx {

class IRefCountable {
 public:
  virtual ~IRefCountable() = default;
  virtual void AddRef() = 0;
  virtual void Release() = 0;
};

template <class T, class Interface = IRefCountable>
class RefCounted : public Interface {
 public:
  void AddRef() override { count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() override {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Through the interface's public virtual destructor, so that T may keep its own
      // destructor protected (only Release destroys it).
      delete static_cast<Interface*>(this);
    }
  }
  // For tests and diagnostics only; the value may be stale as soon as it is read.
  int32_t RefCountForTest() const { return count_.load(std::memory_order_relaxed); }

 protected:
  RefCounted() = default;
  ~RefCounted() override = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

 private:
  std::atomic<int32_t> count_{0};
};

// Hooks for boost::intrusive_ptr, found by argument-dependent lookup.
inline void intrusive_ptr_add_ref(IRefCountable* p) { p->AddRef(); }
inline void intrusive_ptr_release(IRefCountable* p) { p->Release(); }

}  // namespace qbx
