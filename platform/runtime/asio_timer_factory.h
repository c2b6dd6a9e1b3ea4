// The production timer service: Boost.Asio steady timers on the provider's io_context.
//
// Threading: Schedule/ScheduleRepeated and Timer::Cancel may be called from any thread.
// Each timer's mutex guards its steady_timer (arming and cancelling); it is never held
// while the action runs. The factory's mutex guards the list of live timers.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/runtime/loop_core.h"
#include "platform/runtime/timer.h"

namespace qbx {

class AsioTimer;

// The timers that are armed. It owns them, so that a timer whose handle was dropped still
// fires, while the expiry handlers queued on the io_context hold only weak references (a
// handler that never runs then cannot keep the io_context alive through its timer).
struct AsioTimerRegistry {
  std::mutex mutex;
  std::unordered_map<const AsioTimer*, std::shared_ptr<AsioTimer>> live;
};

class AsioTimerFactory : public TimerFactory, public StoppableTimerService {
 public:
  explicit AsioTimerFactory(std::shared_ptr<LoopCore> core);
  ~AsioTimerFactory() override;

  std::shared_ptr<Timer> Schedule(std::chrono::nanoseconds delay, Action action) override;
  std::shared_ptr<Timer> ScheduleRepeated(std::chrono::nanoseconds interval, Action action,
                                          const TimerOptions& options) override;
  void CancelAll() override;

 private:
  std::shared_ptr<Timer> Make(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                              Action action);

  std::shared_ptr<LoopCore> core_;
  std::shared_ptr<AsioTimerRegistry> registry_;
};

}  // namespace qbx
