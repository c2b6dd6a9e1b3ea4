#include "aggsvc/stats/stats_store.h"

#include <algorithm>
#include <bit>
#include <string>

#include "base/logger.h"
#include "core/thread.h"

namespace qbx {

namespace {
constexpr const char* kSubcomp = "agg-service";
}  // namespace

TargetMetaData::TargetMetaData(const std::string& targetType_, const std::string& parentId_,
                               const std::string& parentType_)
    : targetType(targetType_), parentType(parentType_), parentId(parentId_) {
  if (parentType.empty() != parentId.empty()) {
    static const char* kText =
        "ParentType and ParentId should both be,           empty or both should be non-empty";
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("%s", kText);
    throw ::Exception(kText, 0);
  }
  if (targetType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("TargetType should not be empty");
    throw ::Exception("TargetType field cant be empty", 0);
  }
  keyText.reserve(parentType.size() + parentId.size() + targetType.size() + 2);
  keyText.append(parentType).append(1, ':').append(parentId).append(1, ':').append(targetType);
}

TargetMetaDataNew::TargetMetaDataNew(int32_t statType_, const std::string& parentId_)
    : statType(statType_), parentId(parentId_) {
  if (statType == kStatTypeUnset) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("StatType should not be empty");
    throw ::Exception("StatType field cant be empty", 0);
  }
  keyText = std::to_string(statType);
  keyText.append(1, ':').append(parentId);
}

int32_t TargetStatsMap::AddStat(const std::string& key, int64_t value, bool accumulate) {
  if (key.empty()) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Stat Key cannot be empty");
    return statsresult::kEmptyStatKey;
  }
  auto [it, inserted] = keyValueStats.try_emplace(key, value);
  if (inserted) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Inserted new valid statkey,value: (%s, %ld)", key.c_str(), static_cast<long>(value));
    return statsresult::kOk;
  }
  if (accumulate) {
    it->second = WrappingAdd(it->second, value);
    return statsresult::kOk;
  }
  QBX_LOG(loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10069")
      .put("Statistic %s already inserted with value %ld", key.c_str(), static_cast<long>(it->second));
  return statsresult::kStatAlreadyInserted;
}

int32_t TargetStatsMap::AddStats(const std::vector<int64_t>& values, bool accumulate) {
  if (values.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("Cannot add empty stats vector");
    return statsresult::kBadStatsVector;
  }
  if (!accumulate || vectorStats.empty()) {
    vectorStats = values;
    return statsresult::kOk;
  }
  if (values.size() != vectorStats.size()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("input vector size is not equal to the existing vector size");
    return statsresult::kBadStatsVector;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] == -1) continue;
    vectorStats[i] = vectorStats[i] == -1 ? values[i] : WrappingAdd(vectorStats[i], values[i]);
  }
  return statsresult::kOk;
}

int32_t TargetStatsMap::AddError(int32_t code) {
  if (!errorCodes) errorCodes = std::make_unique<ErrorCodes>();
  if (!errorCodes->insert(code).second) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Error code %d is already inserted, ignoring it", code);
    return statsresult::kErrorAlreadyInserted;
  }
  return statsresult::kOk;
}

void TargetStatsMap::ClearErrors() { errorCodes.reset(); }

const TargetStatsMap::ErrorCodes TargetStatsMap::kNoErrorCodes;

const TargetStatsColl::Store* TargetStatsColl::Find(const std::string& id, size_t hint) const {
  if (hint < count && SameName(entries[hint].first, id)) return &entries[hint].second;
  const size_t position = Lookup(id, Hash(id));
  return position < count ? &entries[position].second : nullptr;
}

std::pair<TargetStatsColl::Store*, bool> TargetStatsColl::Insert(const std::string& id) {
  // The spare at this position: no live entry has its id.
  if (count < entries.size() && SameName(entries[count].first, id)) return {&entries[count++].second, true};
  const size_t hash = Hash(id);
  const size_t position = Lookup(id, hash);
  if (position != kNone && position < count) return {&entries[position].second, false};
  if (position != kNone) {
    // A spare further on (the targets come in another order): it moves to the first spare
    // position.
    Swap(position, count);
  } else if (count < entries.size()) {
    // The spare at this position belongs to a target that is not back (yet); its entry, and
    // maybe its store, serve this one.
    IndexRemove(count);
    entries[count].first = id;
    hashes[count] = hash;
    IndexInsert(count);
  } else {
    entries.emplace_back(id, nullptr);
    hashes.push_back(hash);
    if (2 * entries.size() > slots.size()) {
      Rehash(std::max<size_t>(16, 2 * slots.size()));
    } else {
      IndexInsert(count);
    }
  }
  return {&entries[count++].second, true};
}

bool TargetStatsColl::Emplace(const std::string& id, Store store) {
  auto [slot, added] = Insert(id);
  if (added) *slot = std::move(store);
  return added;
}

size_t TargetStatsColl::Erase(const std::string& id) {
  const size_t position = Lookup(id, Hash(id));
  if (position == kNone || position >= count) return 0;
  Swap(position, count - 1);
  --count;
  entries[count].second.reset();
  return 1;
}

void TargetStatsColl::Clear() {
  if (entries.size() > count) {
    entries.resize(count);
    hashes.resize(count);
    Rehash(slots.size());
  }
  count = 0;
}

void TargetStatsColl::Reserve(size_t targets) {
  entries.reserve(targets);
  hashes.reserve(targets);
  if (2 * targets > slots.size()) Rehash(std::bit_ceil(std::max<size_t>(16, 2 * targets)));
}

void TargetStatsColl::TakeIdsOf(const TargetStatsColl& other) {
  if (!entries.empty() || &other == this) return;
  // Only the live targets: the spares of `other` are of targets that were gone already.
  entries.reserve(other.count);
  for (size_t i = 0; i < other.count; ++i) entries.emplace_back(other.entries[i].first, nullptr);
  hashes.assign(other.hashes.begin(), other.hashes.begin() + static_cast<std::ptrdiff_t>(other.count));
  count = 0;
  const size_t needed = std::bit_ceil(std::max<size_t>(16, 2 * other.count));
  if (other.entries.size() == other.count && other.slots.size() <= 2 * needed) {
    slots = other.slots;  // it names these entries at these positions and no others
  } else {
    Rehash(needed);
  }
}

size_t TargetStatsColl::Lookup(const std::string& id, size_t hash) const {
  if (slots.empty()) return kNone;
  const size_t mask = slots.size() - 1;
  const uint64_t tag = static_cast<uint64_t>(hash) >> 32;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint64_t slot = slots[i];
    if (slot == 0) return kNone;
    const size_t position = static_cast<uint32_t>(slot) - 1;
    if ((slot >> 32) == tag && hashes[position] == hash && SameName(entries[position].first, id)) return position;
  }
}

size_t TargetStatsColl::SlotOf(size_t position) const {
  const size_t mask = slots.size() - 1;
  size_t i = hashes[position] & mask;
  while (static_cast<uint32_t>(slots[i]) != position + 1) i = (i + 1) & mask;
  return i;
}

void TargetStatsColl::IndexInsert(size_t position) {
  const size_t mask = slots.size() - 1;
  const size_t hash = hashes[position];
  size_t i = hash & mask;
  while (slots[i] != 0) i = (i + 1) & mask;
  slots[i] = ((static_cast<uint64_t>(hash) >> 32) << 32) | (position + 1);
}

void TargetStatsColl::IndexRemove(size_t position) {
  // Backward-shift deletion: an entry behind the freed slot moves into it unless that would
  // put it before its home slot, so that every probe still ends at the first empty slot.
  const size_t mask = slots.size() - 1;
  size_t hole = SlotOf(position);
  slots[hole] = 0;
  for (size_t i = (hole + 1) & mask; slots[i] != 0; i = (i + 1) & mask) {
    const size_t home = hashes[static_cast<uint32_t>(slots[i]) - 1] & mask;
    // Distances from the home slot, cyclically: the entry may move back to the hole only if
    // the hole is not before its home.
    if (((i - home) & mask) >= ((i - hole) & mask)) {
      slots[hole] = slots[i];
      slots[i] = 0;
      hole = i;
    }
  }
}

void TargetStatsColl::Swap(size_t a, size_t b) {
  if (a == b) return;
  const size_t slotA = SlotOf(a);
  const size_t slotB = SlotOf(b);
  const uint64_t low = 0xffffffffu;
  slots[slotA] = (slots[slotA] & ~low) | (b + 1);
  slots[slotB] = (slots[slotB] & ~low) | (a + 1);
  std::swap(entries[a], entries[b]);
  std::swap(hashes[a], hashes[b]);
}

void TargetStatsColl::Rehash(size_t slotCount) {
  slots.assign(slotCount, 0);
  for (size_t position = 0; position < entries.size(); ++position) IndexInsert(position);
}

}  // namespace qbx
