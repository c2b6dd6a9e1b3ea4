// The distributed load-balancer vertical ("AggSvc-Lb", the name the monitoring status
// source knows for load balancing): load-balancer service status of the host.
//
// Threading: constructed and registered on the main thread; its callbacks keep no state.
#pragma once

#include <memory>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

namespace zumbra::qbx::agg_service {
class LbServiceStatusMsg;
}
namespace qbx::smartnic::demux {
class SNDemuxUtil;
}

class DlbExporter : public Vertical {
 public:
  static constexpr const char* kName = "AggSvc-Lb";

  explicit DlbExporter(std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux);
  ~DlbExporter() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;

  // The smart-NIC merge of load-balancer service status pulls.
  static bool MergeServiceStatus(const std::vector<std::shared_ptr<zumbra::qbx::agg_service::LbServiceStatusMsg>>& all,
                                 const std::vector<AggServiceClient::StatusMessageSource>& sources,
                                 std::vector<std::shared_ptr<zumbra::qbx::agg_service::LbServiceStatusMsg>>& merged);

 private:
  std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux;
};
