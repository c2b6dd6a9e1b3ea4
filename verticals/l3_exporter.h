// The logical routing vertical ("AggSvc-Routing"): registers the logical routing message
// types with its aggregation-service client.
//
// Threading: as the logical switching vertical; its callbacks keep no state.
#pragma once

#include <functional>
#include <memory>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

namespace qbx {
class NodeDbClientExporter;
}
namespace qbx::smartnic::demux {
class SNDemuxUtil;
}

class L3Exporter : public Vertical {
 public:
  static constexpr const char* kName = "AggSvc-Routing";

  L3Exporter(std::shared_ptr<qbx::NodeDbClientExporter> nodeDb, std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux,
             std::function<int()> nodePersona = nullptr);
  ~L3Exporter() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;

 private:
  // The smart NICs that serve a pull target (a logical router), from the demultiplexing
  // utility; false when it does not know the target.
  AggServiceClient::RemoteTargetMapper MapTargets() const;

  std::shared_ptr<qbx::NodeDbClientExporter> nodeDb;
  std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux;
  std::function<int()> nodePersona;
};
