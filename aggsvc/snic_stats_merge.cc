// SnicAggServiceClient::MergeStatsWithRemote: adds the statistics that the smart NICs
// answered to the host's own, in the stores of the request's factory. A smart NIC answers
// with absolute values, so the host's totals become host plus smart NICs, and the host's
// delta encoding runs over the sums.
//
// Values from a smart NIC are outside input: a counter whose value is not a finite number
// inside the signed 64-bit range is skipped with a record, never converted (the conversion
// would be undefined and the sum garbage).

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "aggsvc/snic_agg_service_client.h"
#include "base/logger.h"
#include "core/uuid.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace msg = zumbra::qbx::agg_service::messaging;

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr int kPersonaSnHost = 1;
// 2^63: the first double above the signed 64-bit range.
constexpr double kInt64Bound = 9223372036854775808.0;

// The value truncated toward zero, when it fits a signed 64-bit integer.
bool TruncatedValue(double value, int64_t& out) {
  if (!std::isfinite(value)) return false;
  double truncated = std::trunc(value);
  if (truncated >= kInt64Bound || truncated < -kInt64Bound) return false;
  out = static_cast<int64_t>(truncated);
  return true;
}

void MergeVectorCounters(const char* app, const msg::TargetStatsMsg& stats, qbx::ITargetStatsStore& store) {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: MergeStatsWithRemote vector based counters", app);
  const int n = stats.counters_size();
  std::vector<int64_t> values(static_cast<size_t>(n), 0);
  for (const auto& counter : stats.counters()) {
    const int32_t index = counter.counter_index();
    if (index < 0 || index >= n) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10005")
          .put("[%s]: MergeStatsWithRemote: invalid counter_index %s", app, counter.ShortDebugString().c_str());
      continue;
    }
    values[static_cast<size_t>(index)] = counter.long_value();
  }
  store.AddStats(values, true);
}

void MergeKeyValueCounters(const char* app, const msg::TargetStatsMsg& stats, qbx::ITargetStatsStore& store) {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: MergeStatsWithRemote old KVP counters", app);
  if (stats.errors_size() > 0) {
    if (store.GetErrorCount() != 0) {
      for (int32_t code : stats.errors()) store.AddError(code);
    }
  } else {
    store.ClearErrors();
  }
  for (const auto& counter : stats.counters()) {
    int64_t value = 0;
    if (!TruncatedValue(counter.value(), value)) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10005")
          .put("[%s]: MergeStatsWithRemote: counter value out of range, skipped: %s", app,
               counter.ShortDebugString().c_str());
      continue;
    }
    store.AddStat(counter.key(), value, true);
  }
}

}  // namespace

namespace AggSvcSnic {

void SnicAggServiceClient::MergeStatsWithRemote(const std::string& appName,
                                                const std::shared_ptr<qbx::IStatsStoreFactory>& factory) {
  const char* app = appName.c_str();
  if (NodePersona() != kPersonaSnHost) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s] Non KRX_SN_HOST. No remote stats to merge.", app);
    return;
  }
  if (!factory) return;
  const RemoteCollector::StatsReplies replies = collector->GetStatsReplies(appName);
  for (const auto& record : replies) {
    if (!record) continue;
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s]: MergeStatsWithRemote: status is %s", app, record->ShortDebugString().c_str());
    if (!record->has_target_type() && !record->has_stat_type()) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10005")
          .put("[%s]: MergeStatsWithRemote: missing both target_type & stat_type", app);
      return;
    }
    const std::string parentId = qbx::GetOptionalString(record->parent_id());
    for (const auto& stats : record->target_stats()) {
      const std::string targetId = qbx::GetOptionalString(stats.target_id());
      std::shared_ptr<qbx::ITargetStatsStore> store =
          record->has_stat_type()
              ? factory->GetTargetStatsStore(record->stat_type(), targetId, parentId)
              : factory->GetTargetStatsStore(targetId, record->target_type(), parentId, record->parent_type());
      if (!store) continue;  // refused, or the target is marked for error
      if (record->has_stat_type()) {
        MergeVectorCounters(app, stats, *store);
      } else {
        MergeKeyValueCounters(app, stats, *store);
      }
    }
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("[%s]: MergeStatsWithRemote: Done merging stats", app);
  }
}

}  // namespace AggSvcSnic
