// Parameters of a kept connection: the retry and reconnect policies, the socket options and
// the callbacks of a connection keeper.
//
// Values; not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/rpc/endpoint.h"
#include "platform/rpc/status.h"
#include "platform/runtime/retry_policy.h"

namespace qbx {
namespace net {

struct ConnectionOptions {
  // The first duration bounds how long one connection attempt may take.
  std::optional<std::chrono::milliseconds> connect_timeout;
  std::optional<std::chrono::milliseconds> keepalive_time;
  std::optional<std::chrono::milliseconds> keepalive_timeout;
  bool keepalive = true;
  std::optional<uint32_t> send_buffer_bytes;
  std::string interface_name;
  bool no_delay = true;
  bool reuse_address = false;
  std::optional<uint32_t> receive_buffer_bytes;
  std::optional<uint32_t> max_message_bytes;
  std::optional<uint32_t> max_streams;
  bool tls = false;
  std::optional<uint32_t> dscp;
  bool ipv4 = true;
  int32_t priority = -1;
  std::string certificate_path;
  std::optional<Endpoint> local_endpoint;
};

}  // namespace net

namespace rpc {

struct ConnectionInfo {
  net::Endpoint endpoint;
  std::string to_string() const { return endpoint.uri(); }
};

class ReconnectPolicy {
 public:
  enum class ReconnectBehavior : uint32_t { kNever = 0, kReconnect = 1 };
  ReconnectPolicy() : behavior_(ReconnectBehavior::kReconnect) {}
  ReconnectPolicy(ReconnectBehavior behavior, const RetryPolicy& retry) : behavior_(behavior), retry_(retry) {}
  ReconnectBehavior behavior() const { return behavior_; }
  const RetryPolicy& retry() const { return retry_; }

 private:
  ReconnectBehavior behavior_;
  RetryPolicy retry_;
};

struct RpcConnectionOptions {
  bool gateway = false;
  bool gateway_forward = false;
  static RpcConnectionOptions Gateway(bool gateway, bool forward) { return RpcConnectionOptions{gateway, forward}; }
};

struct ConnectionParams {
  RetryPolicy retry_policy;
  ReconnectPolicy reconnect_policy;
  net::ConnectionOptions connection_options;
  RpcConnectionOptions rpc_connection_options;
  std::function<void(const ConnectionInfo&)> connected_callback;
  std::function<void(const net::Endpoint&, CloseReason)> closed_callback;
  std::function<void()> further_callback;  // never set by the daemon
};

}  // namespace rpc
}  // namespace qbx
