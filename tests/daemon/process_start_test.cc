// What main puts right first: /dev/null on each closed descriptor of 0-2, and the soft limit
// of descriptors raised to the hard one. Each case runs in a forked child, which may change
// its descriptors and limits freely; the child's exit status says which check failed.
#include "daemon/process_start.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

namespace qbx {
namespace {

// Runs `child` in a forked process: its exit status, -1 when it did not exit.
int ExitStatusOf(const std::function<int()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool IsDevNull(int fd) {
  struct stat open {};
  struct stat null {};
  return ::fstat(fd, &open) == 0 && ::stat("/dev/null", &null) == 0 && open.st_rdev == null.st_rdev &&
         S_ISCHR(open.st_mode);
}

TEST(ProcessStart, ClosedStandardDescriptorsGetDevNullAndOpenOnesStay) {
  EXPECT_EQ(ExitStatusOf([] {
              // 1 stays open on a pipe; 0 and 2 are closed.
              int pipeFds[2];
              if (::pipe(pipeFds) != 0 || ::dup2(pipeFds[1], 1) != 1) return 10;
              ::close(0);
              ::close(2);
              OpenStandardDescriptors();
              if (!IsDevNull(0)) return 11;
              if (!IsDevNull(2)) return 12;
              if (IsDevNull(1) || ::write(1, "x", 1) != 1) return 13;
              // Nothing else was left open: the next file takes the first free one above 2.
              const int next = ::open("/dev/null", O_RDONLY);
              ::close(next);
              return next > 2 ? 0 : 14;
            }),
            0);
  EXPECT_EQ(ExitStatusOf([] {
              for (int fd = 0; fd <= 2; ++fd) ::close(fd);
              OpenStandardDescriptors();
              for (int fd = 0; fd <= 2; ++fd) {
                if (!IsDevNull(fd)) return 20 + fd;
              }
              // The instance lock's file, opened next, cannot be taken for stderr.
              const int next = ::open("/dev/null", O_RDONLY);
              return next > 2 ? 0 : 30;
            }),
            0);
}

TEST(ProcessStart, TheSoftDescriptorLimitIsRaisedToTheHardOneAndNeverLowered) {
  struct rlimit limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 64) GTEST_SKIP() << "hard limit too low to lower";
  EXPECT_EQ(ExitStatusOf([] {
              struct rlimit lowered {};
              if (::getrlimit(RLIMIT_NOFILE, &lowered) != 0) return 10;
              const rlim_t hard = lowered.rlim_max;
              lowered.rlim_cur = 32;
              if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return 11;
              if (!RaiseDescriptorLimit().empty()) return 12;
              struct rlimit raised {};
              if (::getrlimit(RLIMIT_NOFILE, &raised) != 0) return 13;
              if (raised.rlim_max != hard) return 14;
              if (hard != RLIM_INFINITY && raised.rlim_cur != hard) return 15;
              if (hard == RLIM_INFINITY && raised.rlim_cur <= 32) return 16;
              return 0;
            }),
            0);
  // At the hard limit already: nothing changes, and nothing is lowered.
  EXPECT_EQ(ExitStatusOf([] {
              struct rlimit before {};
              if (::getrlimit(RLIMIT_NOFILE, &before) != 0) return 20;
              if (before.rlim_max == RLIM_INFINITY) return 0;  // raised to the kernel's ceiling instead
              before.rlim_cur = before.rlim_max;
              if (::setrlimit(RLIMIT_NOFILE, &before) != 0) return 21;
              if (!RaiseDescriptorLimit().empty()) return 22;
              struct rlimit after {};
              if (::getrlimit(RLIMIT_NOFILE, &after) != 0) return 23;
              return after.rlim_cur == before.rlim_cur && after.rlim_max == before.rlim_max ? 0 : 24;
            }),
            0);
}

}  // namespace
}  // namespace qbx
