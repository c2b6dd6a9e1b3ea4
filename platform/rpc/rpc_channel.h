// A channel: one service of one peer over one open Connection.
//
// A channel becomes usable by Activate, which asks the peer's health service whether that
// one service is served; a peer can so refuse a service while the connection stays up.
// The channel closes with its connection (the stream-down listeners run with the
// connection's close reason) or by Close. Calls over a closed channel end at once with
// kUnavailable.
//
// Threading: any thread. Listener lists are guarded by the channel's mutex and copied out
// before they run; every handler and listener runs on the dispatcher.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

#include "platform/rpc/client_context.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/endpoint.h"
#include "platform/rpc/status.h"
#include "platform/runtime/dispatcher.h"

namespace grpc {
class ClientContext;
}

namespace qbx {
namespace rpc {

struct RpcChannelOptions {
  uint32_t value = 1;
  uint64_t stream_window = 0;
  uint64_t extra = 0;
};

class RpcChannel : public std::enable_shared_from_this<RpcChannel> {
 public:
  using ChannelHandler =
      std::function<void(const boost::system::error_code&, const std::shared_ptr<RpcChannel>&)>;
  using StreamDownListener = std::function<void(CloseReason)>;

  RpcChannel(const net::Endpoint& endpoint, std::string service, std::shared_ptr<Connection> connection,
             const RpcChannelOptions& options, std::shared_ptr<Dispatcher> dispatcher,
             std::chrono::milliseconds check_timeout);
  virtual ~RpcChannel();
  RpcChannel(const RpcChannel&) = delete;
  RpcChannel& operator=(const RpcChannel&) = delete;

  // Asks the peer whether the service is served; `handler` runs once, on the dispatcher,
  // with success and this channel, or with an error (95 when the service is refused).
  virtual void Activate(ChannelHandler handler);
  // Closes the channel; the first call wins and runs the stream-down listeners.
  virtual void Close(CloseReason reason);
  bool IsOpen() const;

  // The listener runs once, posted, when the channel closes (at once when it is closed).
  void AddStreamDownListener(StreamDownListener listener);

  const net::Endpoint& endpoint() const { return endpoint_; }
  const std::string& service() const { return service_; }
  const std::shared_ptr<Connection>& connection() const { return connection_; }
  std::shared_ptr<Dispatcher> dispatcher() const { return dispatcher_; }
  // "/package.Service/Method"
  std::string MethodPath(std::string_view method) const;
  // Adds the caller's metadata, and the destination for forwarded endpoints.
  void PrepareContext(grpc::ClientContext& grpc_context, const ClientContext& context) const;

  // Attaches the channel to its connection's close; called once by the factory.
  void Attach();

 private:
  const net::Endpoint endpoint_;
  const std::string service_;
  const std::shared_ptr<Connection> connection_;
  const RpcChannelOptions options_;
  const std::shared_ptr<Dispatcher> dispatcher_;
  const std::chrono::milliseconds check_timeout_;
  uint64_t connection_listener_ = 0;
  mutable std::mutex mutex_;  // guards the fields below
  bool open_ = true;
  CloseReason reason_ = CloseReason::kNone;
  std::vector<StreamDownListener> listeners_;
};

class ChannelFactory {
 public:
  virtual ~ChannelFactory() = default;
  virtual std::shared_ptr<RpcChannel> CreateChannel(const net::Endpoint& endpoint, const std::string& service,
                                                    const std::shared_ptr<Connection>& connection,
                                                    const RpcChannelOptions& options) = 0;
};

class GrpcChannelFactory : public ChannelFactory {
 public:
  GrpcChannelFactory(std::shared_ptr<Dispatcher> dispatcher, std::chrono::milliseconds check_timeout)
      : dispatcher_(dispatcher), check_timeout_(check_timeout) {}
  std::shared_ptr<RpcChannel> CreateChannel(const net::Endpoint& endpoint, const std::string& service,
                                            const std::shared_ptr<Connection>& connection,
                                            const RpcChannelOptions& options) override;

 private:
  const std::shared_ptr<Dispatcher> dispatcher_;
  const std::chrono::milliseconds check_timeout_;
};

// The wire form of the health check, kept here so that both halves agree.
namespace health {
constexpr char kCheckMethod[] = "/grpc.health.v1.Health/Check";
std::string EncodeRequest(const std::string& service);
// True when `response` reports the service as served.
bool DecodeServing(const std::string& response);
}  // namespace health

}  // namespace rpc
}  // namespace qbx
