// Lookups in an encoded StatsResponseMsg for the statistics tests.
#pragma once

#include <optional>
#include <string>

#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {

// The target entry of `targetId` under the entry of `targetType`, or null.
inline const zumbra::qbx::agg_service::messaging::TargetStatsMsg* FindTarget(
    const zumbra::qbx::agg_service::messaging::StatsResponseMsg& response, const std::string& targetType,
    const std::string& targetId) {
  for (const auto& type : response.target_type_stats()) {
    if (type.target_type() != targetType) continue;
    for (const auto& target : type.target_stats()) {
      if (target.target_id().string_id() == targetId) return &target;
    }
  }
  return nullptr;
}

// The same under a stat-type entry.
inline const zumbra::qbx::agg_service::messaging::TargetStatsMsg* FindTarget(
    const zumbra::qbx::agg_service::messaging::StatsResponseMsg& response, int32_t statType,
    const std::string& targetId) {
  for (const auto& type : response.target_type_stats()) {
    if (!type.has_stat_type() || type.stat_type() != statType) continue;
    for (const auto& target : type.target_stats()) {
      if (target.target_id().string_id() == targetId) return &target;
    }
  }
  return nullptr;
}

// The value of the named counter `key`, if the target carries it.
inline std::optional<double> NamedValue(const zumbra::qbx::agg_service::messaging::TargetStatsMsg& target,
                                        const std::string& key) {
  for (const auto& counter : target.counters()) {
    if (counter.has_key() && counter.key() == key) return counter.value();
  }
  return std::nullopt;
}

// The value of the positional counter `index`, if the target carries it.
inline std::optional<int64_t> IndexedValue(const zumbra::qbx::agg_service::messaging::TargetStatsMsg& target,
                                           int32_t index) {
  for (const auto& counter : target.counters()) {
    if (counter.has_counter_index() && counter.counter_index() == index) return counter.long_value();
  }
  return std::nullopt;
}

// The named counter `key` of `targetId` under `targetType`; -1 when there is none.
inline double CounterOr(const zumbra::qbx::agg_service::messaging::StatsResponseMsg& response,
                        const std::string& targetType, const std::string& targetId, const std::string& key) {
  const auto* target = FindTarget(response, targetType, targetId);
  if (target == nullptr) return -1;
  return NamedValue(*target, key).value_or(-1);
}

// The same in an encoded SummationStatsResponseMsg; -1 when it does not decode.
inline double SummedCounter(const std::string& payload, const std::string& targetType, const std::string& targetId,
                            const std::string& key) {
  zumbra::qbx::agg_service::messaging::SummationStatsResponseMsg response;
  if (!response.ParseFromString(payload)) return -1;
  return CounterOr(response.stats(), targetType, targetId, key);
}

}  // namespace qbx
