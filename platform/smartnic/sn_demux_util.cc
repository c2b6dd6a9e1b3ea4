#include "platform/smartnic/sn_demux_util.h"

#include <utility>

namespace qbx::smartnic::demux {

int SNDemuxUtil::Init(std::shared_ptr<qbx::nodedb::NodeDbClient> client) {
  std::lock_guard<std::mutex> guard(mutex);
  nodeDbClient = std::move(client);
  initialized = true;
  return 0;
}

bool SNDemuxUtil::IsInitialized() const {
  std::lock_guard<std::mutex> guard(mutex);
  return initialized;
}

void SNDemuxUtil::SetTargetMapping(const std::string& targetId, const std::vector<std::string>& snUuids) {
  std::lock_guard<std::mutex> guard(mutex);
  if (snUuids.empty()) {
    targetToSn.erase(targetId);
  } else {
    targetToSn[targetId] = snUuids;
  }
}

bool SNDemuxUtil::GetSNUUIDsForTarget(const std::string& targetId, std::vector<std::string>& snUuids) const {
  std::lock_guard<std::mutex> guard(mutex);
  auto found = targetToSn.find(targetId);
  if (found == targetToSn.end()) return false;
  snUuids = found->second;
  return true;
}

}  // namespace qbx::smartnic::demux
