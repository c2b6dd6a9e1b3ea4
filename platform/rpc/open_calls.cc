#include "platform/rpc/open_calls.h"

namespace qbx {
namespace rpc {

bool OpenCalls::Add(OpenCall* call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  calls_.insert(call);
  return true;
}

void OpenCalls::Remove(OpenCall* call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.erase(call);
}

size_t OpenCalls::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  const size_t ended = calls_.size();
  for (OpenCall* call : calls_) call->EndForShutdown();
  calls_.clear();
  return ended;
}

void OpenCalls::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = false;
}

size_t OpenCalls::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_.size();
}

bool OpenCalls::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

}  // namespace rpc
}  // namespace qbx
