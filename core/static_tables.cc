#include "core/static_tables.h"

#include <mutex>

namespace qbx {

namespace {

struct ProcessStrings {
  std::mutex mutex;
  std::string componentName;   // guarded by mutex
  std::string fabricNodeUuid;  // guarded by mutex
};

ProcessStrings& Strings() {
  static ProcessStrings* strings = new ProcessStrings();  // never destroyed: read until exit
  return *strings;
}

}  // namespace

const std::map<int32_t, int64_t>& StatusSourceDefaultIntervals() {
  static const std::map<int32_t, int64_t> table = {
      {1, 30}, {2, 60}, {3, 60}, {4, 60}, {5, 120}, {6, 60}, {7, 60}, {8, 30}, {9, 60},
  };
  return table;
}

const std::unordered_map<std::string, int32_t>& StatusSourceVerticalIds() {
  static const std::unordered_map<std::string, int32_t> table = {
      {"HostNodeStatusVertical", 1},
      {"FabricStats", 7},
  };
  return table;
}

const std::string& OverlaySwitchingDevicePath() {
  static const std::string path = "/tkfs/devices/char/kztdriver/qbx_rwn2";
  return path;
}

const std::string& SnReplyTypeKey() {
  static const std::string key = "sn_protobuf_type_from_reply";
  return key;
}

std::string ComponentName() {
  std::lock_guard<std::mutex> lock(Strings().mutex);
  return Strings().componentName;
}

void SetComponentName(const std::string& name) {
  std::lock_guard<std::mutex> lock(Strings().mutex);
  Strings().componentName = name;
}

std::string FabricNodeUuid() {
  std::lock_guard<std::mutex> lock(Strings().mutex);
  return Strings().fabricNodeUuid;
}

void SetFabricNodeUuid(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(Strings().mutex);
  Strings().fabricNodeUuid = uuid;
}

}  // namespace qbx
