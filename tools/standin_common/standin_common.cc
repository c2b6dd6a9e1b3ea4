#include "tools/standin_common/standin_common.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace qbx::tools {

sigset_t BlockStopSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

void WaitForStopSignal(const sigset_t& signals) {
  int received = 0;
  sigwait(&signals, &received);
}

bool ParseCountArgument(int argc, char** argv, const char* program, long& count) {
  if (argc <= 1) return true;
  char* end = nullptr;
  count = std::strtol(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || count < 1 || count > 16) {
    std::fprintf(stderr, "usage: %s [N]   (1 <= N <= 16)\n", program);
    return false;
  }
  return true;
}

std::string NumberedUuid(const char* firstGroup, int i) {
  char text[48];
  std::snprintf(text, sizeof(text), "%s-0000-4000-8000-%012d", firstGroup, i + 1);
  return text;
}

}  // namespace qbx::tools
