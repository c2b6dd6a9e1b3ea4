// The process exit: which socket files it removes, the status it ends with, and (in an
// AddressSanitizer build) the leak check that _Exit would skip.
#include "base/process_exit.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "tests/base/log_test_support.h"
#include "tests/base/syslog_receivers.h"

namespace {

using qbx::logtest::Receiver;
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

// Registers the file now at `path` as a server that just bound it would.
uint64_t Register(const std::string& path) { return qbx::RegisterSocketFile(path, *qbx::IdentityOfPath(path)); }

TEST(ProcessExit, RemovesTheRegisteredFilesThatAreStillItsOwnAndEndsWithTheStatus) {
  TempDir dir;
  const std::string own = dir.Write("own.sock", "");
  const std::string replaced = dir.Write("replaced.sock", "");
  const std::string other = dir.Write("other.sock", "");
  const std::string removedEarlier = dir.Write("earlier.sock", "");
  int status = ExitStatusOf([&] {
    const uint64_t earlier = Register(removedEarlier);
    if (Register(own) == 0 || Register(replaced) == 0 || earlier == 0) ::_exit(98);
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

// Once the end has begun, a server that binds now has its file refused: the end's removal has
// run, and nothing would remove it.
TEST(ProcessExit, OnceTheEndBeganNoSocketFileIsRegistered) {
  TempDir dir;
  const std::string late = dir.Write("late.sock", "");
  EXPECT_EQ(ExitStatusOf([&] {
              qbx::RemoveSocketFilesForExit();
              ::_exit(qbx::ProcessIsEnding() && Register(late) == 0 ? 0 : 1);
            }),
            0);
}

// What the log did not get by the end is told on stderr, in one line; nothing when it got all.
TEST(ProcessExit, TellsOnStderrHowManyRecordsTheLogDidNotGet) {
  TempDir dir;
  Receiver receiver((dir.path() / "log").string());
  const std::string errors = (dir.path() / "stderr").string();
  auto stderrOfAnExitAfterFiveRecords = [&] {
    const int status = ExitStatusOf([&] {
      const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(98);
      qbx::Logger::SetSyslogPathForTest(receiver.path());
      qbx::Logger::logLevel = qbx::loglevel::kInfo;
      for (int i = 0; i < 5; ++i) QBX_LOG(qbx::loglevel::kInfo).put("record %d", i);
      qbx::ExitProcess(0);
    });
    EXPECT_EQ(status, 0);
    std::ifstream file(errors);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  };

  EXPECT_EQ(stderrOfAnExitAfterFiveRecords(), "");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(receiver.Next().has_value());
  ASSERT_NO_FATAL_FAILURE(receiver.Fill());
  EXPECT_EQ(stderrOfAnExitAfterFiveRecords(), "Log records not handed to the log at exit: 5\n");
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
