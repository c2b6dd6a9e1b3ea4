// Writes a StatsResponseMsg as protocol buffer wire bytes while it is being worked out, for
// the statistics encoders whose answer is bytes: no message is built and serialised
// afterwards, and the bytes are those that serialising the message would give.
//
// Threading: none; used by one encoder on the request's thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "aggsvc/stats/proto_store_factory.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {

// Field numbers of the messages that WireSink writes.
namespace statsfield {
constexpr uint32_t kTypeStatsField = 1;    // StatsResponseMsg.target_type_stats
constexpr uint32_t kTargetStatsField = 4;  // TargetTypeStatsMsg.target_stats
constexpr uint32_t kTargetIdField = 1;     // TargetStatsMsg.target_id
constexpr uint32_t kCountersField = 2;     // TargetStatsMsg.counters
constexpr uint32_t kErrorsField = 3;       // TargetStatsMsg.errors
constexpr uint32_t kKeyField = 1;          // CounterValueMsg.key
constexpr uint32_t kValueField = 2;        // CounterValueMsg.value
constexpr uint32_t kLongValueField = 3;    // CounterValueMsg.long_value
constexpr uint32_t kCounterIndexField = 4; // CounterValueMsg.counter_index
// Counter names up to this length are copied into a counter's bytes on the stack.
constexpr size_t kShortName = 64;
}  // namespace statsfield

// Writes the serialised response while it is worked out, every field in the order of its
// number, as serialising the message would: the same bytes. A target
// is written into `scratch` (small, and warm in the cache) and appended to the response in
// one piece once its length is known.
class WireSink {
 public:
  WireSink(std::string& out, std::string& scratch, size_t typeLengthWidth)
      : out(out), target(scratch), typeWidth(typeLengthWidth) {}

  // Bytes to keep for the length of the types begun from here on.
  void UseTypeLengthWidth(size_t width) { typeWidth = width; }
  // The bytes of the target begun last, as far as they are written.
  size_t TargetSize() const { return target.size(); }

  template <typename Key>
  void BeginType(const Key& key) {
    typeStart = out.size();
    typeSlot = wire::OpenField(out, statsfield::kTypeStatsField, typeWidth);
    AppendTypeFieldsBeforeTargets(key, out);
    targetsStart = out.size();
  }
  bool TypeHasTargets() const { return out.size() != targetsStart; }
  template <typename Key>
  void EndType(const Key& key) {
    AppendTypeFieldsAfterTargets(key, out);
    largestType = std::max(largestType, out.size() - typeSlot - typeWidth);
    wire::CloseField(out, typeSlot, typeWidth);
  }
  void DropType() { out.resize(typeStart); }

  void BeginTarget(const std::string& targetId) {
    target.clear();
    AppendStringIdField(target, statsfield::kTargetIdField, targetId);
    contentStart = target.size();
  }
  bool TargetHasContent() const { return target.size() != contentStart; }
  void EndTarget(const std::string& targetId) {
    if (targetId.empty()) {
      // Logs the refusal of the id as the message form does.
      zumbra::qbx::agg_service::messaging::UuidOrStringIdMsg unused;
      SetStringId(targetId, &unused);
    }
    wire::AppendBytesField(out, statsfield::kTargetStatsField, target);
  }
  void DropTarget() {}

  void Named(const std::string& name, int64_t delta) {
    const size_t nameSize = name.size();
    const size_t bodySize = 1 + wire::VarintSize(nameSize) + nameSize + 1 + 8;
    // A counter with a name of usual length is appended in one piece.
    char buffer[4 * wire::kMaxVarint + statsfield::kShortName + 1 + 8];
    char* at = wire::WriteVarint(bodySize, wire::WriteTag(statsfield::kCountersField, wire::kLengthDelimited, buffer));
    at = wire::WriteVarint(nameSize, wire::WriteTag(statsfield::kKeyField, wire::kLengthDelimited, at));
    if (nameSize > statsfield::kShortName) {
      target.append(buffer, static_cast<size_t>(at - buffer)).append(name);
      at = buffer;
    } else {
      std::memcpy(at, name.data(), nameSize);
      at += nameSize;
    }
    at = wire::WriteDouble(static_cast<double>(delta), wire::WriteTag(statsfield::kValueField, wire::kFixed64, at));
    target.append(buffer, static_cast<size_t>(at - buffer));
  }
  void Indexed(int32_t index, int64_t delta) {
    char body[4 * wire::kMaxVarint];
    char* at = wire::WriteVarint(static_cast<uint64_t>(delta), wire::WriteTag(statsfield::kLongValueField, wire::kVarint, body));
    at = wire::WriteVarint(static_cast<uint64_t>(static_cast<int64_t>(index)),
                           wire::WriteTag(statsfield::kCounterIndexField, wire::kVarint, at));
    char head[2 * wire::kMaxVarint];
    char* headEnd = wire::WriteVarint(static_cast<uint64_t>(at - body),
                                      wire::WriteTag(statsfield::kCountersField, wire::kLengthDelimited, head));
    target.append(head, static_cast<size_t>(headEnd - head)).append(body, static_cast<size_t>(at - body));
  }
  void Error(int32_t code) { wire::AppendSignedField(target, statsfield::kErrorsField, code); }

  // The bytes a type entry's length took at the most; 0 when no type was written.
  size_t LargestTypeLengthWidth() const { return largestType == 0 ? 0 : wire::VarintSize(largestType); }

 private:
  std::string& out;
  std::string& target;  // the target begun last
  size_t typeWidth;
  size_t typeStart = 0;
  size_t typeSlot = 0;
  size_t targetsStart = 0;
  size_t contentStart = 0;
  size_t largestType = 0;
};

}  // namespace qbx
