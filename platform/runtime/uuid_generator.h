// Random (version 4) UUIDs, e.g. for monitor-session ids.
//
// Threading: one generator may be shared; calls are serialised by its own mutex.
#pragma once

#include <mutex>
#include <string>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

namespace qbx {
namespace uuids {

class UuidGenerator {
 public:
  UuidGenerator() = default;
  boost::uuids::uuid operator()();
  // The canonical lower-case 36-character text of a new uuid.
  std::string GenerateString();

 private:
  std::mutex mutex_;
  boost::uuids::random_generator generator_;
};

}  // namespace uuids
}  // namespace qbx
