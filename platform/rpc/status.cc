#include "platform/rpc/status.h"

#include <charconv>

#include <grpcpp/client_context.h>
#include <grpcpp/server_context.h>
#include <grpcpp/support/status.h>

namespace qbx {
namespace rpc {

const char kStatusTrailer[] = "qbx-status-code";

std::string Status::ToString() const {
  if (code_ == StatusCode::kOk) return "OK";
  return "code " + std::to_string(code_) + " (" + text_ + ")";
}

Status Status::FromGrpc(const grpc::Status& status, const grpc::ClientContext& context) {
  const auto& trailers = context.GetServerTrailingMetadata();
  auto it = trailers.find(kStatusTrailer);
  if (it == trailers.end()) return FromGrpc(status, nullptr);
  const std::string value(it->second.data(), it->second.size());
  return FromGrpc(status, &value);
}

Status Status::FromGrpc(const grpc::Status& status, const std::string* trailer) {
  if (trailer != nullptr) {
    uint32_t code = 0;
    const char* begin = trailer->data();
    const char* end = begin + trailer->size();
    auto [ptr, ec] = std::from_chars(begin, end, code);
    if (ec == std::errc() && ptr == end && begin != end) {
      return Status(code, status.error_message());
    }
    // A trailer we cannot read is no refusal we can act on.
    return Status(StatusCode::kUnavailable, "unreadable status trailer: " + status.error_message());
  }
  if (status.ok()) return Status();
  return Status(StatusCode::kUnavailable,
                "transport status " + std::to_string(static_cast<int>(status.error_code())) + ": " +
                    status.error_message());
}

grpc::Status Status::ToGrpc(const Status& status, grpc::ServerContextBase* context) {
  if (context != nullptr) context->AddTrailingMetadata(kStatusTrailer, std::to_string(status.code()));
  if (status.ok()) return grpc::Status::OK;
  // The gRPC code only matters to peers that are not ours; ours read the trailer.
  return grpc::Status(grpc::StatusCode::ABORTED, status.text());
}

const char* CloseReasonToCStr(CloseReason reason) {
  switch (reason) {
    case CloseReason::kNone: return "NONE";
    case CloseReason::kLocalClose: return "LOCAL_CLOSE";
    case CloseReason::kPeerClose: return "PEER_CLOSE";
    case CloseReason::kConnectionLost: return "CONNECTION_LOST";
    case CloseReason::kPeerRemoved: return "PEER_REMOVED";
    case CloseReason::kTransportShutdown: return "TRANSPORT_SHUTDOWN";
    case CloseReason::kIdle: return "IDLE";
    case CloseReason::kConnectFailed: return "CONNECT_FAILED";
    case CloseReason::kServiceRefused: return "SERVICE_REFUSED";
    case CloseReason::kStubTimeout: return "STUB_TIMEOUT";
  }
  return "UNKNOWN";
}

}  // namespace rpc
}  // namespace qbx
