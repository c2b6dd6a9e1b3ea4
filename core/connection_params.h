// The fixed retry policies of the daemon's kept connections, over the platform's connection
// parameters.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/rpc/connection_params.h"
#include "platform/runtime/retry_policy.h"

namespace qbx {
namespace rpc {

// 1000 ms doubling up to 5000 ms, never running out: the policy of kept connections.
inline RetryPolicy DefaultKeptConnectionRetryPolicy() {
  return RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(5000), 2.0,
                     static_cast<uint32_t>(-1));
}

}  // namespace rpc
}  // namespace qbx
