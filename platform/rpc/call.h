// Client calls: observers, the call engine, call handles and stream writers.
//
// Every call, whatever its kind (unary, server stream, client stream), runs as one gRPC
// bidirectional stream of serialised messages; the method's kind only decides how many
// messages each side sends. The events of a call (each response, then the final status)
// are queued in order and delivered on the channel's dispatcher, one at a time, never inside
// the call that started them. At most kMaxBacklog responses wait for delivery: beyond
// that, reading from the peer pauses until the dispatcher catches up. At most
// kMaxQueuedWrites requests wait to be written; a writer refuses more.
//
// An observer is handed over as a raw pointer: it receives Next for each response and
// CallStatus exactly once, and may delete itself in CallStatus. An observer whose call can
// no longer deliver (its provider stopped) is deleted without CallStatus.
//
// Threading: handles and writers may be used from any thread. The engine's state is
// guarded by its mutex, which is never held while gRPC operations are started or while an
// observer runs.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <grpcpp/client_context.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/support/byte_buffer.h>
#include <grpcpp/support/client_callback.h>

#include "platform/rpc/rpc_channel.h"
#include "platform/rpc/rpc_log.h"
#include "platform/rpc/status.h"

namespace qbx {
namespace rpc {

template <class Response>
class CallObserver {
 public:
  virtual ~CallObserver() = default;
  virtual void Next(const Response& response) = 0;
  virtual void RemoteStatus(const Status& status) { (void)status; }
  virtual void CallStatus(const Status& status) = 0;
};

namespace detail {

// What the engine delivers to, in order, on the dispatcher.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Returns an application status: 0, or the code the call is cancelled for.
  virtual uint32_t OnMessage(const std::string& payload) = 0;
  virtual void OnDone(const Status& status) = 0;
};

class CallCore : public grpc::ClientBidiReactor<grpc::ByteBuffer, grpc::ByteBuffer>,
                 public std::enable_shared_from_this<CallCore> {
 public:
  static constexpr size_t kMaxBacklog = 256;
  static constexpr size_t kMaxQueuedWrites = 4096;

  // Starts a call of `method` ("Name", resolved against the channel's service). A call over
  // a missing or closed channel ends at once, posted, with kUnavailable.
  static std::shared_ptr<CallCore> Start(const std::shared_ptr<RpcChannel>& channel, std::string_view method,
                                         const ClientContext& context, std::unique_ptr<EventSink> sink);

  // Queues one request; false when the writing side is closed or the queue is full.
  bool Write(std::string payload);
  // Closes the writing side once the queued requests are written.
  bool WritesDone();
  void Cancel();
  // StatusCode::kPending until the call has ended.
  Status status() const;

  // Reactions (gRPC threads).
  void OnReadDone(bool ok) override;
  void OnWriteDone(bool ok) override;
  void OnWritesDoneDone(bool ok) override;
  void OnDone(const grpc::Status& status) override;

  ~CallCore() override;

 private:
  struct Event {
    bool done = false;
    std::string payload;
    Status status;
  };

  CallCore(std::shared_ptr<Dispatcher> dispatcher, std::unique_ptr<EventSink> sink, std::string method);
  void Push(Event event);
  void Drain();
  // Starts the next write or the half-close when due; called without the mutex.
  void PumpWrites();

  const std::shared_ptr<Dispatcher> dispatcher_;
  std::unique_ptr<EventSink> sink_;  // used only by the drain (one at a time)
  const std::string method_;
  std::unique_ptr<grpc::GenericStub> stub_;
  grpc::ClientContext context_;
  grpc::ByteBuffer read_buffer_;
  grpc::ByteBuffer write_buffer_;
  std::shared_ptr<CallCore> self_;  // keeps the reactor alive until OnDone

  mutable std::mutex mutex_;  // guards everything below
  bool started_ = false;
  std::deque<std::string> writes_;
  bool writing_ = false;
  bool writes_closed_ = false;     // no more requests accepted
  bool writes_done_sent_ = false;
  bool write_hold_ = false;
  bool read_paused_ = false;
  bool reads_ended_ = false;
  size_t backlog_ = 0;
  std::deque<Event> events_;
  bool draining_ = false;
  Status final_ = Status::Pending();
};

}  // namespace detail

// Turns raw events into typed observer calls, and keeps a throwing observer from leaving.
template <class Response>
class CallObserverInvokerImpl : public detail::EventSink {
 public:
  CallObserverInvokerImpl(CallObserver<Response>* observer, std::string method)
      : observer_(observer), method_(std::move(method)) {}
  ~CallObserverInvokerImpl() override {
    if (!finished_) delete observer_;
  }

  uint32_t OnMessage(const std::string& payload) override { return RunNext(payload); }
  void OnDone(const Status& status) override { RunCallStatus(status); }

  uint32_t RunNext(const std::string& payload) {
    if (finished_ || observer_ == nullptr) return 0;
    Response response;
    if (!response.ParseFromString(payload)) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC400").put("Failed to parse payload (%zu bytes) for %s",
                                                                 payload.size(), method_.c_str());
      return StatusCode::kParseFailed;
    }
    try {
      observer_->Next(response);
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put("Exception occurred in Observer::Next for %s: %s",
                                                                 method_.c_str(), e.what());
      return StatusCode::kObserverFailed;
    } catch (...) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put("Exception occurred in Observer::Next for %s",
                                                                 method_.c_str());
      return StatusCode::kObserverFailed;
    }
    return 0;
  }

  uint32_t RunRemoteStatus(const Status& status) {
    if (finished_ || observer_ == nullptr) return 0;
    try {
      observer_->RemoteStatus(status);
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put(
          "Exception occurred in Observer::RemoteStatus for %s: %s", method_.c_str(), e.what());
      return StatusCode::kObserverFailed;
    } catch (...) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put(
          "Exception occurred in Observer::RemoteStatus for %s", method_.c_str());
      return StatusCode::kObserverFailed;
    }
    return 0;
  }

  uint32_t RunCallStatus(const Status& status) {
    if (finished_ || observer_ == nullptr) return 0;
    finished_ = true;  // the observer may delete itself now
    try {
      observer_->CallStatus(status);
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put(
          "Exception occurred in Observer::CallStatus for %s: %s", method_.c_str(), e.what());
      return StatusCode::kObserverFailed;
    } catch (...) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put("Exception occurred in Observer::CallStatus for %s",
                                                                 method_.c_str());
      return StatusCode::kObserverFailed;
    }
    return 0;
  }

 private:
  CallObserver<Response>* observer_;
  const std::string method_;
  bool finished_ = false;
};

template <class Request>
class StreamWriterImpl {
 public:
  explicit StreamWriterImpl(std::shared_ptr<detail::CallCore> core) : core_(std::move(core)) {}
  // Writes one request; false when the stream is closed or its queue is full.
  bool Next(const Request& message) { return core_->Write(message.SerializeAsString()); }
  // Writes the last request and closes the writing side.
  bool Last(const Request& message) { return Next(message) && core_->WritesDone(); }
  // Closes the writing side.
  bool Done() { return core_->WritesDone(); }
  // A client has no status to send: an error ends the call.
  void Error(const Status& status) {
    (void)status;
    core_->Cancel();
  }

 private:
  std::shared_ptr<detail::CallCore> core_;
};

template <class Request>
class CallHandleImpl {
 public:
  explicit CallHandleImpl(std::shared_ptr<detail::CallCore> core) : core_(core), writer_(core) {}
  Status status() const { return core_->status(); }
  StreamWriterImpl<Request>* writer() { return &writer_; }
  void Cancel() { core_->Cancel(); }

 private:
  std::shared_ptr<detail::CallCore> core_;
  StreamWriterImpl<Request> writer_;
};

namespace client {

// A call whose requests the caller writes through the handle's writer; the caller must end
// the writing side (Done/Last) or cancel.
template <class Request, class Response>
std::shared_ptr<CallHandleImpl<Request>> AsyncStreamingCall(const std::shared_ptr<RpcChannel>& channel,
                                                            std::string_view method,
                                                            const ClientContext& context,
                                                            CallObserver<Response>* observer) {
  std::string name = channel ? channel->MethodPath(method) : std::string(method);
  auto sink = std::make_unique<CallObserverInvokerImpl<Response>>(observer, name);
  auto core = detail::CallCore::Start(channel, method, context, std::move(sink));
  return std::make_shared<CallHandleImpl<Request>>(core);
}

// Writes `requests` in order while the call has no final status, then closes the writing
// side.
template <class Request, class Response, class List>
std::shared_ptr<CallHandleImpl<Request>> AsyncBatchCall(const std::shared_ptr<RpcChannel>& channel,
                                                        std::string_view method, const ClientContext& context,
                                                        const List& requests, CallObserver<Response>* observer) {
  auto handle = AsyncStreamingCall<Request, Response>(channel, method, context, observer);
  for (const auto& request : requests) {
    if (handle->status().code() != StatusCode::kPending) break;
    if (!handle->writer()->Next(request)) {
      handle->Cancel();
      break;
    }
  }
  handle->writer()->Done();
  return handle;
}

// A call with one request: unary methods and server streams.
template <class Request, class Response>
std::shared_ptr<CallHandleImpl<Request>> AsyncCall(const std::shared_ptr<RpcChannel>& channel,
                                                   std::string_view method, const ClientContext& context,
                                                   const Request& request, CallObserver<Response>* observer) {
  auto handle = AsyncStreamingCall<Request, Response>(channel, method, context, observer);
  handle->writer()->Last(request);
  return handle;
}

}  // namespace client
}  // namespace rpc
}  // namespace qbx
