#include "channels/status/provider_communicator.h"

#include <exception>

#include "base/logger.h"
#include "channels/status/provider_rpc_qbx.h"
#include "channels/status/status_types.h"

namespace qbx::StatusSource {

namespace mon = zumbra::qbx::monitoring;

// One per stream. Holds the link weakly (the transport may deliver after the link is
// gone) and its own stream, so that the end of an old call touches only that call.
class ProviderCommunicator::RegisterStatusSourceObserver : public ProviderStreamObserver {
 public:
  explicit RegisterStatusSourceObserver(std::weak_ptr<ProviderCommunicator> link) : link_(std::move(link)) {}

  void SetStream(const std::shared_ptr<ProviderStream>& stream) { stream_ = stream; }

  void Next(const MonitoringStatusProviderMsg& msg) override {
    auto link = link_.lock();
    auto stream = stream_.lock();
    if (!link || !stream) {
      QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("ProviderCommunicator has been destroyed already");
      return;
    }
    link->OnInbound(stream, msg);
  }

  void RemoteStatus(const std::string& status) override {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("RegisterStatusSource RemoteStatus %s", status.c_str());
  }

  void CallStatus(const std::string& status) override {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("RegisterStatusSource CallStatus %s", status.c_str());
    auto stream = stream_.lock();
    if (stream) stream->Done();
    if (auto link = link_.lock()) {
      if (stream) link->OnCallEnded(stream);
    }
  }

 private:
  std::weak_ptr<ProviderCommunicator> link_;
  std::weak_ptr<ProviderStream> stream_;
};

RetryPolicy ProviderCommunicator::DefaultRetryPolicy() {
  return RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(5000), 2.0,
                     RetryPolicy::kUnlimitedAttempts);
}

RetryPolicy ProviderCommunicator::StubRetryPolicy() { return DefaultRetryPolicy(); }

ProviderCommunicator::ProviderCommunicator(AsioQbxProvider& provider, ProviderMessageHandler& handler,
                                           const std::string& endpoint, RpcFactory rpcFactory)
    : provider_(provider),
      handler_(handler),
      endpoint_(endpoint),
      retry_policy_(StubRetryPolicy()),
      rpc_factory_(std::move(rpcFactory)) {
  if (!rpc_factory_) {
    rpc_factory_ = [](AsioQbxProvider& p) -> std::unique_ptr<ProviderRpc> {
      return std::make_unique<QbxProviderRpc>(p, StubRetryPolicy());
    };
  }
}

ProviderCommunicator::~ProviderCommunicator() {
  if (retry_timer_) retry_timer_->Cancel();
  if (stream_) stream_->Cancel();
  stream_.reset();
  stub_.reset();
  rpc_.reset();
}

void ProviderCommunicator::Start() {
  rpc_ = rpc_factory_(provider_);
  KeepConnection(endpoint_);
}

void ProviderCommunicator::Stop() {
  if (retry_timer_) {
    retry_timer_->Cancel();
    retry_timer_.reset();
  }
  if (stream_) {
    stream_->Done();
    DropStream(true);
  }
  connected_ = false;
  if (rpc_) {
    const int status = rpc_->TeardownConnection(endpoint_);
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Connection teardown: %d", status);
    rpc_.reset();
  }
  stub_.reset();
}

void ProviderCommunicator::KeepConnection(const std::string& endpoint) {
  std::weak_ptr<ProviderCommunicator> weak = weak_from_this();
  ProviderConnectionCallbacks callbacks;
  callbacks.onUp = [weak](const std::string& info) {
    if (auto self = weak.lock()) {
      self->OnConnectionUp(info);
    } else {
      QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("ProviderCommunicator has been destroyed already");
    }
  };
  callbacks.onClosed = [weak](const std::string& ep, const std::string& reason) {
    if (auto self = weak.lock()) {
      self->OnConnectionClosed(ep, reason);
    } else {
      QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("ProviderCommunicator has been destroyed already");
    }
  };
  if (rpc_->RequestConnection(endpoint, callbacks)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Requesting connection to (%s)", endpoint.c_str());
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Connection keeper already present for endpoint (%s)",
                                                   endpoint.c_str());
  }
}

void ProviderCommunicator::OnConnectionUp(const std::string& connectionInfo) {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Connection Up with endpoint (%s)", connectionInfo.c_str());
  connected_ = true;
  ScheduleStubCreate();
}

void ProviderCommunicator::OnConnectionClosed(const std::string& endpoint, const std::string& reason) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("Connection Closed  with endpoint (%s), reason (%s)", endpoint.c_str(), reason.c_str());
  connected_ = false;
  if (retry_timer_) {
    retry_timer_->Cancel();
    retry_timer_.reset();
  }
  // Whatever is written to the old stream from now on would be lost with it.
  if (stream_) DropStream(true);
}

void ProviderCommunicator::ScheduleStubCreate() {
  if (!rpc_) return;
  ++stub_seq_;
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("Scheduling stub create for MonitoringProviderService with seq: %ld", static_cast<long>(stub_seq_));
  std::weak_ptr<ProviderCommunicator> weak = weak_from_this();
  const uint64_t seq = stub_seq_;
  rpc_->CreateStub(endpoint_, std::chrono::milliseconds(stub_creation_timeout_ * 1000),
                   [weak, seq](std::shared_ptr<ProviderStub> stub, int status) {
                     if (auto self = weak.lock()) {
                       self->StubCreateDone(seq, stub, status);
                     } else {
                       QBX_LOG(loglevel::kWarning)
                           .subcomp(kSubcomp)
                           .put("ProviderCommunicator has been destroyed already");
                     }
                   });
}

void ProviderCommunicator::ScheduleStubRetry() {
  if (retry_timer_) retry_timer_->Cancel();
  std::weak_ptr<ProviderCommunicator> weak = weak_from_this();
  retry_timer_ = provider_.timers().Schedule(std::chrono::seconds(kStubRetrySeconds), [weak] {
    if (auto self = weak.lock()) {
      self->retry_timer_.reset();
      if (self->connected_) self->ScheduleStubCreate();
    }
  });
}

void ProviderCommunicator::StubCreateDone(uint64_t seq, const std::shared_ptr<ProviderStub>& stub, int status) {
  if (stub_seq_ > seq) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("StubCreateDone called with with seq: %ld. Higher sequence number already handled. Current seq: %ld",
             static_cast<long>(seq), static_cast<long>(stub_seq_));
    return;
  }
  retry_policy_.Reset();
  if (status != 0 || !stub) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("(%s) Stub creation failed. Current seq: %ld. Retrying", name_.c_str(), static_cast<long>(stub_seq_));
    if (!connected_) return;
    ScheduleStubRetry();
    return;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("(%s) Stub created successfully. Current seq: %ld", name_.c_str(), static_cast<long>(stub_seq_));
  stub_ = stub;
  std::weak_ptr<ProviderCommunicator> weak = weak_from_this();
  stub_->SetOnStreamDown([weak](const std::string& reason) {
    if (auto self = weak.lock()) self->OnStubDown(reason);
  });
  auto observer = std::make_shared<RegisterStatusSourceObserver>(weak);
  auto stream = stub_->RegisterStatusSource(observer);
  if (stream_ && stream_ != stream) DropStream(true);
  if (!stream) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("(%s) Stub creation failed. Current seq: %ld. Retrying", name_.c_str(), static_cast<long>(stub_seq_));
    if (connected_) ScheduleStubRetry();
    return;
  }
  observer->SetStream(stream);
  stream_ = stream;
  MonitoringStatusSourceMsg announce;
  announce.set_msg_type(MonitoringStatusSourceMsg::REGISTER);
  if (!stream_->Next(announce)) {
    DropStream(true);
    if (connected_) ScheduleStubRetry();
    return;
  }
  handler_.OnStreamReady();
}

void ProviderCommunicator::OnStubDown(const std::string& reason) {
  // The end of the stream's call follows and is handled there (OnCallEnded).
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Stub down (%s)", reason.c_str());
}

void ProviderCommunicator::DropStream(bool cancel) {
  auto old = std::move(stream_);
  stream_.reset();
  if (old && cancel) old->Cancel();
  handler_.OnStreamLost();
}

void ProviderCommunicator::OnCallEnded(const std::shared_ptr<ProviderStream>& stream) {
  if (stream != stream_) return;  // an old call; the current stream is not affected
  DropStream(false);
  // The provider ended the stream while the connection may still be up: open a new one.
  if (connected_) ScheduleStubRetry();
}

void ProviderCommunicator::OnInbound(const std::shared_ptr<ProviderStream>& stream,
                                     const MonitoringStatusProviderMsg& msg) {
  if (!msg.has_msg_type()) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Inbound message from provider doesn't contain msg_type");
    return;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("Handling %s message from provider", mon::MonitoringStatusProviderMsg_MsgType_Name(msg.msg_type()).c_str());
  switch (msg.msg_type()) {
    case MonitoringStatusProviderMsg::FULL_SYNC_REQUEST: {
      MonitoringStatusSourceMsg out;
      out.set_msg_type(MonitoringStatusSourceMsg::FULL_SYNC_RESPONSE);
      auto* response = out.mutable_full_sync_response_msg();
      const bool result = handler_.FullSync(*response, msg);
      response->set_result(result);
      // The answer belongs to the stream that asked.
      if (!stream->Next(out)) {
        QBX_LOG(loglevel::kWarning)
            .subcomp(kSubcomp)
            .put("Error sending status report to provider. %s", "full sync response not written");
      }
      break;
    }
    case MonitoringStatusProviderMsg::START_PERIODIC_POLL:
      handler_.StartPeriodicPoll();
      break;
    case MonitoringStatusProviderMsg::POLLING_CONFIG:
      handler_.PollCfgMsgHandler(msg, false);
      break;
    default:
      break;
  }
}

bool ProviderCommunicator::SendStatusReport(const MonitoringStatusSourceMsg& msg) {
  if (!stream_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Stale stream: skipping reporting.");
    return false;
  }
  try {
    if (!stream_->Next(msg)) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("Error sending status report to provider. %s", "stream closed or send queue full");
      return false;
    }
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Error sending status report to provider. %s", e.what());
    return false;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sent status report to provider.");
  return true;
}

}  // namespace qbx::StatusSource
