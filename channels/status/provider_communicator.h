// The link from the status source to the local monitoring provider: keeps a connection to
// the provider's endpoint, creates a stub each time the connection comes up, opens the
// RegisterStatusSource stream, announces the source on it, writes status reports and
// heartbeats to it, and hands the provider's requests to the status source.
//
// A report is only accepted while the current stream is known to be open: the stream is
// dropped as soon as its connection closes, the stub reports it down or its call ends, so
// nothing is counted as sent on a dead stream. When the current stream ends while the
// connection stays up, a new one is opened after the retry delay.
//
// Threading: every operation and callback runs on the status source's provider thread; the
// link takes no lock. Callbacks handed to the transport hold the link weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "channels/status/provider_message_handler.h"
#include "channels/status/provider_rpc.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/retry_policy.h"

namespace qbx::StatusSource {

class ProviderCommunicatorFacade {
 public:
  virtual ~ProviderCommunicatorFacade() = default;
  virtual bool SendStatusReport(const MonitoringStatusSourceMsg& msg) = 0;
};

class ProviderCommunicator : public ProviderCommunicatorFacade,
                             public std::enable_shared_from_this<ProviderCommunicator> {
 public:
  using RpcFactory = std::function<std::unique_ptr<ProviderRpc>(AsioQbxProvider&)>;
  static constexpr const char* kName = "StatusSource";
  static constexpr int64_t kStubCreationTimeoutSeconds = 30;
  static constexpr int64_t kStubRetrySeconds = 5;

  // `rpcFactory` builds the transport at every Start; empty means the platform RPC layer.
  ProviderCommunicator(AsioQbxProvider& provider, ProviderMessageHandler& handler, const std::string& endpoint,
                       RpcFactory rpcFactory = RpcFactory());
  ~ProviderCommunicator() override;
  ProviderCommunicator(const ProviderCommunicator&) = delete;
  ProviderCommunicator& operator=(const ProviderCommunicator&) = delete;

  static RetryPolicy DefaultRetryPolicy();
  static RetryPolicy StubRetryPolicy();

  // Must be owned by a shared pointer when started.
  void Start();
  void Stop();
  bool SendStatusReport(const MonitoringStatusSourceMsg& msg) override;

  void OnConnectionUp(const std::string& connectionInfo);
  void OnConnectionClosed(const std::string& endpoint, const std::string& reason);
  void StubCreateDone(uint64_t seq, const std::shared_ptr<ProviderStub>& stub, int status);
  void OnStubDown(const std::string& reason);

  // Called by the stream observers.
  void OnInbound(const std::shared_ptr<ProviderStream>& stream, const MonitoringStatusProviderMsg& msg);
  void OnCallEnded(const std::shared_ptr<ProviderStream>& stream);

  bool IsConnected() const { return connected_; }
  bool HasStream() const { return stream_ != nullptr; }
  uint64_t StubSequence() const { return stub_seq_; }

 private:
  class RegisterStatusSourceObserver;

  void KeepConnection(const std::string& endpoint);
  void ScheduleStubCreate();
  void ScheduleStubRetry();
  // Forgets the current stream (its writes can no longer be trusted) and tells the source.
  void DropStream(bool cancel);

  AsioQbxProvider& provider_;
  ProviderMessageHandler& handler_;
  const std::string endpoint_;
  const std::string name_ = kName;
  const int64_t stub_creation_timeout_ = kStubCreationTimeoutSeconds;
  RetryPolicy retry_policy_;
  RpcFactory rpc_factory_;
  std::unique_ptr<ProviderRpc> rpc_;
  std::shared_ptr<ProviderStub> stub_;
  bool connected_ = false;
  std::shared_ptr<ProviderStream> stream_;
  std::shared_ptr<Timer> retry_timer_;
  uint64_t stub_seq_ = 0;
};

}  // namespace qbx::StatusSource
