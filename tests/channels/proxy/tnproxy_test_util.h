// Helpers of the management-plane road tests.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace qbx::test {

// Polls `pred` until it holds or a generous limit passes. The limit only bounds a failing
// test: nothing is asserted on time.
inline bool Eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return pred();
}

}  // namespace qbx::test
