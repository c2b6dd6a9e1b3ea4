// The host node status vertical (main names it "HostNodeStatusVertical"): CPU, memory,
// file systems and interfaces of the node, as node status properties.
//
// Threading: constructed and registered on the main thread; its callbacks keep no state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

class KrxHostNodeStatusVertical : public Vertical {
 public:
  explicit KrxHostNodeStatusVertical(const std::string& name);
  ~KrxHostNodeStatusVertical() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;

  // Runtime-status style of the smart-NIC collection: the merge of the host's status with
  // the smart NICs' and the compare of two updates, each giving the node's metric (the
  // number of collectors whose status it covers) for the health agent.
  static bool MergeRuntimeStatus(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& statuses,
                                 const std::vector<AggServiceClient::StatusMessageSource>& sources,
                                 RuntimeStatus& merged);
  static bool DiffRuntimeStatus(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second, RuntimeStatus& changed);
  static std::shared_ptr<MetricsAgentMessage> StatusMetric(size_t collectors);
};
