// The fabric vertical (main names it "FabricStats"): the node's fabric software status.
//
// The first one made fills the process-wide node-UUID cache (qbx::FabricNodeUuid) and logs it;
// the ones after it read nothing. The UUID comes from the host configuration
// (qbx::GetNodeUuid) unless a test hands the first one another source.
//
// Threading: constructed and registered on the main thread; its callbacks keep no state.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

class FabricVerticalImpl : public Vertical {
 public:
  using NodeUuidSource = std::function<std::string()>;

  explicit FabricVerticalImpl(const std::string& name, NodeUuidSource nodeUuidSource = nullptr);
  ~FabricVerticalImpl() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;
};
