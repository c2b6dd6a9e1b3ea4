// Start-up waits here until the inbound services (the host aggregation service and the
// IP-reputation service) can listen in the local socket directory. A directory that is a
// link, another user's, a plain file, or a plain file where a socket goes is retried with a
// growing back-off, so that a repaired directory is used; when the services still cannot
// listen after a bounded time the daemon gives up and exits non-zero instead of running on
// without them, looking healthy to its supervisor while the management plane sees a node
// without applications.
//
// Threading: Start probes once on the calling thread, then on the provider's loop; `done`
// runs once, on one of those. The timer actions hold a weak reference: dropping the handle
// that Start returns ends the retry without calling `done`.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/retry_policy.h"

namespace qbx {

class AsioQbxProvider;
class Timer;

class ListenRetry : public std::enable_shared_from_this<ListenRetry> {
 public:
  struct Schedule {
    std::chrono::milliseconds firstDelay;
    std::chrono::milliseconds maxDelay;  // the delays double from firstDelay up to this
    std::chrono::milliseconds giveUpAfter;  // the last probe is this long after the first
  };
  // The daemon's schedule. A repair is somebody (an operator, configuration management, the
  // tool that makes run directories) putting a directory right: seconds to a few minutes.
  // The probes come quickly at first and then every 30 s, for 5 minutes; after that the
  // supervisor's restart is as good as waiting on.
  static constexpr Schedule kSchedule{std::chrono::seconds(1), std::chrono::seconds(30), std::chrono::minutes(5)};

  // Empty when the services can listen, otherwise why not.
  using Probe = std::function<std::string()>;
  // Empty when the services can listen, otherwise why they still cannot.
  using Done = std::function<void(const std::string& why)>;

  // Probes now and, while the probe fails, again after each delay of `schedule` on
  // `provider`'s timers, until it passes or schedule.giveUpAfter has passed since the first
  // probe. Keep the handle until `done` has run.
  static std::shared_ptr<ListenRetry> Start(AsioQbxProvider& provider, const Schedule& schedule, Probe probe,
                                            Done done);

  // Start-up's form: the same on a provider of its own, in real time (made only when the
  // first probe fails); returns what `done` would be given.
  static std::string WaitUntilListening(const Probe& probe, const Schedule& schedule = kSchedule);

  // The probe of the daemon's inbound sockets in `directory` (readied as their servers will
  // ready them): empty when both can listen, otherwise why the first that cannot.
  static std::string ProbeInboundSockets(const std::string& directory);

 private:
  ListenRetry(AsioQbxProvider& provider, const Schedule& schedule, Probe probe, Done done);
  void Attempt();

  AsioQbxProvider& provider_;
  const Schedule schedule_;
  const Probe probe_;
  const Done done_;
  RetryPolicy delays_;
  std::chrono::steady_clock::time_point first_;
  std::shared_ptr<Timer> timer_;  // the pending probe; touched on the provider's loop only
};

}  // namespace qbx
