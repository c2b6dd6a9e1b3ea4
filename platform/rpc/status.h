// Call status and the small enumerations of the RPC layer.
//
// Numeric codes are the layer's own and travel unchanged between peers in the trailing
// metadata key kStatusTrailer. A call that ends without that trailer (the transport was
// lost, the peer is not one of ours, the call was cancelled) maps to kUnavailable, never to
// a code that callers treat as a refusal of their request.
#pragma once

#include <cstdint>
#include <string>

namespace grpc {
class Status;
class ClientContext;
class ServerContextBase;
}  // namespace grpc

namespace qbx {
namespace rpc {

namespace StatusCode {
constexpr uint32_t kOk = 0;
constexpr uint32_t kCancelled = 1;
constexpr uint32_t kInvalidRequest = 2;   // the request is malformed
constexpr uint32_t kDeadlineExceeded = 4;
constexpr uint32_t kUnknownObject = 5;    // the request names something that does not exist
constexpr uint32_t kAlreadyExists = 6;
constexpr uint32_t kSessionClosed = 9;    // the server ended a session for good
constexpr uint32_t kSessionReset = 12;    // the server asks for a new session
constexpr uint32_t kParseFailed = 14;     // a payload could not be parsed
constexpr uint32_t kObserverFailed = 15;  // the local observer threw
constexpr uint32_t kUnavailable = 53;     // no transport, or the peer went away
constexpr uint32_t kPending = 0xFFFFFFFF;  // the call has no final status yet
}  // namespace StatusCode

// Application status codes a server may close a stream with.
enum class AppStatus : uint32_t {
  OK = 0,
  NOT_FOUND = 7,
  ABORTED = 10,
  APPLICATION_ERROR = 13,
};

class Status {
 public:
  Status() = default;
  Status(uint32_t code, std::string text) : code_(code), text_(std::move(text)) {}
  Status(AppStatus code, std::string text) : code_(static_cast<uint32_t>(code)), text_(std::move(text)) {}

  uint32_t code() const { return code_; }
  const std::string& text() const { return text_; }
  bool ok() const { return code_ == StatusCode::kOk; }
  // "code N (text)" or "OK".
  std::string ToString() const;

  static Status Ok() { return Status(); }
  static Status Pending() { return Status(StatusCode::kPending, "pending"); }

  // The layer's status of a finished gRPC call: the code of the trailer when the peer sent
  // one, else 0 for an OK call and kUnavailable for every other outcome.
  static Status FromGrpc(const grpc::Status& status, const grpc::ClientContext& context);
  // The same, given the trailer's value (null when the peer sent none).
  static Status FromGrpc(const grpc::Status& status, const std::string* trailer);
  // The other direction, for servers: records the code in the trailer and returns the gRPC
  // status to finish the call with.
  static grpc::Status ToGrpc(const Status& status, grpc::ServerContextBase* context);

 private:
  uint32_t code_ = StatusCode::kOk;
  std::string text_;
};

// Trailing metadata key carrying the numeric code.
extern const char kStatusTrailer[];

enum class CloseReason : uint32_t {
  kNone = 0,
  kLocalClose = 1,
  kPeerClose = 2,
  kConnectionLost = 3,
  kPeerRemoved = 4,
  kTransportShutdown = 5,
  kIdle = 6,
  kConnectFailed = 7,
  kServiceRefused = 8,
  kStubTimeout = 9,
};

const char* CloseReasonToCStr(CloseReason reason);

enum class StubCreationStatus : uint32_t {
  kCreated = 0,
  kFailed = 1,
};

}  // namespace rpc
}  // namespace qbx
