// One outgoing message of a client: the answers of one message type to one request (one
// answer, or all the payloads a vertical's pull callback gave for one target type), queued
// together on the client's dispatcher thread. Run sends them through the client's messaging
// sender, in order, each with the task's metadata. The task shares the sender, so the sender
// stays alive while an answer is still queued.
//
// Threading: made (or taken from the client's pool) and filled on a request thread, run and
// given back to the pool (or deleted) on the dispatcher thread.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aggsvc/mpa_message_sender.h"
#include "aggsvc/msg_metadata.h"
#include "core/thread.h"

// Laid out for the hand-over: what the request thread writes comes first; the one field the
// dispatcher thread writes (`sent`) has a cache line of its own, so that a task coming back
// for reuse is not dirty in the other core's cache where the request thread writes it again.
class alignas(64) MpaMessageTask : public Runnable {
 public:
  // An empty task: no answers and no sender until Refill.
  MpaMessageTask();
  // One answer.
  MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, const MsgMetadata& metadata);
  // Takes the metadata's strings instead of copying them.
  MpaMessageTask(std::shared_ptr<MpaMessageSender> sender, std::string payload, MsgMetadata&& metadata);
  ~MpaMessageTask() override = default;

  // Makes a finished task one new answer. The payload is swapped in: `payload` comes back with
  // the storage of the task's previous first payload, to be freed by the caller's thread. The
  // metadata is copied into the strings the task already has.
  void Reuse(std::shared_ptr<MpaMessageSender> newSender, std::string& newPayload, const MsgMetadata& newMetadata);
  // Makes a finished (or empty) task the answers of one message type to one request, with no
  // payload yet: the strings of `newMetadata` are copied into the task's own, once for all its
  // answers, and compared (and copied) only when the task was not last filled from that
  // metadata as it is now (see MsgMetadata::Assign).
  void Refill(const std::shared_ptr<MpaMessageSender>& newSender, const MsgMetadata& newMetadata);
  // Appends one answer. Swapped in as by Reuse: `payload` comes back with whatever storage the
  // task kept in that place (or empty).
  void AddPayload(std::string& payload);
  // Lets go of unusually large payloads and of payload places beyond kMaxKeptPayloads, and
  // keeps the rest of the storage (a task is refilled before it is run again). Writes nothing
  // otherwise. The sender is kept: it is the client's own, which outlives the client's pool,
  // and re-pointing a shared pointer on both threads for every answer would bounce its count
  // between them.
  void Retire();

  // Sends every answer, in order; without a sender each is dropped with a record. Answers
  // that the sender refuses because their request was answered already get one warning
  // for the task, with their number.
  void Run() override;
  void Cleanup() override {}

  // Whether the sender took every answer of the task's last Run (false before its first, and
  // for a task without answers).
  bool Sent() const { return sent.value; }
  size_t PayloadCount() const { return payloadCount; }
  // The first answer's payload; empty when there is none.
  const std::string& GetPayload() const;
  // What payload place `index` holds (an answer when below PayloadCount); `index` must be
  // below the number of places, which is at least PayloadCount and never 0.
  const std::string& GetPayload(size_t index) const { return Place(index); }
  const std::string& GetTypeId() const { return metadata.GetTypeId(); }
  const std::string& GetCorrelationId() const { return metadata.GetCorrelationId(); }
  const std::string& GetReplyTo() const { return metadata.GetReplyTo(); }

  // Payload places a finished task keeps for its next answers.
  static constexpr size_t kMaxKeptPayloads = 16;

 private:
  std::string& Place(size_t index) { return index == 0 ? firstPayload : morePayloads[index - 1]; }
  const std::string& Place(size_t index) const { return index == 0 ? firstPayload : morePayloads[index - 1]; }
  size_t Places() const { return 1 + morePayloads.size(); }

  // Links the tasks handed over and not yet taken by the dispatcher thread; written by the
  // request thread that pushes the task, only read on the other side.
  friend class MpaAnswerQueue;
  MpaMessageTask* next = nullptr;

  std::shared_ptr<MpaMessageSender> sender;
  size_t payloadCount = 0;
  // The first payloadCount places are the answers; the places after them keep storage.
  std::string firstPayload;
  std::vector<std::string> morePayloads;
  MsgMetadata metadata;
  struct alignas(64) Result {
    bool value = false;
  };
  Result sent;
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
  // Tasks a client puts in its pool when its dispatcher thread starts. With only a few in
  // circulation the request side would find `ready` empty at almost every answer and take
  // the lock the dispatcher thread gives back under; with these it swaps the lists once per
  // so many answers.
  static constexpr size_t kCirculating = 32;
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
