// qbx-exporter: the status-and-statistics exporter daemon.
//
// Signals: SIGINT, SIGTERM, SIGHUP and SIGUSR1 are blocked before anything else runs, so
// every thread started later inherits the mask and none of them can take a stop request
// away from the main thread, which collects them with sigwaitinfo and acts on them on its
// ordinary stack (logging and file reading are not async-signal-safe).
//
// Logging settings are applied before main by the logger unit's static initialiser; the
// call below only makes that explicit and does nothing the second time.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/daemon_signals.h"
#include "core/log_config.h"
#include "core/logger.h"

int main(int argc, char* argv[]) {
  ::signal(SIGPIPE, SIG_IGN);

  sigset_t handled;
  sigemptyset(&handled);
  for (int signum : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&handled, signum);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);

  qbx::EnsureLogSettingsInitialised();
  const std::string programName = qbx::ProgramNameFromInvocation(argc > 0 ? argv[0] : nullptr);

  QBX_LOG(qbx::loglevel::kInfo).subcomp("agg-service").put("[%s] Start AggServiceMgr", "Start");

  for (;;) {
    siginfo_t info;
    int signum = sigwaitinfo(&handled, &info);
    if (signum < 0) {
      if (errno == EINTR) continue;
      QBX_LOG(qbx::loglevel::kError)
          .subcomp("agg-service")
          .put("[Core][%s] sigwaitinfo failed: %s", "main", std::strerror(errno));
      return -1;
    }
    switch (signum) {
      case SIGUSR1:
        qbx::SigUser1Handler(signum);
        break;
      case SIGHUP:
        qbx::ReloadLogLevelOnHangup(programName);
        break;
      case SIGINT:
      case SIGTERM:
        QBX_LOG(qbx::loglevel::kInfo)
            .subcomp("agg-service")
            .put("[%s] Shutting down AggServiceMgr", "Start");
        return 0;
      default:
        break;
    }
  }
}
