// The server side of one incoming call of the messaging channel's RPC services, kept open
// until the application answers it.
//
// The call handle is reference-counted (boost::intrusive_ptr) and shared between the
// service that received the call and the application layer's call-handle map. Its writer
// completes the call exactly once: Last with the reply, or Error with an application
// status. A handle released without an answer answers ABORTED itself, so that no peer is
// left waiting for a call that nobody can complete any more.
//
// Threading: the writer may be used from any thread; the first completion wins, later ones
// return false.
#pragma once

#include <boost/intrusive_ptr.hpp>

#include <mutex>
#include <string>

#include <grpcpp/grpcpp.h>

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
class GrpcUnaryCallHandle : public ServerCallHandle<Reply>, private ServerStreamWriter<Reply> {
 public:
  GrpcUnaryCallHandle(grpc::CallbackServerContext* context, Reply* response, grpc::ServerUnaryReactor* reactor)
      : context_(context), response_(response), reactor_(reactor) {}
  ~GrpcUnaryCallHandle() override { Error(rpc::AppStatus::ABORTED); }

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

  grpc::CallbackServerContext* const context_;
  Reply* const response_;
  grpc::ServerUnaryReactor* const reactor_;
  mutable std::mutex mutex_;
  bool done_ = false;
};

// The caller's identity that the RPC layer puts in the call's metadata (empty when absent).
std::string CallerIdFromContext(const grpc::CallbackServerContext* context);

}  // namespace qbx
