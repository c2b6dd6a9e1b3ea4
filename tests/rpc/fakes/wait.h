// Waiting for real I/O in tests: polls a condition while the peer and gRPC work, moving a
// manual clock on when one is given so that protocol timers (retries) fire without anyone
// sleeping through their period. The cap only turns a hang into a failure.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/runtime/manual_clock.h"

namespace qbx {
namespace testing {

inline bool WaitUntil(const std::function<bool()>& done, const std::shared_ptr<ManualClock>& clock = nullptr,
                      std::chrono::milliseconds step = std::chrono::milliseconds(1000)) {
  for (int i = 0; i < 6000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (clock && i % 4 == 3) clock->Advance(step);
  }
  return done();
}

}  // namespace testing
}  // namespace qbx
