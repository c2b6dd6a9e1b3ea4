#include "daemon/process_start.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qbx {

void OpenStandardDescriptors() {
  // open() takes the lowest free descriptor: the closed ones among 0-2 fill in order, and
  // the first descriptor above 2 means that all three are open.
  for (;;) {
    const int fd = ::open("/dev/null", O_RDWR);
    if (fd < 0) return;
    if (fd > STDERR_FILENO) {
      ::close(fd);
      return;
    }
  }
}

namespace {

// The kernel's ceiling on a process's descriptors, which an unlimited hard limit stands for.
rlim_t KernelDescriptorCeiling() {
  std::ifstream in("/proc/sys/fs/nr_open");
  unsigned long long ceiling = 0;
  if (in >> ceiling && ceiling > 0) return static_cast<rlim_t>(ceiling);
  return 1024 * 1024;  // the kernel's default
}

std::string LimitText(rlim_t value) { return value == RLIM_INFINITY ? "unlimited" : std::to_string(value); }

}  // namespace

std::string RaiseDescriptorLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return std::string("cannot read the descriptor limit: ") + std::strerror(errno);
  }
  rlim_t wanted = limit.rlim_max;
  if (wanted == RLIM_INFINITY) wanted = KernelDescriptorCeiling();
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return std::string();
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = wanted;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return "cannot raise the descriptor limit from " + LimitText(before) + " to " + LimitText(wanted) + ": " +
           std::strerror(errno);
  }
  return std::string();
}

}  // namespace qbx
