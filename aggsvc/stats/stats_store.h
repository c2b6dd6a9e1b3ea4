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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
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

// Equality of two counter names or target ids. They are short; comparing them in line, a
// word at a time, is cheaper than a library call per counter and target of every poll.
inline bool SameName(const std::string& a, const std::string& b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  // Two loads of 8 (or 4) bytes that overlap when needed cover the whole name.
  auto same = [x, y, n](auto word) {
    constexpr size_t w = sizeof word;
    decltype(word) p, q, r, t;
    std::memcpy(&p, x, w);
    std::memcpy(&q, y, w);
    std::memcpy(&r, x + n - w, w);
    std::memcpy(&t, y + n - w, w);
    return p == q && r == t;
  };
  if (n > 16) return std::memcmp(x, y, n) == 0;
  if (n >= 8) return same(uint64_t{});
  if (n >= 4) return same(uint32_t{});
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

// The stores of the targets of one collection by target id, in the order the targets were
// added. A vertical reports thousands of targets per poll, nearly always the same ones in
// the same order, and the delta encoder looks each one up in the previous poll's
// collection. So the entries are one array, found through an open-addressing index of
// their positions, and a lookup may name the position to try first.
//
// Clear() keeps the entries (up to `count` they are live, beyond it spare) with their ids,
// index slots and stores. A refill that adds the target of the spare at its position takes
// that entry as it is: no hashing, no index change, and the target's own earlier store for
// the caller to reuse. All entries, live and spare, have different ids.
//
// Threading: none; used by the factory that holds it, like the stores.
class TargetStatsColl {
 public:
  using Store = std::shared_ptr<ITargetStatsStore>;
  using value_type = std::pair<std::string, Store>;  // target id, store
  using const_iterator = std::vector<value_type>::const_iterator;
  static constexpr size_t kNoHint = static_cast<size_t>(-1);

  const_iterator begin() const { return entries.begin(); }
  const_iterator end() const { return entries.begin() + static_cast<std::ptrdiff_t>(count); }
  size_t size() const { return count; }
  bool empty() const { return count == 0; }

  // The store of the live target `id`, or null; `hint` is the position to try first.
  const Store* Find(const std::string& id, size_t hint = kNoHint) const;
  // The store of `id`, which is made live if it was not (second: true then). The store of
  // an entry made live is what its spare held: null, or a store of an earlier poll that
  // the caller reuses only if nothing else holds it.
  std::pair<Store*, bool> Insert(const std::string& id);
  // Adds `id` with `store` unless `id` is live; true when added.
  bool Emplace(const std::string& id, Store store);
  // Removes the live target `id` and lets its store go; 1 when it was there, else 0.
  size_t Erase(const std::string& id);
  // Forgets every target; their entries stay as spares for the next fill. Older spares, of
  // targets that were gone already, are dropped with their stores.
  void Clear();
  void Reserve(size_t targets);
  // For an empty collection (else no effect): takes the ids of the live targets of `other`
  // as its own spares, without their stores, so that a fill with the same targets in the same
  // order finds each at its position. Copying the ids and the index as they are costs less
  // than hashing every id and placing it in a new index.
  void TakeIdsOf(const TargetStatsColl& other);
  // Targets the entries have room for without growing.
  size_t Capacity() const { return entries.capacity(); }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  static size_t Hash(const std::string& id) { return std::hash<std::string>()(id); }
  // Position of the entry (live or spare) of `id`, or kNone.
  size_t Lookup(const std::string& id, size_t hash) const;
  // The index slot that names `position`.
  size_t SlotOf(size_t position) const;
  void IndexInsert(size_t position);
  void IndexRemove(size_t position);
  void Swap(size_t a, size_t b);
  void Rehash(size_t slotCount);

  std::vector<value_type> entries;  // [0, count) live, the rest spare
  std::vector<size_t> hashes;       // hashes[i] is the hash of entries[i].first
  // Open addressing with linear probing, at most half full: 0 is empty, else the position
  // plus one in the low half and the high half of the id's hash in the high one.
  std::vector<uint64_t> slots;
  size_t count = 0;
};

// The two maps of collections a factory keeps. Collections and stores are shared by pointer
// between the previous and the current maps of the delta encoder; nothing deep-copies them.
using TargetStatsCollMap = std::unordered_map<TargetMetaData, std::shared_ptr<TargetStatsColl>,
                                              TargetMetaDataHash, TargetMetaDataEq>;
using TargetStatsCollMapNew =
    std::unordered_map<TargetMetaDataNew, std::shared_ptr<TargetStatsColl>, TargetMetaDataHashNew,
                       TargetMetaDataEqNew>;

// The names of a store's named counters, in insertion order, with the hash of each beside
// it so that a lookup compares strings only on a hash match. Stores whose counters have the
// same names share one list (see KeyValueCounters); a shared list is never changed.
struct CounterNames {
  std::vector<std::string> names;
  std::vector<size_t> hashes;  // hashes[i] is the hash of names[i]
  size_t distinct = 0;         // names[0, distinct) differ from each other

  bool SameAs(const CounterNames& other) const {
    if (names.size() != other.names.size() || hashes != other.hashes) return false;
    for (size_t i = 0; i < names.size(); ++i) {
      if (!SameName(names[i], other.names[i])) return false;
    }
    return true;
  }
};

// The named counters of one target, in insertion order. A vertical writes a handful of
// counters per target for thousands of targets per poll, nearly always the same names in
// the same order. So the names live in a CounterNames list that the stores of a poll share
// (copied before a store changes it), and a store itself holds only its values: a poll of
// thousands of targets then touches one list of names and a few cache lines per target. A
// lookup may name the position to try first: the delta encoder looks up the counters of the
// previous poll, which come in the same order.
//
// The values of the first kInlineValues counters are part of the store itself, and only
// more counters take an array of their own: a store is then one block of memory instead of
// two. At a hundred thousand targets the stores no longer fit in the processor's cache, and
// every block a target's store is spread over costs a miss when a poll fills it, another
// when the delta encoder reads it, and an allocation and a release per poll when stores are
// not kept from one poll to the next.
//
// clear() keeps the names it forgets (up to `count` they are live, beyond it spare): a
// store that is filled again gets the same names in the same order, and a name that equals
// the spare at its position is taken as it is, without hashing, copying or writing the list.
class KeyValueCounters {
 public:
  static constexpr size_t kNoHint = static_cast<size_t>(-1);
  static constexpr size_t kInlineValues = 16;

  KeyValueCounters() = default;
  KeyValueCounters(const KeyValueCounters& other) { *this = other; }
  KeyValueCounters& operator=(const KeyValueCounters& other) {
    if (this == &other) return *this;
    list = other.list;
    count = other.count;
    if (other.count > kInlineValues) {
      heapValues = std::make_unique<int64_t[]>(other.count);
      capacity = other.count;
    } else {
      heapValues.reset();
      capacity = kInlineValues;
    }
    std::copy(other.Values(), other.Values() + other.count, Values());
    return *this;
  }

  // Iterates over (name, value) pairs: `first` is the name, `second` the value.
  template <bool kConst>
  class Iterator {
   public:
    using Value = std::conditional_t<kConst, const int64_t, int64_t>;
    struct Entry {
      const std::string& first;
      Value& second;
    };
    struct Pointer {
      Entry entry;
      const Entry* operator->() const { return &entry; }
    };
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using reference = Entry;
    using pointer = Pointer;

    Iterator() = default;
    Iterator(const std::string* names, Value* values, size_t index) : names(names), values(values), index(index) {}
    template <bool kOther, typename = std::enable_if_t<kConst && !kOther>>
    Iterator(const Iterator<kOther>& other) : names(other.names), values(other.values), index(other.index) {}

    Entry operator*() const { return {names[index], values[index]}; }
    Pointer operator->() const { return {**this}; }
    Iterator& operator++() {
      ++index;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++index;
      return before;
    }
    bool operator==(const Iterator& other) const { return index == other.index; }

   private:
    template <bool>
    friend class Iterator;
    const std::string* names = nullptr;
    Value* values = nullptr;
    size_t index = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  iterator begin() { return At(0); }
  iterator end() { return At(count); }
  const_iterator begin() const { return At(0); }
  const_iterator end() const { return At(count); }
  size_t size() const { return count; }
  bool empty() const { return count == 0; }

  // The name and value of the i-th counter, i < size().
  const std::string& NameAt(size_t i) const { return list->names[i]; }
  int64_t ValueAt(size_t i) const { return Values()[i]; }

  iterator find(const std::string& key, size_t hint = kNoHint) { return At(IndexOf(key, hint)); }
  const_iterator find(const std::string& key, size_t hint = kNoHint) const { return At(IndexOf(key, hint)); }
  // Inserts (key, value) unless the key is present; like std::map::try_emplace. An
  // insertion may move the entries: earlier iterators are invalid afterwards.
  std::pair<iterator, bool> try_emplace(const std::string& key, int64_t value) {
    const bool spareMatches = list && count < list->names.size() && SameName(list->names[count], key);
    // The spare names up to `distinct` differ from each other, so a name equal to the spare at
    // its position cannot be among the live ones before it: the refill of a store with the
    // same names skips the search.
    if (!(spareMatches && count < list->distinct)) {
      const size_t hash = spareMatches ? list->hashes[count] : std::hash<std::string>()(key);
      const size_t at = IndexOfHashed(key, hash);
      if (at != count) return {At(at), false};
      CounterNames& own = Writable();
      if (count < own.names.size()) {
        if (!spareMatches) {
          own.names[count] = key;
          own.hashes[count] = hash;
          // The new name may equal a spare behind it.
          if (own.distinct > count) own.distinct = count + 1;
        } else if (own.distinct == count) {
          ++own.distinct;
        }
      } else {
        if (own.names.empty()) {
          own.names.reserve(kInitialCapacity);
          own.hashes.reserve(kInitialCapacity);
        }
        own.names.push_back(key);
        own.hashes.push_back(hash);
        if (own.distinct == count) ++own.distinct;
      }
    }
    if (count == capacity) Grow();
    Values()[count] = value;
    ++count;
    return {At(count - 1), true};
  }
  int64_t at(const std::string& key) const {
    auto it = find(key);
    if (it == end()) throw std::out_of_range(key);
    return it->second;
  }
  // Forgets every counter; their names stay as spares for the next fill.
  void clear() { count = 0; }

  // The list of names (null before the first), to share with other stores.
  const std::shared_ptr<CounterNames>& Names() const { return list; }
  // Takes `names` as the spare names of a store that has never had any: a new store that
  // is filled like the one `names` came from shares its list.
  void SeedNames(const std::shared_ptr<CounterNames>& names) {
    if (!list) list = names;
  }
  // Takes `names` in place of an equal list of its own, so that the two are shared; for a
  // store that holds no counters. True when it holds `names` afterwards.
  bool ShareNames(const std::shared_ptr<CounterNames>& names) {
    if (count != 0 || !list || !names) return false;
    if (list != names) {
      if (!list->SameAs(*names)) return false;
      list = names;
    }
    return true;
  }

 private:
  static constexpr size_t kInitialCapacity = 16;

  iterator At(size_t i) { return {list ? list->names.data() : nullptr, Values(), i}; }
  const_iterator At(size_t i) const { return {list ? list->names.data() : nullptr, Values(), i}; }

  int64_t* Values() { return heapValues ? heapValues.get() : inlineValues; }
  const int64_t* Values() const { return heapValues ? heapValues.get() : inlineValues; }
  // Room for twice as many values, in an array of their own; the live ones move there.
  void Grow() {
    auto grown = std::make_unique<int64_t[]>(2 * capacity);
    std::copy(Values(), Values() + count, grown.get());
    heapValues = std::move(grown);
    capacity *= 2;
  }

  // The list, which this store alone holds from here on. A shared one is copied up to the
  // live names: the spares behind them were another store's.
  CounterNames& Writable() {
    if (!list) {
      list = std::make_shared<CounterNames>();
    } else if (list.use_count() > 1) {
      auto own = std::make_shared<CounterNames>();
      own->names.reserve(std::max(kInitialCapacity, list->names.size()));
      own->hashes.reserve(own->names.capacity());
      own->names.assign(list->names.begin(), list->names.begin() + static_cast<std::ptrdiff_t>(count));
      own->hashes.assign(list->hashes.begin(), list->hashes.begin() + static_cast<std::ptrdiff_t>(count));
      own->distinct = count;
      list = std::move(own);
    }
    return *list;
  }

  size_t IndexOf(const std::string& key, size_t hint) const {
    // A name of the list itself (the delta encoder's, when previous and current share it)
    // needs no comparison.
    if (hint < count && (&list->names[hint] == &key || SameName(list->names[hint], key))) return hint;
    return IndexOfHashed(key, std::hash<std::string>()(key));
  }
  size_t IndexOfHashed(const std::string& key, size_t hash) const {
    for (size_t i = 0; i < count; ++i) {
      if (list->hashes[i] == hash && SameName(list->names[i], key)) return i;
    }
    return count;
  }

  std::shared_ptr<CounterNames> list;  // names[0, count) live, the rest spare; null until a name
  // Values()[i] is the value of names[i], i < count: inlineValues up to kInlineValues
  // counters, heapValues (of `capacity` values) beyond.
  std::unique_ptr<int64_t[]> heapValues;
  uint32_t count = 0;
  uint32_t capacity = kInlineValues;
  int64_t inlineValues[kInlineValues];
};

// The store of one target: named counters, positional counters and target-level error
// codes, all at once if the vertical wishes.
class TargetStatsMap : public ITargetStatsStore {
 public:
  using KeyValueStats = KeyValueCounters;
  using VectorStats = std::vector<int64_t>;
  using ErrorCodes = std::set<int32_t>;

  // Provided, so that making a store does not zero the values it holds in place first.
  TargetStatsMap() {}

  int32_t AddStat(const std::string& key, int64_t value, bool accumulate) override;
  int32_t AddStats(const std::vector<int64_t>& values, bool accumulate) override;
  int32_t AddError(int32_t code) override;
  void ClearErrors() override;
  int32_t GetAttributes() override { return 0; }
  size_t GetErrorCount() override { return errorCodes ? errorCodes->size() : 0; }

  // Empties the store for reuse by a later poll; keeps the memory of its counters.
  void Reset() {
    keyValueStats.clear();
    vectorStats.clear();
    errorCodes.reset();
  }

  // For the encoders, which read the values and (delta) carry forward missing ones.
  KeyValueStats& GetKeyValueStats() { return keyValueStats; }
  VectorStats& GetVectorStats() { return vectorStats; }
  const ErrorCodes& GetErrorCodes() const { return errorCodes ? *errorCodes : kNoErrorCodes; }

 private:
  KeyValueStats keyValueStats;
  VectorStats vectorStats;
  // Made with the first code: most targets never have one, and a store per target of a
  // poll of a hundred thousand is held between polls as the base of the next delta.
  std::unique_ptr<ErrorCodes> errorCodes;
  static const ErrorCodes kNoErrorCodes;
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
