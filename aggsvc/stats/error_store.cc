#include "aggsvc/stats/error_store.h"

#include "base/logger.h"

namespace qbx {

namespace {
constexpr const char* kSubcomp = "agg-service";
constexpr int32_t kCustomErrorMax = -5000;

// A code inside the level's range, or a custom code (below -4999), is accepted.
bool InRange(int32_t code, int32_t max, int32_t min) {
  return code <= kCustomErrorMax || (code >= min && code <= max);
}

std::string KeyText(const std::string& first, const std::string& second, const std::string& third) {
  std::string key;
  key.reserve(first.size() + second.size() + third.size() + 2);
  key.append(first).append(1, ':').append(second).append(1, ':').append(third);
  return key;
}

// Accepts a code inside the level's range or a custom one; logs a refusal, ending with `suffix`.
bool CheckCode(const char* op, int32_t code, int32_t max, int32_t min, const char* suffix) {
  if (InRange(code, max, min)) return true;
  QBX_LOG(loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10043")
      .put("[%s]: Error code %d out of valid range [%d, %d]%s", op, code, max, min, suffix);
  return false;
}

// Logs whether (and at which level) a target was found marked for error; returns `marked`.
bool ReportMark(const char* op, const std::string& key, const char* finding, bool marked) {
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("[%s]: Target [%s] %s", op, key.c_str(), finding);
  return marked;
}

constexpr const char* kNotMarked = "was not marked for error at any level";

// Adds a target level error to the store that `find` locates for `target` (its key, as logged).
template <typename Find>
int32_t AddToTargetStore(const std::string& target, int32_t code, Find find) {
  static const char* kOp = "AddTargetError";
  if (!CheckCode(kOp, code, ErrorStoreImpl::kTargetErrorMax, ErrorStoreImpl::kTargetErrorMin,
                 " and is not a custom error code.")) {
    return statsresult::kErrorCodeOutOfRange;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s]: Trying to locate targetStatsStore of target [%s] to report error [%d]", kOp,
           target.c_str(), code);
  std::shared_ptr<ITargetStatsStore> store = find();
  if (!store) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("[%s]: Getting Target store failed, check arguments", kOp);
    return statsresult::kInvalidArgs;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s]: Adding target error [%d] for [%s]", kOp, code, target.c_str());
  return store->AddError(code);
}
}  // namespace

ErrorStoreImpl::ErrorStoreImpl(IStatsStoreFactory* owner_)
    : errors(std::make_shared<std::unordered_map<std::string, std::shared_ptr<std::set<int32_t>>>>()),
      owner(owner_) {}

void ErrorStoreImpl::Insert(const std::string& key, int32_t code) {
  auto& codes = (*errors)[key];
  if (!codes) codes = std::make_shared<std::set<int32_t>>();
  codes->insert(code);
}

int32_t ErrorStoreImpl::AddTargetError(const std::string& targetId, const std::string& targetType,
                                       const std::string& parentId, const std::string& parentType,
                                       int32_t code) {
  return AddToTargetStore(KeyText(parentType, parentId, targetType) + ':' + targetId, code,
                          [&]() -> std::shared_ptr<ITargetStatsStore> {
                            if (!owner) return nullptr;
                            return owner->GetTargetStatsStore(targetId, targetType, parentId, parentType);
                          });
}

int32_t ErrorStoreImpl::AddTargetError(int32_t statType, const std::string& targetId,
                                       const std::string& parentId, int32_t code) {
  return AddToTargetStore(std::to_string(statType) + ':' + parentId + ':' + targetId, code,
                          [&]() -> std::shared_ptr<ITargetStatsStore> {
                            if (!owner) return nullptr;
                            return owner->GetTargetStatsStore(statType, targetId, parentId);
                          });
}

int32_t ErrorStoreImpl::AddTargetTypeError(const std::string& targetType, const std::string& parentId,
                                           const std::string& parentType, int32_t code) {
  static const char* kOp = "AddTargetTypeError";
  if (targetType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("[%s]: Input targetType is empty", kOp);
    return statsresult::kInvalidArgs;
  }
  if (parentId.empty() != parentType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("[%s]: ParentType and ParentId either both should beempty or both should be non-empty", kOp);
    return statsresult::kInvalidArgs;
  }
  if (!CheckCode(kOp, code, kTargetTypeErrorMax, kTargetTypeErrorMin, "")) {
    return statsresult::kErrorCodeOutOfRange;
  }
  std::string key = KeyText(parentType, parentId, targetType);
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s]: Adding target type level error [%d] for [%s]", kOp, code, key.c_str());
  Insert(key, code);
  return statsresult::kOk;
}

int32_t ErrorStoreImpl::AddParentIdError(const std::string& parentId, const std::string& parentType,
                                         int32_t code) {
  static const char* kOp = "AddParentIdError";
  if (parentId.empty() || parentType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("[%s]: ParentType or ParentId is empty", kOp);
    return statsresult::kInvalidArgs;
  }
  if (!CheckCode(kOp, code, kParentIdErrorMax, kParentIdErrorMin, "\n")) {
    return statsresult::kErrorCodeOutOfRange;
  }
  std::string key = KeyText(parentType, parentId, "");
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[%s]: Adding parentId level error [%d] for [%s]", kOp, code, key.c_str());
  Insert(key, code);
  return statsresult::kOk;
}

int32_t ErrorStoreImpl::AddParentTypeError(const std::string& parentType, int32_t code) {
  static const char* kOp = "AddParentTypeError";
  if (parentType.empty()) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("[%s]: ParentType is empty", kOp);
    return statsresult::kInvalidArgs;
  }
  if (!CheckCode(kOp, code, kParentTypeErrorMax, kParentTypeErrorMin, "\n")) {
    return statsresult::kErrorCodeOutOfRange;
  }
  Insert(KeyText(parentType, "", ""), code);
  return statsresult::kOk;
}

bool ErrorStoreImpl::IsMarkedForError(const TargetMetaData& key) const {
  static const char* kOp = "IsMarkedForError";
  if (errors->empty()) {
    return ReportMark(kOp, key.KeyText(), kNotMarked, false);
  }
  if (errors->count(key.KeyText())) {
    return ReportMark(kOp, key.KeyText(), "marked for error at target type level", true);
  }
  if (errors->count(KeyText(key.ParentType(), key.ParentId(), ""))) {
    return ReportMark(kOp, key.KeyText(), "marked for error at parent Id level", true);
  }
  if (errors->count(KeyText(key.ParentType(), "", ""))) {
    return ReportMark(kOp, key.KeyText(), "marked for error at parent type level", true);
  }
  return ReportMark(kOp, key.KeyText(), kNotMarked, false);
}

bool ErrorStoreImpl::IsMarkedForError(const TargetMetaDataNew& key) const {
  static const char* kOp = "IsMarkedForError";
  if (errors->count(key.KeyText())) {
    return ReportMark(kOp, key.KeyText(), "marked for error at target type level", true);
  }
  return ReportMark(kOp, key.KeyText(), kNotMarked, false);
}

}  // namespace qbx
