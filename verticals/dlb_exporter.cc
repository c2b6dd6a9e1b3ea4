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
  qbx::status::RegisterPlain<as::LbServiceStatusMsg>(*client);
  qbx::status::RegisterPlain<as::HostLbServiceStatusMsg>(*client);
  qbx::status::RegisterGeneric<as::LbServiceStatusMsg>(*client);
}
