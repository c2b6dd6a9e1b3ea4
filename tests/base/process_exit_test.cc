// The process exit: which socket files it removes, the status it ends with, and (in an
// AddressSanitizer build) the leak check that _Exit would skip.
#include "base/process_exit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "tests/base/log_test_support.h"

namespace {

using qbx::logtest::TempDir;

// Runs `child` in a forked process and returns its exit status (-1 when it did not exit).
int ExitStatusOf(const std::function<void()>& child) {
  pid_t pid = ::fork();
  if (pid == 0) {
    child();
    ::_exit(99);  // the child must not get here
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProcessExit, RemovesTheRegisteredFilesThatAreStillItsOwnAndEndsWithTheStatus) {
  TempDir dir;
  const std::string own = dir.Write("own.sock", "");
  const std::string replaced = dir.Write("replaced.sock", "");
  const std::string other = dir.Write("other.sock", "");
  const std::string removedEarlier = dir.Write("earlier.sock", "");
  int status = ExitStatusOf([&] {
    const uint64_t earlier = qbx::RegisterSocketFile(removedEarlier);
    if (qbx::RegisterSocketFile(own) == 0 || qbx::RegisterSocketFile(replaced) == 0 || earlier == 0 ||
        qbx::RegisterSocketFile(dir.path() / "missing.sock") != 0) {
      ::_exit(98);
    }
    // A server that stops removes its own file at once and leaves nothing for the exit.
    qbx::RemoveRegisteredSocketFile(earlier);
    if (std::filesystem::exists(removedEarlier)) ::_exit(97);
    dir.Write("earlier.sock", "");
    // Another daemon has put its own file where this one's was (made before the old one
    // goes, so it cannot get the old one's inode back).
    std::filesystem::rename(dir.Write("theirs.sock", "theirs"), replaced);
    qbx::ExitProcess(7);
  });
  EXPECT_EQ(status, 7);
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_TRUE(std::filesystem::exists(replaced));
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_TRUE(std::filesystem::exists(removedEarlier));  // forgotten when it was removed
}

#if defined(__SANITIZE_ADDRESS__)
#define QBX_TEST_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QBX_TEST_LEAK_CHECK 1
#endif
#endif

#ifdef QBX_TEST_LEAK_CHECK
void* volatile gLost = nullptr;

TEST(ProcessExit, ALeakFoundAtExitEndsTheProcessWithTheLeakStatus) {
  EXPECT_EQ(ExitStatusOf([] { qbx::ExitProcess(3); }), 3);
  EXPECT_EQ(ExitStatusOf([] {
              gLost = std::malloc(4096);
              gLost = nullptr;
              qbx::ExitProcess(0);
            }),
            qbx::kLeakExitStatus);
}
#endif

}  // namespace
