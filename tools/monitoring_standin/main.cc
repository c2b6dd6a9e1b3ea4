// qbx-monitoring-standin: the stand-in local monitoring provider on "tcp://127.0.0.1:9100".
// Prints one line per message the status source sends; stops on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "tools/monitoring_standin/monitoring_standin.h"

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  // Blocked before any thread starts, so only sigwait below receives them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  qbx::tools::MonitoringStandin::Options options;
  options.onMessage = [](const qbx::tools::MonitoringStandin::SourceMsg& msg) {
    std::printf("monitoring-standin: %s\n", msg.ShortDebugString().c_str());
    std::fflush(stdout);
  };
  qbx::tools::MonitoringStandin standin(options);
  if (standin.Start(qbx::tools::MonitoringStandin::kDefaultAddress) < 0) {
    std::fprintf(stderr, "monitoring-standin: cannot listen on %s\n", qbx::tools::MonitoringStandin::kDefaultAddress);
    return 1;
  }
  std::printf("monitoring-standin: listening on %s\n", qbx::tools::MonitoringStandin::kDefaultAddress);
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  standin.Stop();
  std::printf("monitoring-standin: stopped\n");
  return 0;
}
