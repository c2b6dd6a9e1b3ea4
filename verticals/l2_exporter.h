// The logical switching vertical ("AggSvc-L2-Switching"): registers the logical switching
// message types with its aggregation-service client.
//
// Threading: constructed and registered on the main thread during start-up; its callbacks
// run on the client's request thread and the status source's poller thread and keep no
// state.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

class TransportNodeStatusReporter;
namespace qbx {
class NodeDbClientExporter;
}
namespace qbx::smartnic::demux {
class SNDemuxUtil;
}

class L2Exporter : public Vertical {
 public:
  static constexpr const char* kName = "AggSvc-L2-Switching";

  // `nodePersona` tells a smart-NIC host (1) from other nodes; by default the persona
  // installed for the aggregation clients.
  L2Exporter(std::shared_ptr<qbx::NodeDbClientExporter> nodeDb,
             std::shared_ptr<TransportNodeStatusReporter> transportNodeStatus,
             std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux, std::function<int()> nodePersona = nullptr);
  ~L2Exporter() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;

  std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> GetLogicalPortStateGenericRuntimeMsg();
  bool LogicalPortStateGenericRuntimeDiff(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                          const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second);

 private:
  std::shared_ptr<qbx::NodeDbClientExporter> nodeDb;
  std::shared_ptr<TransportNodeStatusReporter> transportNodeStatus;
  std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux;
  std::function<int()> nodePersona;
};
