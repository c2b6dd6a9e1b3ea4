#include "aggsvc/mpa_message_task.h"

#include <cxxabi.h>

#include <exception>
#include <utility>

#include "base/logger.h"

MpaMessageTask::MpaMessageTask() : metadata("", "", "") {}

MpaMessageTask::MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload,
                               const MsgMetadata& metadata)
    : sender(std::move(sender)), payloadCount(1), firstPayload(std::move(payload)), metadata(metadata) {}

MpaMessageTask::MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, MsgMetadata&& metadata)
    : sender(std::move(sender)), payloadCount(1), firstPayload(std::move(payload)), metadata(std::move(metadata)) {}

const std::string& MpaMessageTask::GetPayload() const {
  static const std::string kNone;
  return payloadCount > 0 ? firstPayload : kNone;
}

void MpaMessageTask::Run() {
  sent.value = false;
  if (!sender) {
    // Set-up always gives the client a sender before its dispatcher thread exists; a task
    // without one can only come from a client that lost it, and has nowhere to go.
    for (size_t i = 0; i < payloadCount; ++i) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp("agg-service")
          .put("[%s] No sender for message type: %s correlationId: %s, message dropped", "Run",
               GetTypeId().c_str(), GetCorrelationId().c_str());
    }
    return;
  }
  bool all = payloadCount > 0;
  // A request gets one reply: the answers after it that the channel refuses as such are
  // counted here and reported once for the task, not one record each.
  size_t alreadyAnswered = 0;
  // A send that throws loses its own answer only: the others still go, and the first
  // exception is passed on afterwards for the dispatcher to record.
  std::exception_ptr thrown;
  for (size_t i = 0; i < payloadCount; ++i) {
    try {
      switch (sender->SendAnswer(Place(i), GetTypeId(), GetCorrelationId(), GetReplyTo())) {
        case MpaMessageSender::SendResult::kSent:
          break;
        case MpaMessageSender::SendResult::kAlreadyAnswered:
          ++alreadyAnswered;
          all = false;
          break;
        case MpaMessageSender::SendResult::kFailed:
          all = false;
          break;
      }
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      all = false;
      if (!thrown) thrown = std::current_exception();
    }
  }
  sent.value = all;
  if (alreadyAnswered > 0) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp("agg-service")
        .put("[%s] Request already answered, %zu further replies dropped - messageType: %s correlationId: %s", "Run",
             alreadyAnswered, GetTypeId().c_str(), GetCorrelationId().c_str());
  }
  if (thrown) std::rethrow_exception(thrown);
}

void MpaMessageTask::Reuse(std::shared_ptr<MpaMessageSender> newSender, std::string& newPayload,
                           const MsgMetadata& newMetadata) {
  if (sender != newSender) sender = std::move(newSender);
  firstPayload.swap(newPayload);
  payloadCount = 1;
  metadata.Assign(newMetadata);
}

void MpaMessageTask::Refill(const std::shared_ptr<MpaMessageSender>& newSender, const MsgMetadata& newMetadata) {
  if (sender != newSender) sender = newSender;
  payloadCount = 0;
  metadata.Assign(newMetadata);
}

void MpaMessageTask::AddPayload(std::string& payload) {
  if (payloadCount == Places()) morePayloads.emplace_back();
  Place(payloadCount++).swap(payload);
}

void MpaMessageTask::Retire() {
  if (Places() > kMaxKeptPayloads) morePayloads.resize(kMaxKeptPayloads - 1);
  for (size_t i = 0; i < Places(); ++i) {
    if (Place(i).capacity() > MpaMessageTaskPool::kMaxKeptPayload) std::string().swap(Place(i));
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
