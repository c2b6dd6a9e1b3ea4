#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace rpc {

// The layer logs what the process allows; the daemon never lowers or raises this.
std::atomic<LibraryLogLevel> library_log_level{loglevel::kTrace};

}  // namespace rpc
}  // namespace qbx
