// Runs a full sync when asked (health agent, collection switched back on), at most once
// per minimum gap, and retries every timer period while a full sync is needed.
//
// Threading: RequestFullSync and SetFullSyncNeeded may be called from any thread; they only
// post to the provider. Everything else runs on the provider thread. state_ is atomic only
// so that it can be inspected from other threads. Posted steps and the timer capture
// `this`: they run on the owning source's provider, which is stopped and joined before the
// state machine is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "channels/status/status_observer.h"
#include "platform/runtime/asio_qbx_provider.h"

namespace qbx::StatusSource {

class StatusFullSyncFSM {
 public:
  enum FullSyncState : int32_t {
    FULLSYNC_STOPPED = -1,
    FULLSYNC_NONE = 0,
    FULLSYNC_DONE = 1,
    FULLSYNC_NEEDED = 2,
  };

  StatusFullSyncFSM(AsioQbxProvider& provider, StatusObserver& observer, uint64_t minGapSeconds,
                    uint64_t timerPeriodSeconds);
  ~StatusFullSyncFSM();
  StatusFullSyncFSM(const StatusFullSyncFSM&) = delete;
  StatusFullSyncFSM& operator=(const StatusFullSyncFSM&) = delete;

  void RequestFullSync();
  void SetFullSyncNeeded();
  void InvokeFullSyncReq();
  void OnTimer();
  int32_t State() const { return state_.load(); }

 private:
  void ArmTimer();

  AsioQbxProvider& provider_;
  StatusObserver& observer_;
  std::atomic<int32_t> state_{FULLSYNC_NONE};
  std::shared_ptr<Timer> timer_;
  const uint64_t min_gap_seconds_;
  const uint64_t timer_period_seconds_;
};

}  // namespace qbx::StatusSource
