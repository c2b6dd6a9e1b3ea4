// The host node status vertical (main names it "HostNodeStatusVertical"): CPU, memory,
// file systems and interfaces of the node, as node status properties.
//
// Threading: constructed and registered on the main thread; its callbacks keep no state.
#pragma once

#include <memory>
#include <string>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

class KrxHostNodeStatusVertical : public Vertical {
 public:
  explicit KrxHostNodeStatusVertical(const std::string& name);
  ~KrxHostNodeStatusVertical() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;
};
