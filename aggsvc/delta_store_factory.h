// The delta statistics encoder of summation statistics. It keeps the collections of the
// previous poll beside those of the current one, lends itself to the vertical's poll
// callback as the store factory, and encodes the positive gains of every counter.
//
// One delta response: UpdatePreviousWithCurrent, the vertical's callback, Encode. Encode is
// not idempotent: it adds new types and targets to the previous maps (sharing the current
// objects) and carries missing counters forward into the current stores. So that a response
// that is never built does not move the base of the next delta, UpdatePreviousWithCurrent
// keeps what it replaced until CommitUpdate, and RollbackUpdate restores it (and undoes the
// insertions that Encode made into the previous maps).
//
// Threading: no lock of its own. The owner serialises every use (delta computation, resets)
// with one mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/proto_store_factory.h"
#include "aggsvc/stats_store_factory.h"

namespace zumbra::qbx::agg_service::messaging {
class StatsResponseMsg;
class SummationStatsResponseMsg;
class TargetStatsMsg;
class TargetTypeStatsMsg;
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
  // Forgets what the last UpdatePreviousWithCurrent replaced: the delta was answered.
  void CommitUpdate();
  // Returns to the state before the last UpdatePreviousWithCurrent, undoing what Encode
  // added to the previous maps since. Does nothing when there is nothing to roll back.
  void RollbackUpdate();

  bool Encode(zumbra::qbx::agg_service::messaging::StatsResponseMsg* response) override;

  // An empty summation response to encode a delta into. Once released (the next delta's
  // response replaced it as the one kept for a resend), its memory serves a later delta.
  std::shared_ptr<zumbra::qbx::agg_service::messaging::SummationStatsResponseMsg> NewResponse();

  bool SkipFirstValue() const { return skipFirstValue; }
  const std::shared_ptr<TargetStatsCollMap>& GetPreviousStatsMap() const { return prevMap; }
  const std::shared_ptr<TargetStatsCollMapNew>& GetPreviousStatsMapNew() const {
    return prevMapNew;
  }

 protected:
  // A new collection is sized for the targets it had in the previous poll.
  size_t ExpectedTargets(const TargetMetaData& key) const override;
  size_t ExpectedTargets(const TargetMetaDataNew& key) const override;

 private:
  // Empties the stores of a replaced previous map that nothing else refers to and keeps
  // them, with their collection entries, for the targets of the next poll.
  template <typename Map>
  void RecycleStores(std::shared_ptr<Map>& map, size_t limit);
  size_t PreviousTargetCount() const;

  // Step of Encode over one of the two key forms.
  template <typename Map>
  void DiffMap(Map& prev, Map& cur, zumbra::qbx::agg_service::messaging::StatsResponseMsg* response,
               std::vector<typename Map::key_type>* insertedKeys,
               std::vector<std::pair<typename Map::key_type, std::string>>* insertedTargets);
  bool DiffTargetTypeStats(TargetStatsColl* prev, TargetStatsColl* cur,
                           zumbra::qbx::agg_service::messaging::TargetTypeStatsMsg* out, bool typeIsNew,
                           std::vector<std::string>* insertedTargets);
  bool DiffTargetStats(ITargetStatsStore* prev, ITargetStatsStore* cur,
                       zumbra::qbx::agg_service::messaging::TargetStatsMsg* out, bool targetIsNew,
                       const std::string& targetId);

  std::shared_ptr<TargetStatsCollMap> prevMap;
  std::shared_ptr<TargetStatsCollMapNew> prevMapNew;
  bool skipFirstValue;
  std::shared_ptr<MessageRecycler<zumbra::qbx::agg_service::messaging::SummationStatsResponseMsg>> responses =
      MessageRecycler<zumbra::qbx::agg_service::messaging::SummationStatsResponseMsg>::Create();

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
};

}  // namespace qbx
