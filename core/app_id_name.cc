#include <cstring>

#include "core/app_id_table.h"

namespace qbx {

std::string AppIdDisplayName(int appId) {
  const auto& table = AppIdNameTable();
  auto found = table.find(appId);
  if (found == table.end() || found->second == nullptr) return "UNKNOWN";
  const char* name = found->second;
  if (std::strncmp(name, "APP_", 4) == 0) name += 4;
  return name;
}

}  // namespace qbx
