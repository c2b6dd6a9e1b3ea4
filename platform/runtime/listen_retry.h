// Waiting until an inbound service can listen: start-up waits here until the daemon's socket
// directory can be used, and every server whose Unix-domain socket cannot listen (at its
// start, or after its listening socket failed) tries again here (rpc::LocalSocketAcceptor).
// A directory that is a link, another user's, a plain file, a plain file where a socket goes,
// or a file system out of room is retried with a growing back-off, so that a repair is used;
// when the service still cannot listen after a bounded time the owner gives up (the daemon
// exits non-zero) instead of running on without it, looking healthy to its supervisor while
// the management plane sees a node without applications.
//
// Threading: Start probes once on the calling thread, then on the provider's loop; `done`
// runs once, on one of those. The timer actions hold a weak reference: dropping the handle
// that Start returns ends the retry without calling `done`. Cancel may be called from any
// thread: no probe starts after it has returned, and a probe that is running then ends
// without a record, a further probe or `done`, unless it was already reporting. Once the
// process is ending (base/process_exit.h) every retry is cancelled so.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

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

  // Empty when the service can listen, otherwise why not.
  using Probe = std::function<std::string()>;
  // Empty when the service can listen, otherwise why it still cannot.
  using Done = std::function<void(const std::string& why)>;

  // What the records say cannot listen, unless told otherwise.
  static constexpr const char* kInboundServices = "Inbound services";

  // Probes now and, while the probe fails, again after each delay of `schedule` on
  // `provider`'s timers, until it passes or schedule.giveUpAfter has passed since the first
  // probe. Keep the handle until `done` has run. The records name `subject`.
  static std::shared_ptr<ListenRetry> Start(AsioQbxProvider& provider, const Schedule& schedule, Probe probe,
                                            Done done, std::string subject = kInboundServices);

  // Start-up's form: the same on a provider of its own, in real time (made only when the
  // first probe fails); returns what `done` would be given.
  static std::string WaitUntilListening(const Probe& probe, const Schedule& schedule = kSchedule,
                                        const std::string& subject = kInboundServices);

  // Ends the retry: see the threading note above.
  void Cancel();

 private:
  ListenRetry(AsioQbxProvider& provider, const Schedule& schedule, Probe probe, Done done, std::string subject);
  void Attempt();
  bool Cancelled();

  AsioQbxProvider& provider_;
  const Schedule schedule_;
  const Probe probe_;
  const Done done_;
  const std::string subject_;
  RetryPolicy delays_;  // touched by the attempt in progress only (one at a time), as is:
  bool failedBefore_ = false;
  std::chrono::steady_clock::time_point first_;
  std::mutex mutex_;  // guards the two fields below
  bool cancelled_ = false;
  std::shared_ptr<Timer> timer_;  // the pending probe
};

}  // namespace qbx
