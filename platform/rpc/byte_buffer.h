// Conversions between serialised messages and gRPC byte buffers.
#pragma once

#include <string>

#include <grpcpp/support/byte_buffer.h>

namespace qbx {
namespace rpc {

grpc::ByteBuffer ToByteBuffer(const std::string& bytes);
std::string FromByteBuffer(const grpc::ByteBuffer& buffer);

}  // namespace rpc
}  // namespace qbx
