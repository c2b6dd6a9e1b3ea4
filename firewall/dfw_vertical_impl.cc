#include "firewall/dfw_vertical_impl.h"

#include <utility>

DFWVerticalImpl::DFWVerticalImpl(const std::string& name, std::shared_ptr<qbx::NodeDbClientExporter> nodeDb)
    : Vertical(name, false), nodeDb(std::move(nodeDb)) {}

DFWVerticalImpl::~DFWVerticalImpl() = default;

const char* DFWVerticalImpl::GetName() { return Name().c_str(); }

void DFWVerticalImpl::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // No rule counters to read: the stores stay empty rather than carry made-up counts.
  client->RegisterPollStatsHandler([](qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory>) {});
}
