// Answers of the logical switching and routing verticals while their collectors are not
// wired in: every pull gets valid, empty messages (one per requested target, or one when no
// target is named) so that the management plane is answered instead of timing out, and every
// generic runtime status is an empty update of its type.
//
// Threading: stateless; safe on the request thread and on the status source's poller.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"

namespace qbx::logical {

template <class Msg>
void AnswerEmpty(const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<Msg>>& out) {
  if (targets.empty()) {
    out.push_back(std::make_shared<Msg>());
    return;
  }
  for (const auto& target : targets) {
    auto msg = std::make_shared<Msg>();
    if (target) msg->set_target_id(target->GetTargetId());
    out.push_back(std::move(msg));
  }
}

template <class Msg>
AggServiceClient::PullHandler<Msg> EmptyPullHandler() {
  return [](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<Msg>>& out) {
    AnswerEmpty<Msg>(targets, out);
  };
}

// An update that names its type and carries nothing else.
std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> EmptyRuntimeStatus(const std::string& msgTypeName);

// True when the two updates are the same; two missing updates are the same, one missing
// update differs from a present one.
bool SameRuntimeStatus(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                       const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second);

template <class Msg>
AggServiceClient::GenericStatusGetter EmptyStatusGetter() {
  return [] { return EmptyRuntimeStatus(Msg::default_instance().GetTypeName()); };
}

inline AggServiceClient::GenericStatusDiff SameStatusDiff() { return &SameRuntimeStatus; }

}  // namespace qbx::logical
