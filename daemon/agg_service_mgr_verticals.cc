#include "daemon/agg_service_mgr_verticals.h"

#include "aggsvc/agg_service_client.h"
#include "channels/mpa/mpa_client.h"
#include "firewall/dfw_vertical_impl.h"
#include "platform/smartnic/sn_util.h"
#include "verticals/dlb_exporter.h"
#include "verticals/fabric_vertical_impl.h"
#include "verticals/idps_vertical_impl.h"
#include "verticals/krx_host_node_status_vertical.h"
#include "verticals/l2_exporter.h"
#include "verticals/l3_exporter.h"
#include "verticals/pnic_bond_reporter.h"
#include "verticals/transport_node_status_reporter.h"
#include "verticals/tunnel_reporter.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/agg_service/l3/l3_status.pb.h"
#include "zumbra/qbx/agg_service/node/node_status.pb.h"

namespace {

namespace agg = zumbra::qbx::agg_service;

template <class Msg>
AdapterEntry SnicEntry() {
  return AdapterEntry{SNIC_ADAPTER, Msg::default_instance().GetTypeName()};
}

}  // namespace

DaemonVerticals MakeDaemonVerticals(const std::shared_ptr<qbx::NodeDbClientExporter>& nodeDb,
                                    const std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil>& demux) {
  auto pnicBondReporter = std::make_shared<PnicBondReporter>();
  auto tunnelReporter = std::make_shared<TunnelReporter>();
  auto transportNodeStatus = std::make_shared<TransportNodeStatusReporter>(nodeDb, pnicBondReporter, tunnelReporter);
  transportNodeStatus->AdapterEntries() = {SnicEntry<agg::TunnelsSummaryMsg>(), SnicEntry<agg::TunnelsMsg>()};
  auto l2Exporter = std::make_shared<L2Exporter>(nodeDb, transportNodeStatus, demux);
  l2Exporter->AdapterEntries() = {SnicEntry<agg::l2::LogicalPortMacTableMsg>(), SnicEntry<agg::l2::MacTableMsg>(),
                                  SnicEntry<agg::l2::VtepTableMsg>()};
  auto l3Exporter = std::make_shared<L3Exporter>(nodeDb, demux);
  l3Exporter->AdapterEntries() = {SnicEntry<agg::l3::LogicalRouterPortArpTableMsg>(),
                                  SnicEntry<agg::l3::RouteTableMsg>()};
  auto hostNode = std::make_shared<KrxHostNodeStatusVertical>("HostNodeStatusVertical");
  hostNode->AdapterEntries() = {SnicEntry<agg::node::NodeStatusPropertiesMsg>()};
  auto dfw = std::make_shared<DFWVerticalImpl>("DFWRuleStats", nodeDb);
  // Names no message type: it only makes the manager build a smart-NIC client.
  dfw->AdapterEntries() = {AdapterEntry{SNIC_ADAPTER, "dummy-adapter"}};
  auto idps = std::make_shared<IdpsVerticalImpl>("IDPSRuleStats");
  auto fabric = std::make_shared<FabricVerticalImpl>("FabricStats");
  auto dlb = std::make_shared<DlbExporter>(demux);
  dlb->AdapterEntries() = {SnicEntry<agg::LbServiceStatusMsg>(), SnicEntry<agg::HostLbServiceStatusMsg>()};

  DaemonVerticals verticals;
  verticals.transportNodeStatus = transportNodeStatus;
  // The two reporters are kept by the transport node status vertical.
  verticals.list = {l2Exporter, l3Exporter, hostNode, dfw, idps, fabric, transportNodeStatus, dlb};
  return verticals;
}

void InstallNodePersonaSources() {
  qbx::MpaClient::SetNodePersonaSource([] { return static_cast<uint32_t>(SNUtil::GetNodePersona()); });
  AggServiceClient::SetDefaultNodePersonaSource([] { return SNUtil::GetNodePersona(); });
}
