#include "verticals/l2_exporter.h"

#include <utility>

#include "aggsvc/vertical_adapter.h"
#include "core/logger.h"
#include "verticals/logical_answers.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace l2 = zumbra::qbx::agg_service::l2;

namespace {
constexpr int kPersonaSmartNicHost = 1;
}  // namespace

L2Exporter::L2Exporter(std::shared_ptr<qbx::NodeDbClientExporter> nodeDb,
                       std::shared_ptr<TransportNodeStatusReporter> transportNodeStatus,
                       std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux, std::function<int()> nodePersona)
    : Vertical(kName, true),
      nodeDb(std::move(nodeDb)),
      transportNodeStatus(std::move(transportNodeStatus)),
      demux(std::move(demux)),
      nodePersona(std::move(nodePersona)) {}

L2Exporter::~L2Exporter() = default;

const char* L2Exporter::GetName() { return Name().c_str(); }

std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> L2Exporter::GetLogicalPortStateGenericRuntimeMsg() {
  return qbx::logical::EmptyRuntimeStatus(l2::LogicalPortState::default_instance().GetTypeName());
}

bool L2Exporter::LogicalPortStateGenericRuntimeDiff(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                                    const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second) {
  return qbx::logical::SameRuntimeStatus(first, second);
}

void L2Exporter::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // Results are not tested: a refused registration shows in the client's log.
  client->RegisterPullHandler<l2::HostLogicalPortStatusMsg>(qbx::logical::EmptyPullHandler<l2::HostLogicalPortStatusMsg>());
  // The client holds this vertical, so the vertical outlives the adapters bound to it.
  client->RegisterGenericPullHandler<l2::LogicalPortState>(
      AggServiceClient::GenericStatusGetter([this] { return GetLogicalPortStateGenericRuntimeMsg(); }),
      AggServiceClient::GenericStatusDiff(
          [this](const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                 const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second) {
            return LogicalPortStateGenericRuntimeDiff(first, second);
          }));
  // On a smart-NIC host (persona 1) these three tables are merged with the smart NICs'
  // through the smart-NIC client's registration; that client is not part of this library,
  // so they are filed in plain form on every node and answer with the host's own data.
  int persona = nodePersona ? nodePersona() : AggServiceClient::DefaultNodePersona();
  if (persona == kPersonaSmartNicHost) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp("agg-service")
        .put("[%s][%s]: Smart-NIC registration not available, serving the host's tables only", "RegisterCallbacks",
             GetName());
  }
  client->RegisterPullHandler<l2::LogicalPortMacTableMsg>(qbx::logical::EmptyPullHandler<l2::LogicalPortMacTableMsg>());
  client->RegisterPullHandler<l2::MacTableMsg>(qbx::logical::EmptyPullHandler<l2::MacTableMsg>());
  client->RegisterPullHandler<l2::VtepTableMsg>(qbx::logical::EmptyPullHandler<l2::VtepTableMsg>());
}
