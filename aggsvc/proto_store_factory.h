// The absolute statistics encoder: writes what a vertical collected, as it is, into a
// StatsResponseMsg. One is created per overwrite, on-demand or full summation request.
//
// Threading: belongs to the request that created it; used on that request's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <google/protobuf/arena.h>

#include "aggsvc/stats_store_factory.h"

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

// Hands out response messages and takes back one that was released, to fill it again: a
// response of thousands of targets then reuses its sub-messages and strings (cleared, with
// their memory kept, in the few blocks of its own arena) instead of allocating and freeing
// one of each per counter and poll. Meant for a sequence of responses of about the same
// shape, such as the deltas of one vertical. Holds at most one released message. A message
// may be released on any thread, also after the recycler is gone (it is then freed).
template <typename T>
class MessageRecycler : public std::enable_shared_from_this<MessageRecycler<T>> {
 public:
  static std::shared_ptr<MessageRecycler> Create() {
    return std::shared_ptr<MessageRecycler>(new MessageRecycler());
  }

  // An empty message: the released one if there is one, else a new one.
  std::shared_ptr<T> Take() {
    std::shared_ptr<T> message;
    {
      std::lock_guard<std::mutex> lock(mutex);
      message = std::move(spare);
    }
    if (message) {
      message->Clear();
    } else {
      message = MakeArenaMessage<T>();
    }
    T* raw = message.get();
    return std::shared_ptr<T>(raw, Returner{this->weak_from_this(), std::move(message)});
  }

  bool HasSpare() {
    std::lock_guard<std::mutex> lock(mutex);
    return spare != nullptr;
  }

 private:
  // Deleter of a message handed out: gives the message (with its arena) back, or lets it go
  // when the recycler is gone.
  struct Returner {
    std::weak_ptr<MessageRecycler> recycler;
    std::shared_ptr<T> message;
    void operator()(T* /*released*/) {
      std::shared_ptr<T> owned = std::move(message);
      if (auto self = recycler.lock()) self->Give(std::move(owned));
    }
  };

  MessageRecycler() = default;
  void Give(std::shared_ptr<T> message) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!spare) spare = std::move(message);
  }

  std::mutex mutex;
  std::shared_ptr<T> spare;
};

class ProtoStoreFactoryImpl : public StatsStoreFactoryImpl {
 public:
  ProtoStoreFactoryImpl() = default;

  // Fills `response` from the current collections: target-type keys first, then stat-type
  // keys. A failing type or target is logged and left out; false only for a null output or
  // missing collections.
  bool Encode(zumbra::qbx::agg_service::messaging::StatsResponseMsg* response) override;

 private:
  bool EncodeTargetTypeStats(const TargetStatsColl* coll,
                             zumbra::qbx::agg_service::messaging::TargetTypeStatsMsg* out);
  bool EncodeTargetStats(ITargetStatsStore* store,
                         zumbra::qbx::agg_service::messaging::TargetStatsMsg* out);
};

}  // namespace qbx
