// The part of every statistics store factory that collects the values of one poll: the
// store of each target, created on first use, and the error store. Encoding is left to the
// subclasses: ProtoStoreFactoryImpl (absolute values) and DiffStoreFactoryImpl (deltas).
//
// Threading: no lock. A factory is used by one request at a time, on the thread that serves
// the request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "aggsvc/stats/error_store.h"
#include "aggsvc/stats/stats_store.h"

namespace qbx {

class StatsStoreFactoryImpl : public IStatsStoreFactory, public IStatsResponseEncoder {
 public:
  StatsStoreFactoryImpl();
  StatsStoreFactoryImpl(const StatsStoreFactoryImpl&) = delete;
  StatsStoreFactoryImpl& operator=(const StatsStoreFactoryImpl&) = delete;

  std::shared_ptr<ITargetStatsStore> GetTargetStatsStore(const std::string& targetId,
                                                         const std::string& targetType,
                                                         const std::string& parentId,
                                                         const std::string& parentType) override;
  std::shared_ptr<ITargetStatsStore> GetTargetStatsStore(int32_t statType,
                                                         const std::string& targetId,
                                                         const std::string& parentId) override;
  std::shared_ptr<IErrorStore> GetErrorStore() override { return errorStore; }
  ~StatsStoreFactoryImpl() override;

  // The current collections, as filled by the vertical (shared, not copied).
  const std::shared_ptr<TargetStatsCollMap>& GetCurrentStatsMap() const { return currentMap; }
  const std::shared_ptr<TargetStatsCollMapNew>& GetCurrentStatsMapNew() const {
    return currentMapNew;
  }
  const std::shared_ptr<ErrorStoreImpl>& GetErrorStoreImpl() const { return errorStore; }

 protected:
  // Replaces the error store with a fresh one owned by this factory.
  void RenewErrorStore();

  // The collection for a key that the current map does not hold yet: an empty one here.
  // The delta encoder hands out the collection of the same key of an earlier poll, whose
  // spare entries the new poll's targets take.
  virtual std::shared_ptr<TargetStatsColl> NewCollection(const TargetMetaData& key);
  virtual std::shared_ptr<TargetStatsColl> NewCollection(const TargetMetaDataNew& key);

  std::shared_ptr<TargetStatsCollMap> currentMap;
  std::shared_ptr<TargetStatsCollMapNew> currentMapNew;
  std::shared_ptr<ErrorStoreImpl> errorStore;

 private:
  std::shared_ptr<ITargetStatsStore> GetOrCreateStore(TargetStatsColl& coll,
                                                      const std::string& targetId);
  // Empties the store of an earlier poll that a spare entry held, for a new target; false
  // when it cannot serve (absent, of another kind, or held elsewhere, e.g. by a vertical).
  bool ReuseStore(const std::shared_ptr<ITargetStatsStore>& store);
  std::shared_ptr<ITargetStatsStore> NewStore();

  // The counter names that reused and new stores share when theirs are equal: those of the
  // first new store that had some, or of the last reused store whose names were other.
  std::shared_ptr<CounterNames> sharedNames;
  // The store made last while `sharedNames` was unknown, whose names a later new store takes.
  std::weak_ptr<ITargetStatsStore> lastNewStore;
};

}  // namespace qbx
