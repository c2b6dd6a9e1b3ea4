// Shared vocabulary of the monitoring status source: the pair key, the callback types, the
// tables of supported verticals and message types, and the default polling intervals.
//
// The tables are immutable after static initialisation and may be read from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "aggsvc/status_source.h"
#include "platform/runtime/clock.h"
#include "zumbra/qbx/agg_service/status/runtime_status.pb.h"
#include "zumbra/qbx/agg_service/status/status_types.pb.h"

namespace qbx::StatusSource {

using AggServiceStatusVerticalType = zumbra::qbx::agg_service::status::AggServiceStatusVerticalType;
using AggServiceStatusMsgType = zumbra::qbx::agg_service::status::AggServiceStatusMsgType;
// Vertical first; ordered maps keyed by it order by vertical, then by message type.
using StatusKey = std::pair<AggServiceStatusVerticalType, AggServiceStatusMsgType>;
using StatusUpdatePtr = std::shared_ptr<GenericRuntimeStatusUpdateMsg>;
using OptionalStatusUpdate = std::optional<StatusUpdatePtr>;
// Times are read from the provider's clock so that tests can move them.
using TimePoint = qbx::Clock::time_point;

constexpr const char* kSubcomp = "agg-service";
constexpr const char* kProviderEndpoint = "tcp://127.0.0.1:9100";
constexpr const char* kStatusCollectionConfigFile =
    "/var/run/zumbra/qbx-monitoring/status_collection_configs.json";
constexpr const char* kIssueFile = "/etc/qbx_issue";

// Full protobuf type name -> message type (16 rows).
const std::unordered_map<std::string, AggServiceStatusMsgType>& SupportedMsgTypes();
// Vertical name -> vertical (9 rows).
const std::unordered_map<std::string, AggServiceStatusVerticalType>& SupportedVerticals();
// Vertical -> polling interval in seconds (30, 60 or 120): qbx::StatusSourceDefaultIntervals.
const std::map<AggServiceStatusVerticalType, uint64_t>& DefaultPollingIntervals();
// Feature stack names whose intervals the collection configuration file may set:
// qbx::StatusSourceVerticalIds.
const std::unordered_map<std::string, AggServiceStatusVerticalType>& ConfigFileVerticals();

// Enum value names for log texts ("" for a value outside the enum).
std::string VerticalName(AggServiceStatusVerticalType vertical);
std::string MsgTypeName(AggServiceStatusMsgType msgType);

// A human-readable wall-clock text ("2026-Dec-06 21:22:41") of a provider-clock time point,
// placed relative to the system clock now.
std::string WallClockText(TimePoint when, TimePoint now);

template <class Duration>
std::chrono::nanoseconds Seconds(Duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d);
}

}  // namespace qbx::StatusSource
