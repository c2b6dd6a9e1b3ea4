// Kept connections: a keeper per endpoint that connects, reports the connection up and
// closed through the parameters' callbacks, and reconnects by the reconnect policy.
//
// Threading: the manager's operations may be called from any thread. The callbacks run on
// the provider's dispatcher, never inside RequestConnection and never with a lock held.
// Keepers hold their state under their own mutex; timers and transport answers reach them
// through weak pointers, so a torn-down keeper does nothing more.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/connection_params.h"
#include "platform/rpc/endpoint.h"

namespace qbx {
namespace rpc {

class ConnectionKeeper;

class ConnectionManager {
 public:
  explicit ConnectionManager(AsioQbxRpcProvider& rpc);
  virtual ~ConnectionManager();
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // True when a new keeper was made for the endpoint, false when one already keeps it (or
  // the endpoint is not usable).
  virtual bool RequestConnection(const net::Endpoint& endpoint, const ConnectionParams& params);
  // Stops keeping the endpoint: 0 when a keeper was stopped, 1 when there was none.
  virtual uint8_t TearDownConnection(const net::Endpoint& endpoint);

 private:
  AsioQbxRpcProvider& rpc_;
  TimerFactory& timers_;
  std::mutex mutex_;  // guards keepers_
  std::map<std::string, std::shared_ptr<ConnectionKeeper>> keepers_;
};

}  // namespace rpc
}  // namespace qbx
