// The absolute statistics encoder: writes what a vertical collected, as it is, into a
// StatsResponseMsg. One is created per overwrite, on-demand or full summation request.
//
// Threading: belongs to the request that created it; used on that request's thread.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <google/protobuf/arena.h>

#include "aggsvc/stats/stats_store_factory.h"

namespace zumbra::qbx::agg_service::messaging {
class StatsResponseMsg;
class TargetStatsMsg;
class TargetTypeStatsMsg;
class UuidOrStringIdMsg;
}  // namespace zumbra::qbx::agg_service::messaging

namespace qbx {

// Milliseconds since the epoch.
uint64_t GetCurrentTimeMs();

// Sets the string form of `id` to `text`; false (and an error record) for a null message or
// an empty text.
bool SetStringId(const std::string& text, zumbra::qbx::agg_service::messaging::UuidOrStringIdMsg* id);

// Helpers shared by the absolute and the delta encoders.
// Fills in a target type entry's identity from its key.
void SetTypeFields(const TargetMetaData& key, zumbra::qbx::agg_service::messaging::TargetTypeStatsMsg* entry);
void SetTypeFields(const TargetMetaDataNew& key, zumbra::qbx::agg_service::messaging::TargetTypeStatsMsg* entry);
// Stamps a finished statistics response with the current time and logs it at debug level.
void FinishStatsResponse(zumbra::qbx::agg_service::messaging::StatsResponseMsg* response);
// The named/positional counter map behind a target's store; logs with `tag` and gives nullptr
// when the store is of another kind. `which` names the store (prev, cur) in the log.
TargetStatsMap* AsTargetStatsMap(ITargetStatsStore* store, const char* tag, const char* which);

// A response message allocated on an arena of its own that lives as long as the message:
// a response of thousands of targets is then built and freed in a few large blocks instead
// of one allocation per counter.
template <typename T>
std::shared_ptr<T> MakeArenaMessage() {
  google::protobuf::ArenaOptions options;
  options.start_block_size = 4096;
  options.max_block_size = 64 * 1024;  // below the allocator's mmap threshold
  auto arena = std::make_shared<google::protobuf::Arena>(options);
  T* message = google::protobuf::Arena::CreateMessage<T>(arena.get());
  return std::shared_ptr<T>(std::move(arena), message);
}

// Hands out byte buffers and takes back one that was released, to fill it again: the
// serialised statistics of a response of thousands of targets then reuse the memory of an
// earlier one instead of allocating (and faulting in) megabytes per poll. Meant for a
// sequence of responses of about the same size, such as the deltas of one vertical. Holds at
// most one released buffer, and none beyond kMaxKeptBytes: between two polls of a hundred
// thousand targets a kept buffer would double what the client holds besides its cached
// answer, and at that size the fresh memory costs little next to writing it. A buffer may
// be released on any thread, also after the recycler is gone (it is then freed).
class BufferRecycler : public std::enable_shared_from_this<BufferRecycler> {
 public:
  static std::shared_ptr<BufferRecycler> Create() {
    return std::shared_ptr<BufferRecycler>(new BufferRecycler());
  }

  static constexpr size_t kMaxKeptBytes = 4u << 20;

  // An empty buffer: the released one (with its capacity) if there is one, else a new one.
  std::shared_ptr<std::string> Take();
  bool HasSpare();

 private:
  // Deleter of a buffer handed out: gives the buffer back, or lets it go when the recycler
  // is gone.
  struct Returner {
    std::weak_ptr<BufferRecycler> recycler;
    std::unique_ptr<std::string> buffer;
    void operator()(std::string* /*released*/);
  };

  BufferRecycler() = default;
  void Give(std::unique_ptr<std::string> buffer);

  std::mutex mutex;
  std::unique_ptr<std::string> spare;
};

// Makes room for `capacity` bytes in `out` (no effect when it has as much). An answer of
// 32 MiB or more (some 90,000 targets) nearly always gets memory fresh from the kernel: the
// allocator maps a block that large on its own and unmaps it when it is freed, and keeping
// one for the next answer would break what a client may hold between polls. Its pages still
// to be written are therefore asked for as huge pages: they come in a few dozen faults
// instead of one per 4 KiB page (18,000 for the statistics bytes and the reply of 100,000
// targets), which cost more than writing the answer itself.
void ReserveAnswer(std::string& out, size_t capacity);

// The protocol buffer wire format, for responses that are written as bytes instead of being
// built as messages and serialised afterwards. Every writer appends to a std::string.
namespace wire {

constexpr uint32_t kVarint = 0;
constexpr uint32_t kFixed64 = 1;
constexpr uint32_t kLengthDelimited = 2;
// Longest varint: a 64-bit value (and so a negative int32, which is sign-extended).
constexpr size_t kMaxVarint = 10;

inline size_t VarintSize(uint64_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

// Writes `value` at `at` and returns the end of what it wrote (at most kMaxVarint bytes).
inline char* WriteVarint(uint64_t value, char* at) {
  while (value >= 0x80) {
    *at++ = static_cast<char>(value | 0x80);
    value >>= 7;
  }
  *at++ = static_cast<char>(value);
  return at;
}

inline char* WriteTag(uint32_t field, uint32_t type, char* at) {
  return WriteVarint((static_cast<uint64_t>(field) << 3) | type, at);
}

// A double as fixed64, little-endian as the format wants it whatever the host.
inline char* WriteDouble(double value, char* at) {
  uint64_t bits;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &bits, sizeof bits);
    return at + sizeof bits;
  } else {
    for (int i = 0; i < 8; ++i) *at++ = static_cast<char>(bits >> (8 * i));
    return at;
  }
}

inline void AppendVarintField(std::string& out, uint32_t field, uint64_t value) {
  char buffer[2 * kMaxVarint];
  char* end = WriteVarint(value, WriteTag(field, kVarint, buffer));
  out.append(buffer, static_cast<size_t>(end - buffer));
}

// int32 and int64 fields: a negative value takes ten bytes, as the format says.
inline void AppendSignedField(std::string& out, uint32_t field, int64_t value) {
  AppendVarintField(out, field, static_cast<uint64_t>(value));
}

inline void AppendBytesField(std::string& out, uint32_t field, const std::string& bytes) {
  char buffer[2 * kMaxVarint];
  char* end = WriteVarint(bytes.size(), WriteTag(field, kLengthDelimited, buffer));
  out.append(buffer, static_cast<size_t>(end - buffer));
  out.append(bytes);
}

// A length-delimited field whose body is appended after its length is known: Open writes
// the tag and keeps `width` bytes for the length; Close writes the length there, moving the
// body when its length takes more or fewer bytes than were kept. A width that is right for
// the common size saves the move.
inline size_t OpenField(std::string& out, uint32_t field, size_t width) {
  char buffer[kMaxVarint];
  char* end = WriteTag(field, kLengthDelimited, buffer);
  out.append(buffer, static_cast<size_t>(end - buffer));
  const size_t slot = out.size();
  out.append(width, '\0');
  return slot;
}
void CloseField(std::string& out, size_t slot, size_t width);

}  // namespace wire

// Appends the wire form of a target type entry's identity that precedes its targets (field
// order: parent type, parent id, target type, targets, stat type), and the part that follows
// them: together what SetTypeFields sets.
void AppendTypeFieldsBeforeTargets(const TargetMetaData& key, std::string& out);
void AppendTypeFieldsBeforeTargets(const TargetMetaDataNew& key, std::string& out);
inline void AppendTypeFieldsAfterTargets(const TargetMetaData& /*key*/, std::string& /*out*/) {}
void AppendTypeFieldsAfterTargets(const TargetMetaDataNew& key, std::string& out);
// Appends the wire form of a UuidOrStringIdMsg field that carries `text`, as SetStringId
// sets it (an empty text gives an empty message; the caller logs the refusal).
void AppendStringIdField(std::string& out, uint32_t field, const std::string& text);

// Stamps the serialised StatsResponseMsg that starts at `start` in `out` with the current
// time (appended: the timestamp is its last field) and logs it at debug level, as
// FinishStatsResponse does for a message.
void FinishStatsResponse(std::string& out, size_t start);

// Writes to `out` the serialised SummationStatsResponseMsg of `seqNum` with the serialised
// StatsResponseMsg `stats`. False when the response would exceed what a protobuf message may
// hold (2 GiB), as serialising the message would be.
bool SerialiseSummationResponse(uint64_t seqNum, const std::string& stats, std::string& out);

class ProtoStoreFactoryImpl : public StatsStoreFactoryImpl {
 public:
  ProtoStoreFactoryImpl() = default;

  // Fills `response` from the current collections: target-type keys first, then stat-type
  // keys. A failing type or target is logged and left out; false only for a null output or
  // missing collections.
  bool Encode(zumbra::qbx::agg_service::messaging::StatsResponseMsg* response) override;
  // The same response appended to `out` as the serialised StatsResponseMsg, written without
  // building the message: for the handlers, whose answer is bytes. Same failures (false,
  // nothing appended).
  bool EncodeWire(std::string* out);

 private:
  bool EncodeTargetTypeStats(const TargetStatsColl* coll,
                             zumbra::qbx::agg_service::messaging::TargetTypeStatsMsg* out);
  bool EncodeTargetStats(ITargetStatsStore* store,
                         zumbra::qbx::agg_service::messaging::TargetStatsMsg* out);
};

}  // namespace qbx
