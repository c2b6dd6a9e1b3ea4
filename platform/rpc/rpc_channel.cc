#include "platform/rpc/rpc_channel.h"

#include <boost/system/error_code.hpp>
#include <grpcpp/channel.h>
#include <grpcpp/client_context.h>
#include <grpcpp/generic/generic_stub.h>

#include "platform/rpc/byte_buffer.h"
#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace rpc {

namespace health {

std::string EncodeRequest(const std::string& service) {
  // HealthCheckRequest { string service = 1; }
  std::string out;
  out.push_back('\x0a');
  uint64_t n = service.size();
  while (n >= 0x80) {
    out.push_back(static_cast<char>((n & 0x7f) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<char>(n));
  out += service;
  return out;
}

bool DecodeServing(const std::string& response) {
  // HealthCheckResponse { ServingStatus status = 1; }, SERVING = 1. Unknown fields are
  // skipped; anything unreadable counts as not served.
  size_t i = 0;
  auto varint = [&](uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (i >= response.size()) return false;
      const uint8_t b = static_cast<uint8_t>(response[i++]);
      v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  };
  bool serving = false;
  while (i < response.size()) {
    uint64_t key = 0;
    if (!varint(key)) return false;
    const uint64_t field = key >> 3;
    const uint64_t type = key & 7;
    uint64_t v = 0;
    if (type == 0) {
      if (!varint(v)) return false;
      if (field == 1) serving = (v == 1);
    } else if (type == 2) {
      if (!varint(v) || v > response.size() - i) return false;
      i += v;
    } else if (type == 1) {
      if (response.size() - i < 8) return false;
      i += 8;
    } else if (type == 5) {
      if (response.size() - i < 4) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return serving;
}

}  // namespace health

RpcChannel::RpcChannel(const net::Endpoint& endpoint, std::string service, std::shared_ptr<Connection> connection,
                       const RpcChannelOptions& options, std::shared_ptr<Dispatcher> dispatcher,
                       std::chrono::milliseconds check_timeout)
    : endpoint_(endpoint),
      service_(std::move(service)),
      connection_(std::move(connection)),
      options_(options),
      dispatcher_(dispatcher),
      check_timeout_(check_timeout) {}

RpcChannel::~RpcChannel() {
  if (connection_ && connection_listener_ != 0) connection_->RemoveCloseListener(connection_listener_);
}

void RpcChannel::Attach() {
  if (!connection_) return;
  std::weak_ptr<RpcChannel> weak = weak_from_this();
  auto close = [weak](CloseReason reason) {
    if (auto self = weak.lock()) self->Close(reason);
  };
  // A forwarded destination can also end alone, while its peer's connection stays up.
  connection_listener_ = endpoint_.is_forwarded()
                             ? connection_->AddDestinationListener(std::string(endpoint_.id()), std::move(close))
                             : connection_->AddCloseListener(std::move(close));
}

bool RpcChannel::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ && connection_ && connection_->IsOpen();
}

void RpcChannel::AddStreamDownListener(StreamDownListener listener) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (open_) {
    listeners_.push_back(std::move(listener));
    return;
  }
  const CloseReason reason = reason_;
  lock.unlock();
  dispatcher_->Post([listener = std::move(listener), reason] { listener(reason); });
}

void RpcChannel::Close(CloseReason reason) {
  std::vector<StreamDownListener> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    open_ = false;
    reason_ = reason;
    listeners.swap(listeners_);
  }
  for (auto& l : listeners) dispatcher_->Post([l = std::move(l), reason] { l(reason); });
}

std::string RpcChannel::MethodPath(std::string_view method) const {
  std::string path = "/" + service_ + "/";
  path.append(method);
  return path;
}

void RpcChannel::PrepareContext(grpc::ClientContext& grpc_context, const ClientContext& context) const {
  if (!context.name().empty()) grpc_context.AddMetadata(kCallerMetadataKey, context.name());
  for (const auto& [k, v] : context.metadata()) grpc_context.AddMetadata(k, v);
  if (endpoint_.is_forwarded()) grpc_context.AddMetadata(kDestinationMetadataKey, std::string(endpoint_.id()));
}

namespace {
struct HealthCall {
  grpc::ClientContext context;
  grpc::ByteBuffer request;
  grpc::ByteBuffer response;
  std::unique_ptr<grpc::GenericStub> stub;
};
}  // namespace

void RpcChannel::Activate(ChannelHandler handler) {
  auto self = shared_from_this();
  if (!IsOpen()) {
    const auto ec = boost::system::errc::make_error_code(boost::system::errc::not_connected);
    dispatcher_->Post([handler = std::move(handler), ec] { handler(ec, nullptr); });
    return;
  }
  auto call = std::make_shared<HealthCall>();
  call->stub = std::make_unique<grpc::GenericStub>(connection_->grpc_channel());
  call->request = ToByteBuffer(health::EncodeRequest(service_));
  call->context.set_deadline(std::chrono::system_clock::now() + check_timeout_);
  PrepareContext(call->context, ClientContext());
  // The completion runs on a gRPC thread; the answer goes to the dispatcher.
  call->stub->UnaryCall(&call->context, health::kCheckMethod, grpc::StubOptions(), &call->request,
                        &call->response, [self, call, handler = std::move(handler)](grpc::Status status) mutable {
                          boost::system::error_code ec;
                          if (!status.ok()) {
                            ec = boost::system::errc::make_error_code(
                                status.error_code() == grpc::StatusCode::NOT_FOUND ||
                                        status.error_code() == grpc::StatusCode::UNIMPLEMENTED
                                    ? boost::system::errc::operation_not_supported
                                    : boost::system::errc::connection_refused);
                          } else if (!health::DecodeServing(FromByteBuffer(call->response))) {
                            ec = boost::system::errc::make_error_code(boost::system::errc::operation_not_supported);
                          }
                          auto dispatcher = self->dispatcher();
                          dispatcher->Post([self, ec, handler = std::move(handler)] {
                            handler(ec, ec ? nullptr : self);
                          });
                        });
}

std::shared_ptr<RpcChannel> GrpcChannelFactory::CreateChannel(const net::Endpoint& endpoint,
                                                              const std::string& service,
                                                              const std::shared_ptr<Connection>& connection,
                                                              const RpcChannelOptions& options) {
  auto channel = std::make_shared<RpcChannel>(endpoint, service, connection, options, dispatcher_, check_timeout_);
  channel->Attach();
  return channel;
}

}  // namespace rpc
}  // namespace qbx
