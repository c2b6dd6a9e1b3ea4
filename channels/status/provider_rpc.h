// The seam between the monitoring provider link and the RPC transport: a connection keeper
// per endpoint, stub creation, and the RegisterStatusSource stream.
//
// Contract of every implementation (the platform RPC layer one in provider_rpc_qbx.h, test
// doubles):
// - every callback (connection, stub creation, observer, stream down) runs on the provider
//   thread given to the implementation, never inline inside the call that started it;
// - operations are called on that same provider thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "zumbra/qbx/monitoring/monitoring_provider.pb.h"

namespace qbx::StatusSource {

// Receives what happens on one RegisterStatusSource stream.
class ProviderStreamObserver {
 public:
  virtual ~ProviderStreamObserver() = default;
  virtual void Next(const zumbra::qbx::monitoring::MonitoringStatusProviderMsg& msg) = 0;
  virtual void RemoteStatus(const std::string& status) = 0;
  // The call is over; nothing more arrives for this stream.
  virtual void CallStatus(const std::string& status) = 0;
};

// The writing side of one RegisterStatusSource stream.
class ProviderStream {
 public:
  virtual ~ProviderStream() = default;
  // Queues one message. False when the stream has ended, its writing side is done, or its
  // bounded send queue is full: the message was not taken.
  virtual bool Next(const zumbra::qbx::monitoring::MonitoringStatusSourceMsg& msg) = 0;
  // Ends the writing side once the queued messages are written.
  virtual void Done() = 0;
  // Ends the call.
  virtual void Cancel() = 0;
  virtual bool IsOpen() const = 0;
};

class ProviderStub {
 public:
  virtual ~ProviderStub() = default;
  virtual void SetOnStreamDown(std::function<void(const std::string& reason)> cb) = 0;
  // Starts the stream; the observer is kept until its CallStatus has run.
  virtual std::shared_ptr<ProviderStream> RegisterStatusSource(std::shared_ptr<ProviderStreamObserver> observer) = 0;
};

struct ProviderConnectionCallbacks {
  std::function<void(const std::string& connectionInfo)> onUp;
  std::function<void(const std::string& endpoint, const std::string& reason)> onClosed;
};

class ProviderRpc {
 public:
  virtual ~ProviderRpc() = default;
  // True when a new keeper was made for `endpoint`, false when one exists. The keeper
  // reconnects on its own and reports every up and close.
  virtual bool RequestConnection(const std::string& endpoint, const ProviderConnectionCallbacks& callbacks) = 0;
  // Tears the keeper down; the result is a status byte (0 when one was torn down).
  virtual int TeardownConnection(const std::string& endpoint) = 0;
  // Calls `done` exactly once, with the stub and 0, or with null and a failure status when
  // no connection came up within `timeout`.
  virtual void CreateStub(const std::string& endpoint, std::chrono::milliseconds timeout,
                          std::function<void(std::shared_ptr<ProviderStub> stub, int status)> done) = 0;
};

}  // namespace qbx::StatusSource
