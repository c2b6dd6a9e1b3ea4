#include "aggsvc/mpa_message_task.h"

#include <utility>

#include "core/logger.h"

MpaMessageTask::MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload,
                               const MsgMetadata& metadata)
    : sender(std::move(sender)), payload(std::move(payload)), metadata(metadata) {}

MpaMessageTask::MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, MsgMetadata&& metadata)
    : sender(std::move(sender)), payload(std::move(payload)), metadata(std::move(metadata)) {}

void MpaMessageTask::Run() {
  if (!sender) {
    // Set-up always gives the client a sender before its dispatcher thread exists; a task
    // without one can only come from a client that lost it, and has nowhere to go.
    QBX_LOG(qbx::loglevel::kError)
        .subcomp("agg-service")
        .put("[%s] No sender for message type: %s correlationId: %s, message dropped", "Run",
             GetTypeId().c_str(), GetCorrelationId().c_str());
    return;
  }
  sent = sender->SendMsgToMpaWrapper(payload, GetTypeId(), GetCorrelationId(), GetReplyTo());
}

void MpaMessageTask::Reuse(std::shared_ptr<MpaMessageSender> newSender, std::string& newPayload,
                           const MsgMetadata& newMetadata) {
  if (sender != newSender) sender = std::move(newSender);
  payload.swap(newPayload);
  metadata = newMetadata;
  sent = false;
}

void MpaMessageTask::Retire() {
  if (payload.capacity() > MpaMessageTaskPool::kMaxKeptPayload) {
    std::string().swap(payload);
  }
}

std::unique_ptr<MpaMessageTask> MpaMessageTaskPool::Take() {
  std::lock_guard<std::mutex> takeGuard(takeMutex);
  if (ready.empty()) {
    std::lock_guard<std::mutex> returnGuard(returnMutex);
    ready.swap(returned);
  }
  if (ready.empty()) return nullptr;
  std::unique_ptr<MpaMessageTask> task = std::move(ready.back());
  ready.pop_back();
  return task;
}

void MpaMessageTaskPool::Give(std::unique_ptr<MpaMessageTask> task) {
  if (!task) return;
  task->Retire();
  std::lock_guard<std::mutex> guard(returnMutex);
  // `ready` may hold up to kMaxKept as well; the bound is per list.
  if (returned.size() < kMaxKept) {
    if (returned.capacity() == 0) returned.reserve(kMaxKept);
    returned.push_back(std::move(task));
  }
  // Otherwise `task` is deleted on return, after the unlock (a parameter outlives the guard).
}

size_t MpaMessageTaskPool::Kept() {
  std::lock_guard<std::mutex> takeGuard(takeMutex);
  std::lock_guard<std::mutex> returnGuard(returnMutex);
  return ready.size() + returned.size();
}
