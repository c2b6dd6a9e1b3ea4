// The three strings that travel with every message between the messaging client and an
// aggregation-service client. A value type; no thread concerns. Movable, so that an answer's
// metadata can be handed to its outgoing task without copying the strings.
#pragma once

#include <string>
#include <utility>

class MsgMetadata {
 public:
  MsgMetadata(std::string typeId, std::string correlationId, std::string replyTo)
      : typeId(std::move(typeId)), correlationId(std::move(correlationId)), replyTo(std::move(replyTo)) {}
  virtual ~MsgMetadata() = default;
  MsgMetadata(const MsgMetadata&) = default;
  MsgMetadata& operator=(const MsgMetadata&) = default;
  MsgMetadata(MsgMetadata&&) noexcept = default;
  MsgMetadata& operator=(MsgMetadata&&) noexcept = default;

  // Copies the three strings into this metadata's own, whose storage is reused: a task that
  // is filled again allocates nothing for strings no longer than its earlier ones. A string
  // equal to the one held is not written (another thread may hold its memory in its cache).
  void Assign(const std::string& newTypeId, const std::string& newCorrelationId, const std::string& newReplyTo) {
    if (typeId != newTypeId) typeId = newTypeId;
    if (correlationId != newCorrelationId) correlationId = newCorrelationId;
    if (replyTo != newReplyTo) replyTo = newReplyTo;
  }

  // A management-plane type name or a full protobuf type name.
  const std::string& GetTypeId() const { return typeId; }
  // Pairs a reply with its request; a reply carries its request's.
  const std::string& GetCorrelationId() const { return correlationId; }
  const std::string& GetReplyTo() const { return replyTo; }

 private:
  std::string typeId;
  std::string correlationId;
  std::string replyTo;
};
