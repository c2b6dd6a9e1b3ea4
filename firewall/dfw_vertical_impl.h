// The distributed-firewall rule statistics vertical (main names it "DFWRuleStats"):
// summation statistics of the firewall rules. The rule counters come from the firewall
// kernel module, which this node does not have, so every poll answers with empty (valid)
// statistics.
//
// Threading: constructed and registered on the main thread; the poll callback keeps no
// state and runs on the client's request thread.
#pragma once

#include <memory>
#include <string>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

namespace qbx {
class NodeDbClientExporter;
}

class DFWVerticalImpl : public Vertical {
 public:
  DFWVerticalImpl(const std::string& name, std::shared_ptr<qbx::NodeDbClientExporter> nodeDb);
  ~DFWVerticalImpl() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;

 private:
  std::shared_ptr<qbx::NodeDbClientExporter> nodeDb;
};
