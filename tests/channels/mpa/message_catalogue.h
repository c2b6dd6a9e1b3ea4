// The message catalogue of the aggregation channel as the management plane and the smart
// NICs know it, written out here on its own (not read from the code under test): the rows
// of the type-identifier table with every accepted spelling, and the reply list in the
// order a smart NIC's reply is read. Plus a filler that gives any message of the catalogue
// a recognisable content.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace qbx::testing {

struct CatalogueRow {
  std::vector<std::string> ids;  // accepted type identifiers, in the table's order
  std::string fullName;          // the carried message's protobuf type
};

inline std::vector<CatalogueRow> ExpectedTypeIdTable() {
  std::vector<CatalogueRow> rows;
  auto add = [&](std::vector<std::string> ids, const std::string& full) { rows.push_back({std::move(ids), full}); };
  // A management-plane prefix or a protobuf prefix before each name.
  auto two = [&](const std::string& mp, const std::string& pb, const std::string& pkg,
                 std::initializer_list<const char*> names) {
    for (const char* n : names) add({mp + n, pb + n}, "zumbra.qbx." + pkg + "." + n);
  };
  for (const char* n : {"SummationStatsResponseMsg", "OverwriteStatsResponseMsg", "OnDemandStatsResponseMsg"}) {
    add({std::string("com.zumbra.qbx.management.agg.messaging.") + n}, std::string("zumbra.qbx.agg_service.messaging.") + n);
  }
  two("com.zumbra.qbx.agg_service.simple.", "zumbra.qbx.agg_service.simple.", "agg_service.simple",
      {"LogicalPortStateMsg", "HostLogicalPortStatusMsg"});
  two("com.zumbra.qbx.management.agg_service.transport_node_status.", "zumbra.qbx.agg_service.", "agg_service",
      {"StatusSummaryMsg", "ControlConnStatusMsg", "ControlConnStatusesMsg", "PnicBondMsg", "PnicBondsMsg",
       "TunnelStatusSummaryMsg", "TunnelsSummaryMsg", "BFDPropertiesMsg", "TunnelMsg", "TunnelsMsg"});
  add({"com.zumbra.qbx.management.agg_service.fabric_install_status.SoftwareStatusMsg",
       "zumbra.qbx.agg_service.SoftwareStatusMsg"},
      "zumbra.qbx.agg_service.SoftwareStatusMsg");
  two("com.zumbra.qbx.management.agg_service.node.", "zumbra.qbx.agg_service.node.", "agg_service.node",
      {"InterfaceAliasMsg", "NodeInterfacePropertiesMsg", "NodeFileSystemPropertiesMsg", "NodeOverallStatusPropertiesMsg",
       "NodeStatusPropertiesMsg"});
  two("com.zumbra.qbx.management.aggservice.l2.", "zumbra.qbx.agg_service.l2.", "agg_service.l2",
      {"LogicalPortState", "HostLogicalPortStatusMsg", "LogicalPortMacTableEntryMsg", "LogicalPortMacTableMsg",
       "LogicalPortLocationMsg", "AddressBindingEntryMsg", "LportRealizedStateMsg", "LportRealizedStateBatchMsg",
       "MacTableEntryMsg", "MacTableMsg", "VtepTableEntryMsg", "VtepTableMsg", "LogicalPortListMsg"});
  add({"com.zumbra.qbx.management.aggservice.MetadataProxyStatusPerLsMsg",
       "zumbra.qbx.management.aggservice.MetadataProxyStatusPerLsMsg"},
      "zumbra.qbx.agg_service.MetadataProxyStatusPerLsMsg");
  const std::string mp = "com.zumbra.qbx.management.aggservice.";
  const std::string vpn = "zumbra.qbx.agg_service.vpn.";
  for (std::string n : {"IpsecVpnTunnelTrafficStatisticsMsg", "IpsecVpnTunnelTrafficCountersMsg",
                        "IpsecVpnSessionTrafficSummaryMsg", "IpsecVpnIkeSessionStatusMsg", "IpsecVpnSessionStatisticsMsg",
                        "IpsecVpnSessionStatusMsg", "IpsecVpnServiceSummaryMsg"}) {
    std::vector<std::string> ids{mp + n};
    if (n != "IpsecVpnSessionStatusMsg") ids.push_back(mp + "IPSec" + n.substr(5));  // "Ipsec" -> "IPSec"
    ids.push_back(vpn + n);
    add(ids, vpn + n);
  }
  two(mp, vpn, "agg_service.vpn",
      {"L2VpnTransportTunnelStatusMsg", "L2VpnTunnelPortTrafficStatisticsMsg", "L2VpnSessionStatusMsg",
       "L2VpnSessionStatisticsMsg", "L2VpnPerLsTrafficStatisticsMsg", "L2VpnPerLsRemoteMacsMsg",
       "L2VpnSessionRemoteMacsMsg", "L2VpnServiceSummaryMsg"});
  two(mp + "l3.", "zumbra.qbx.agg_service.l3.", "agg_service.l3",
      {"LogicalRouterPortLocationMsg", "LogicalRouterPortArpMsg", "LogicalRouterPortArpTableMsg", "RouteEntryMsg",
       "RouteTableMsg", "MsrRouteTableMsg", "BgpNeighborAdvertisedRoutesMsg", "BgpNeighborRoutesMsg",
       "BgpNeighborEntryMsg", "BgpNeighborMsg", "LogicalRouterStatusMsg", "LogicalRoutersPerNodeMsg", "BfdStatusMsg",
       "PeerEdgeNodeStatusMsg", "EdgeNodeStatusMsg", "EdgeClusterStatusMsg", "McastRouteEntryMsg", "McastRouteMsg",
       "McastForwardEntryMsg", "McastForwardTableMsg", "McastIgmpMembershipEntryMsg", "McastIgmpMembershipMsg",
       "McastPimRpMappingEntryMsg", "McastPimRpMappingMsg", "NodeInterSiteStatisticsMsg", "BgpNeighborStatusPerNodeMsg",
       "L2ForwarderStatusPerNodeMsg", "L2ForwarderStatisticsMsg", "L2ForwarderRemoteMacsMsg", "OspfNeighborEntryMsg",
       "OspfNeighborMsg", "OspfRouteEntryMsg", "OspfRouteMsg", "OspfDatabaseEntryMsg", "OspfDatabaseMsg",
       "FrrRouteCountMsg", "GreTunnelStatsMsg"});
  two(mp, "zumbra.qbx.agg_service.", "agg_service",
      {"LbErrorMsg", "LbPoolMemberStatusMsg", "LbPoolStatusMsg", "LbVirtualServerStatusMsg", "LbServiceStatusMsg",
       "HostLbServiceStatusMsg"});
  two(mp + "lcpagent.", "zumbra.qbx.agg_service.agent.", "agg_service.agent",
      {"TnAgentStatusRequestMsg", "TnThreatMsg", "TnThreatStateMsg", "AgentStatusMsg", "TnAgentStateMsg",
       "TnAgentStatusResponseMsg"});
  two(mp, "zumbra.qbx.agg_service.", "agg_service",
      {"DhcpIpPoolUsageMsg", "DhcpServerStatisticsMsg", "DhcpServerNodeStatusMsg", "DhcpV6LeasesPerPoolOrBdMsg",
       "PerUpstreamServerStatisticMsg", "PerForwarderStatisticMsg", "DnsForwarderStatisticsMsg",
       "DnsForwarderNodeStatusMsg"});
  two(mp + "l2.", "zumbra.qbx.agg_service.l2.", "agg_service.l2",
      {"BridgeEndpointsOnBridgeNodeMsg", "BridgeEndpointStatusMsg", "BridgeClusterStatusMsg"});
  add({"zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg"},
      "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg");
  add({"com.zumbra.qbx.messaging.appinit.AppInitMsg"}, "zumbra.qbx.messaging.appinit.AppInitMsg");
  return rows;
}

inline std::vector<std::string> ExpectedReplyList() {
  struct Group {
    const char* package;
    std::vector<const char*> names;
  };
  const std::vector<Group> groups = {
      {"agg_service.messaging", {"SummationStatsResponseMsg", "OverwriteStatsResponseMsg", "OnDemandStatsResponseMsg"}},
      {"edge", {"QbxEdgeStatusRequestMsg", "QbxEdgeStatusReplyMsg"}},
      {"agg_service.simple", {"LogicalPortStateMsg", "HostLogicalPortStatusMsg"}},
      {"agg_service",
       {"StatusSummaryMsg", "ControlConnStatusMsg", "ControlConnStatusesMsg", "PnicBondMsg", "PnicBondsMsg",
        "TunnelStatusSummaryMsg", "TunnelsSummaryMsg", "BFDPropertiesMsg", "TunnelMsg", "TunnelsMsg",
        "SoftwareStatusMsg"}},
      {"agg_service.node",
       {"InterfaceAliasMsg", "NodeInterfacePropertiesMsg", "NodeFileSystemPropertiesMsg",
        "NodeOverallStatusPropertiesMsg", "NodeStatusPropertiesMsg"}},
      {"agg_service.l2",
       {"LogicalPortState", "HostLogicalPortStatusMsg", "LogicalPortMacTableEntryMsg", "LogicalPortMacTableMsg",
        "LogicalPortLocationMsg", "AddressBindingEntryMsg", "LportRealizedStateMsg", "LportRealizedStateBatchMsg",
        "MacTableEntryMsg", "MacTableMsg", "VtepTableEntryMsg", "VtepTableMsg", "LogicalPortListMsg"}},
      {"agg_service", {"MetadataProxyStatusPerLsMsg"}},
      {"agg_service.vpn",
       {"IpsecVpnTunnelTrafficStatisticsMsg", "IpsecVpnTunnelTrafficCountersMsg", "IpsecVpnSessionTrafficSummaryMsg",
        "IpsecVpnIkeSessionStatusMsg", "IpsecVpnSessionStatisticsMsg", "IpsecVpnSessionStatusMsg",
        "IpsecVpnServiceSummaryMsg", "L2VpnTransportTunnelStatusMsg", "L2VpnTunnelPortTrafficStatisticsMsg",
        "L2VpnSessionStatusMsg", "L2VpnSessionStatisticsMsg", "L2VpnPerLsTrafficStatisticsMsg",
        "L2VpnPerLsRemoteMacsMsg", "L2VpnSessionRemoteMacsMsg"}},
      {"agg_service.l3",
       {"LogicalRouterPortLocationMsg", "LogicalRouterPortArpMsg", "LogicalRouterPortArpTableMsg", "RouteEntryMsg",
        "RouteTableMsg", "MsrRouteTableMsg", "BgpNeighborAdvertisedRoutesMsg", "BgpNeighborRoutesMsg",
        "BgpNeighborEntryMsg", "BgpNeighborMsg", "LogicalRouterStatusMsg", "LogicalRoutersPerNodeMsg", "BfdStatusMsg",
        "PeerEdgeNodeStatusMsg", "EdgeNodeStatusMsg", "EdgeClusterStatusMsg"}},
      {"agg_service",
       {"LbErrorMsg", "LbPoolMemberStatusMsg", "LbPoolStatusMsg", "LbVirtualServerStatusMsg", "LbServiceStatusMsg",
        "HostLbServiceStatusMsg"}},
      {"agg_service.agent",
       {"TnAgentStatusRequestMsg", "TnThreatMsg", "TnThreatStateMsg", "AgentStatusMsg", "TnAgentStateMsg",
        "TnAgentStatusResponseMsg"}},
      {"agg_service",
       {"DhcpIpPoolUsageMsg", "DhcpServerStatisticsMsg", "DhcpServerNodeStatusMsg", "PerUpstreamServerStatisticMsg",
        "PerForwarderStatisticMsg", "DnsForwarderStatisticsMsg", "DnsForwarderNodeStatusMsg"}},
      {"agg_service.l2", {"BridgeEndpointsOnBridgeNodeMsg", "BridgeEndpointStatusMsg", "BridgeClusterStatusMsg"}},
      {"messaging.appinit", {"AppInitMsg"}},
      {"agg_service.l3",
       {"NodeInterSiteStatisticsMsg", "BgpNeighborStatusPerNodeMsg", "L2ForwarderStatusPerNodeMsg",
        "L2ForwarderStatisticsMsg", "L2ForwarderRemoteMacsMsg"}},
      {"agg_service.vpn", {"L2VpnServiceSummaryMsg"}},
      {"agg_service.l3",
       {"McastRouteEntryMsg", "McastRouteMsg", "McastForwardEntryMsg", "McastForwardTableMsg",
        "McastIgmpMembershipEntryMsg", "McastIgmpMembershipMsg", "McastPimRpMappingEntryMsg", "McastPimRpMappingMsg"}},
      {"agg_service.l2", {"RealizedIpToLogicalPortListMsg"}},
      {"agg_service.l3",
       {"OspfNeighborEntryMsg", "OspfNeighborMsg", "OspfRouteEntryMsg", "OspfRouteMsg", "OspfDatabaseEntryMsg",
        "OspfDatabaseMsg"}},
      {"agg_service.messaging", {"GenericRuntimeStatusResponseMsg"}},
      {"agg_service.l3", {"FrrRouteCountMsg", "GreTunnelStatsMsg"}},
      {"agg_service", {"DhcpV6LeasesPerPoolOrBdMsg"}},
  };
  std::vector<std::string> out;
  for (const auto& g : groups) {
    for (const char* n : g.names) out.push_back(std::string("zumbra.qbx.") + g.package + "." + n);
  }
  return out;
}

// Sets every singular scalar field of `msg` (and of its singular sub-messages, two levels
// down) from `mark`, so that two samples with different marks differ and none is empty.
inline void FillSample(google::protobuf::Message* msg, const std::string& mark, int depth = 0) {
  using google::protobuf::FieldDescriptor;
  const auto* d = msg->GetDescriptor();
  const auto* r = msg->GetReflection();
  for (int i = 0; i < d->field_count(); ++i) {
    const FieldDescriptor* f = d->field(i);
    if (f->is_repeated()) continue;
    switch (f->cpp_type()) {
      case FieldDescriptor::CPPTYPE_STRING: r->SetString(msg, f, mark + "/" + f->name()); break;
      case FieldDescriptor::CPPTYPE_INT64: r->SetInt64(msg, f, static_cast<int64_t>(mark.size()) * 1000 + f->number()); break;
      case FieldDescriptor::CPPTYPE_UINT64: r->SetUInt64(msg, f, mark.size() * 1000 + f->number()); break;
      case FieldDescriptor::CPPTYPE_INT32: r->SetInt32(msg, f, static_cast<int32_t>(mark.size()) + f->number()); break;
      case FieldDescriptor::CPPTYPE_UINT32: r->SetUInt32(msg, f, static_cast<uint32_t>(mark.size()) + f->number()); break;
      case FieldDescriptor::CPPTYPE_DOUBLE: r->SetDouble(msg, f, 0.5 + static_cast<double>(mark.size())); break;
      case FieldDescriptor::CPPTYPE_BOOL: r->SetBool(msg, f, true); break;
      case FieldDescriptor::CPPTYPE_MESSAGE:
        if (depth < 2) FillSample(r->MutableMessage(msg, f), mark, depth + 1);
        break;
      default: break;
    }
  }
}

// A filled message of the generated type `fullName`; null when this build has no such type.
inline std::unique_ptr<google::protobuf::Message> Sample(const std::string& fullName, const std::string& mark) {
  const auto* d = google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(fullName);
  if (d == nullptr) return nullptr;
  const auto* prototype = google::protobuf::MessageFactory::generated_factory()->GetPrototype(d);
  if (prototype == nullptr) return nullptr;
  std::unique_ptr<google::protobuf::Message> msg(prototype->New());
  FillSample(msg.get(), mark);
  return msg;
}

}  // namespace qbx::testing
