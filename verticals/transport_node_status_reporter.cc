#include "verticals/transport_node_status_reporter.h"

#include <utility>

#include "base/logger.h"
#include "platform/sha/sha_pm_client.h"
#include "verticals/pnic_bond_reporter.h"
#include "verticals/status_registration.h"
#include "verticals/tunnel_reporter.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"

namespace as = zumbra::qbx::agg_service;

TransportNodeStatusReporter::TransportNodeStatusReporter(std::shared_ptr<qbx::NodeDbClientExporter> nodeDb,
                                                         std::shared_ptr<PnicBondReporter> pnicBondReporter,
                                                         std::shared_ptr<TunnelReporter> tunnelReporter)
    : Vertical(kName, true),
      nodeDb(std::move(nodeDb)),
      pnicBondReporter(std::move(pnicBondReporter)),
      tunnelReporter(std::move(tunnelReporter)) {}

TransportNodeStatusReporter::~TransportNodeStatusReporter() = default;

const char* TransportNodeStatusReporter::GetName() { return Name().c_str(); }

void TransportNodeStatusReporter::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  using qbx::status::RegisterGeneric;
  using qbx::status::RegisterPlain;
  // Tunnels are also collected from the smart NICs on a host that carries them: their
  // tunnels are merged with the host's there, plain everywhere else.
  qbx::status::RegisterPlainWithSnic<as::TunnelsSummaryMsg>(client);
  qbx::status::RegisterPlainWithSnic<as::TunnelsMsg>(client);
  RegisterPlain<as::PnicBondsMsg>(*client);
  RegisterPlain<as::ControlConnStatusesMsg>(*client);
  // The runtime-status types the monitoring status source accepts for this vertical.
  qbx::status::RegisterGenericWithSnic<as::TunnelsSummaryMsg>(client);
  RegisterGeneric<as::PnicBondsMsg>(*client);
  qbx::status::RegisterRuntimeStatus<as::ControlConnStatusesMsg>(*client);
}

bool TransportNodeStatusReporter::InitHZCHealthReporting(std::shared_ptr<qbx::sha::ShaPmClient> shaClient) {
  if (!shaClient) return true;  // nothing to listen to; start-up does not depend on it
  // The health agent's client may outlive this reporter: the handler holds it weakly (the
  // reporter is always owned by a shared pointer, as main creates it).
  std::weak_ptr<TransportNodeStatusReporter> weak = weak_from_this();
  shaClient->RegisterNotificationHandler(kPnicHealthKind, [weak](const std::string&, const std::string& payload) {
    if (auto alive = weak.lock()) alive->OnPnicHealth(payload);
  });
  return true;
}

void TransportNodeStatusReporter::OnPnicHealth(const std::string& payload) {
  ++pnicHealthNotifications;
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp("agg-service")
      .put("[%s][%s]: pNIC health notification: %s", "OnPnicHealth", GetName(), payload.c_str());
}
