// qbx-nodedb-standin [ENDPOINT]: serves the stand-in configuration database until SIGINT or
// SIGTERM. ENDPOINT defaults to "tcp://127.0.0.1:2480".
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "tools/nodedb_standin/nodedb_standin.h"

namespace {
int stop_pipe[2] = {-1, -1};

// Only writes a byte: the stop itself happens on the main thread.
void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(stop_pipe[1], &byte, 1);
  errno = saved;
}
}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (pipe(stop_pipe) != 0) return 1;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  qbx::tools::NodeDbStandin::Options options;
  options.endpoint = argc > 1 ? argv[1] : "tcp://127.0.0.1:2480";
  qbx::tools::NodeDbStandin standin(options);
  if (!standin.Start()) {
    std::fprintf(stderr, "qbx-nodedb-standin: cannot listen on %s\n", options.endpoint.c_str());
    return 1;
  }
  std::fprintf(stderr, "qbx-nodedb-standin: serving on %s\n", standin.endpoint().c_str());
  char byte = 0;
  while (read(stop_pipe[0], &byte, 1) < 0 && errno == EINTR) {
  }
  standin.Stop();
  return 0;
}
