// One outgoing answer, queued on a client's dispatcher thread. Run sends it through the
// client's messaging sender. The task shares the sender, so the sender stays alive while an
// answer is still queued.
//
// Threading: made on the request thread, run and deleted on the dispatcher thread.
#pragma once

#include <memory>
#include <string>

#include "aggsvc/mpa_message_sender.h"
#include "aggsvc/msg_metadata.h"
#include "core/thread.h"

class MpaMessageTask : public Runnable {
 public:
  MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, const MsgMetadata& metadata);
  ~MpaMessageTask() override = default;

  void Run() override;
  void Cleanup() override {}

  // The sender's result of the last Run (false before).
  bool Sent() const { return sent; }
  const std::string& GetPayload() const { return payload; }
  const std::string& GetTypeId() const { return typeId; }
  const std::string& GetCorrelationId() const { return correlationId; }
  const std::string& GetReplyTo() const { return replyTo; }

 private:
  std::shared_ptr<MpaMessageSender> sender;
  std::string payload;
  std::string typeId;
  std::string correlationId;
  std::string replyTo;
  bool sent = false;
};
