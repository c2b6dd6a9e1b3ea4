// Generated from the type-identifier table of the host-side aggregation messages; each
// row: the accepted identifiers, the carried message's full type name and the number of
// its field in AggSvcMpUnifiedMsg (row index + 10).
#include "channels/mpa/agg_svc_type_id_table.h"

namespace qbx {

const std::vector<AggSvcTypeIdTable::Row>& AggSvcTypeIdTable::Rows() {
  static const std::vector<Row>* rows = new std::vector<Row>{
      {{"com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg"}, "zumbra.qbx.agg_service.messaging.SummationStatsResponseMsg", 10},
      {{"com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg"}, "zumbra.qbx.agg_service.messaging.OverwriteStatsResponseMsg", 11},
      {{"com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg"}, "zumbra.qbx.agg_service.messaging.OnDemandStatsResponseMsg", 12},
      {{"com.zumbra.qbx.agg_service.simple.LogicalPortStateMsg", "zumbra.qbx.agg_service.simple.LogicalPortStateMsg"}, "zumbra.qbx.agg_service.simple.LogicalPortStateMsg", 13},
      {{"com.zumbra.qbx.agg_service.simple.HostLogicalPortStatusMsg", "zumbra.qbx.agg_service.simple.HostLogicalPortStatusMsg"}, "zumbra.qbx.agg_service.simple.HostLogicalPortStatusMsg", 14},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.StatusSummaryMsg", "zumbra.qbx.agg_service.StatusSummaryMsg"}, "zumbra.qbx.agg_service.StatusSummaryMsg", 15},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.ControlConnStatusMsg", "zumbra.qbx.agg_service.ControlConnStatusMsg"}, "zumbra.qbx.agg_service.ControlConnStatusMsg", 16},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.ControlConnStatusesMsg", "zumbra.qbx.agg_service.ControlConnStatusesMsg"}, "zumbra.qbx.agg_service.ControlConnStatusesMsg", 17},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.PnicBondMsg", "zumbra.qbx.agg_service.PnicBondMsg"}, "zumbra.qbx.agg_service.PnicBondMsg", 18},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.PnicBondsMsg", "zumbra.qbx.agg_service.PnicBondsMsg"}, "zumbra.qbx.agg_service.PnicBondsMsg", 19},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.TunnelStatusSummaryMsg", "zumbra.qbx.agg_service.TunnelStatusSummaryMsg"}, "zumbra.qbx.agg_service.TunnelStatusSummaryMsg", 20},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.TunnelsSummaryMsg", "zumbra.qbx.agg_service.TunnelsSummaryMsg"}, "zumbra.qbx.agg_service.TunnelsSummaryMsg", 21},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.BFDPropertiesMsg", "zumbra.qbx.agg_service.BFDPropertiesMsg"}, "zumbra.qbx.agg_service.BFDPropertiesMsg", 22},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.TunnelMsg", "zumbra.qbx.agg_service.TunnelMsg"}, "zumbra.qbx.agg_service.TunnelMsg", 23},
      {{"com.zumbra.qbx.management.agg_service.transport_node_status.TunnelsMsg", "zumbra.qbx.agg_service.TunnelsMsg"}, "zumbra.qbx.agg_service.TunnelsMsg", 24},
      {{"com.zumbra.qbx.management.agg_service.fabric_install_status.SoftwareStatusMsg", "zumbra.qbx.agg_service.SoftwareStatusMsg"}, "zumbra.qbx.agg_service.SoftwareStatusMsg", 25},
      {{"com.zumbra.qbx.management.agg_service.node.InterfaceAliasMsg", "zumbra.qbx.agg_service.node.InterfaceAliasMsg"}, "zumbra.qbx.agg_service.node.InterfaceAliasMsg", 26},
      {{"com.zumbra.qbx.management.agg_service.node.NodeInterfacePropertiesMsg", "zumbra.qbx.agg_service.node.NodeInterfacePropertiesMsg"}, "zumbra.qbx.agg_service.node.NodeInterfacePropertiesMsg", 27},
      {{"com.zumbra.qbx.management.agg_service.node.NodeFileSystemPropertiesMsg", "zumbra.qbx.agg_service.node.NodeFileSystemPropertiesMsg"}, "zumbra.qbx.agg_service.node.NodeFileSystemPropertiesMsg", 28},
      {{"com.zumbra.qbx.management.agg_service.node.NodeOverallStatusPropertiesMsg", "zumbra.qbx.agg_service.node.NodeOverallStatusPropertiesMsg"}, "zumbra.qbx.agg_service.node.NodeOverallStatusPropertiesMsg", 29},
      {{"com.zumbra.qbx.management.agg_service.node.NodeStatusPropertiesMsg", "zumbra.qbx.agg_service.node.NodeStatusPropertiesMsg"}, "zumbra.qbx.agg_service.node.NodeStatusPropertiesMsg", 30},
      {{"com.zumbra.qbx.management.aggservice.l2.LogicalPortState", "zumbra.qbx.agg_service.l2.LogicalPortState"}, "zumbra.qbx.agg_service.l2.LogicalPortState", 31},
      {{"com.zumbra.qbx.management.aggservice.l2.HostLogicalPortStatusMsg", "zumbra.qbx.agg_service.l2.HostLogicalPortStatusMsg"}, "zumbra.qbx.agg_service.l2.HostLogicalPortStatusMsg", 32},
      {{"com.zumbra.qbx.management.aggservice.l2.LogicalPortMacTableEntryMsg", "zumbra.qbx.agg_service.l2.LogicalPortMacTableEntryMsg"}, "zumbra.qbx.agg_service.l2.LogicalPortMacTableEntryMsg", 33},
      {{"com.zumbra.qbx.management.aggservice.l2.LogicalPortMacTableMsg", "zumbra.qbx.agg_service.l2.LogicalPortMacTableMsg"}, "zumbra.qbx.agg_service.l2.LogicalPortMacTableMsg", 34},
      {{"com.zumbra.qbx.management.aggservice.l2.LogicalPortLocationMsg", "zumbra.qbx.agg_service.l2.LogicalPortLocationMsg"}, "zumbra.qbx.agg_service.l2.LogicalPortLocationMsg", 35},
      {{"com.zumbra.qbx.management.aggservice.l2.AddressBindingEntryMsg", "zumbra.qbx.agg_service.l2.AddressBindingEntryMsg"}, "zumbra.qbx.agg_service.l2.AddressBindingEntryMsg", 36},
      {{"com.zumbra.qbx.management.aggservice.l2.LportRealizedStateMsg", "zumbra.qbx.agg_service.l2.LportRealizedStateMsg"}, "zumbra.qbx.agg_service.l2.LportRealizedStateMsg", 37},
      {{"com.zumbra.qbx.management.aggservice.l2.LportRealizedStateBatchMsg", "zumbra.qbx.agg_service.l2.LportRealizedStateBatchMsg"}, "zumbra.qbx.agg_service.l2.LportRealizedStateBatchMsg", 38},
      {{"com.zumbra.qbx.management.aggservice.l2.MacTableEntryMsg", "zumbra.qbx.agg_service.l2.MacTableEntryMsg"}, "zumbra.qbx.agg_service.l2.MacTableEntryMsg", 39},
      {{"com.zumbra.qbx.management.aggservice.l2.MacTableMsg", "zumbra.qbx.agg_service.l2.MacTableMsg"}, "zumbra.qbx.agg_service.l2.MacTableMsg", 40},
      {{"com.zumbra.qbx.management.aggservice.l2.VtepTableEntryMsg", "zumbra.qbx.agg_service.l2.VtepTableEntryMsg"}, "zumbra.qbx.agg_service.l2.VtepTableEntryMsg", 41},
      {{"com.zumbra.qbx.management.aggservice.l2.VtepTableMsg", "zumbra.qbx.agg_service.l2.VtepTableMsg"}, "zumbra.qbx.agg_service.l2.VtepTableMsg", 42},
      {{"com.zumbra.qbx.management.aggservice.l2.LogicalPortListMsg", "zumbra.qbx.agg_service.l2.LogicalPortListMsg"}, "zumbra.qbx.agg_service.l2.LogicalPortListMsg", 43},
      {{"com.zumbra.qbx.management.aggservice.MetadataProxyStatusPerLsMsg", "zumbra.qbx.management.aggservice.MetadataProxyStatusPerLsMsg"}, "zumbra.qbx.agg_service.MetadataProxyStatusPerLsMsg", 44},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnTunnelTrafficStatisticsMsg", "com.zumbra.qbx.management.aggservice.IPSecVpnTunnelTrafficStatisticsMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficStatisticsMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficStatisticsMsg", 45},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnTunnelTrafficCountersMsg", "com.zumbra.qbx.management.aggservice.IPSecVpnTunnelTrafficCountersMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficCountersMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficCountersMsg", 46},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnSessionTrafficSummaryMsg", "com.zumbra.qbx.management.aggservice.IPSecVpnSessionTrafficSummaryMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnSessionTrafficSummaryMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnSessionTrafficSummaryMsg", 47},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnIkeSessionStatusMsg", "com.zumbra.qbx.management.aggservice.IPSecVpnIkeSessionStatusMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnIkeSessionStatusMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnIkeSessionStatusMsg", 48},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnSessionStatisticsMsg", "com.zumbra.qbx.management.aggservice.IPSecVpnSessionStatisticsMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatisticsMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatisticsMsg", 49},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnSessionStatusMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatusMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatusMsg", 50},
      {{"com.zumbra.qbx.management.aggservice.IpsecVpnServiceSummaryMsg", "com.zumbra.qbx.management.aggservice.IPSecVpnServiceSummaryMsg", "zumbra.qbx.agg_service.vpn.IpsecVpnServiceSummaryMsg"}, "zumbra.qbx.agg_service.vpn.IpsecVpnServiceSummaryMsg", 51},
      {{"com.zumbra.qbx.management.aggservice.L2VpnTransportTunnelStatusMsg", "zumbra.qbx.agg_service.vpn.L2VpnTransportTunnelStatusMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnTransportTunnelStatusMsg", 52},
      {{"com.zumbra.qbx.management.aggservice.L2VpnTunnelPortTrafficStatisticsMsg", "zumbra.qbx.agg_service.vpn.L2VpnTunnelPortTrafficStatisticsMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnTunnelPortTrafficStatisticsMsg", 53},
      {{"com.zumbra.qbx.management.aggservice.L2VpnSessionStatusMsg", "zumbra.qbx.agg_service.vpn.L2VpnSessionStatusMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnSessionStatusMsg", 54},
      {{"com.zumbra.qbx.management.aggservice.L2VpnSessionStatisticsMsg", "zumbra.qbx.agg_service.vpn.L2VpnSessionStatisticsMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnSessionStatisticsMsg", 55},
      {{"com.zumbra.qbx.management.aggservice.L2VpnPerLsTrafficStatisticsMsg", "zumbra.qbx.agg_service.vpn.L2VpnPerLsTrafficStatisticsMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnPerLsTrafficStatisticsMsg", 56},
      {{"com.zumbra.qbx.management.aggservice.L2VpnPerLsRemoteMacsMsg", "zumbra.qbx.agg_service.vpn.L2VpnPerLsRemoteMacsMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnPerLsRemoteMacsMsg", 57},
      {{"com.zumbra.qbx.management.aggservice.L2VpnSessionRemoteMacsMsg", "zumbra.qbx.agg_service.vpn.L2VpnSessionRemoteMacsMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnSessionRemoteMacsMsg", 58},
      {{"com.zumbra.qbx.management.aggservice.L2VpnServiceSummaryMsg", "zumbra.qbx.agg_service.vpn.L2VpnServiceSummaryMsg"}, "zumbra.qbx.agg_service.vpn.L2VpnServiceSummaryMsg", 59},
      {{"com.zumbra.qbx.management.aggservice.l3.LogicalRouterPortLocationMsg", "zumbra.qbx.agg_service.l3.LogicalRouterPortLocationMsg"}, "zumbra.qbx.agg_service.l3.LogicalRouterPortLocationMsg", 60},
      {{"com.zumbra.qbx.management.aggservice.l3.LogicalRouterPortArpMsg", "zumbra.qbx.agg_service.l3.LogicalRouterPortArpMsg"}, "zumbra.qbx.agg_service.l3.LogicalRouterPortArpMsg", 61},
      {{"com.zumbra.qbx.management.aggservice.l3.LogicalRouterPortArpTableMsg", "zumbra.qbx.agg_service.l3.LogicalRouterPortArpTableMsg"}, "zumbra.qbx.agg_service.l3.LogicalRouterPortArpTableMsg", 62},
      {{"com.zumbra.qbx.management.aggservice.l3.RouteEntryMsg", "zumbra.qbx.agg_service.l3.RouteEntryMsg"}, "zumbra.qbx.agg_service.l3.RouteEntryMsg", 63},
      {{"com.zumbra.qbx.management.aggservice.l3.RouteTableMsg", "zumbra.qbx.agg_service.l3.RouteTableMsg"}, "zumbra.qbx.agg_service.l3.RouteTableMsg", 64},
      {{"com.zumbra.qbx.management.aggservice.l3.MsrRouteTableMsg", "zumbra.qbx.agg_service.l3.MsrRouteTableMsg"}, "zumbra.qbx.agg_service.l3.MsrRouteTableMsg", 65},
      {{"com.zumbra.qbx.management.aggservice.l3.BgpNeighborAdvertisedRoutesMsg", "zumbra.qbx.agg_service.l3.BgpNeighborAdvertisedRoutesMsg"}, "zumbra.qbx.agg_service.l3.BgpNeighborAdvertisedRoutesMsg", 66},
      {{"com.zumbra.qbx.management.aggservice.l3.BgpNeighborRoutesMsg", "zumbra.qbx.agg_service.l3.BgpNeighborRoutesMsg"}, "zumbra.qbx.agg_service.l3.BgpNeighborRoutesMsg", 67},
      {{"com.zumbra.qbx.management.aggservice.l3.BgpNeighborEntryMsg", "zumbra.qbx.agg_service.l3.BgpNeighborEntryMsg"}, "zumbra.qbx.agg_service.l3.BgpNeighborEntryMsg", 68},
      {{"com.zumbra.qbx.management.aggservice.l3.BgpNeighborMsg", "zumbra.qbx.agg_service.l3.BgpNeighborMsg"}, "zumbra.qbx.agg_service.l3.BgpNeighborMsg", 69},
      {{"com.zumbra.qbx.management.aggservice.l3.LogicalRouterStatusMsg", "zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg"}, "zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg", 70},
      {{"com.zumbra.qbx.management.aggservice.l3.LogicalRoutersPerNodeMsg", "zumbra.qbx.agg_service.l3.LogicalRoutersPerNodeMsg"}, "zumbra.qbx.agg_service.l3.LogicalRoutersPerNodeMsg", 71},
      {{"com.zumbra.qbx.management.aggservice.l3.BfdStatusMsg", "zumbra.qbx.agg_service.l3.BfdStatusMsg"}, "zumbra.qbx.agg_service.l3.BfdStatusMsg", 72},
      {{"com.zumbra.qbx.management.aggservice.l3.PeerEdgeNodeStatusMsg", "zumbra.qbx.agg_service.l3.PeerEdgeNodeStatusMsg"}, "zumbra.qbx.agg_service.l3.PeerEdgeNodeStatusMsg", 73},
      {{"com.zumbra.qbx.management.aggservice.l3.EdgeNodeStatusMsg", "zumbra.qbx.agg_service.l3.EdgeNodeStatusMsg"}, "zumbra.qbx.agg_service.l3.EdgeNodeStatusMsg", 74},
      {{"com.zumbra.qbx.management.aggservice.l3.EdgeClusterStatusMsg", "zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg"}, "zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg", 75},
      {{"com.zumbra.qbx.management.aggservice.l3.McastRouteEntryMsg", "zumbra.qbx.agg_service.l3.McastRouteEntryMsg"}, "zumbra.qbx.agg_service.l3.McastRouteEntryMsg", 76},
      {{"com.zumbra.qbx.management.aggservice.l3.McastRouteMsg", "zumbra.qbx.agg_service.l3.McastRouteMsg"}, "zumbra.qbx.agg_service.l3.McastRouteMsg", 77},
      {{"com.zumbra.qbx.management.aggservice.l3.McastForwardEntryMsg", "zumbra.qbx.agg_service.l3.McastForwardEntryMsg"}, "zumbra.qbx.agg_service.l3.McastForwardEntryMsg", 78},
      {{"com.zumbra.qbx.management.aggservice.l3.McastForwardTableMsg", "zumbra.qbx.agg_service.l3.McastForwardTableMsg"}, "zumbra.qbx.agg_service.l3.McastForwardTableMsg", 79},
      {{"com.zumbra.qbx.management.aggservice.l3.McastIgmpMembershipEntryMsg", "zumbra.qbx.agg_service.l3.McastIgmpMembershipEntryMsg"}, "zumbra.qbx.agg_service.l3.McastIgmpMembershipEntryMsg", 80},
      {{"com.zumbra.qbx.management.aggservice.l3.McastIgmpMembershipMsg", "zumbra.qbx.agg_service.l3.McastIgmpMembershipMsg"}, "zumbra.qbx.agg_service.l3.McastIgmpMembershipMsg", 81},
      {{"com.zumbra.qbx.management.aggservice.l3.McastPimRpMappingEntryMsg", "zumbra.qbx.agg_service.l3.McastPimRpMappingEntryMsg"}, "zumbra.qbx.agg_service.l3.McastPimRpMappingEntryMsg", 82},
      {{"com.zumbra.qbx.management.aggservice.l3.McastPimRpMappingMsg", "zumbra.qbx.agg_service.l3.McastPimRpMappingMsg"}, "zumbra.qbx.agg_service.l3.McastPimRpMappingMsg", 83},
      {{"com.zumbra.qbx.management.aggservice.l3.NodeInterSiteStatisticsMsg", "zumbra.qbx.agg_service.l3.NodeInterSiteStatisticsMsg"}, "zumbra.qbx.agg_service.l3.NodeInterSiteStatisticsMsg", 84},
      {{"com.zumbra.qbx.management.aggservice.l3.BgpNeighborStatusPerNodeMsg", "zumbra.qbx.agg_service.l3.BgpNeighborStatusPerNodeMsg"}, "zumbra.qbx.agg_service.l3.BgpNeighborStatusPerNodeMsg", 85},
      {{"com.zumbra.qbx.management.aggservice.l3.L2ForwarderStatusPerNodeMsg", "zumbra.qbx.agg_service.l3.L2ForwarderStatusPerNodeMsg"}, "zumbra.qbx.agg_service.l3.L2ForwarderStatusPerNodeMsg", 86},
      {{"com.zumbra.qbx.management.aggservice.l3.L2ForwarderStatisticsMsg", "zumbra.qbx.agg_service.l3.L2ForwarderStatisticsMsg"}, "zumbra.qbx.agg_service.l3.L2ForwarderStatisticsMsg", 87},
      {{"com.zumbra.qbx.management.aggservice.l3.L2ForwarderRemoteMacsMsg", "zumbra.qbx.agg_service.l3.L2ForwarderRemoteMacsMsg"}, "zumbra.qbx.agg_service.l3.L2ForwarderRemoteMacsMsg", 88},
      {{"com.zumbra.qbx.management.aggservice.l3.OspfNeighborEntryMsg", "zumbra.qbx.agg_service.l3.OspfNeighborEntryMsg"}, "zumbra.qbx.agg_service.l3.OspfNeighborEntryMsg", 89},
      {{"com.zumbra.qbx.management.aggservice.l3.OspfNeighborMsg", "zumbra.qbx.agg_service.l3.OspfNeighborMsg"}, "zumbra.qbx.agg_service.l3.OspfNeighborMsg", 90},
      {{"com.zumbra.qbx.management.aggservice.l3.OspfRouteEntryMsg", "zumbra.qbx.agg_service.l3.OspfRouteEntryMsg"}, "zumbra.qbx.agg_service.l3.OspfRouteEntryMsg", 91},
      {{"com.zumbra.qbx.management.aggservice.l3.OspfRouteMsg", "zumbra.qbx.agg_service.l3.OspfRouteMsg"}, "zumbra.qbx.agg_service.l3.OspfRouteMsg", 92},
      {{"com.zumbra.qbx.management.aggservice.l3.OspfDatabaseEntryMsg", "zumbra.qbx.agg_service.l3.OspfDatabaseEntryMsg"}, "zumbra.qbx.agg_service.l3.OspfDatabaseEntryMsg", 93},
      {{"com.zumbra.qbx.management.aggservice.l3.OspfDatabaseMsg", "zumbra.qbx.agg_service.l3.OspfDatabaseMsg"}, "zumbra.qbx.agg_service.l3.OspfDatabaseMsg", 94},
      {{"com.zumbra.qbx.management.aggservice.l3.FrrRouteCountMsg", "zumbra.qbx.agg_service.l3.FrrRouteCountMsg"}, "zumbra.qbx.agg_service.l3.FrrRouteCountMsg", 95},
      {{"com.zumbra.qbx.management.aggservice.l3.GreTunnelStatsMsg", "zumbra.qbx.agg_service.l3.GreTunnelStatsMsg"}, "zumbra.qbx.agg_service.l3.GreTunnelStatsMsg", 96},
      {{"com.zumbra.qbx.management.aggservice.LbErrorMsg", "zumbra.qbx.agg_service.LbErrorMsg"}, "zumbra.qbx.agg_service.LbErrorMsg", 97},
      {{"com.zumbra.qbx.management.aggservice.LbPoolMemberStatusMsg", "zumbra.qbx.agg_service.LbPoolMemberStatusMsg"}, "zumbra.qbx.agg_service.LbPoolMemberStatusMsg", 98},
      {{"com.zumbra.qbx.management.aggservice.LbPoolStatusMsg", "zumbra.qbx.agg_service.LbPoolStatusMsg"}, "zumbra.qbx.agg_service.LbPoolStatusMsg", 99},
      {{"com.zumbra.qbx.management.aggservice.LbVirtualServerStatusMsg", "zumbra.qbx.agg_service.LbVirtualServerStatusMsg"}, "zumbra.qbx.agg_service.LbVirtualServerStatusMsg", 100},
      {{"com.zumbra.qbx.management.aggservice.LbServiceStatusMsg", "zumbra.qbx.agg_service.LbServiceStatusMsg"}, "zumbra.qbx.agg_service.LbServiceStatusMsg", 101},
      {{"com.zumbra.qbx.management.aggservice.HostLbServiceStatusMsg", "zumbra.qbx.agg_service.HostLbServiceStatusMsg"}, "zumbra.qbx.agg_service.HostLbServiceStatusMsg", 102},
      {{"com.zumbra.qbx.management.aggservice.lcpagent.TnAgentStatusRequestMsg", "zumbra.qbx.agg_service.agent.TnAgentStatusRequestMsg"}, "zumbra.qbx.agg_service.agent.TnAgentStatusRequestMsg", 103},
      {{"com.zumbra.qbx.management.aggservice.lcpagent.TnThreatMsg", "zumbra.qbx.agg_service.agent.TnThreatMsg"}, "zumbra.qbx.agg_service.agent.TnThreatMsg", 104},
      {{"com.zumbra.qbx.management.aggservice.lcpagent.TnThreatStateMsg", "zumbra.qbx.agg_service.agent.TnThreatStateMsg"}, "zumbra.qbx.agg_service.agent.TnThreatStateMsg", 105},
      {{"com.zumbra.qbx.management.aggservice.lcpagent.AgentStatusMsg", "zumbra.qbx.agg_service.agent.AgentStatusMsg"}, "zumbra.qbx.agg_service.agent.AgentStatusMsg", 106},
      {{"com.zumbra.qbx.management.aggservice.lcpagent.TnAgentStateMsg", "zumbra.qbx.agg_service.agent.TnAgentStateMsg"}, "zumbra.qbx.agg_service.agent.TnAgentStateMsg", 107},
      {{"com.zumbra.qbx.management.aggservice.lcpagent.TnAgentStatusResponseMsg", "zumbra.qbx.agg_service.agent.TnAgentStatusResponseMsg"}, "zumbra.qbx.agg_service.agent.TnAgentStatusResponseMsg", 108},
      {{"com.zumbra.qbx.management.aggservice.DhcpIpPoolUsageMsg", "zumbra.qbx.agg_service.DhcpIpPoolUsageMsg"}, "zumbra.qbx.agg_service.DhcpIpPoolUsageMsg", 109},
      {{"com.zumbra.qbx.management.aggservice.DhcpServerStatisticsMsg", "zumbra.qbx.agg_service.DhcpServerStatisticsMsg"}, "zumbra.qbx.agg_service.DhcpServerStatisticsMsg", 110},
      {{"com.zumbra.qbx.management.aggservice.DhcpServerNodeStatusMsg", "zumbra.qbx.agg_service.DhcpServerNodeStatusMsg"}, "zumbra.qbx.agg_service.DhcpServerNodeStatusMsg", 111},
      {{"com.zumbra.qbx.management.aggservice.DhcpV6LeasesPerPoolOrBdMsg", "zumbra.qbx.agg_service.DhcpV6LeasesPerPoolOrBdMsg"}, "zumbra.qbx.agg_service.DhcpV6LeasesPerPoolOrBdMsg", 112},
      {{"com.zumbra.qbx.management.aggservice.PerUpstreamServerStatisticMsg", "zumbra.qbx.agg_service.PerUpstreamServerStatisticMsg"}, "zumbra.qbx.agg_service.PerUpstreamServerStatisticMsg", 113},
      {{"com.zumbra.qbx.management.aggservice.PerForwarderStatisticMsg", "zumbra.qbx.agg_service.PerForwarderStatisticMsg"}, "zumbra.qbx.agg_service.PerForwarderStatisticMsg", 114},
      {{"com.zumbra.qbx.management.aggservice.DnsForwarderStatisticsMsg", "zumbra.qbx.agg_service.DnsForwarderStatisticsMsg"}, "zumbra.qbx.agg_service.DnsForwarderStatisticsMsg", 115},
      {{"com.zumbra.qbx.management.aggservice.DnsForwarderNodeStatusMsg", "zumbra.qbx.agg_service.DnsForwarderNodeStatusMsg"}, "zumbra.qbx.agg_service.DnsForwarderNodeStatusMsg", 116},
      {{"com.zumbra.qbx.management.aggservice.l2.BridgeEndpointsOnBridgeNodeMsg", "zumbra.qbx.agg_service.l2.BridgeEndpointsOnBridgeNodeMsg"}, "zumbra.qbx.agg_service.l2.BridgeEndpointsOnBridgeNodeMsg", 117},
      {{"com.zumbra.qbx.management.aggservice.l2.BridgeEndpointStatusMsg", "zumbra.qbx.agg_service.l2.BridgeEndpointStatusMsg"}, "zumbra.qbx.agg_service.l2.BridgeEndpointStatusMsg", 118},
      {{"com.zumbra.qbx.management.aggservice.l2.BridgeClusterStatusMsg", "zumbra.qbx.agg_service.l2.BridgeClusterStatusMsg"}, "zumbra.qbx.agg_service.l2.BridgeClusterStatusMsg", 119},
      {{"zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg"}, "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg", 120},
      {{"com.zumbra.qbx.messaging.appinit.AppInitMsg"}, "zumbra.qbx.messaging.appinit.AppInitMsg", 121},
  };
  return *rows;
}

}  // namespace qbx

namespace qbx {

const AggSvcTypeIdTable::Row* AggSvcTypeIdTable::Find(const std::string& typeId) {
  for (const Row& row : Rows()) {
    for (const std::string& id : row.ids) {
      if (id == typeId) return &row;
    }
  }
  return nullptr;
}

}  // namespace qbx
