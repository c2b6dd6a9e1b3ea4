#include "verticals/dlb_exporter.h"

#include <utility>

#include "verticals/status_registration.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"

namespace as = zumbra::qbx::agg_service;

DlbExporter::DlbExporter(std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux)
    : Vertical(kName, true), demux(std::move(demux)) {}

DlbExporter::~DlbExporter() = default;

const char* DlbExporter::GetName() { return Name().c_str(); }

void DlbExporter::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // Service status is also collected from the smart NICs on a host that carries them.
  AggSvcSnic::SnicPullCallbacks<as::LbServiceStatusMsg> callbacks;
  callbacks.merge = &MergeServiceStatus;
  qbx::status::RegisterPlainWithSnic<as::LbServiceStatusMsg>(client, callbacks);
  qbx::status::RegisterPlain<as::HostLbServiceStatusMsg>(*client);
  qbx::status::RegisterPlain<as::LbPoolStatusMsg>(*client);
  qbx::status::RegisterPlain<as::LbVirtualServerStatusMsg>(*client);
  qbx::status::RegisterGenericWithSnic<as::LbServiceStatusMsg>(client);
}

bool DlbExporter::MergeServiceStatus(const std::vector<std::shared_ptr<as::LbServiceStatusMsg>>& all,
                                     const std::vector<AggServiceClient::StatusMessageSource>& /*sources*/,
                                     std::vector<std::shared_ptr<as::LbServiceStatusMsg>>& merged) {
  // A service runs on the host or on one smart NIC: every source's statuses are kept, the
  // host's first, and a missing one is left out rather than sent empty.
  merged.clear();
  for (const auto& status : all) {
    if (status) merged.push_back(status);
  }
  return true;
}
