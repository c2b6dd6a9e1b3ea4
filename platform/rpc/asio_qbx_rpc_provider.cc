#include "platform/rpc/asio_qbx_rpc_provider.h"

namespace qbx {
namespace rpc {

AsioQbxRpcProvider::AsioQbxRpcProvider(AsioQbxProvider& provider, const TransportOptions& options)
    : dispatcher_(std::make_shared<GuardedDispatcher>(provider.dispatcher())),
      transport_(std::make_unique<GrpcTransport>(dispatcher_, options)),
      channels_(std::make_unique<GrpcChannelFactory>(dispatcher_, options.connect_timeout)),
      stubs_(std::make_unique<StubFactory>(*transport_, *channels_, dispatcher_, provider.timers())) {}

AsioQbxRpcProvider::~AsioQbxRpcProvider() {
  transport_->Shutdown();
  dispatcher_->Detach();
}

AsioQbxRpcProvider& AsioQbxRpcProvider::Install(AsioQbxProvider& provider, const TransportOptions& options) {
  return *provider.RpcSlot(
      [&options](AsioQbxProvider& p) { return std::make_shared<AsioQbxRpcProvider>(p, options); });
}

}  // namespace rpc

rpc::AsioQbxRpcProvider& AsioQbxProvider::rpc() {
  return *RpcSlot([](AsioQbxProvider& p) { return std::make_shared<rpc::AsioQbxRpcProvider>(p); });
}

}  // namespace qbx
