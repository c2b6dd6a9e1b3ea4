// Stand-in of the smart-NIC demultiplexing utility: tells which of the host's smart NICs
// serve a given target (a logical router, port or service), so that a pull for that target
// need only be asked of those smart NICs.
//
// The real utility follows the configuration database; this one keeps a table filled by
// SetTargetMapping (tests, stand-in peers). Init records the database client it is given;
// a null client is accepted (the table then stays as configured).
//
// Threading: every operation may be called from any thread; one mutex guards the table.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qbx::nodedb {
class NodeDbClient;
}

namespace qbx::smartnic::demux {

class SNDemuxUtil {
 public:
  SNDemuxUtil() = default;
  SNDemuxUtil(const SNDemuxUtil&) = delete;
  SNDemuxUtil& operator=(const SNDemuxUtil&) = delete;

  // 0; the client may be null.
  int Init(std::shared_ptr<qbx::nodedb::NodeDbClient> client);
  bool IsInitialized() const;

  // The smart NICs that serve `targetId`; an empty list removes the target.
  void SetTargetMapping(const std::string& targetId, const std::vector<std::string>& snUuids);
  // True with the ids when the target is known; false (ids untouched) when it is not.
  bool GetSNUUIDsForTarget(const std::string& targetId, std::vector<std::string>& snUuids) const;

 private:
  mutable std::mutex mutex;
  bool initialized = false;                                    // guarded by mutex
  std::shared_ptr<qbx::nodedb::NodeDbClient> nodeDbClient;     // guarded by mutex
  std::map<std::string, std::vector<std::string>> targetToSn;  // guarded by mutex
};

}  // namespace qbx::smartnic::demux
