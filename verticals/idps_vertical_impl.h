// The IDPS rule statistics vertical (main names it "IDPSRuleStats"): summation statistics
// of the intrusion detection rules. No rule counters are available on this node, so every
// poll answers with empty (valid) statistics.
//
// Threading: constructed and registered on the main thread; its poll callback keeps no
// state and runs on the client's request thread.
#pragma once

#include <memory>
#include <string>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

class IdpsVerticalImpl : public Vertical {
 public:
  explicit IdpsVerticalImpl(const std::string& name);
  ~IdpsVerticalImpl() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;
};
