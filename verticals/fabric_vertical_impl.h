// The fabric vertical (main names it "FabricStats"): the node's fabric software status.
//
// The first one made fills the process-wide node-UUID cache (qbx::FabricNodeUuid) and logs it.
//
// Threading: constructed and registered on the main thread; its callbacks keep no state.
#pragma once

#include <memory>
#include <string>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

class FabricVerticalImpl : public Vertical {
 public:
  explicit FabricVerticalImpl(const std::string& name);
  ~FabricVerticalImpl() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;
};
