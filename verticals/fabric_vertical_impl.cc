#include "verticals/fabric_vertical_impl.h"

#include "verticals/status_registration.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"

namespace as = zumbra::qbx::agg_service;

FabricVerticalImpl::FabricVerticalImpl(const std::string& name) : Vertical(name, true) {}

FabricVerticalImpl::~FabricVerticalImpl() = default;

const char* FabricVerticalImpl::GetName() { return Name().c_str(); }

void FabricVerticalImpl::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  qbx::status::RegisterPlain<as::SoftwareStatusMsg>(*client);
  qbx::status::RegisterGeneric<as::SoftwareStatusMsg>(*client);
}
