#include "platform/rpc/byte_buffer.h"

#include <vector>

#include <grpcpp/support/slice.h>

namespace qbx {
namespace rpc {

grpc::ByteBuffer ToByteBuffer(const std::string& bytes) {
  grpc::Slice slice(bytes);
  return grpc::ByteBuffer(&slice, 1);
}

std::string FromByteBuffer(const grpc::ByteBuffer& buffer) {
  std::vector<grpc::Slice> slices;
  std::string out;
  if (!buffer.Dump(&slices).ok()) return out;
  out.reserve(buffer.Length());
  for (const auto& s : slices) out.append(reinterpret_cast<const char*>(s.begin()), s.size());
  return out;
}

}  // namespace rpc
}  // namespace qbx
