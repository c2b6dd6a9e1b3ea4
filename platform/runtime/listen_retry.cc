#include "platform/runtime/listen_retry.h"

#include <algorithm>
#include <future>
#include <utility>

#include "base/logger.h"
#include "base/process_exit.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace {

constexpr const char* kSubcomp = "agg-service";

long long Ms(std::chrono::steady_clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

ListenRetry::ListenRetry(AsioQbxProvider& provider, const Schedule& schedule, Probe probe, Done done,
                         std::string subject)
    : provider_(provider),
      schedule_(schedule),
      probe_(std::move(probe)),
      done_(std::move(done)),
      subject_(std::move(subject)),
      delays_(schedule.firstDelay, schedule.maxDelay, 2.0, RetryPolicy::kUnlimitedAttempts) {}

std::shared_ptr<ListenRetry> ListenRetry::Start(AsioQbxProvider& provider, const Schedule& schedule, Probe probe,
                                                Done done, std::string subject) {
  std::shared_ptr<ListenRetry> retry(
      new ListenRetry(provider, schedule, std::move(probe), std::move(done), std::move(subject)));
  retry->first_ = provider.clock().Now();
  retry->Attempt();
  return retry;
}

void ListenRetry::Cancel() {
  std::shared_ptr<Timer> timer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    timer = std::move(timer_);
  }
  if (timer) timer->Cancel();
}

bool ListenRetry::Cancelled() {
  // On the way out nothing listens again, and nothing says it would or could not.
  if (ProcessIsEnding()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

void ListenRetry::Attempt() {
  if (Cancelled()) return;
  std::string why;
  try {
    why = probe_();
  } catch (const std::exception& e) {
    why = std::string("probe failed: ") + e.what();
  }
  if (Cancelled()) return;
  const auto elapsed = provider_.clock().Now() - first_;
  if (why.empty()) {
    if (failedBefore_) {
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("[Core][%s] %s can listen after %lld ms", "ListenRetry", subject_.c_str(), Ms(elapsed));
    }
    done_(why);
    return;
  }
  if (elapsed >= schedule_.giveUpAfter) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:RPC200")
        .put("[Core][%s] %s still cannot listen after %lld ms, giving up: %s", "ListenRetry", subject_.c_str(),
             Ms(elapsed), why.c_str());
    done_(why);
    return;
  }
  failedBefore_ = true;
  // The last probe comes exactly when the bound is reached.
  const auto delay = std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(delays_.NextDelay()),
                                                                   schedule_.giveUpAfter - elapsed);
  QBX_LOG(loglevel::kWarning)
      .subcomp(kSubcomp)
      .tag("errorCode:RPC200")
      .put("[Core][%s] %s cannot listen yet (%lld ms since the first try), trying again in %lld ms: %s",
           "ListenRetry", subject_.c_str(), Ms(elapsed), Ms(delay), why.c_str());
  std::weak_ptr<ListenRetry> weak = weak_from_this();
  std::shared_ptr<Timer> timer = provider_.timers().Schedule(delay, [weak] {
    if (auto me = weak.lock()) me->Attempt();
  });
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) {
    timer->Cancel();
    return;
  }
  timer_ = std::move(timer);
}

std::string ListenRetry::WaitUntilListening(const Probe& probe, const Schedule& schedule,
                                            const std::string& subject) {
  // The usual start: the sockets can be used at once, and no loop is needed to wait.
  try {
    if (probe().empty()) return std::string();
  } catch (const std::exception&) {
    // Tried again, and reported, by the first attempt below.
  }
  AsioQbxProvider provider(AsioQbxProvider::Options{}, "listen-retry");
  provider.RunAsync(1);
  auto result = std::make_shared<std::promise<std::string>>();
  std::future<std::string> outcome = result->get_future();
  std::shared_ptr<ListenRetry> retry =
      Start(provider, schedule, probe, [result](const std::string& why) { result->set_value(why); }, subject);
  std::string why = outcome.get();
  provider.StopAndWait();
  return why;
}

}  // namespace qbx
