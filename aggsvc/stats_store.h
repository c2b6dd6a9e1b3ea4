// The statistics store model: the keys under which a vertical files its counters, the
// store of one target, and the interfaces that the framework lends to a statistics callback.
//
// A vertical receives an IStatsStoreFactory for one collection, asks it for the store of each
// target and writes counters and error codes into it; the framework then encodes the same
// object through its IStatsResponseEncoder side (absolute values or deltas).
//
// Threading: none of these types has a lock. A factory and its stores belong to the request
// that created them and are used on that request's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/thread.h"  // ::Exception, thrown by the key constructors

namespace zumbra::qbx::agg_service::messaging {
class StatsResponseMsg;
}

namespace qbx {

// The kind of statistics a poll callback is asked for.
enum PollStatType : int32_t {
  OVERWRITE = 0,  // absolute values that replace the previous ones
  SUMMATION = 1,  // running totals; the framework sends their differences
};

// Stat type value that means "not set".
constexpr int32_t kStatTypeUnset = -1;

// Result codes of the store operations.
namespace statsresult {
constexpr int32_t kOk = 0;
constexpr int32_t kEmptyStatKey = -3000;
constexpr int32_t kStatAlreadyInserted = -3001;
constexpr int32_t kErrorCodeOutOfRange = -3007;
constexpr int32_t kBadStatsVector = -3008;
constexpr int32_t kInvalidArgs = -1006;
constexpr int32_t kErrorAlreadyInserted = 5001;
}  // namespace statsresult

// Key of a collection by target type and parent. The parent type and id are both empty or
// both set; the target type is never empty. The constructor throws ::Exception otherwise.
class TargetMetaData {
 public:
  TargetMetaData(const std::string& targetType, const std::string& parentId,
                 const std::string& parentType);

  const std::string& TargetType() const { return targetType; }
  const std::string& ParentType() const { return parentType; }
  const std::string& ParentId() const { return parentId; }
  // "parentType:parentId:targetType"; names the key in every record and feeds the hash.
  const std::string& KeyText() const { return keyText; }

 private:
  std::string targetType;
  std::string parentType;
  std::string parentId;
  std::string keyText;
};

struct TargetMetaDataHash {
  size_t operator()(const TargetMetaData& key) const {
    return std::hash<std::string>()(key.KeyText());
  }
};

struct TargetMetaDataEq {
  bool operator()(const TargetMetaData& a, const TargetMetaData& b) const {
    return a.TargetType() == b.TargetType() && a.ParentType() == b.ParentType() &&
           a.ParentId() == b.ParentId();
  }
};

// Key of a collection by stat type and parent id. A stat type of -1 (unset) makes the
// constructor throw ::Exception.
class TargetMetaDataNew {
 public:
  TargetMetaDataNew(int32_t statType, const std::string& parentId);

  int32_t StatType() const { return statType; }
  const std::string& ParentId() const { return parentId; }
  // "statType:parentId", the stat type in decimal.
  const std::string& KeyText() const { return keyText; }

 private:
  int32_t statType;
  std::string parentId;
  std::string keyText;
};

struct TargetMetaDataHashNew {
  size_t operator()(const TargetMetaDataNew& key) const {
    return std::hash<std::string>()(key.KeyText());
  }
};

struct TargetMetaDataEqNew {
  bool operator()(const TargetMetaDataNew& a, const TargetMetaDataNew& b) const {
    return a.StatType() == b.StatType() && a.ParentId() == b.ParentId();
  }
};

// One target named by an on-demand request.
struct TargetContext {
  TargetContext(const std::string& id, const std::string& targetType,
                const std::string& parentId, const std::string& parentType)
      : targetId(id), metaData(targetType, parentId, parentType) {}
  std::string targetId;
  TargetMetaData metaData;
};

struct TargetContextNew {
  TargetContextNew(const std::string& id, int32_t statType, const std::string& parentId)
      : targetId(id), metaData(statType, parentId) {}
  std::string targetId;
  TargetMetaDataNew metaData;
};

// The statistics store of one target.
class ITargetStatsStore {
 public:
  // Adds a named counter. With `accumulate` an existing value is increased; without it an
  // existing key is refused.
  virtual int32_t AddStat(const std::string& key, int64_t value, bool accumulate) = 0;
  // Sets the positional counters (-1 = absent), or merges them element-wise with
  // `accumulate` when a vector of the same length is stored.
  virtual int32_t AddStats(const std::vector<int64_t>& values, bool accumulate) = 0;
  virtual int32_t AddError(int32_t code) = 0;
  virtual void ClearErrors() = 0;
  // Reserved for store variants that carry attributes of their own; plain stores have none.
  virtual int32_t GetAttributes() = 0;
  virtual size_t GetErrorCount() = 0;
  virtual ~ITargetStatsStore() = default;
};

// Errors that make statistics unavailable, at target level or for a whole target type,
// parent id or parent type.
class IErrorStore {
 public:
  virtual int32_t AddTargetError(const std::string& targetId, const std::string& targetType,
                                 const std::string& parentId, const std::string& parentType,
                                 int32_t code) = 0;
  virtual int32_t AddTargetTypeError(const std::string& targetType, const std::string& parentId,
                                     const std::string& parentType, int32_t code) = 0;
  virtual int32_t AddParentIdError(const std::string& parentId, const std::string& parentType,
                                   int32_t code) = 0;
  virtual int32_t AddParentTypeError(const std::string& parentType, int32_t code) = 0;
  virtual ~IErrorStore() = default;
  virtual int32_t AddTargetError(int32_t statType, const std::string& targetId,
                                 const std::string& parentId, int32_t code) = 0;
};

// What a statistics callback sees: the store of each target, created on first use.
class IStatsStoreFactory {
 public:
  // Null when refused (bad arguments, or the target is marked for error).
  virtual std::shared_ptr<ITargetStatsStore> GetTargetStatsStore(const std::string& targetId,
                                                                 const std::string& targetType,
                                                                 const std::string& parentId,
                                                                 const std::string& parentType) = 0;
  virtual std::shared_ptr<ITargetStatsStore> GetTargetStatsStore(int32_t statType,
                                                                 const std::string& targetId,
                                                                 const std::string& parentId) = 0;
  virtual std::shared_ptr<IErrorStore> GetErrorStore() = 0;
  virtual ~IStatsStoreFactory() = default;
};

// The framework's side of a factory: writes what was collected into a response.
class IStatsResponseEncoder {
 public:
  virtual bool Encode(zumbra::qbx::agg_service::messaging::StatsResponseMsg* response) = 0;
  virtual ~IStatsResponseEncoder() = default;
};

// Target id -> store, and the two maps of collections a factory keeps. Collections and
// stores are shared by pointer between the previous and the current maps of the delta
// encoder; nothing deep-copies them.
using TargetStatsColl = std::unordered_map<std::string, std::shared_ptr<ITargetStatsStore>>;
using TargetStatsCollMap = std::unordered_map<TargetMetaData, std::shared_ptr<TargetStatsColl>,
                                              TargetMetaDataHash, TargetMetaDataEq>;
using TargetStatsCollMapNew =
    std::unordered_map<TargetMetaDataNew, std::shared_ptr<TargetStatsColl>, TargetMetaDataHashNew,
                       TargetMetaDataEqNew>;

// Equality of two counter names. Names are short; comparing them in line is cheaper than a
// library call per counter of every poll.
inline bool SameName(const std::string& a, const std::string& b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  if (n > 24) return a.compare(b) == 0;
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

// The named counters of one target, in insertion order. A vertical writes a handful of
// counters per target for thousands of targets per poll, so they live in one flat vector
// (one allocation per target, not one per counter), with the hash of each key beside it so
// that a lookup compares strings only on a hash match. A lookup may name the position to
// try first: the delta encoder looks up the counters of the previous poll, which come in
// the same order.
//
// clear() keeps the entries it forgets (up to `count` they are live, beyond it spare): a
// store that is filled again gets the same names in the same order, and a name that equals
// the spare entry at its position reuses that entry's string and hash instead of hashing
// and copying the name.
class KeyValueCounters {
 public:
  using value_type = std::pair<std::string, int64_t>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;
  static constexpr size_t kNoHint = static_cast<size_t>(-1);

  iterator begin() { return entries.begin(); }
  iterator end() { return entries.begin() + static_cast<std::ptrdiff_t>(count); }
  const_iterator begin() const { return entries.begin(); }
  const_iterator end() const { return entries.begin() + static_cast<std::ptrdiff_t>(count); }
  size_t size() const { return count; }
  bool empty() const { return count == 0; }

  iterator find(const std::string& key, size_t hint = kNoHint) {
    return entries.begin() + static_cast<std::ptrdiff_t>(IndexOf(key, hint));
  }
  const_iterator find(const std::string& key, size_t hint = kNoHint) const {
    return entries.begin() + static_cast<std::ptrdiff_t>(IndexOf(key, hint));
  }
  // Inserts (key, value) unless the key is present; like std::map::try_emplace. An
  // insertion may move the entries: earlier iterators are invalid afterwards.
  std::pair<iterator, bool> try_emplace(const std::string& key, int64_t value) {
    const bool spareMatches = count < entries.size() && SameName(entries[count].first, key);
    // The spare names up to `distinct` differ from each other, so a name equal to the spare at
    // its position cannot be among the live ones before it: the refill of a store with the
    // same names skips the search.
    if (!(spareMatches && count < distinct)) {
      const size_t hash = spareMatches ? hashes[count] : std::hash<std::string>()(key);
      const size_t at = IndexOfHashed(key, hash);
      if (at != count) return {entries.begin() + static_cast<std::ptrdiff_t>(at), false};
      if (count < entries.size()) {
        if (!spareMatches) {
          entries[count].first = key;
          hashes[count] = hash;
          // The new name may equal a spare behind it.
          if (distinct > count) distinct = count + 1;
        } else if (distinct == count) {
          ++distinct;
        }
      } else {
        if (entries.empty()) {
          entries.reserve(kInitialCapacity);
          hashes.reserve(kInitialCapacity);
        }
        entries.emplace_back(key, value);
        hashes.push_back(hash);
        if (distinct == count) ++distinct;
      }
    }
    entries[count].second = value;
    ++count;
    return {entries.begin() + static_cast<std::ptrdiff_t>(count - 1), true};
  }
  int64_t at(const std::string& key) const {
    auto it = find(key);
    if (it == end()) throw std::out_of_range(key);
    return it->second;
  }
  // Forgets every counter; their entries stay as spares for the next fill.
  void clear() { count = 0; }

 private:
  static constexpr size_t kInitialCapacity = 16;

  size_t IndexOf(const std::string& key, size_t hint) const {
    if (hint < count && SameName(entries[hint].first, key)) return hint;
    return IndexOfHashed(key, std::hash<std::string>()(key));
  }
  size_t IndexOfHashed(const std::string& key, size_t hash) const {
    for (size_t i = 0; i < count; ++i) {
      if (hashes[i] == hash && SameName(entries[i].first, key)) return i;
    }
    return count;
  }

  std::vector<value_type> entries;  // [0, count) live, the rest spare
  std::vector<size_t> hashes;       // hashes[i] is the hash of entries[i].first
  size_t count = 0;
  size_t distinct = 0;  // entries[0, distinct) have pairwise different names
};

// The store of one target: named counters, positional counters and target-level error
// codes, all at once if the vertical wishes.
class TargetStatsMap : public ITargetStatsStore {
 public:
  using KeyValueStats = KeyValueCounters;
  using VectorStats = std::vector<int64_t>;
  using ErrorCodes = std::set<int32_t>;

  TargetStatsMap() = default;

  int32_t AddStat(const std::string& key, int64_t value, bool accumulate) override;
  int32_t AddStats(const std::vector<int64_t>& values, bool accumulate) override;
  int32_t AddError(int32_t code) override;
  void ClearErrors() override;
  int32_t GetAttributes() override { return 0; }
  size_t GetErrorCount() override { return errorCodes.size(); }

  // Empties the store for reuse by a later poll; keeps the memory of its counters.
  void Reset() {
    keyValueStats.clear();
    vectorStats.clear();
    errorCodes.clear();
  }

  // For the encoders, which read the values and (delta) carry forward missing ones.
  KeyValueStats& GetKeyValueStats() { return keyValueStats; }
  VectorStats& GetVectorStats() { return vectorStats; }
  const ErrorCodes& GetErrorCodes() const { return errorCodes; }

 private:
  KeyValueStats keyValueStats;
  VectorStats vectorStats;
  ErrorCodes errorCodes;
};

// Counter arithmetic: counters are running totals that may have wrapped past the int64
// range (they are read from unsigned datapath counters), so sums and differences wrap
// modulo 2^64 instead of overflowing.
inline int64_t WrappingAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t WrappingSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

}  // namespace qbx
