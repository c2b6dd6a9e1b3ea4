// Per-caller settings copied into every call: the caller's name and extra call metadata.
// A value type.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qbx {
namespace rpc {

class ClientContext {
 public:
  ClientContext() = default;
  explicit ClientContext(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  void set_name(const std::string& name) { name_ = name; }

  // Lower-case keys; sent with every call made with this context.
  void AddMetadata(std::string key, std::string value) {
    metadata_.emplace_back(std::move(key), std::move(value));
  }
  const std::vector<std::pair<std::string, std::string>>& metadata() const { return metadata_; }

 private:
  std::string name_;
  std::vector<std::pair<std::string, std::string>> metadata_;
};

// Metadata keys the layer sets itself.
inline constexpr char kCallerMetadataKey[] = "qbx-caller";
inline constexpr char kDestinationMetadataKey[] = "qbx-destination";

}  // namespace rpc
}  // namespace qbx
