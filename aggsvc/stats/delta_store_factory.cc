#include "aggsvc/stats/delta_store_factory.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "aggsvc/stats/proto_store_factory.h"
#include "aggsvc/stats/stats_wire_sink.h"
#include "base/logger.h"
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
    if (it != map.end() && it->second) it->second->Erase(targetId);
  }
  for (const auto& key : keys) map.erase(key);
}

// The emptied collection of `key` among `spares`, or a new one with the ids `key` had in
// `prev` as spares.
template <typename Map>
std::shared_ptr<TargetStatsColl> TakeCollection(std::shared_ptr<Map>& spares, const std::shared_ptr<Map>& prev,
                                                const typename Map::key_type& key) {
  if (spares) {
    auto it = spares->find(key);
    if (it != spares->end()) {
      std::shared_ptr<TargetStatsColl> coll = std::move(it->second);
      spares->erase(it);
      return coll;
    }
  }
  auto coll = std::make_shared<TargetStatsColl>();
  if (prev) {
    auto it = prev->find(key);
    if (it != prev->end() && it->second) coll->TakeIdsOf(*it->second);
  }
  return coll;
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

std::shared_ptr<TargetStatsColl> DiffStoreFactoryImpl::NewCollection(const TargetMetaData& key) {
  return TakeCollection(spareColls, prevMap, key);
}

std::shared_ptr<TargetStatsColl> DiffStoreFactoryImpl::NewCollection(const TargetMetaDataNew& key) {
  return TakeCollection(spareCollsNew, prevMapNew, key);
}

template <typename Map>
size_t DiffStoreFactoryImpl::CountTargets(const Map* map) {
  size_t targets = 0;
  if (map) {
    for (const auto& entry : *map) targets += entry.second ? entry.second->size() : 0;
  }
  return targets;
}

template <typename Map>
void DiffStoreFactoryImpl::RecycleCollections(std::shared_ptr<Map>& map, std::shared_ptr<Map>& spares) {
  spares.reset();
  // Only what this factory alone holds: a collection that is also in the previous or
  // current map (a type that was new, or carried forward) is live and is only let go. The
  // stores of the entries are checked when an entry is taken again. A collection with room
  // for far more targets than it had (its type shrank, or it was sized for a larger poll
  // before) is let go too: kept, it would hold the room of its largest poll for good, and
  // the next poll's collection is sized for the targets it has now.
  auto oversized = [](const TargetStatsColl& coll) { return coll.Capacity() > 2 * coll.size() + 64; };
  if (map && map.use_count() == 1) {
    for (auto it = map->begin(); it != map->end();) {
      if (it->second && it->second.use_count() == 1 && !oversized(*it->second)) {
        it->second->Clear();
        ++it;
      } else {
        it = map->erase(it);
      }
    }
    spares = std::move(map);
  }
  map.reset();
}

void DiffStoreFactoryImpl::ResetAll() {
  prevMap = std::make_shared<TargetStatsCollMap>();
  prevMapNew = std::make_shared<TargetStatsCollMapNew>();
  currentMap = std::make_shared<TargetStatsCollMap>();
  currentMapNew = std::make_shared<TargetStatsCollMapNew>();
  hasPendingUpdate = false;
  pending = PendingUpdate{};
  spareColls.reset();
  spareCollsNew.reset();
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
    // The answer is made: the current maps are the base of the next delta, and the previous
    // ones (and those of two polls ago, kept for a rollback) are done with. Small ones serve
    // the next poll's collections; large ones are let go, since between two polls of a
    // hundred thousand targets a second set of stores would hold as much as the cached answer
    // again, and at that size allocating them costs little next to filling them.
    if (CountTargets(prevMap.get()) + CountTargets(prevMapNew.get()) <= maxSpareTargets) {
      RecycleCollections(prevMap, spareColls);
      RecycleCollections(prevMapNew, spareCollsNew);
    } else {
      spareColls.reset();
      spareCollsNew.reset();
    }
    prevMap = std::make_shared<TargetStatsCollMap>();
    prevMapNew = std::make_shared<TargetStatsCollMapNew>();
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

namespace {

// Where the differences go: Encode builds the response message, EncodeWire writes its
// serialised bytes. A sink is told about every type and target in turn (Begin, then End
// to keep it or Drop to leave it out) and about the counters and error codes of the
// target begun last.

// Builds the response as a message.
class MessageSink {
 public:
  explicit MessageSink(msg::StatsResponseMsg* response) : response(response) {}

  template <typename Key>
  void BeginType(const Key& /*key*/) {
    type = response->add_target_type_stats();
  }
  bool TypeHasTargets() const { return type->target_stats_size() > 0; }
  template <typename Key>
  void EndType(const Key& key) {
    SetTypeFields(key, type);
  }
  void DropType() { response->mutable_target_type_stats()->RemoveLast(); }

  void BeginTarget(const std::string& /*targetId*/) { target = type->add_target_stats(); }
  bool TargetHasContent() const { return target->counters_size() > 0 || target->errors_size() > 0; }
  void EndTarget(const std::string& targetId) { SetStringId(targetId, target->mutable_target_id()); }
  void DropTarget() { type->mutable_target_stats()->RemoveLast(); }

  void Named(const std::string& name, int64_t delta) {
    msg::CounterValueMsg* counter = target->add_counters();
    counter->set_key(name);
    counter->set_value(static_cast<double>(delta));
  }
  void Indexed(int32_t index, int64_t delta) {
    msg::CounterValueMsg* counter = target->add_counters();
    counter->set_long_value(delta);
    counter->set_counter_index(index);
  }
  void Error(int32_t code) { target->add_errors(code); }

 private:
  msg::StatsResponseMsg* response;
  msg::TargetTypeStatsMsg* type = nullptr;
  msg::TargetStatsMsg* target = nullptr;
};

}  // namespace

bool DiffStoreFactoryImpl::CanEncode(const void* out) const {
  if (out == nullptr) {
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
  return true;
}

bool DiffStoreFactoryImpl::Encode(msg::StatsResponseMsg* response) {
  if (!CanEncode(response)) return false;
  MessageSink sink(response);
  DiffAll(sink);
  FinishStatsResponse(response);
  return true;
}

bool DiffStoreFactoryImpl::EncodeWire(std::string* out) {
  if (!CanEncode(out)) return false;
  const size_t start = out->size();
  // Room for about the last answer's size at once: growing a buffer of megabytes piece by
  // piece copies it several times and leaves it up to twice as large as its answer, which
  // is then held as the cached answer.
  const size_t expected = start + lastAnswerBytes + lastAnswerBytes / 32;
  ReserveAnswer(*out, expected);
  WireSink sink(*out, targetScratch, typeLengthWidth);
  DiffAll(sink);
  if (const size_t width = sink.LargestTypeLengthWidth()) typeLengthWidth = width;
  FinishStatsResponse(*out, start);
  lastAnswerBytes = out->size() - start;
  return true;
}

template <typename Sink>
void DiffStoreFactoryImpl::DiffAll(Sink& sink) {
  if (currentMap) {
    DiffMap(*prevMap, *currentMap, sink, hasPendingUpdate ? &pending.insertedKeys : nullptr,
            hasPendingUpdate ? &pending.insertedTargets : nullptr);
  }
  if (currentMapNew) {
    DiffMap(*prevMapNew, *currentMapNew, sink, hasPendingUpdate ? &pending.insertedKeysNew : nullptr,
            hasPendingUpdate ? &pending.insertedTargetsNew : nullptr);
  }
}

template <typename Map, typename Sink>
void DiffStoreFactoryImpl::DiffMap(Map& prev, Map& cur, Sink& sink, std::vector<typename Map::key_type>* insertedKeys,
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
    sink.BeginType(key);
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("=== Start diffing for targets of type [%s] ====", key.KeyText().c_str());
    newTargets.clear();
    bool ok = DiffTargetTypeStats(pit->second.get(), curColl.get(), sink, typeIsNew, &newTargets);
    if (insertedTargets) {
      for (auto& targetId : newTargets) insertedTargets->emplace_back(key, std::move(targetId));
    }
    if (!ok) {
      QBX_LOG(loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10039")
          .put("Diffing for targets of type [%s] failed.", key.KeyText().c_str());
      sink.DropType();
    } else if (!sink.TypeHasTargets()) {
      sink.DropType();
    } else {
      sink.EndType(key);
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

template <typename Sink>
bool DiffStoreFactoryImpl::DiffTargetTypeStats(TargetStatsColl* prev, TargetStatsColl* cur, Sink& sink,
                                               bool typeIsNew, std::vector<std::string>* insertedTargets) {
  if (prev == nullptr || cur == nullptr) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10040").put("Input arg(s) Null");
    return false;
  }
  if (cur->empty()) return true;
  size_t position = 0;
  for (const auto& [targetId, curStore] : *cur) {
    bool targetIsNew = typeIsNew;
    ITargetStatsStore* prevStore = nullptr;
    // The previous poll had the same targets in the same order, most of the time.
    const TargetStatsColl::Store* known = prev->Find(targetId, position++);
    if (known == nullptr) {
      // prev and cur are distinct collections here (a shared one holds every target).
      prev->Emplace(targetId, curStore);
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
      prevStore = known->get();
    }
    sink.BeginTarget(targetId);
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("===== Start diff calculation for targetId [%s]=====", targetId.c_str());
    bool ok = DiffTargetStats(prevStore, curStore.get(), sink, targetIsNew, targetId);
    if (ok && sink.TargetHasContent()) {
      sink.EndTarget(targetId);
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sending delta msg for target [%s].", targetId.c_str());
    } else if (ok) {
      sink.DropTarget();
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("No new data for target [%s], will not send a protobuf message", targetId.c_str());
    } else {
      QBX_LOG(loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10039")
          .put("Diffing TargetStore of target [%s] failed.", targetId.c_str());
      sink.DropTarget();
    }
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("===== Finish diff calculation for targetId [%s]=====", targetId.c_str());
  }
  return true;
}

template <typename Sink>
bool DiffStoreFactoryImpl::DiffTargetStats(ITargetStatsStore* prev, ITargetStatsStore* cur, Sink& sink,
                                           bool targetIsNew, const std::string& targetId) {
  if (prev == nullptr || cur == nullptr) {
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
      const std::string& name = prevKv.NameAt(i);
      const int64_t prevValue = prevKv.ValueAt(i);
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
        sink.Named(name, delta);
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
  }
  // The target's error codes travel with its named counters; they follow every counter.
  const bool sendErrors = !prevKv.empty() && !curKv.empty() && curMapStore->GetErrorCount() != 0;
  auto addErrors = [&] {
    if (!sendErrors) return;
    for (int32_t code : curMapStore->GetErrorCodes()) sink.Error(code);
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Added [%zd] errors", curMapStore->GetErrorCount());
  };

  // Positional counters.
  auto& prevVec = prevMapStore->GetVectorStats();
  auto& curVec = curMapStore->GetVectorStats();
  if (prevVec.empty() || curVec.empty()) {
    addErrors();
    return true;
  }
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
      sink.Indexed(idx, delta);
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
  addErrors();
  return true;
}

}  // namespace qbx
