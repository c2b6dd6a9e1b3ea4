// Client stubs: a service of a peer over one activated channel.
//
// A stub is a small value: copies share the channel, and the channel lives as long as some
// copy does. Stream-down listeners fire once, on the dispatcher, when the channel closes
// (its connection was lost, or it was closed).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/rpc/client_context.h"
#include "platform/rpc/rpc_channel.h"
#include "platform/rpc/status.h"

namespace qbx {
namespace rpc {

class StubBase {
 public:
  StubBase(const std::string& client_name, const std::string& endpoint, const ClientContext& context,
           std::shared_ptr<RpcChannel> channel)
      : client_name_(client_name), endpoint_(endpoint), context_(context), channel_(std::move(channel)) {}
  virtual ~StubBase() = default;
  StubBase(const StubBase&) = default;
  StubBase& operator=(const StubBase&) = default;

  void SetOnStreamDown(std::function<void(CloseReason)> callback) {
    if (channel_) channel_->AddStreamDownListener(std::move(callback));
  }

  const std::shared_ptr<RpcChannel>& channel() const { return channel_; }
  const std::string& client_name() const { return client_name_; }
  const std::string& endpoint() const { return endpoint_; }
  const ClientContext& context() const { return context_; }

 private:
  std::string client_name_;
  std::string endpoint_;
  ClientContext context_;
  std::shared_ptr<RpcChannel> channel_;
};

// The stub of a generated service class `Service` (the class protoc's gRPC plugin makes for
// a proto service, which names the service in full).
template <class Service>
class Stub : public StubBase {
 public:
  using StubBase::StubBase;

  static std::string FullServiceName() { return Service::service_full_name(); }
  static std::string ShortServiceName() {
    const std::string full = FullServiceName();
    const size_t dot = full.rfind('.');
    return dot == std::string::npos ? full : full.substr(dot + 1);
  }
};

}  // namespace rpc
}  // namespace qbx
