// The delta statistics encoder of summation statistics. It keeps the collections of the
// previous poll beside those of the current one, lends itself to the vertical's poll
// callback as the store factory, and encodes the positive gains of every counter.
//
// One delta response: UpdatePreviousWithCurrent, the vertical's callback, Encode (or
// EncodeWire, the same with bytes for a result). Encode is not idempotent: it adds new types
// and targets to the previous maps (sharing the current objects) and carries missing
// counters forward into the current stores. So that a response that is never built does
// not move the base of the next delta, UpdatePreviousWithCurrent keeps what it replaced
// until CommitUpdate, and RollbackUpdate restores it (and undoes the insertions that Encode
// made into the previous maps).
//
// Threading: no lock of its own. The owner serialises every use (delta computation, resets)
// with one mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/stats/proto_store_factory.h"
#include "aggsvc/stats/stats_store_factory.h"

namespace zumbra::qbx::agg_service::messaging {
class StatsResponseMsg;
}  // namespace zumbra::qbx::agg_service::messaging

namespace qbx {

class DiffStoreFactoryImpl : public StatsStoreFactoryImpl {
 public:
  explicit DiffStoreFactoryImpl(bool skipFirstValue);
  // Takes over the current maps of a factory that answered a full request: the absolute
  // values just sent become the base of the next delta. A null map is replaced by an empty one.
  DiffStoreFactoryImpl(std::shared_ptr<TargetStatsCollMap> current,
                       std::shared_ptr<TargetStatsCollMapNew> currentNew, bool skipFirstValue);

  // Empties previous and current maps (both key forms); the error store stays.
  void ResetAll();
  // New empty current maps and a new error store.
  void ResetCurrent();
  // Previous maps become the current ones, then ResetCurrent. Keeps what it replaced for
  // RollbackUpdate until CommitUpdate.
  void UpdatePreviousWithCurrent();
  // Forgets what the last UpdatePreviousWithCurrent replaced: the delta was answered. The
  // previous maps are emptied, since the current ones are the base of the next delta; their
  // collections serve the next poll unless they held more than kMaxSpareTargets targets
  // (or one has room for far more targets than it held).
  void CommitUpdate();
  // Returns to the state before the last UpdatePreviousWithCurrent, undoing what Encode
  // added to the previous maps since. Does nothing when there is nothing to roll back.
  void RollbackUpdate();

  bool Encode(zumbra::qbx::agg_service::messaging::StatsResponseMsg* response) override;
  // The same delta as Encode, appended to `out` as the serialised StatsResponseMsg that
  // Encode would fill, without building the message: for the summation handler, whose
  // answer is bytes. Same failures (false, nothing appended) and the same state changes.
  bool EncodeWire(std::string* out);

  // An empty buffer to encode a delta into. Once released (the next delta replaced it as
  // the one kept for a resend), its memory serves a later delta.
  std::shared_ptr<std::string> NewBuffer() { return buffers->Take(); }

  // Previous polls above `targets` are let go at commit instead of kept for the next poll.
  void SetMaxSpareTargetsForTest(size_t targets) { maxSpareTargets = targets; }

  bool SkipFirstValue() const { return skipFirstValue; }
  const std::shared_ptr<TargetStatsCollMap>& GetPreviousStatsMap() const { return prevMap; }
  const std::shared_ptr<TargetStatsCollMapNew>& GetPreviousStatsMapNew() const {
    return prevMapNew;
  }

 protected:
  // The collection of the same key of an earlier poll when there is one (its entries and
  // stores serve this poll's targets), else a new one that has the ids of the key's targets
  // in the previous poll as spares.
  std::shared_ptr<TargetStatsColl> NewCollection(const TargetMetaData& key) override;
  std::shared_ptr<TargetStatsColl> NewCollection(const TargetMetaDataNew& key) override;

 private:
  // Keeps the collections of a replaced previous map that nothing else refers to, emptied,
  // as `spares` for the next poll (in place of those the last poll did not take).
  template <typename Map>
  static void RecycleCollections(std::shared_ptr<Map>& map, std::shared_ptr<Map>& spares);
  template <typename Map>
  static size_t CountTargets(const Map* map);
  // Previous polls up to this many targets keep their collections and stores for the next.
  static constexpr size_t kMaxSpareTargets = 16384;

  // Encode and EncodeWire share the difference rules below; they differ in the sink the
  // results go to (a message, or wire bytes), which also decides which targets and types
  // are left out as empty.
  bool CanEncode(const void* out) const;
  template <typename Sink>
  void DiffAll(Sink& sink);
  // Step of Encode over one of the two key forms.
  template <typename Map, typename Sink>
  void DiffMap(Map& prev, Map& cur, Sink& sink, std::vector<typename Map::key_type>* insertedKeys,
               std::vector<std::pair<typename Map::key_type, std::string>>* insertedTargets);
  template <typename Sink>
  bool DiffTargetTypeStats(TargetStatsColl* prev, TargetStatsColl* cur, Sink& sink, bool typeIsNew,
                           std::vector<std::string>* insertedTargets);
  template <typename Sink>
  bool DiffTargetStats(ITargetStatsStore* prev, ITargetStatsStore* cur, Sink& sink, bool targetIsNew,
                       const std::string& targetId);

  std::shared_ptr<TargetStatsCollMap> prevMap;
  std::shared_ptr<TargetStatsCollMapNew> prevMapNew;
  bool skipFirstValue;
  std::shared_ptr<BufferRecycler> buffers = BufferRecycler::Create();
  // Bytes kept for the length of a target type entry by EncodeWire: enough for the largest
  // entry of the last delta, so that the entries of thousands of targets are not moved.
  size_t typeLengthWidth = 3;
  // Where EncodeWire writes a target before it appends it to the response.
  std::string targetScratch;
  // Bytes of the last answer EncodeWire wrote: the next one is about as large.
  size_t lastAnswerBytes = 0;
  size_t maxSpareTargets = kMaxSpareTargets;

  // What the last UpdatePreviousWithCurrent replaced, and what Encode added to the previous
  // maps since; valid while `hasPendingUpdate`.
  struct PendingUpdate {
    std::shared_ptr<TargetStatsCollMap> prevMap;
    std::shared_ptr<TargetStatsCollMapNew> prevMapNew;
    std::shared_ptr<ErrorStoreImpl> errorStore;
    std::vector<TargetMetaData> insertedKeys;
    std::vector<TargetMetaDataNew> insertedKeysNew;
    std::vector<std::pair<TargetMetaData, std::string>> insertedTargets;
    std::vector<std::pair<TargetMetaDataNew, std::string>> insertedTargetsNew;
  };
  bool hasPendingUpdate = false;
  PendingUpdate pending;
  // Emptied collections of the poll before the base, by key, for the next poll.
  std::shared_ptr<TargetStatsCollMap> spareColls;
  std::shared_ptr<TargetStatsCollMapNew> spareCollsNew;
};

}  // namespace qbx
