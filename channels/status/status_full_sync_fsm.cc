#include "channels/status/status_full_sync_fsm.h"

#include "base/logger.h"

namespace qbx::StatusSource {

StatusFullSyncFSM::StatusFullSyncFSM(AsioQbxProvider& provider, StatusObserver& observer, uint64_t minGapSeconds,
                                     uint64_t timerPeriodSeconds)
    : provider_(provider),
      observer_(observer),
      min_gap_seconds_(minGapSeconds),
      timer_period_seconds_(timerPeriodSeconds == 0 ? 1 : timerPeriodSeconds) {
  ArmTimer();
}

StatusFullSyncFSM::~StatusFullSyncFSM() {
  state_ = FULLSYNC_STOPPED;
  if (timer_) timer_->Cancel();
}

void StatusFullSyncFSM::ArmTimer() {
  timer_ = provider_.timers().ScheduleRepeated(Seconds(std::chrono::seconds(timer_period_seconds_)),
                                                [this] { OnTimer(); });
}

void StatusFullSyncFSM::SetFullSyncNeeded() {
  provider_.dispatcher().Post([this] {
    if (state_ != FULLSYNC_STOPPED) state_ = FULLSYNC_NEEDED;
  });
}

void StatusFullSyncFSM::RequestFullSync() {
  provider_.dispatcher().Post([this] { InvokeFullSyncReq(); });
}

void StatusFullSyncFSM::OnTimer() {
  if (state_ < FULLSYNC_NEEDED) return;
  if (timer_) timer_->Cancel();
  if (state_ == FULLSYNC_NEEDED && observer_.DoFullSync()) state_ = FULLSYNC_DONE;
  ArmTimer();
}

void StatusFullSyncFSM::InvokeFullSyncReq() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("InvokeFullSyncReq for SHA");
  if (state_ == FULLSYNC_STOPPED) return;
  if (state_ != FULLSYNC_NONE) {
    const auto last = observer_.GetLastFullSyncTime();
    if (last) {
      const auto now = provider_.clock().Now();
      // A last full sync "in the future" counts as long ago.
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - *last).count();
      if (elapsed >= 0 && static_cast<uint64_t>(elapsed) < min_gap_seconds_) return;
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Trigger fullSync");
  if (observer_.DoFullSync()) {
    state_ = FULLSYNC_DONE;
  } else {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("fullsync failed, reset to FULLSYNC_NEEDED");
    state_ = FULLSYNC_NEEDED;
  }
}

}  // namespace qbx::StatusSource
