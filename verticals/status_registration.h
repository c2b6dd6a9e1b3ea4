// Registration helpers for the status verticals whose collectors are not wired in on this
// node: each type is filed with the empty-but-valid answers of logical_answers.h (one
// message per pull target, an update that names only its type for runtime status).
// Results are not tested: a refused registration shows in the client's own log.
//
// The smart-NIC forms are used on a host with smart NICs (persona 1, read at registration)
// and fall back to the plain forms everywhere else, so every type is served on every node.
#pragma once

#include <memory>
#include <optional>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/snic_vertical_adapter.h"
#include "aggsvc/vertical_adapter.h"
#include "verticals/logical_answers.h"

namespace qbx::status {

template <class Msg>
int RegisterPlain(AggServiceClient& client) {
  return client.RegisterPullHandler<Msg>(qbx::logical::EmptyPullHandler<Msg>());
}

template <class Msg>
int RegisterGeneric(AggServiceClient& client) {
  return client.RegisterGenericPullHandler<Msg>(qbx::logical::EmptyStatusGetter<Msg>(), qbx::logical::SameStatusDiff());
}

// The runtime-status form: the empty update of the type, with no health metric.
template <class Msg>
int RegisterRuntimeStatus(AggServiceClient& client) {
  AggServiceClient::RuntimeStatusGetter getter = [](const RuntimeStatusOptionsGet&) -> std::optional<RuntimeStatus> {
    RuntimeStatus status;
    status.status = *qbx::logical::EmptyRuntimeStatus(Msg::default_instance().GetTypeName());
    return status;
  };
  AggServiceClient::RuntimeStatusDiff diff = [](const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                                                const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second,
                                                RuntimeStatus&) { return qbx::logical::SameRuntimeStatus(first, second); };
  return client.RegisterGenericPullHandler<Msg>(getter, diff);
}

// A pull of a type also collected from smart NICs: the host's messages and every smart
// NIC's, host first.
template <class Msg>
int RegisterPlainWithSnic(const std::shared_ptr<AggServiceClient>& client,
                          const AggSvcSnic::SnicPullCallbacks<Msg>& callbacks = {}) {
  return AggSvcSnic::RegisterPullHandlerWithSnic<Msg>(client, qbx::logical::EmptyPullHandler<Msg>(), callbacks);
}

// The generic-status style of a type also collected from smart NICs: the host's update and
// the smart NICs' merged by the default merge (entries of all, the host's time stamp and
// error), compared as a whole.
template <class Msg>
int RegisterGenericWithSnic(const std::shared_ptr<AggServiceClient>& client) {
  AggSvcSnic::MultiCollectorCallbacks callbacks;
  callbacks.genericStatusDiff = qbx::logical::SameStatusDiff();
  callbacks.genericStatusMerge = &DefaultMergeGenericRuntimeStatus;
  return AggSvcSnic::RegisterGenericPullHandlerWithSnic<Msg>(client, qbx::logical::EmptyStatusGetter<Msg>(),
                                                             callbacks, [&client] { return RegisterGeneric<Msg>(*client); });
}

}  // namespace qbx::status
