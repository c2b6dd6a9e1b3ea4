#include "verticals/krx_host_node_status_vertical.h"

#include <chrono>
#include <optional>

#include "aggsvc/snic_vertical_adapter.h"
#include "verticals/status_registration.h"
#include "zumbra/qbx/agg_service/node/node_status.pb.h"
#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace node = zumbra::qbx::agg_service::node;

namespace {

std::string TypeName() { return node::NodeStatusPropertiesMsg::default_instance().GetTypeName(); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

KrxHostNodeStatusVertical::KrxHostNodeStatusVertical(const std::string& name) : Vertical(name, true) {}

KrxHostNodeStatusVertical::~KrxHostNodeStatusVertical() = default;

const char* KrxHostNodeStatusVertical::GetName() { return Name().c_str(); }

std::shared_ptr<MetricsAgentMessage> KrxHostNodeStatusVertical::StatusMetric(size_t collectors) {
  auto metric = std::make_shared<MetricsAgentMessage>();
  metric->set_name(TypeName());
  metric->set_timestamp_ms(NowMs());
  metric->set_value(static_cast<double>(collectors));
  return metric;
}

bool KrxHostNodeStatusVertical::MergeRuntimeStatus(
    const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>& statuses,
    const std::vector<AggServiceClient::StatusMessageSource>& sources, RuntimeStatus& merged) {
  if (!merged.status) merged.status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  DefaultMergeGenericRuntimeStatus(statuses, sources, merged.status);
  // The node's metric counts the collectors it covers: the host and every smart NIC that
  // answered.
  merged.metric = StatusMetric(statuses.size());
  return true;
}

bool KrxHostNodeStatusVertical::DiffRuntimeStatus(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                                  const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second,
                                                  RuntimeStatus& changed) {
  const bool same = qbx::logical::SameRuntimeStatus(first, second);
  if (!same && second) changed.metric = StatusMetric(1);
  return same;
}

void KrxHostNodeStatusVertical::RegisterCallbacks(std::shared_ptr<AggServiceClient> client) {
  if (!client) return;
  // Node status is also collected from the smart NICs on a host that carries them: the
  // host's and theirs are merged there, and the merged status carries the node's metric.
  qbx::status::RegisterPlainWithSnic<node::NodeStatusPropertiesMsg>(client);
  AggSvcSnic::MultiCollectorCallbacks callbacks;
  callbacks.runtimeStatusDiff = &DiffRuntimeStatus;
  callbacks.runtimeStatusMerge = &MergeRuntimeStatus;
  AggSvcSnic::RegisterGenericPullHandlerWithSnic<node::NodeStatusPropertiesMsg>(
      client, qbx::logical::EmptyStatusGetter<node::NodeStatusPropertiesMsg>(), callbacks, [&client] {
        AggServiceClient::RuntimeStatusGetter getter = [](const RuntimeStatusOptionsGet&) -> std::optional<RuntimeStatus> {
          RuntimeStatus status;
          status.status = *qbx::logical::EmptyRuntimeStatus(TypeName());
          status.metric = StatusMetric(1);
          return status;
        };
        return client->RegisterGenericPullHandler<node::NodeStatusPropertiesMsg>(
            getter, AggServiceClient::RuntimeStatusDiff(&DiffRuntimeStatus));
      });
}
