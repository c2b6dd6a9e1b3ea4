// The transport node status vertical ("TransportNodeStatusVertical"): tunnels, tunnel
// summary, pNIC bonds and control connections. It keeps the pNIC bond and tunnel reporters
// and, once started, handles pNIC health notifications of the health agent.
//
// Threading: constructed and registered on the main thread. The pNIC health handler runs on
// the health-agent client's thread and holds only a weak reference to the reporter.
#pragma once

#include <atomic>
#include <memory>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"

namespace qbx {
class NodeDbClientExporter;
}
namespace qbx::sha {
class ShaPmClient;
}
class PnicBondReporter;
class TunnelReporter;

class TransportNodeStatusReporter : public Vertical,
                                    public std::enable_shared_from_this<TransportNodeStatusReporter> {
 public:
  static constexpr const char* kName = "TransportNodeStatusVertical";
  // Notification kind of the health agent's pNIC health events.
  static constexpr const char* kPnicHealthKind = "pnic_health";

  TransportNodeStatusReporter(std::shared_ptr<qbx::NodeDbClientExporter> nodeDb,
                              std::shared_ptr<PnicBondReporter> pnicBondReporter,
                              std::shared_ptr<TunnelReporter> tunnelReporter);
  ~TransportNodeStatusReporter() override;

  const char* GetName() override;
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override;

  // Registers the pNIC health notification handler with a started health-agent client.
  bool InitHZCHealthReporting(std::shared_ptr<qbx::sha::ShaPmClient> shaClient);

  const std::shared_ptr<PnicBondReporter>& GetPnicBondReporter() const { return pnicBondReporter; }
  const std::shared_ptr<TunnelReporter>& GetTunnelReporter() const { return tunnelReporter; }
  uint64_t PnicHealthNotifications() const { return pnicHealthNotifications.load(); }

 private:
  void OnPnicHealth(const std::string& payload);

  std::shared_ptr<qbx::NodeDbClientExporter> nodeDb;
  std::shared_ptr<PnicBondReporter> pnicBondReporter;
  std::shared_ptr<TunnelReporter> tunnelReporter;
  std::atomic<uint64_t> pnicHealthNotifications{0};
};
