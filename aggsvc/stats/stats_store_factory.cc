#include "aggsvc/stats/stats_store_factory.h"

#include <typeinfo>

#include "base/logger.h"

namespace qbx {

namespace {
constexpr const char* kSubcomp = "agg-service";
}  // namespace

StatsStoreFactoryImpl::StatsStoreFactoryImpl()
    : currentMap(std::make_shared<TargetStatsCollMap>()),
      currentMapNew(std::make_shared<TargetStatsCollMapNew>()),
      errorStore(std::make_shared<ErrorStoreImpl>(this)) {}

StatsStoreFactoryImpl::~StatsStoreFactoryImpl() {
  // A vertical may still hold the error store; it must not reach this factory any more.
  if (errorStore) errorStore->SetOwner(nullptr);
}

void StatsStoreFactoryImpl::RenewErrorStore() {
  if (errorStore) errorStore->SetOwner(nullptr);
  errorStore = std::make_shared<ErrorStoreImpl>(this);
}

std::shared_ptr<TargetStatsColl> StatsStoreFactoryImpl::NewCollection(const TargetMetaData& /*key*/) {
  return std::make_shared<TargetStatsColl>();
}

std::shared_ptr<TargetStatsColl> StatsStoreFactoryImpl::NewCollection(const TargetMetaDataNew& /*key*/) {
  return std::make_shared<TargetStatsColl>();
}

bool StatsStoreFactoryImpl::ReuseStore(const std::shared_ptr<ITargetStatsStore>& store) {
  if (!store || store.use_count() != 1 || typeid(*store) != typeid(TargetStatsMap)) return false;
  auto* stats = static_cast<TargetStatsMap*>(store.get());
  stats->Reset();
  // Stores of equal counter names share one list, which their next fills only read.
  KeyValueCounters& counters = stats->GetKeyValueStats();
  if (!counters.ShareNames(sharedNames)) sharedNames = counters.Names();
  return true;
}

std::shared_ptr<ITargetStatsStore> StatsStoreFactoryImpl::NewStore() {
  if (!sharedNames) {
    if (auto last = lastNewStore.lock()) sharedNames = static_cast<TargetStatsMap*>(last.get())->GetKeyValueStats().Names();
  }
  auto store = std::make_shared<TargetStatsMap>();
  // The targets of a poll nearly always have the same counter names.
  store->GetKeyValueStats().SeedNames(sharedNames);
  // Only wanted until the shared names are known; a weak pointer set per store of a poll of
  // thousands would cost two atomic updates each.
  if (!sharedNames) lastNewStore = store;
  return store;
}

std::shared_ptr<ITargetStatsStore> StatsStoreFactoryImpl::GetOrCreateStore(TargetStatsColl& coll,
                                                                           const std::string& targetId) {
  auto [store, added] = coll.Insert(targetId);
  if (!added) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returned existing stats store object for target [%s]", targetId.c_str());
    return *store;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("No stats store object for target [%s]", targetId.c_str());
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("Creating and returning a new stats store object for target [%s]", targetId.c_str());
  if (!ReuseStore(*store)) *store = NewStore();
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("Returing a new stats store object for target [%s]", targetId.c_str());
  return *store;
}

std::shared_ptr<ITargetStatsStore> StatsStoreFactoryImpl::GetTargetStatsStore(
    const std::string& targetId, const std::string& targetType, const std::string& parentId,
    const std::string& parentType) {
  if (targetId.empty() || targetType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("Input targetId/targetType is empty");
    return nullptr;
  }
  if (parentId.empty() != parentType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("ParentType and ParentId either both should be empty or both should be non-empty");
    return nullptr;
  }
  // The checks above are those of the key's constructor, so it cannot throw here.
  TargetMetaData key(targetType, parentId, parentType);
  if (!errorStore) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10068")
        .put("ErrorStore is not initialized, this should not happen");
    return nullptr;
  }
  if (errorStore->IsMarkedForError(key)) {
    QBX_LOG(loglevel::kFatal)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10025")
        .put("Target [%s] or its parenttype/parentId/targetType was marked for error before, stats "
             "cannot be added. Returning Null store",
             key.KeyText().c_str());
    return nullptr;
  }
  auto it = currentMap->find(key);
  if (it != currentMap->end()) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returning existing Target Store Coll for [%s]", key.KeyText().c_str());
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returned existing stats store collection for [%s:%s:%s]", parentType.c_str(),
             parentId.c_str(), targetType.c_str());
  } else {
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("No Target Store Coll found for [%s]", key.KeyText().c_str());
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Creating and returning a new target stats store collection for [%s:%s:%s]",
             parentType.c_str(), parentId.c_str(), targetType.c_str());
    auto coll = NewCollection(key);
    it = currentMap->emplace(std::move(key), std::move(coll)).first;
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returning new stats store collection for [%s:%s:%s]", parentType.c_str(),
             parentId.c_str(), targetType.c_str());
  }
  return GetOrCreateStore(*it->second, targetId);
}

std::shared_ptr<ITargetStatsStore> StatsStoreFactoryImpl::GetTargetStatsStore(
    int32_t statType, const std::string& targetId, const std::string& parentId) {
  if (targetId.empty() || statType == kStatTypeUnset) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("Input targetId/statType is empty");
    return nullptr;
  }
  TargetMetaDataNew key(statType, parentId);
  auto it = currentMapNew->find(key);
  if (it != currentMapNew->end()) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returning existing Target Store Coll for [%s]", key.KeyText().c_str());
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returned existing stats store collection for [%d:%s]", statType, parentId.c_str());
  } else {
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("No Target Store Coll found for [%s]", key.KeyText().c_str());
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Creating and returning a new target stats store collection for [%d:%s]", statType,
             parentId.c_str());
    auto coll = NewCollection(key);
    it = currentMapNew->emplace(std::move(key), std::move(coll)).first;
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Returning new stats store collection for [%d:%s]", statType, parentId.c_str());
  }
  return GetOrCreateStore(*it->second, targetId);
}

}  // namespace qbx
