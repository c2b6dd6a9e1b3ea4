// A dispatcher that can be cut off from the loop it forwards to.
//
// gRPC completions arrive on gRPC's threads, possibly after the provider that owns a call
// is gone. Everything in the RPC layer posts through one of these; the provider's RPC side
// detaches it on destruction, after which posts are dropped instead of reaching a
// destroyed loop.
#pragma once

#include <memory>
#include <mutex>

#include "platform/runtime/dispatcher.h"

namespace qbx {
namespace rpc {

class GuardedDispatcher : public Dispatcher {
 public:
  explicit GuardedDispatcher(Dispatcher& target) : target_(&target) {}

  bool Post(Task task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_ != nullptr && target_->Post(std::move(task));
  }
  bool IsLoopThread() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_ != nullptr && target_->IsLoopThread();
  }
  void Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
  }

 private:
  mutable std::mutex mutex_;  // guards target_; Post never runs the task inline
  Dispatcher* target_;
};

}  // namespace rpc
}  // namespace qbx
