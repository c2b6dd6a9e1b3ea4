// The error store of a statistics factory: error codes that a vertical reports while it
// fills statistics, at target level (carried in the target's store) or for a whole target
// type, parent id or parent type (kept here; they block further statistics for what they
// cover and keep a silent target type alive in the delta protocol).
//
// Threading: no lock; used by the vertical's callback and then by the encoder, on the one
// thread that runs the request.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "aggsvc/stats/stats_store.h"

namespace qbx {

class ErrorStoreImpl : public IErrorStore {
 public:
  // Accepted error code ranges per level; codes below -4999 are custom and accepted anywhere.
  static constexpr int32_t kTargetErrorMax = -1000;
  static constexpr int32_t kTargetErrorMin = -1999;
  static constexpr int32_t kTargetTypeErrorMax = -2000;
  static constexpr int32_t kTargetTypeErrorMin = -2999;
  static constexpr int32_t kParentIdErrorMax = -3000;
  static constexpr int32_t kParentIdErrorMin = -3999;
  static constexpr int32_t kParentTypeErrorMax = -4000;
  static constexpr int32_t kParentTypeErrorMin = -4999;

  // `owner` is the factory that creates target stores for target-level errors; not owned.
  explicit ErrorStoreImpl(IStatsStoreFactory* owner);

  int32_t AddTargetError(const std::string& targetId, const std::string& targetType,
                         const std::string& parentId, const std::string& parentType,
                         int32_t code) override;
  int32_t AddTargetTypeError(const std::string& targetType, const std::string& parentId,
                             const std::string& parentType, int32_t code) override;
  int32_t AddParentIdError(const std::string& parentId, const std::string& parentType,
                           int32_t code) override;
  int32_t AddParentTypeError(const std::string& parentType, int32_t code) override;
  ~ErrorStoreImpl() override = default;
  int32_t AddTargetError(int32_t statType, const std::string& targetId,
                         const std::string& parentId, int32_t code) override;

  bool IsMarkedForError(const TargetMetaData& key) const;
  bool IsMarkedForError(const TargetMetaDataNew& key) const;

  // The owning factory detaches the store (null) when it drops it, and attaches it again
  // when it takes it back: a vertical that kept the pointer beyond its callback then gets
  // -1006 for target-level errors instead of reaching a factory that may be gone.
  void SetOwner(IStatsStoreFactory* factory) { owner = factory; }

 private:
  void Insert(const std::string& key, int32_t code);

  std::shared_ptr<std::unordered_map<std::string, std::shared_ptr<std::set<int32_t>>>> errors;
  IStatsStoreFactory* owner;
};

}  // namespace qbx
