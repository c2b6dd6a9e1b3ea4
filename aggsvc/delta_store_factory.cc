#include "aggsvc/delta_store_factory.h"

#include <typeinfo>

#include "aggsvc/proto_store_factory.h"
#include "core/logger.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {

namespace msg = zumbra::qbx::agg_service::messaging;

namespace {
constexpr const char* kSubcomp = "agg-service";

template <typename Map>
void UndoInsertions(Map& map, const std::vector<typename Map::key_type>& keys,
                    const std::vector<std::pair<typename Map::key_type, std::string>>& targets) {
  for (const auto& [key, targetId] : targets) {
    auto it = map.find(key);
    if (it != map.end() && it->second) it->second->erase(targetId);
  }
  for (const auto& key : keys) map.erase(key);
}
}  // namespace

DiffStoreFactoryImpl::DiffStoreFactoryImpl(bool skipFirstValue_) : skipFirstValue(skipFirstValue_) {
  ResetAll();
}

DiffStoreFactoryImpl::DiffStoreFactoryImpl(std::shared_ptr<TargetStatsCollMap> current,
                                           std::shared_ptr<TargetStatsCollMapNew> currentNew,
                                           bool skipFirstValue_)
    : skipFirstValue(skipFirstValue_) {
  if (current) {
    currentMap = std::move(current);
  } else {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10035")
        .put("StatsMap provided for current is NULL, creating a new one");
    currentMap = std::make_shared<TargetStatsCollMap>();
  }
  if (currentNew) {
    currentMapNew = std::move(currentNew);
  } else {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10035")
        .put("StatsMapNew provided for current is NULL, creating a new one");
    currentMapNew = std::make_shared<TargetStatsCollMapNew>();
  }
}

size_t DiffStoreFactoryImpl::ExpectedTargets(const TargetMetaData& key) const {
  if (!prevMap) return 0;
  auto it = prevMap->find(key);
  return it != prevMap->end() && it->second ? it->second->size() : 0;
}

size_t DiffStoreFactoryImpl::ExpectedTargets(const TargetMetaDataNew& key) const {
  if (!prevMapNew) return 0;
  auto it = prevMapNew->find(key);
  return it != prevMapNew->end() && it->second ? it->second->size() : 0;
}

size_t DiffStoreFactoryImpl::PreviousTargetCount() const {
  size_t count = 0;
  if (prevMap) {
    for (const auto& entry : *prevMap) count += entry.second ? entry.second->size() : 0;
  }
  if (prevMapNew) {
    for (const auto& entry : *prevMapNew) count += entry.second ? entry.second->size() : 0;
  }
  return count;
}

template <typename Map>
void DiffStoreFactoryImpl::RecycleStores(std::shared_ptr<Map>& map, size_t limit) {
  // Only what this factory alone holds: a collection or store that is also in the previous
  // or current map (a type or target that was new, or carried forward), or that a vertical
  // kept, is live and is only let go.
  if (map && map.use_count() == 1) {
    for (auto& entry : *map) {
      std::shared_ptr<TargetStatsColl>& coll = entry.second;
      if (!coll || coll.use_count() != 1) continue;
      while (!coll->empty() && spareEntries.size() < limit) {
        TargetStatsColl::node_type node = coll->extract(coll->begin());
        if (node.mapped().use_count() != 1) continue;
        ITargetStatsStore* store = node.mapped().get();
        if (store == nullptr || typeid(*store) != typeid(TargetStatsMap)) continue;
        static_cast<TargetStatsMap*>(store)->Reset();
        spareEntries.push_back(std::move(node));
      }
    }
  }
  map.reset();
}

std::shared_ptr<msg::SummationStatsResponseMsg> DiffStoreFactoryImpl::NewResponse() { return responses->Take(); }

void DiffStoreFactoryImpl::ResetAll() {
  prevMap = std::make_shared<TargetStatsCollMap>();
  prevMapNew = std::make_shared<TargetStatsCollMapNew>();
  currentMap = std::make_shared<TargetStatsCollMap>();
  currentMapNew = std::make_shared<TargetStatsCollMapNew>();
  hasPendingUpdate = false;
  pending = PendingUpdate{};
  spareEntries.clear();
}

void DiffStoreFactoryImpl::ResetCurrent() {
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Diff: Resetting current type stats collection");
  currentMap = std::make_shared<TargetStatsCollMap>();
  currentMapNew = std::make_shared<TargetStatsCollMapNew>();
  RenewErrorStore();
}

void DiffStoreFactoryImpl::UpdatePreviousWithCurrent() {
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Diff: Update previous with current type sats collection");
  pending = PendingUpdate{};
  pending.prevMap = prevMap;
  pending.prevMapNew = prevMapNew;
  pending.errorStore = errorStore;
  hasPendingUpdate = true;
  prevMap = currentMap;
  prevMapNew = currentMapNew;
  ResetCurrent();
}

void DiffStoreFactoryImpl::CommitUpdate() {
  if (hasPendingUpdate) {
    // The maps of two polls ago are done with: their stores serve the next poll's targets.
    const size_t limit = PreviousTargetCount();
    RecycleStores(pending.prevMap, limit);
    RecycleStores(pending.prevMapNew, limit);
  }
  hasPendingUpdate = false;
  pending = PendingUpdate{};
}

void DiffStoreFactoryImpl::RollbackUpdate() {
  if (!hasPendingUpdate) return;
  // The maps that were current before the update are the previous maps now; Encode may have
  // added the new poll's types and targets to them.
  if (prevMap) UndoInsertions(*prevMap, pending.insertedKeys, pending.insertedTargets);
  if (prevMapNew) UndoInsertions(*prevMapNew, pending.insertedKeysNew, pending.insertedTargetsNew);
  currentMap = prevMap ? prevMap : std::make_shared<TargetStatsCollMap>();
  currentMapNew = prevMapNew ? prevMapNew : std::make_shared<TargetStatsCollMapNew>();
  prevMap = pending.prevMap;
  prevMapNew = pending.prevMapNew;
  if (errorStore) errorStore->SetOwner(nullptr);
  errorStore = pending.errorStore ? pending.errorStore : std::make_shared<ErrorStoreImpl>(this);
  errorStore->SetOwner(this);
  hasPendingUpdate = false;
  pending = PendingUpdate{};
}

bool DiffStoreFactoryImpl::Encode(msg::StatsResponseMsg* response) {
  if (response == nullptr) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10036")
        .put("StatsResponseMsg out ptr is Null");
    return false;
  }
  if (!prevMap || !prevMapNew) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10037")
        .put("Previous Statistic store is Null");
    return false;
  }
  if (!currentMap && !currentMapNew) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10038")
        .put("Current Statistic store is Null");
    return false;
  }
  if (currentMap) {
    DiffMap(*prevMap, *currentMap, response, hasPendingUpdate ? &pending.insertedKeys : nullptr,
            hasPendingUpdate ? &pending.insertedTargets : nullptr);
  }
  if (currentMapNew) {
    DiffMap(*prevMapNew, *currentMapNew, response,
            hasPendingUpdate ? &pending.insertedKeysNew : nullptr,
            hasPendingUpdate ? &pending.insertedTargetsNew : nullptr);
  }
  FinishStatsResponse(response);
  return true;
}

template <typename Map>
void DiffStoreFactoryImpl::DiffMap(
    Map& prev, Map& cur, msg::StatsResponseMsg* response,
    std::vector<typename Map::key_type>* insertedKeys,
    std::vector<std::pair<typename Map::key_type, std::string>>* insertedTargets) {
  size_t reported = 0;
  std::vector<std::string> newTargets;
  for (auto& [key, curColl] : cur) {
    bool typeIsNew = false;
    auto pit = prev.find(key);
    if (pit == prev.end()) {
      pit = prev.emplace(key, curColl).first;
      typeIsNew = true;
      if (insertedKeys) insertedKeys->push_back(key);
    }
    ++reported;
    msg::TargetTypeStatsMsg* entry = response->add_target_type_stats();
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("=== Start diffing for targets of type [%s] ====", key.KeyText().c_str());
    newTargets.clear();
    bool ok = DiffTargetTypeStats(pit->second.get(), curColl.get(), entry, typeIsNew, &newTargets);
    if (insertedTargets) {
      for (auto& targetId : newTargets) insertedTargets->emplace_back(key, std::move(targetId));
    }
    if (!ok) {
      QBX_LOG(loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10039")
          .put("Diffing for targets of type [%s] failed.", key.KeyText().c_str());
      response->mutable_target_type_stats()->RemoveLast();
    } else if (entry->target_stats_size() == 0) {
      response->mutable_target_type_stats()->RemoveLast();
    } else {
      SetTypeFields(key, entry);
    }
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("=== Finish diffing for targets of type [%s] ===", key.KeyText().c_str());
  }
  if (reported == prev.size()) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("All targets reported previously were reported in the current callback");
    return;
  }
  // Every key of the current map was reported above, so the unreported ones are the
  // previous keys that the current map lacks.
  std::vector<std::pair<typename Map::key_type, std::shared_ptr<TargetStatsColl>>> keep;
  for (const auto& [key, prevColl] : prev) {
    if (cur.find(key) != cur.end()) continue;
    if (errorStore && errorStore->IsMarkedForError(key)) {
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Target [%s] was not added to current stats but an error was found for it, assuming "
               "it is still in the system. Copying previous stats to current stats",
               key.KeyText().c_str());
      keep.emplace_back(key, prevColl);
    } else {
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Target [%s] is not reported nor marked for error, assuming it is removed from the "
               "system",
               key.KeyText().c_str());
    }
  }
  for (auto& [key, coll] : keep) cur.emplace(std::move(key), std::move(coll));
}

bool DiffStoreFactoryImpl::DiffTargetTypeStats(TargetStatsColl* prev, TargetStatsColl* cur,
                                               msg::TargetTypeStatsMsg* out, bool typeIsNew,
                                               std::vector<std::string>* insertedTargets) {
  if (prev == nullptr || cur == nullptr || out == nullptr) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10040").put("Input arg(s) Null");
    return false;
  }
  if (cur->empty()) return true;
  for (auto& [targetId, curStore] : *cur) {
    bool targetIsNew = typeIsNew;
    ITargetStatsStore* prevStore = nullptr;
    auto pit = prev->find(targetId);
    if (pit == prev->end()) {
      // prev and cur are distinct collections here (a shared one holds every target).
      prev->emplace(targetId, curStore);
      prevStore = curStore.get();
      targetIsNew = true;
      if (insertedTargets) insertedTargets->push_back(targetId);
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("New target stats added, target:[%s]", targetId.c_str());
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("New stats of target [%s] added to previous stats store, so we track it in case "
               "response is lost and we dont flip prev with current stats",
               targetId.c_str());
    } else {
      prevStore = pit->second.get();
    }
    msg::TargetStatsMsg* target = out->add_target_stats();
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("===== Start diff calculation for targetId [%s]=====", targetId.c_str());
    bool ok = DiffTargetStats(prevStore, curStore.get(), target, targetIsNew, targetId);
    if (ok && (target->counters_size() > 0 || target->errors_size() > 0)) {
      SetStringId(targetId, target->mutable_target_id());
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sending delta msg for target [%s].", targetId.c_str());
    } else if (ok) {
      out->mutable_target_stats()->RemoveLast();
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("No new data for target [%s], will not send a protobuf message", targetId.c_str());
    } else {
      QBX_LOG(loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10039")
          .put("Diffing TargetStore of target [%s] failed.", targetId.c_str());
      out->mutable_target_stats()->RemoveLast();
    }
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("===== Finish diff calculation for targetId [%s]=====", targetId.c_str());
  }
  return true;
}

bool DiffStoreFactoryImpl::DiffTargetStats(ITargetStatsStore* prev, ITargetStatsStore* cur,
                                           msg::TargetStatsMsg* out, bool targetIsNew,
                                           const std::string& targetId) {
  if (prev == nullptr || cur == nullptr || out == nullptr) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10040").put("Input arg(s) Null");
    return false;
  }
  auto* prevMapStore = AsTargetStatsMap(prev, "errorCode:MPA10041", "prev");
  if (prevMapStore == nullptr) return false;
  auto* curMapStore = AsTargetStatsMap(cur, "errorCode:MPA10041", "cur");
  if (curMapStore == nullptr) return false;
  const char* tid = targetId.c_str();
  const bool skipFirst = targetIsNew && skipFirstValue;

  // Named counters. A store may be shared by previous and current (a new target); then every
  // name is found and nothing is inserted while iterating.
  auto& prevKv = prevMapStore->GetKeyValueStats();
  auto& curKv = curMapStore->GetKeyValueStats();
  if (!prevKv.empty() && !curKv.empty()) {
    if (prevKv.size() != curKv.size()) {
      QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Previous and Current have different stats count");
    }
    // By index: a carried-forward counter is appended to curKv, which may be prevKv itself
    // only when nothing is ever missing from it.
    for (size_t i = 0; i < prevKv.size(); ++i) {
      const std::string& name = (prevKv.begin() + static_cast<std::ptrdiff_t>(i))->first;
      const int64_t prevValue = (prevKv.begin() + static_cast<std::ptrdiff_t>(i))->second;
      auto cit = curKv.find(name, i);
      if (cit == curKv.end()) {
        QBX_LOG(loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("Stat [%s] is not present in current map, copying from previous map, tid: %s.",
                 name.c_str(), tid);
        curKv.try_emplace(name, prevValue);
        continue;
      }
      if (skipFirst) {
        QBX_LOG(loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("Skipping delta for stat as it didn't change [%s] for tid: %s", name.c_str(), tid);
        continue;
      }
      int64_t delta;
      if (targetIsNew) {
        QBX_LOG(loglevel::kTrace)
            .subcomp(kSubcomp)
            .put("First value - current %ld] prev is zero for stat %s for tid: %s",
                 static_cast<long>(cit->second), name.c_str(), tid);
        delta = cit->second;
      } else {
        QBX_LOG(loglevel::kTrace)
            .subcomp(kSubcomp)
            .put("Values for current %ld] and prev %ld] for stat [%s], for tid: %s",
                 static_cast<long>(cit->second), static_cast<long>(prevValue), name.c_str(), tid);
        delta = WrappingSub(cit->second, prevValue);
      }
      if (delta > 0) {
        msg::CounterValueMsg* counter = out->add_counters();
        counter->set_key(name);
        counter->set_value(static_cast<double>(delta));
        QBX_LOG(loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("Reporting delta %ld] for stat [%s], for tid: %s", static_cast<long>(delta),
                 name.c_str(), tid);
      } else if (delta < 0) {
        QBX_LOG(loglevel::kInfo)
            .subcomp(kSubcomp)
            .put("Skipping delta for stat as its delta [%ld] is negative[%s] for tid: %s",
                 static_cast<long>(delta), name.c_str(), tid);
      } else {
        QBX_LOG(loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("Skipping delta for stat as it didn't change [%s] for tid: %s", name.c_str(), tid);
      }
    }
    if (curMapStore->GetErrorCount() != 0) {
      for (int32_t code : curMapStore->GetErrorCodes()) out->add_errors(code);
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Added [%zd] errors", curMapStore->GetErrorCount());
    }
  }

  // Positional counters.
  auto& prevVec = prevMapStore->GetVectorStats();
  auto& curVec = curMapStore->GetVectorStats();
  if (prevVec.empty() || curVec.empty()) return true;
  if (prevVec.size() != curVec.size()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10040")
        .put("Previous Stats size and Current Stats size are not same");
    return false;
  }
  for (size_t i = 0; i < curVec.size(); ++i) {
    const int idx = static_cast<int>(i);
    if (curVec[i] < 0) {
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Stat [idx %d] is not present in current map, copying from previous map for tid: %s",
               idx, tid);
      curVec[i] = prevVec[i];
      continue;
    }
    if (skipFirst) {
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Skipping delta for stat as it didn't change [%d] for tid: %s", idx, tid);
      continue;
    }
    int64_t delta;
    if (targetIsNew) {
      QBX_LOG(loglevel::kTrace)
          .subcomp(kSubcomp)
          .put("First value - current %ld] prev is zero for stat [%d], for tid: %s",
               static_cast<long>(curVec[i]), idx, tid);
      delta = curVec[i];
    } else if (prevVec[i] < 0) {
      // Absent last time: this value is the counter's base, as for a named counter first
      // seen in a known target. Subtracting the -1 marker would report one too many.
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Skipping delta for stat as it didn't change [%d] for tid: %s", idx, tid);
      continue;
    } else {
      QBX_LOG(loglevel::kTrace)
          .subcomp(kSubcomp)
          .put("Values for current %ld] and prev %ld] for stat [%d], for tid: %s",
               static_cast<long>(curVec[i]), static_cast<long>(prevVec[i]), idx, tid);
      delta = WrappingSub(curVec[i], prevVec[i]);
    }
    if (delta > 0) {
      msg::CounterValueMsg* counter = out->add_counters();
      counter->set_long_value(delta);
      counter->set_counter_index(idx);
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Reporting delta %ld] for stat [%d] for tid: %s", static_cast<long>(delta), idx, tid);
    } else if (delta < 0) {
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("Skipping delta for stat as its delta [%ld] is negative[%d]", static_cast<long>(delta), idx);
    } else {
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Skipping delta for stat as it didn't change [%d] for tid: %s", idx, tid);
    }
  }
  return true;
}

}  // namespace qbx
