// Connections and the transport that keeps them.
//
// A Connection is one period during which the gRPC channel to an endpoint was READY. When
// the channel leaves READY the connection is closed for good and its close listeners run;
// the next request for that endpoint waits for READY again and gets a new Connection over
// the same gRPC channel. "Connected" and "closed" are therefore exact for the holders of a
// Connection, even when the peer restarts faster than anyone looks.
//
// GrpcTransport is the connection keeper: one gRPC channel per target (client idle timeout
// off, keepalive on, bounded reconnect back-off, explicit message-size limits), its
// connectivity watched on a process-wide completion-queue thread. Every handler and listener
// is posted to the owner's dispatcher; none runs inside the call that registered it.
//
// Threading: every operation may be called from any thread. GrpcTransport's state is
// guarded by one mutex, never held while posting runs user code (Post never runs inline).
// Connection keeps its listeners under its own mutex and copies them out before posting.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

#include "platform/rpc/endpoint.h"
#include "platform/rpc/status.h"
#include "platform/runtime/dispatcher.h"

namespace grpc {
class Channel;
}

namespace qbx {
namespace rpc {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using CloseListener = std::function<void(CloseReason)>;

  Connection(const net::Endpoint& endpoint, std::shared_ptr<grpc::Channel> channel, std::shared_ptr<Dispatcher> dispatcher);

  const net::Endpoint& endpoint() const { return endpoint_; }
  const std::shared_ptr<grpc::Channel>& grpc_channel() const { return channel_; }
  bool IsOpen() const;
  CloseReason close_reason() const;

  // The listener runs once, on the dispatcher, when the connection closes (at once, posted,
  // when it is already closed). Returns an id for RemoveCloseListener.
  uint64_t AddCloseListener(CloseListener listener);
  // As AddCloseListener, for a forwarded destination ("qbx://<id>" without the prefix) that
  // shares this connection to its forwarding peer: the listener also runs, once, when the
  // peer ends that destination's stream alone (EndDestination).
  uint64_t AddDestinationListener(const std::string& destination, CloseListener listener);
  void RemoveCloseListener(uint64_t id);
  // Closes the connection; the first call wins.
  void Close(CloseReason reason);
  // The forwarding peer ended the stream to `destination`: its listeners run with `reason`
  // and are dropped; the connection and every other destination stay as they are.
  void EndDestination(const std::string& destination, CloseReason reason);

 private:
  const net::Endpoint endpoint_;
  const std::shared_ptr<grpc::Channel> channel_;
  const std::shared_ptr<Dispatcher> dispatcher_;
  mutable std::mutex mutex_;  // guards the fields below
  bool open_ = true;
  CloseReason reason_ = CloseReason::kNone;
  uint64_t next_id_ = 1;
  struct Listener {
    std::string destination;  // empty: the connection's close only
    CloseListener run;
  };
  std::map<uint64_t, Listener> listeners_;
};

class TransportInterface {
 public:
  using ConnectHandler =
      std::function<void(const boost::system::error_code&, const std::shared_ptr<Connection>&)>;
  virtual ~TransportInterface() = default;
  // Answers once, later, on the dispatcher: an open connection, or an error.
  virtual void GetConnection(const net::Endpoint& endpoint, ConnectHandler handler) = 0;
  virtual bool IsShutdown() const = 0;
  // Closes every connection and refuses further requests.
  virtual void Shutdown() = 0;
  // Where "qbx://ID" endpoints are reached from now on ("tcp://H:P"); empty: nowhere.
  // Connections already made keep their peer. The default transport forwards nothing.
  virtual void SetForwardingEndpoint(const std::string& endpoint) { (void)endpoint; }
  // Inbound forwarding: the ids ("qbx://<id>") that this process serves, and the loopback
  // address where it serves them ("tcp://H:P", set by the server builder once its server
  // listens). Both are made known to the forwarding peer as soon as they and the
  // forwarding endpoint are known, and again on every new connection to the peer.
  virtual void AddLocalEndpointIds(const std::vector<std::string>& ids) { (void)ids; }
  virtual void SetLocalAddress(const std::string& address) { (void)address; }
};

struct TransportOptions {
  // How long a connection request waits for READY before it fails.
  std::chrono::milliseconds connect_timeout{2000};
  // gRPC's reconnect back-off between attempts of one channel.
  std::chrono::milliseconds min_reconnect_backoff{100};
  std::chrono::milliseconds max_reconnect_backoff{1000};
  // Keepalive pings must fit the ping policy of a stock gRPC server, which every peer keeps:
  // while a call is open it takes one ping per `peer_min_ping_interval` without data in
  // between and sends GOAWAY "too_many_pings" on the third ping that comes sooner; without
  // an open call it takes none (one per two hours). So pings are sent only while calls are
  // open, and a margin above the peer's interval, so that timer and delivery jitter never
  // count as strikes. A peer that dies is noticed at once on loopback (the socket closes);
  // keepalive is for a peer that hangs.
  static constexpr std::chrono::milliseconds kPeerMinPingInterval{5 * 60 * 1000};
  std::chrono::milliseconds keepalive_time{kPeerMinPingInterval + std::chrono::minutes(1)};
  std::chrono::milliseconds keepalive_timeout{20000};
  int max_message_bytes = 64 * 1024 * 1024;
  // Where "qbx://ID" endpoints are reached ("tcp://H:P"); empty: not reachable.
  std::string forwarding_endpoint;
};

// Keeps gRPC's shared callback queue alive for the rest of the process (idempotent). Every
// transport and server of this layer calls it; code that uses gRPC's callback API directly
// (stand-ins) may call it too.
void HoldCallbackQueue();

namespace flowcontrol {
// The largest stream window a connection takes.
constexpr uint64_t kMaxStreamWindow = (1ull << 31) - 1;
// True when `connection` is open and accepts a new stream with that window (0: default).
bool IsConnectionAcceptStreamWithWindow(const std::shared_ptr<Connection>& connection, uint64_t window);
}  // namespace flowcontrol

class GrpcTransport : public TransportInterface {
 public:
  GrpcTransport(std::shared_ptr<Dispatcher> dispatcher, TransportOptions options = TransportOptions());
  ~GrpcTransport() override;

  void GetConnection(const net::Endpoint& endpoint, ConnectHandler handler) override;
  bool IsShutdown() const override;
  void Shutdown() override;
  void SetForwardingEndpoint(const std::string& endpoint) override;
  void AddLocalEndpointIds(const std::vector<std::string>& ids) override;
  void SetLocalAddress(const std::string& address) override;

  const TransportOptions& options() const;

  struct State;  // shared with the connectivity watches, which hold it weakly

 private:
  std::shared_ptr<State> state_;
};

}  // namespace rpc
}  // namespace qbx
