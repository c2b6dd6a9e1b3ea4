// qbx-e2e-burst: a local process that opens many connections to a Unix-domain socket at once
// and holds them until it is ended (SIGTERM; the kernel closes them then). Usage:
//   qbx-e2e-burst PATH COUNT
// Prints "burst: N connected, M not" once all are made; 2 on bad usage. Its own descriptor
// limit is raised to the hard one so that the burst is bounded by the listener, not by this
// process.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qbx-e2e-burst PATH COUNT\n");
    return 2;
  }
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof(address.sun_path) - 1);
  const long count = std::strtol(argv[2], nullptr, 10);
  std::vector<int> connected;
  long failed = 0;
  for (long i = 0; i < count; ++i) {
    // Non-blocking: a full queue refuses at once instead of holding the burst up.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      ++failed;
      continue;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd);
      ++failed;
      continue;
    }
    connected.push_back(fd);
  }
  std::printf("burst: %zu connected, %ld not\n", connected.size(), failed);
  std::fflush(stdout);
  for (;;) ::pause();
}
