// The distributed load-balancer vertical ("AggSvc-Lb", the name the monitoring status
// source knows for load balancing): load-balancer service status of the host.
//
// Threading: constructed and registered on the main thread; its callbacks keep no state.
#pragma once

#include <memory>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

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

 private:
  std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux;
};
