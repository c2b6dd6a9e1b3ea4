// Callbacks bound to an owner through a weak pointer: once the owner is gone, a call does
// nothing (and logs nothing). While a call runs, it holds the owner alive.
//
// Values; a call may come from any thread while the owner is released on another: locking
// the weak pointer decides atomically whether the call happens.
#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace qbx {

template <class T>
class WeakCallback0 {
 public:
  WeakCallback0(std::weak_ptr<T> owner, std::function<void()> fn) : owner_(std::move(owner)), fn_(std::move(fn)) {}
  void operator()() const {
    if (auto keep = owner_.lock()) fn_();
  }

 private:
  std::weak_ptr<T> owner_;
  std::function<void()> fn_;
};

template <class T, class A1>
class WeakCallback1 {
 public:
  WeakCallback1(std::weak_ptr<T> owner, std::function<void(A1)> fn) : owner_(std::move(owner)), fn_(std::move(fn)) {}
  void operator()(A1 a1) const {
    if (auto keep = owner_.lock()) fn_(std::forward<A1>(a1));
  }

 private:
  std::weak_ptr<T> owner_;
  std::function<void(A1)> fn_;
};

template <class T, class A1, class A2>
class WeakCallback2 {
 public:
  WeakCallback2(std::weak_ptr<T> owner, std::function<void(A1, A2)> fn)
      : owner_(std::move(owner)), fn_(std::move(fn)) {}
  void operator()(A1 a1, A2 a2) const {
    if (auto keep = owner_.lock()) fn_(std::forward<A1>(a1), std::forward<A2>(a2));
  }

 private:
  std::weak_ptr<T> owner_;
  std::function<void(A1, A2)> fn_;
};

}  // namespace qbx
