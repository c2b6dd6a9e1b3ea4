// Registration helpers for the status verticals whose collectors are not wired in on this
// node: each type is filed with the empty-but-valid answers of logical_answers.h (one
// message per pull target, an update that names only its type for runtime status).
// Results are not tested: a refused registration shows in the client's own log.
#pragma once

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "verticals/logical_answers.h"

namespace qbx::status {

template <class Msg>
void RegisterPlain(AggServiceClient& client) {
  client.RegisterPullHandler<Msg>(qbx::logical::EmptyPullHandler<Msg>());
}

template <class Msg>
void RegisterGeneric(AggServiceClient& client) {
  client.RegisterGenericPullHandler<Msg>(qbx::logical::EmptyStatusGetter<Msg>(), qbx::logical::SameStatusDiff());
}

}  // namespace qbx::status
