// The absolute statistics encoder: writes what a vertical collected, as it is, into a
// StatsResponseMsg. One is created per overwrite, on-demand or full summation request.
//
// Threading: belongs to the request that created it; used on that request's thread.
#pragma once

#include <cstdint>
#include <memory>
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
