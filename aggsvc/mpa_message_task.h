// One outgoing answer, queued on a client's dispatcher thread. Run sends it through the
// client's messaging sender. The task shares the sender, so the sender stays alive while an
// answer is still queued.
//
// Threading: made (or taken from the client's pool) on the request thread, run and deleted
// (or given back to the pool) on the dispatcher thread.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aggsvc/mpa_message_sender.h"
#include "aggsvc/msg_metadata.h"
#include "core/thread.h"

class MpaMessageTask : public Runnable {
 public:
  MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, const MsgMetadata& metadata);
  // Takes the metadata's strings instead of copying them (the last answer of a request).
  MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, MsgMetadata&& metadata);
  ~MpaMessageTask() override = default;

  // Makes a finished task a new answer. The payload is swapped in: `payload` comes back
  // with the storage of the task's previous payload, to be freed by the caller's thread. The
  // metadata is copied into the strings the task already has.
  void Reuse(std::shared_ptr<MpaMessageSender> newSender, std::string& newPayload, const MsgMetadata& newMetadata);
  // Lets go of an unusually large payload; keeps the rest of the storage. The sender is
  // kept: it is the client's own, which outlives the client's pool, and re-pointing a
  // shared pointer on both threads for every answer would bounce its count between them.
  void Retire();

  void Run() override;
  void Cleanup() override {}

  // The sender's result of the last Run (false before).
  bool Sent() const { return sent; }
  const std::string& GetPayload() const { return payload; }
  const std::string& GetTypeId() const { return metadata.GetTypeId(); }
  const std::string& GetCorrelationId() const { return metadata.GetCorrelationId(); }
  const std::string& GetReplyTo() const { return metadata.GetReplyTo(); }

 private:
  std::shared_ptr<MpaMessageSender> sender;
  std::string payload;
  MsgMetadata metadata;
  bool sent = false;
};

// Finished answer tasks kept for reuse with the storage of their strings. Without it every
// answer costs several allocations on the request thread that the dispatcher thread frees,
// which is the allocator's slow path (memory freed by a thread other than its allocator's
// goes back through the shared arena under its lock). Bounded: beyond kMaxKept a finished
// task is deleted.
//
// Threading: Take on request threads, Give on the dispatcher thread. Two lists, so that the
// two sides do not meet on one lock for every task: the dispatcher gives back into
// `returned` (returnMutex); the request side takes from `ready` (takeMutex) and, only when
// that is empty, swaps the two under both locks (takeMutex before returnMutex).
class MpaMessageTaskPool {
 public:
  static constexpr size_t kMaxKept = 256;
  // A payload buffer larger than this is not kept with its task.
  static constexpr size_t kMaxKeptPayload = 1024;

  // A finished task, or null when none is kept.
  std::unique_ptr<MpaMessageTask> Take();
  void Give(std::unique_ptr<MpaMessageTask> task);
  size_t Kept();

 private:
  std::mutex takeMutex;
  std::vector<std::unique_ptr<MpaMessageTask>> ready;  // guarded by takeMutex
  std::mutex returnMutex;
  std::vector<std::unique_ptr<MpaMessageTask>> returned;  // guarded by returnMutex
};
