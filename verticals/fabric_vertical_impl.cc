#include "verticals/fabric_vertical_impl.h"

#include <mutex>

#include "base/logger.h"
#include "base/node_identity.h"
#include "core/static_tables.h"
#include "verticals/status_registration.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"

namespace as = zumbra::qbx::agg_service;

FabricVerticalImpl::FabricVerticalImpl(const std::string& name, NodeUuidSource nodeUuidSource)
    : Vertical(name, true) {
  // The node UUID does not change while the daemon runs: it is read once for the process.
  static std::once_flag filled;
  std::call_once(filled, [&nodeUuidSource] {
    const std::string uuid = nodeUuidSource ? nodeUuidSource() : qbx::GetNodeUuid();
    qbx::SetFabricNodeUuid(uuid);
    QBX_LOG(qbx::loglevel::kInfo).put("[FabricStats] Node-uuid: %s", uuid.c_str());
  });
}

FabricVerticalImpl::~FabricVerticalImpl() = default;

const char* FabricVerticalImpl::GetName() { return Name().c_str(); }

void FabricVerticalImpl::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  qbx::status::RegisterPlain<as::SoftwareStatusMsg>(*client);
  qbx::status::RegisterGeneric<as::SoftwareStatusMsg>(*client);
}
