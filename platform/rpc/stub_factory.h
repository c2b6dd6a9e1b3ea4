// The stub factory of an event-loop provider: the provider's transport, channel factory,
// dispatcher and timer service, and the creation of stubs over them.
//
// The creator of one stub (StubCreator) and its channel helper (ChannelCreator) are
// defined in core/stub_creator.h, with the `create` templates; include that header to make
// stubs.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/rpc/client_context.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/rpc_channel.h"
#include "platform/rpc/status.h"
#include "platform/runtime/dispatcher.h"
#include "platform/runtime/retry_policy.h"
#include "platform/runtime/timer.h"

namespace qbx {
namespace rpc {

class StubFactory {
 public:
  template <class Stub>
  using ResultCallback = std::function<void(const std::optional<Stub>&, StubCreationStatus)>;

  StubFactory(TransportInterface& transport, ChannelFactory& channels, std::shared_ptr<Dispatcher> dispatcher,
              TimerFactory& timers)
      : transport_(transport), channels_(channels), dispatcher_(std::move(dispatcher)), timers_(timers) {}

  // One attempt, no retry.
  static RetryPolicy NoRetry() {
    return RetryPolicy(std::chrono::milliseconds(1), std::chrono::milliseconds(1), 1.0, 0);
  }

  TransportInterface& transport() { return transport_; }
  ChannelFactory& channel_factory() { return channels_; }
  Dispatcher& dispatcher() { return *dispatcher_; }
  TimerFactory& timers() { return timers_; }

  template <class Stub>
  class StubCreator;
  class ChannelCreator;

  // Default context, NoRetry(), options 1, 0, 0 and no creation time-out.
  template <class Stub>
  void create(const std::string& client_name, const std::string& endpoint, const ResultCallback<Stub>& callback);
  template <class Stub>
  void create(const std::string& client_name, const std::string& endpoint, const ClientContext& context,
              const ResultCallback<Stub>& callback, const RetryPolicy& retry, const RpcChannelOptions& options,
              std::chrono::milliseconds timeout);

 private:
  TransportInterface& transport_;
  ChannelFactory& channels_;
  std::shared_ptr<Dispatcher> dispatcher_;
  TimerFactory& timers_;
};

}  // namespace rpc
}  // namespace qbx
