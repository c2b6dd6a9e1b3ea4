// qbx-monitoring-standin: the stand-in local monitoring provider on "tcp://127.0.0.1:9100".
// Prints one line per message the status source sends; stops on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>

#include "tools/monitoring_standin/monitoring_standin.h"
#include "tools/standin_common/standin_common.h"

int main() {
  // Before any thread starts, so only the wait below receives the stop signals.
  const sigset_t stopSignals = qbx::tools::BlockStopSignals();

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
  qbx::tools::WaitForStopSignal(stopSignals);
  standin.Stop();
  std::printf("monitoring-standin: stopped\n");
  return 0;
}
