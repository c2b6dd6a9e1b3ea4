#include "verticals/idps_vertical_impl.h"

IdpsVerticalImpl::IdpsVerticalImpl(const std::string& name) : Vertical(name, false) {}

IdpsVerticalImpl::~IdpsVerticalImpl() = default;

const char* IdpsVerticalImpl::GetName() { return Name().c_str(); }

void IdpsVerticalImpl::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // Statistics stores stay empty: the answer carries no targets rather than made-up counts.
  client->RegisterPollStatsHandler([](qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory>) {});
}
