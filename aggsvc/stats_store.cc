#include "aggsvc/stats_store.h"

#include <string>

#include "core/logger.h"
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
  if (!errorCodes.insert(code).second) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Error code %d is already inserted, ignoring it", code);
    return statsresult::kErrorAlreadyInserted;
  }
  return statsresult::kOk;
}

void TargetStatsMap::ClearErrors() { errorCodes.clear(); }

}  // namespace qbx
