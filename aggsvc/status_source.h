// The monitoring status source as the aggregation framework sees it.
//
// The framework registers, for every (vertical, message type) pair that one of its clients
// serves in generic form, a getter and a compare callback; the source polls the getter and
// reports the updates that the compare finds changed to the local monitoring service. The
// implementation (StatusSourceImpl) lives with the monitoring channel; tests use doubles.
//
// Threading: RegisterStatusCallback runs on the thread that opens the aggregation clients;
// the callbacks it takes are called on the source's own poller thread. OnFullSyncRequest and
// SetFullSyncNeeded may be called from any thread. Start and Stop run on the manager's thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "zumbra/qbx/agg_service/status/runtime_status.pb.h"

namespace qbx::StatusSource {

using GenericRuntimeStatusUpdateMsg = zumbra::qbx::agg_service::status::GenericRuntimeStatusUpdateMsg;

// Current status of a pair, or nothing. The flag is true when the call is part of a full
// sync (the adapter may then also send a metric) and false on a periodic poll.
using StatusCallback =
    std::function<std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>(bool fullSync)>;
// True when `current` carries no difference from `previous`.
using CompareCallback = std::function<bool(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& previous,
                                           const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& current)>;

class StatusSource {
 public:
  virtual ~StatusSource() = default;

  // False when the pair is outside the source's own tables, was registered before, or
  // cannot be polled; true once the pair is polled.
  virtual bool RegisterStatusCallback(const std::string& verticalName, const std::string& msgTypeName,
                                      StatusCallback statusCb, CompareCallback compareCb) = 0;
  virtual bool OnFullSyncRequest() = 0;
  virtual void SetFullSyncNeeded() = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool IsAlive() = 0;
};

}  // namespace qbx::StatusSource
