// Creation of one RPC stub: a channel request to the provider's transport, retried by a
// RetryPolicy, bounded by an optional creation time-out, answered exactly once on the
// dispatcher with the stub or with StubCreationStatus::kFailed.
//
// Ownership: the caller drops its pointer right after Create. A pending channel request or
// retry timer keeps the creator alive (shared pointers); the time-out timer holds only a
// weak pointer, so a creator whose work is over goes away even while its time-out is
// pending.
//
// Threading: one mutex guards all of a creator's state. It is held in Create, while a
// channel answer or a retry is handled and while the time-out is handled, never while the
// caller's callback runs: the result is always posted to the dispatcher. The transport
// answers later from the event loop, never inside GetConnection, so holding the mutex
// across the request cannot deadlock.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <boost/system/error_code.hpp>

#include "platform/rpc/client_context.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/endpoint.h"
#include "platform/rpc/rpc_channel.h"
#include "platform/rpc/rpc_log.h"
#include "platform/rpc/status.h"
#include "platform/rpc/stub.h"
#include "platform/rpc/stub_factory.h"
#include "platform/runtime/retry_policy.h"
#include "platform/runtime/timer.h"

namespace qbx {
namespace rpc {

class StubFactory::ChannelCreator : public std::enable_shared_from_this<StubFactory::ChannelCreator> {
 public:
  using ChannelHandler = RpcChannel::ChannelHandler;

  ChannelCreator(const net::Endpoint& endpoint, const std::string& service, ChannelFactory& channels,
                 const RpcChannelOptions& options, ChannelHandler handler)
      : channels_(channels), endpoint_(endpoint), service_(service), options_(options), handler_(std::move(handler)) {}

  void Create(TransportInterface& transport) {
    auto self = shared_from_this();
    transport.GetConnection(endpoint_, [self](const boost::system::error_code& error,
                                              const std::shared_ptr<Connection>& connection) {
      self->ConnectHandler(error, connection);
    });
  }

  void ConnectHandler(const boost::system::error_code& error, const std::shared_ptr<Connection>& connection) {
    if (error) {
      handler_(error, nullptr);
      return;
    }
    if (!flowcontrol::IsConnectionAcceptStreamWithWindow(connection, options_.stream_window)) {
      handler_(boost::system::error_code(EOPNOTSUPP, boost::system::generic_category()), nullptr);
      return;
    }
    auto channel = channels_.CreateChannel(endpoint_, service_, connection, options_);
    channel->Activate(handler_);
  }

 private:
  ChannelFactory& channels_;
  const net::Endpoint endpoint_;
  const std::string service_;
  const RpcChannelOptions options_;
  ChannelHandler handler_;
};

template <class Stub>
class StubFactory::StubCreator : public std::enable_shared_from_this<StubFactory::StubCreator<Stub>> {
 public:
  using Callback = StubFactory::ResultCallback<Stub>;

  StubCreator(const std::string& client_name, const std::string& endpoint, const ClientContext& context,
              const RetryPolicy& retry, std::chrono::milliseconds timeout, StubFactory& factory,
              const RpcChannelOptions& options, TimerFactory& timers)
      : factory_(factory),
        timers_(timers),
        display_name_("RpcStubCreator[" + Stub::ShortServiceName() + ", " + endpoint + ", " + client_name + "]"),
        client_name_(client_name),
        endpoint_(endpoint),
        context_(context),
        retry_(retry),
        timeout_(timeout),
        options_(options) {}

  ~StubCreator() {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      channel_.reset();
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kFatal).tag("errorCode:RPC9999").put("Exception in %s: %s", "~StubCreator", e.what());
      std::abort();
    } catch (...) {
      QBX_RPC_LOG(loglevel::kFatal).tag("errorCode:RPC9999").put("Exception in %s", "~StubCreator");
      std::abort();
    }
  }

  void Create(const Callback& callback) {
    QBX_RPC_LOG(loglevel::kDebug).put("%s Initiating stub creation", display_name_.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    if (!callback_) callback_ = callback;
    ScheduleTimeoutTimer();
    DoRequestChannel();
  }

  const std::string& display_name() const { return display_name_; }

 private:
  void ScheduleTimeoutTimer() {
    if (timeout_.count() > 0) {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Scheduling stub creation timeout of %li ms", display_name_.c_str(),
                                        static_cast<long>(timeout_.count()));
      std::weak_ptr<StubCreator> weak = this->weak_from_this();
      std::string name = display_name_;
      timeout_timer_ = timers_.Schedule(timeout_, [weak, name] { TimeoutReached_(weak, name); });
    } else {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Stub creation timeout is infinite", display_name_.c_str());
    }
  }

  void DoRequestChannel() {
    QBX_RPC_LOG(loglevel::kDebug).put("%s Requesting new channel", display_name_.c_str());
    auto self = this->shared_from_this();
    auto handler = [self](const boost::system::error_code& error, const std::shared_ptr<RpcChannel>& channel) {
      self->OnChannel(error, channel);
    };
    const net::Endpoint endpoint(endpoint_);
    auto creator = std::make_shared<ChannelCreator>(endpoint, Stub::FullServiceName(), factory_.channel_factory(),
                                                    options_, handler);
    creator->Create(factory_.transport());
  }

  bool RequestChannel() {
    if (factory_.transport().IsShutdown()) {
      QBX_RPC_LOG(loglevel::kWarning).put("%s Transport is shutdown. Not scheduling channel request.",
                                          display_name_.c_str());
      return false;
    }
    const int64_t delay = retry_.NextDelay();
    if (delay < 0) {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Maximum number of attempts reached", display_name_.c_str());
      return false;
    }
    QBX_RPC_LOG(loglevel::kDebug).put("%s Scheduling channel request in %li ms", display_name_.c_str(),
                                      static_cast<long>(delay));
    auto self = this->shared_from_this();
    retry_timer_ = timers_.Schedule(std::chrono::milliseconds(delay), [self] { self->RequestRpcChannel(); });
    return true;
  }

  void RequestRpcChannel() {
    std::lock_guard<std::mutex> lock(mutex_);
    DoRequestChannel();
  }

  void OnChannel(const boost::system::error_code& error, const std::shared_ptr<RpcChannel>& channel) {
    QBX_RPC_LOG(loglevel::kDebug).put("%s Got channel callback with status %i-%s", display_name_.c_str(),
                                      error.value(), error.message().c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    answered_ = true;
    if (!error) {
      channel_ = channel;
      timeout_timer_.reset();
    }
    if (timed_out_) {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Ignoring channel callback - already timed out", display_name_.c_str());
      if (!error && channel_) {
        QBX_RPC_LOG(loglevel::kWarning).put("%s Close Channel - Active handler invoked after stub timeout",
                                            display_name_.c_str());
        auto late = std::move(channel_);
        channel_.reset();
        late->Close(CloseReason::kStubTimeout);
      }
      return;
    }
    if (error || !channel_) {
      answered_ = false;
      if (RequestChannel()) return;
      answered_ = true;
      PostCallback(std::nullopt, StubCreationStatus::kFailed);
      return;
    }
    std::shared_ptr<RpcChannel> owned = std::move(channel_);
    channel_.reset();
    PostCallback(Stub(client_name_, endpoint_, context_, std::move(owned)), StubCreationStatus::kCreated);
  }

  static void TimeoutReached_(const std::weak_ptr<StubCreator>& weak, const std::string& name) {
    auto self = weak.lock();
    if (!self) {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Ignoring timeout callback - already destroyed", name.c_str());
      return;
    }
    self->TimeoutReached();
  }

  void TimeoutReached() {
    QBX_RPC_LOG(loglevel::kDebug).put("%s Timeout reached (%li ms)", display_name_.c_str(),
                                      static_cast<long>(timeout_.count()));
    std::lock_guard<std::mutex> lock(mutex_);
    timed_out_ = true;
    if (answered_) {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Ignoring timeout callback - already done", display_name_.c_str());
      return;
    }
    PostCallback(std::nullopt, StubCreationStatus::kFailed);
  }

  // Called with the mutex held. The callback can be taken only once, so a result can be
  // posted only once, whatever races between an answer and the time-out.
  void PostCallback(std::optional<Stub> stub, StubCreationStatus status) {
    if (status == StubCreationStatus::kCreated) {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Successfully created stub", display_name_.c_str());
    } else {
      QBX_RPC_LOG(loglevel::kDebug).put("%s Failed to create stub in time", display_name_.c_str());
    }
    Callback callback = std::move(callback_);
    callback_ = nullptr;
    if (!callback) return;
    factory_.dispatcher().Post([callback = std::move(callback), stub = std::move(stub), status] {
      callback(stub, status);
    });
  }

  StubFactory& factory_;
  TimerFactory& timers_;
  std::mutex mutex_;
  const std::string display_name_;
  const std::string client_name_;
  const std::string endpoint_;
  const ClientContext context_;
  RetryPolicy retry_;
  const std::chrono::milliseconds timeout_;
  Callback callback_;
  bool timed_out_ = false;
  std::shared_ptr<Timer> retry_timer_;
  std::shared_ptr<Timer> timeout_timer_;
  bool answered_ = false;
  std::shared_ptr<RpcChannel> channel_;
  const RpcChannelOptions options_;
};

template <class Stub>
void StubFactory::create(const std::string& client_name, const std::string& endpoint,
                         const ResultCallback<Stub>& callback) {
  create<Stub>(client_name, endpoint, ClientContext(), callback, NoRetry(), RpcChannelOptions{1, 0, 0},
               std::chrono::milliseconds(-1));
}

template <class Stub>
void StubFactory::create(const std::string& client_name, const std::string& endpoint, const ClientContext& context,
                         const ResultCallback<Stub>& callback, const RetryPolicy& retry,
                         const RpcChannelOptions& options, std::chrono::milliseconds timeout) {
  auto creator = std::make_shared<StubCreator<Stub>>(client_name, endpoint, context, retry, timeout, *this, options,
                                                     timers());
  creator->Create(callback);
}

}  // namespace rpc
}  // namespace qbx
