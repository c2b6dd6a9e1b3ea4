// The daemon's verticals as main hands them to the aggregation-service manager, and the node
// persona source that the clients and the verticals read while they register.
//
// Kept apart from main so that the manager can be built in tests exactly as the daemon
// builds it.
//
// Threading: both run on the main thread during start-up, before the manager exists.
#pragma once

#include <memory>
#include <vector>

#include "aggsvc/vertical.h"

namespace qbx {
class NodeDbClientExporter;
}
namespace qbx::smartnic::demux {
class SNDemuxUtil;
}
class TransportNodeStatusReporter;

struct DaemonVerticals {
  // Kept for the health-agent link that main makes after the manager's creation.
  std::shared_ptr<TransportNodeStatusReporter> transportNodeStatus;
  // L2, L3, host node, firewall, IDPS, fabric, transport node, distributed load balancer.
  std::vector<std::shared_ptr<Vertical>> list;
};

// Builds the collectors in their fixed order, each with its list of the types that are also
// collected from smart NICs.
DaemonVerticals MakeDaemonVerticals(const std::shared_ptr<qbx::NodeDbClientExporter>& nodeDb,
                                    const std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil>& demux);

// The node persona comes from the smart-NIC topology library at every decision: the
// verticals register before the messaging client records its own copy of it.
void InstallNodePersonaSources();
