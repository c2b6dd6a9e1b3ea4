// The RPC side of an event-loop provider: its transport (connection keeper), channel
// factory and stub factory, all posting to the provider's dispatcher.
//
// AsioQbxProvider::rpc() creates it on first use with default transport options; a test
// that needs other options installs its own first through AsioQbxProvider::RpcSlot.
// Destruction shuts the transport down and cuts the dispatcher off, so that late gRPC
// completions are dropped instead of reaching a destroyed loop.
#pragma once

#include <memory>

#include "platform/rpc/connection.h"
#include "platform/rpc/guarded_dispatcher.h"
#include "platform/rpc/rpc_channel.h"
#include "platform/rpc/server_builder.h"
#include "platform/rpc/stub_factory.h"
#include "platform/runtime/asio_qbx_provider.h"

namespace qbx {
namespace rpc {

class AsioQbxRpcProvider {
 public:
  explicit AsioQbxRpcProvider(AsioQbxProvider& provider, const TransportOptions& options = TransportOptions());
  ~AsioQbxRpcProvider();
  AsioQbxRpcProvider(const AsioQbxRpcProvider&) = delete;
  AsioQbxRpcProvider& operator=(const AsioQbxRpcProvider&) = delete;

  TransportInterface& transport() { return *transport_; }
  ChannelFactory& channel_factory() { return *channels_; }
  StubFactory& stub_factory() { return *stubs_; }
  // A server builder tied to this provider's transport (see ServerBuilder).
  ServerBuilder server_builder() { return ServerBuilder(transport_.get()); }
  const std::shared_ptr<GuardedDispatcher>& dispatcher() const { return dispatcher_; }

  // Installs a provider's RPC side with `options` unless one exists; returns the one in use.
  static AsioQbxRpcProvider& Install(AsioQbxProvider& provider, const TransportOptions& options);

 private:
  std::shared_ptr<GuardedDispatcher> dispatcher_;
  std::unique_ptr<GrpcTransport> transport_;
  std::unique_ptr<GrpcChannelFactory> channels_;
  std::unique_ptr<StubFactory> stubs_;
};

}  // namespace rpc
}  // namespace qbx
