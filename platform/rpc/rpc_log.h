// Logging of the RPC layer: records carry the second-level component "qbx-rpc" and are built
// only when both the process threshold and the layer's own threshold allow their level.
#pragma once

#include <atomic>

#include "base/logger.h"

namespace qbx {
namespace rpc {

// The layer's own threshold; the daemon reads it before each record and never sets it.
extern std::atomic<LibraryLogLevel> library_log_level;

inline bool LogEnabled(LibraryLogLevel level) {
  return library_log_level.load(std::memory_order_relaxed) >= level && Logger::Enabled(level);
}

}  // namespace rpc
}  // namespace qbx

#define QBX_RPC_LOG(level)                  \
  if (!::qbx::rpc::LogEnabled(level)) {     \
  } else                                    \
    ::qbx::Logger(level).s2comp("qbx-rpc")
