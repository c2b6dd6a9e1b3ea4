#include "verticals/krx_host_node_status_vertical.h"

#include "verticals/status_registration.h"
#include "zumbra/qbx/agg_service/node/node_status.pb.h"

namespace node = zumbra::qbx::agg_service::node;

KrxHostNodeStatusVertical::KrxHostNodeStatusVertical(const std::string& name) : Vertical(name, true) {}

KrxHostNodeStatusVertical::~KrxHostNodeStatusVertical() = default;

const char* KrxHostNodeStatusVertical::GetName() { return Name().c_str(); }

void KrxHostNodeStatusVertical::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  qbx::status::RegisterPlain<node::NodeStatusPropertiesMsg>(*client);
  qbx::status::RegisterGeneric<node::NodeStatusPropertiesMsg>(*client);
}
