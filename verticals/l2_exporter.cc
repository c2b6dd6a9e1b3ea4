#include "verticals/l2_exporter.h"

#include <utility>

#include "aggsvc/snic_vertical_adapter.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
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
  // A smart-NIC host whose vertical was given a plain client (no kind-1 entry in its list)
  // can serve only its own tables; say so once.
  int persona = nodePersona ? nodePersona() : AggServiceClient::DefaultNodePersona();
  if (persona == kPersonaSmartNicHost && !std::dynamic_pointer_cast<AggSvcSnic::SnicAggServiceClient>(client)) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp("agg-service")
        .put("[%s][%s]: Smart-NIC registration not available, serving the host's tables only", "RegisterCallbacks",
             GetName());
  }
  // Also collected from the smart NICs on a host that carries them: merged with theirs
  // through the smart-NIC client, plain everywhere else.
  AggSvcSnic::RegisterPullHandlerWithSnic<l2::LogicalPortMacTableMsg>(
      client, qbx::logical::EmptyPullHandler<l2::LogicalPortMacTableMsg>(), {});
  AggSvcSnic::RegisterPullHandlerWithSnic<l2::MacTableMsg>(client, qbx::logical::EmptyPullHandler<l2::MacTableMsg>(),
                                                           {});
  AggSvcSnic::RegisterPullHandlerWithSnic<l2::VtepTableMsg>(client, qbx::logical::EmptyPullHandler<l2::VtepTableMsg>(),
                                                            {});
}
