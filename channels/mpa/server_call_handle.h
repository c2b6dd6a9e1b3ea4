// The server side of one incoming call of the messaging channel's RPC services, kept open
// until the application answers it.
//
// The call handle is reference-counted (boost::intrusive_ptr) and shared between the
// service that received the call and the application layer's call-handle map. Its writer
// completes the call exactly once: Last with the reply, or Error with an application
// status. A handle released without an answer answers ABORTED itself, so that no peer is
// left waiting for a call that nobody can complete any more. A handle made with its
// service's open-call set is also ended ABORTED when the server shuts down (a gRPC
// shutdown waits for every call), and at once when that set is already closed.
//
// Threading: the writer may be used from any thread; the first completion wins, later ones
// return false.
#pragma once

#include <boost/intrusive_ptr.hpp>

#include <memory>
#include <mutex>
#include <string>

#include <grpcpp/grpcpp.h>

#include "platform/rpc/open_calls.h"
#include "platform/rpc/status.h"
#include "platform/runtime/ref_counted.h"

namespace qbx {

template <class Reply>
class ServerStreamWriter {
 public:
  virtual ~ServerStreamWriter() = default;
  virtual bool Last(const Reply& reply) = 0;
  virtual bool Error(rpc::AppStatus status) = 0;
};

template <class Reply>
class ServerCallHandle : public RefCounted<ServerCallHandle<Reply>> {
 public:
  virtual ServerStreamWriter<Reply>* writer() = 0;
  virtual bool IsCompleted() const = 0;
};

template <class Reply>
using ServerCallHandlePtr = boost::intrusive_ptr<ServerCallHandle<Reply>>;

// The handle of a gRPC callback-API unary call.
template <class Reply>
class GrpcUnaryCallHandle : public ServerCallHandle<Reply>,
                            private ServerStreamWriter<Reply>,
                            private rpc::OpenCall {
 public:
  GrpcUnaryCallHandle(grpc::CallbackServerContext* context, Reply* response, grpc::ServerUnaryReactor* reactor,
                      std::shared_ptr<rpc::OpenCalls> openCalls = nullptr)
      : context_(context), response_(response), reactor_(reactor), openCalls_(std::move(openCalls)) {
    if (openCalls_ && !openCalls_->Add(this)) {
      openCalls_.reset();
      Error(rpc::AppStatus::ABORTED);  // the server is shutting down
    }
  }
  ~GrpcUnaryCallHandle() override {
    if (openCalls_) openCalls_->Remove(this);  // first: a shutdown may be ending this call right now
    Error(rpc::AppStatus::ABORTED);
  }

  ServerStreamWriter<Reply>* writer() override { return this; }
  bool IsCompleted() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }

 private:
  bool Last(const Reply& reply) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return false;
    done_ = true;
    *response_ = reply;
    reactor_->Finish(grpc::Status::OK);
    return true;
  }
  bool Error(rpc::AppStatus status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return false;
    done_ = true;
    const char* text = status == rpc::AppStatus::ABORTED ? "aborted" : "application error";
    reactor_->Finish(rpc::Status::ToGrpc(rpc::Status(status, text), context_));
    return true;
  }

  void EndForShutdown() override { Error(rpc::AppStatus::ABORTED); }

  grpc::CallbackServerContext* const context_;
  Reply* const response_;
  grpc::ServerUnaryReactor* const reactor_;
  std::shared_ptr<rpc::OpenCalls> openCalls_;
  mutable std::mutex mutex_;
  bool done_ = false;
};

// The caller's identity that the RPC layer puts in the call's metadata (empty when absent).
std::string CallerIdFromContext(const grpc::CallbackServerContext* context);

}  // namespace qbx
