// The three strings that travel with every message between the messaging client and an
// aggregation-service client. A value type; no thread concerns. Movable, so that an answer's
// metadata can be handed to its outgoing task without copying the strings.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

class MsgMetadata {
 public:
  MsgMetadata(std::string typeId, std::string correlationId, std::string replyTo)
      : typeId(std::move(typeId)), correlationId(std::move(correlationId)), replyTo(std::move(replyTo)) {}
  virtual ~MsgMetadata() = default;
  MsgMetadata(const MsgMetadata&) = default;
  MsgMetadata& operator=(const MsgMetadata&) = default;
  // The source is left without a stamp: its strings are no longer what the stamp names.
  MsgMetadata(MsgMetadata&& other) noexcept
      : typeId(std::move(other.typeId)),
        correlationId(std::move(other.correlationId)),
        replyTo(std::move(other.replyTo)),
        stamp(std::exchange(other.stamp, 0)) {}
  MsgMetadata& operator=(MsgMetadata&& other) noexcept {
    typeId = std::move(other.typeId);
    correlationId = std::move(other.correlationId);
    replyTo = std::move(other.replyTo);
    stamp = std::exchange(other.stamp, 0);
    return *this;
  }

  // Copies the three strings into this metadata's own, whose storage is reused: a task that
  // is filled again allocates nothing for strings no longer than its earlier ones. A string
  // equal to the one held is not written (another thread may hold its memory in its cache).
  // True when a string was written.
  bool Assign(const std::string& newTypeId, const std::string& newCorrelationId, const std::string& newReplyTo) {
    const bool written = CopyIn(newTypeId, newCorrelationId, newReplyTo);
    if (written || stamp == 0) stamp = NewStamp();
    return written;
  }
  // The same from another metadata. When this one was last filled from `other` (directly or
  // through copies) and neither has changed since, their stamps match and the strings are
  // not even compared: a pull's answers of one type fill task after task from one metadata.
  void Assign(const MsgMetadata& other) {
    if (stamp != 0 && stamp == other.stamp) return;
    CopyIn(other.typeId, other.correlationId, other.replyTo);
    stamp = other.stamp;
  }

  // A management-plane type name or a full protobuf type name.
  const std::string& GetTypeId() const { return typeId; }
  // Pairs a reply with its request; a reply carries its request's.
  const std::string& GetCorrelationId() const { return correlationId; }
  const std::string& GetReplyTo() const { return replyTo; }

 private:
  // Stamps are never reused in a process: two metadata with the same stamp, other than 0,
  // hold the same strings.
  static uint64_t NewStamp() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
  }
  bool CopyIn(const std::string& newTypeId, const std::string& newCorrelationId, const std::string& newReplyTo) {
    bool written = false;
    if (typeId != newTypeId) {
      typeId = newTypeId;
      written = true;
    }
    if (correlationId != newCorrelationId) {
      correlationId = newCorrelationId;
      written = true;
    }
    if (replyTo != newReplyTo) {
      replyTo = newReplyTo;
      written = true;
    }
    return written;
  }

  std::string typeId;
  std::string correlationId;
  std::string replyTo;
  // Names the strings as they were when it was given (see Assign); 0 names nothing. Written
  // by every change of the strings.
  uint64_t stamp = 0;
};
