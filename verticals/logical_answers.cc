#include "verticals/logical_answers.h"

namespace qbx::logical {

std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> EmptyRuntimeStatus(const std::string& msgTypeName) {
  auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
  status->set_msg_type(msgTypeName);
  return status;
}

bool SameRuntimeStatus(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& first,
                       const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& second) {
  if (!first || !second) return !first && !second;
  return first->SerializeAsString() == second->SerializeAsString();
}

}  // namespace qbx::logical
