#include "channels/status/status_types.h"

#include <ctime>

#include "core/static_tables.h"

namespace qbx::StatusSource {

namespace st = zumbra::qbx::agg_service::status;

const std::unordered_map<std::string, AggServiceStatusMsgType>& SupportedMsgTypes() {
  static const auto* table = [] {
    auto* t = new std::unordered_map<std::string, AggServiceStatusMsgType>{
        {"zumbra.qbx.agg_service.node.NodeStatusPropertiesMsg", st::STATUS_MSG_NODE_STATUS_PROPERTIES},
        {"zumbra.qbx.agg_service.l2.LogicalPortState", st::STATUS_MSG_LOGICAL_PORT_STATE},
        {"zumbra.qbx.agg_service.l2.BridgeEndpointStatusMsg", st::STATUS_MSG_BRIDGE_ENDPOINT_STATUS},
        {"zumbra.qbx.agg_service.l3.L2ForwarderStatusMsg", st::STATUS_MSG_L2_FORWARDER_STATUS},
        {"zumbra.qbx.agg_service.l3.BgpNeighborStatusPerLrMsg", st::STATUS_MSG_BGP_NEIGHBOR_STATUS_PER_LR},
        {"zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg", st::STATUS_MSG_LOGICAL_ROUTER_STATUS},
        {"zumbra.qbx.agg_service.vpn.L2VpnSessionStatusMsg", st::STATUS_MSG_L2VPN_SESSION_STATUS},
        {"zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatusMsg", st::STATUS_MSG_IPSEC_VPN_SESSION_STATUS},
        {"zumbra.qbx.agg_service.LbServiceStatusMsg", st::STATUS_MSG_LB_SERVICE_STATUS},
        {"zumbra.qbx.agg_service.SoftwareStatusMsg", st::STATUS_MSG_SOFTWARE_STATUS},
        {"zumbra.qbx.agg_service.TunnelsSummaryMsg", st::STATUS_MSG_TUNNELS_SUMMARY},
        {"zumbra.qbx.agg_service.ControlConnStatusesMsg", st::STATUS_MSG_CONTROL_CONN_STATUSES},
        {"zumbra.qbx.agg_service.PnicBondsMsg", st::STATUS_MSG_PNIC_BONDS},
        {"zumbra.qbx.agg_service.simple.LogicalPortStateMsg", st::STATUS_MSG_SIMPLE_LOGICAL_PORT_STATE},
        {"zumbra.qbx.agg_service.l3.GreTunnelStatusMsg", st::STATUS_MSG_GRE_TUNNEL_STATUS},
        {"zumbra.qbx.agg_service.l3.EdgeClusterStatusMsg", st::STATUS_MSG_EDGE_CLUSTER_STATUS},
    };
    t->max_load_factor(1.0);
    return t;
  }();
  return *table;
}

const std::unordered_map<std::string, AggServiceStatusVerticalType>& SupportedVerticals() {
  static const auto* table = [] {
    auto* t = new std::unordered_map<std::string, AggServiceStatusVerticalType>{
        {"HostNodeStatusVertical", st::VERTICAL_HOST_NODE_STATUS},
        {"AggSvc-L2-Bridging", st::VERTICAL_L2_BRIDGING},
        {"AggSvc-L2-Switching", st::VERTICAL_L2_SWITCHING},
        {"AggSvc-Routing", st::VERTICAL_ROUTING},
        {"AggSvc-Vpn", st::VERTICAL_VPN},
        {"AggSvc-Lb", st::VERTICAL_LB},
        {"FabricStats", st::VERTICAL_FABRIC},
        {"TransportNodeStatusVertical", st::VERTICAL_TRANSPORT_NODE_STATUS},
        {"SimpleL2Vertical", st::VERTICAL_SIMPLE_L2},
    };
    t->max_load_factor(1.0);
    return t;
  }();
  return *table;
}

// Both are typed views of the process-wide tables, which hold the one definition.
const std::map<AggServiceStatusVerticalType, uint64_t>& DefaultPollingIntervals() {
  static const auto* table = [] {
    auto* t = new std::map<AggServiceStatusVerticalType, uint64_t>;
    for (const auto& [id, seconds] : qbx::StatusSourceDefaultIntervals()) {
      t->emplace(static_cast<AggServiceStatusVerticalType>(id), static_cast<uint64_t>(seconds));
    }
    return t;
  }();
  return *table;
}

const std::unordered_map<std::string, AggServiceStatusVerticalType>& ConfigFileVerticals() {
  static const auto* table = [] {
    auto* t = new std::unordered_map<std::string, AggServiceStatusVerticalType>;
    for (const auto& [name, id] : qbx::StatusSourceVerticalIds()) {
      t->emplace(name, static_cast<AggServiceStatusVerticalType>(id));
    }
    return t;
  }();
  return *table;
}

std::string VerticalName(AggServiceStatusVerticalType vertical) {
  return st::AggServiceStatusVerticalType_Name(vertical);
}

std::string MsgTypeName(AggServiceStatusMsgType msgType) { return st::AggServiceStatusMsgType_Name(msgType); }

std::string WallClockText(TimePoint when, TimePoint now) {
  const auto wall = std::chrono::system_clock::now() -
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(now - when);
  const std::time_t t = std::chrono::system_clock::to_time_t(wall);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%b-%d %H:%M:%S", &tm) == 0) return "";
  return buf;
}

}  // namespace qbx::StatusSource
