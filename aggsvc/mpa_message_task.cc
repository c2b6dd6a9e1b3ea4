#include "aggsvc/mpa_message_task.h"

#include <utility>

#include "core/logger.h"

MpaMessageTask::MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload,
                               const MsgMetadata& metadata)
    : sender(std::move(sender)),
      payload(std::move(payload)),
      typeId(metadata.GetTypeId()),
      correlationId(metadata.GetCorrelationId()),
      replyTo(metadata.GetReplyTo()) {}

void MpaMessageTask::Run() {
  if (!sender) {
    // Set-up always gives the client a sender before its dispatcher thread exists; a task
    // without one can only come from a client that lost it, and has nowhere to go.
    QBX_LOG(qbx::loglevel::kError)
        .subcomp("agg-service")
        .put("[%s] No sender for message type: %s correlationId: %s, message dropped", "Run", typeId.c_str(),
             correlationId.c_str());
    return;
  }
  sent = sender->SendMsgToMpaWrapper(payload, typeId, correlationId, replyTo);
}
