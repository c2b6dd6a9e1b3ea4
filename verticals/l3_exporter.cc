#include "verticals/l3_exporter.h"

#include <utility>

#include "aggsvc/vertical_adapter.h"
#include "core/logger.h"
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

void L3Exporter::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // On a smart-NIC host (persona 1) the two tables below are merged with the smart NICs'
  // through the smart-NIC client's registration; that client is not part of this library,
  // so they are filed in plain form on every node. Results are not tested: a refused
  // registration shows in the client's log.
  int persona = nodePersona ? nodePersona() : AggServiceClient::DefaultNodePersona();
  if (persona == kPersonaSmartNicHost) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp("agg-service")
        .put("[%s][%s]: Smart-NIC registration not available, serving the host's tables only", "RegisterCallbacks",
             GetName());
  }
  Plain<l3::LogicalRouterPortArpTableMsg>(*client);
  Plain<l3::RouteTableMsg>(*client);

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
