#include "platform/runtime/uuid_generator.h"

#include <boost/uuid/uuid_io.hpp>

namespace qbx {
namespace uuids {

boost::uuids::uuid UuidGenerator::operator()() {
  std::lock_guard<std::mutex> lock(mutex_);
  return generator_();
}

std::string UuidGenerator::GenerateString() { return boost::uuids::to_string((*this)()); }

}  // namespace uuids
}  // namespace qbx
