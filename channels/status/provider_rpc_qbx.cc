#include "channels/status/provider_rpc_qbx.h"

#include <optional>

#include "core/stub_creator.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/call.h"
#include "platform/rpc/stub.h"
#include "zumbra/qbx/monitoring/monitoring_provider.grpc.pb.h"

namespace qbx::StatusSource {

namespace mon = zumbra::qbx::monitoring;

namespace {

using MonitoringStub = rpc::Stub<mon::MonitoringProviderService>;

// Allocated per call; forwards to the link's observer and deletes itself with the call's
// final status, as the RPC layer expects of its observers.
class ObserverAdapter : public rpc::CallObserver<mon::MonitoringStatusProviderMsg> {
 public:
  explicit ObserverAdapter(std::shared_ptr<ProviderStreamObserver> observer) : observer_(std::move(observer)) {}
  void Next(const mon::MonitoringStatusProviderMsg& msg) override { observer_->Next(msg); }
  void RemoteStatus(const rpc::Status& status) override { observer_->RemoteStatus(status.ToString()); }
  void CallStatus(const rpc::Status& status) override {
    std::unique_ptr<ObserverAdapter> self(this);
    observer_->CallStatus(status.ToString());
  }

 private:
  std::shared_ptr<ProviderStreamObserver> observer_;
};

class QbxStream : public ProviderStream {
 public:
  using Handle = std::shared_ptr<rpc::CallHandleImpl<mon::MonitoringStatusSourceMsg>>;
  explicit QbxStream(Handle handle) : handle_(std::move(handle)) {}

  bool Next(const mon::MonitoringStatusSourceMsg& msg) override { return handle_->writer()->Next(msg); }
  void Done() override { handle_->writer()->Done(); }
  void Cancel() override { handle_->Cancel(); }
  bool IsOpen() const override { return handle_->status().code() == rpc::StatusCode::kPending; }

 private:
  Handle handle_;
};

class QbxStub : public ProviderStub {
 public:
  explicit QbxStub(MonitoringStub stub) : stub_(std::move(stub)) {}

  void SetOnStreamDown(std::function<void(const std::string& reason)> cb) override {
    stub_.SetOnStreamDown([cb](rpc::CloseReason reason) {
      if (cb) cb(rpc::CloseReasonToCStr(reason));
    });
  }

  std::shared_ptr<ProviderStream> RegisterStatusSource(std::shared_ptr<ProviderStreamObserver> observer) override {
    auto* adapter = new ObserverAdapter(std::move(observer));
    auto handle = rpc::client::AsyncStreamingCall<mon::MonitoringStatusSourceMsg, mon::MonitoringStatusProviderMsg>(
        stub_.channel(), "RegisterStatusSource", stub_.context(), adapter);
    return std::make_shared<QbxStream>(std::move(handle));
  }

 private:
  MonitoringStub stub_;
};

}  // namespace

QbxProviderRpc::QbxProviderRpc(AsioQbxProvider& provider, const RetryPolicy& retry)
    : provider_(provider), retry_(retry) {}

QbxProviderRpc::~QbxProviderRpc() = default;

bool QbxProviderRpc::RequestConnection(const std::string& endpoint, const ProviderConnectionCallbacks& callbacks) {
  if (!manager_) manager_ = std::make_unique<rpc::ConnectionManager>(provider_.rpc());
  rpc::ConnectionParams params;
  params.retry_policy = retry_;
  params.reconnect_policy = rpc::ReconnectPolicy(rpc::ReconnectPolicy::ReconnectBehavior::kReconnect, retry_);
  params.connection_options.connect_timeout = std::chrono::milliseconds(2000);
  params.connected_callback = [cb = callbacks.onUp](const rpc::ConnectionInfo& info) {
    if (cb) cb(info.to_string());
  };
  params.closed_callback = [cb = callbacks.onClosed](const net::Endpoint& ep, rpc::CloseReason reason) {
    if (cb) cb(ep.uri(), rpc::CloseReasonToCStr(reason));
  };
  return manager_->RequestConnection(net::Endpoint(endpoint), params);
}

int QbxProviderRpc::TeardownConnection(const std::string& endpoint) {
  if (!manager_) return 1;
  return manager_->TearDownConnection(net::Endpoint(endpoint));
}

void QbxProviderRpc::CreateStub(const std::string& endpoint, std::chrono::milliseconds timeout,
                                std::function<void(std::shared_ptr<ProviderStub> stub, int status)> done) {
  rpc::RpcChannelOptions options;
  options.value = 1;
  auto creator = std::make_shared<rpc::StubFactory::StubCreator<MonitoringStub>>(
      kStubName, endpoint, rpc::ClientContext(), retry_, timeout, provider_.rpc().stub_factory(), options,
      provider_.timers());
  creator->Create([done](const std::optional<MonitoringStub>& stub, rpc::StubCreationStatus status) {
    if (status == rpc::StubCreationStatus::kCreated && stub) {
      done(std::make_shared<QbxStub>(*stub), 0);
    } else {
      done(nullptr, static_cast<int>(status) == 0 ? 1 : static_cast<int>(status));
    }
  });
}

}  // namespace qbx::StatusSource
