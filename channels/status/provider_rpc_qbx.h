// The monitoring provider transport on the platform RPC layer: the connection manager keeps
// the connection, a stub creator makes the MonitoringProviderService stub, and the
// RegisterStatusSource stream is a streaming call whose handle is the stream.
//
// Threading: operations run on the provider thread; the RPC layer delivers every callback
// and observer call on the provider's dispatcher (see provider_rpc.h).
#pragma once

#include <memory>
#include <string>

#include "channels/status/provider_rpc.h"
#include "platform/rpc/connection_manager.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/retry_policy.h"

namespace qbx::StatusSource {

class QbxProviderRpc : public ProviderRpc {
 public:
  static constexpr const char* kStubName = "StatusSource";

  // `retry` drives the keeper's reconnects and the stub creator's channel requests.
  QbxProviderRpc(AsioQbxProvider& provider, const RetryPolicy& retry);
  ~QbxProviderRpc() override;
  QbxProviderRpc(const QbxProviderRpc&) = delete;
  QbxProviderRpc& operator=(const QbxProviderRpc&) = delete;

  bool RequestConnection(const std::string& endpoint, const ProviderConnectionCallbacks& callbacks) override;
  int TeardownConnection(const std::string& endpoint) override;
  void CreateStub(const std::string& endpoint, std::chrono::milliseconds timeout,
                  std::function<void(std::shared_ptr<ProviderStub> stub, int status)> done) override;

 private:
  AsioQbxProvider& provider_;
  const RetryPolicy retry_;
  std::unique_ptr<rpc::ConnectionManager> manager_;
};

}  // namespace qbx::StatusSource
