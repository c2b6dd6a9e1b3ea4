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

#include "aggsvc/error_store.h"
#include "aggsvc/stats_store.h"

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

  // How many targets a new collection of this poll is likely to hold, so that it is sized
  // once instead of growing step by step; 0 when unknown.
  virtual size_t ExpectedTargets(const TargetMetaData& /*key*/) const { return 0; }
  virtual size_t ExpectedTargets(const TargetMetaDataNew& /*key*/) const { return 0; }

  std::shared_ptr<TargetStatsCollMap> currentMap;
  std::shared_ptr<TargetStatsCollMapNew> currentMapNew;
  std::shared_ptr<ErrorStoreImpl> errorStore;
  // Collection entries left over from an earlier poll, each holding an emptied TargetStatsMap
  // that nothing else refers to. A new target takes one (entry, key and counter memory) before
  // anything is allocated; the delta encoder refills them every poll.
  std::vector<TargetStatsColl::node_type> spareEntries;

 private:
  std::shared_ptr<ITargetStatsStore> GetOrCreateStore(TargetStatsColl& coll,
                                                      const std::string& targetId);
};

}  // namespace qbx
