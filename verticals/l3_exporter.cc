#include "verticals/l3_exporter.h"

#include <utility>

#include "aggsvc/snic_vertical_adapter.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "platform/smartnic/sn_demux_util.h"
#include "verticals/logical_answers.h"
#include "zumbra/qbx/agg_service/l3/l3_status.pb.h"

namespace l3 = zumbra::qbx::agg_service::l3;

namespace {

constexpr int kPersonaSmartNicHost = 1;

template <class Msg>
void Plain(AggServiceClient& client) {
  client.RegisterPullHandler<Msg>(qbx::logical::EmptyPullHandler<Msg>());
}

template <class Msg>
void Generic(AggServiceClient& client) {
  client.RegisterGenericPullHandler<Msg>(qbx::logical::EmptyStatusGetter<Msg>(), qbx::logical::SameStatusDiff());
}

}  // namespace

L3Exporter::L3Exporter(std::shared_ptr<qbx::NodeDbClientExporter> nodeDb,
                       std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux, std::function<int()> nodePersona)
    : Vertical(kName, true), nodeDb(std::move(nodeDb)), demux(std::move(demux)), nodePersona(std::move(nodePersona)) {}

L3Exporter::~L3Exporter() = default;

const char* L3Exporter::GetName() { return Name().c_str(); }

AggServiceClient::RemoteTargetMapper L3Exporter::MapTargets() const {
  // The utility is shared with the other collectors and outlives the client's adapters.
  std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> util = demux;
  return [util](const std::shared_ptr<PullTarget>& target, std::vector<std::string>& ids) {
    return util && target && util->GetSNUUIDsForTarget(target->GetTargetId(), ids);
  };
}

void L3Exporter::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // A smart-NIC host whose vertical was given a plain client (no kind-1 entry in its list)
  // can serve only its own tables; say so once.
  int persona = nodePersona ? nodePersona() : AggServiceClient::DefaultNodePersona();
  if (persona == kPersonaSmartNicHost && !std::dynamic_pointer_cast<AggSvcSnic::SnicAggServiceClient>(client)) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp("agg-service")
        .put("[%s][%s]: Smart-NIC registration not available, serving the host's tables only", "RegisterCallbacks",
             GetName());
  }
  // Also collected from the smart NICs on a host that carries them: a route or ARP table
  // pull is asked only of the smart NICs that serve the named routers, when the
  // demultiplexing utility knows them. Results are not tested: a refused registration shows
  // in the client's log.
  AggSvcSnic::SnicPullCallbacks<l3::LogicalRouterPortArpTableMsg> arpCallbacks;
  arpCallbacks.targets = MapTargets();
  AggSvcSnic::RegisterPullHandlerWithSnic<l3::LogicalRouterPortArpTableMsg>(
      client, qbx::logical::EmptyPullHandler<l3::LogicalRouterPortArpTableMsg>(), arpCallbacks);
  AggSvcSnic::SnicPullCallbacks<l3::RouteTableMsg> routeCallbacks;
  routeCallbacks.targets = MapTargets();
  AggSvcSnic::RegisterPullHandlerWithSnic<l3::RouteTableMsg>(client, qbx::logical::EmptyPullHandler<l3::RouteTableMsg>(),
                                                             routeCallbacks);

  Plain<l3::MsrRouteTableMsg>(*client);
  Plain<l3::BgpNeighborMsg>(*client);
  Plain<l3::BgpNeighborAdvertisedRoutesMsg>(*client);
  Plain<l3::BgpNeighborRoutesMsg>(*client);
  Plain<l3::LogicalRoutersPerNodeMsg>(*client);
  Generic<l3::LogicalRouterStatusMsg>(*client);
  Generic<l3::EdgeClusterStatusMsg>(*client);
  Plain<l3::EdgeClusterStatusMsg>(*client);
  Plain<l3::McastRouteMsg>(*client);
  Plain<l3::McastIgmpMembershipMsg>(*client);
  Plain<l3::McastPimRpMappingMsg>(*client);
  Plain<l3::McastForwardTableMsg>(*client);
  Plain<l3::L2ForwarderStatusMsg>(*client);
  Plain<l3::L2ForwarderStatusPerNodeMsg>(*client);
  Plain<l3::L2ForwarderStatisticsMsg>(*client);
  Plain<l3::L2ForwarderRemoteMacsMsg>(*client);
  Plain<l3::NodeInterSiteStatisticsMsg>(*client);
  Plain<l3::BgpNeighborStatusPerNodeMsg>(*client);
  Generic<l3::BgpNeighborStatusPerLrMsg>(*client);
  Plain<l3::OspfNeighborMsg>(*client);
  Plain<l3::OspfRouteMsg>(*client);
  Plain<l3::OspfDatabaseMsg>(*client);
  Generic<l3::L2ForwarderStatusMsg>(*client);
  Plain<l3::FrrRouteCountMsg>(*client);
  Generic<l3::GreTunnelStatusMsg>(*client);
  Plain<l3::GreTunnelStatsMsg>(*client);
}
