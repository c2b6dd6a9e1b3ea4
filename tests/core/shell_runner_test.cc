// The shell command runners against real children (/bin/sh), with the one-second idle
// wait of the time-out runner replaced so that no test waits for real seconds.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/exporter_tools.h"
#include "platform/hostcompat/kztuser_compat.h"
#include "tests/base/log_test_support.h"

namespace {

using qbx::logtest::CapturingSink;
using qbx::logtest::TempDir;

// Owns the strings of an argument vector.
class Args {
 public:
  Args(std::initializer_list<std::string> args) : strings_(args) {
    for (auto& s : strings_) ptrs_.push_back(s.data());
    ptrs_.push_back(nullptr);
  }
  char** argv() { return ptrs_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> ptrs_;
};

class IdleWaitGuard {
 public:
  explicit IdleWaitGuard(std::function<void()> wait) { qbx::SetRunCommandIdleWaitForTest(std::move(wait)); }
  ~IdleWaitGuard() { qbx::SetRunCommandIdleWaitForTest(nullptr); }
};

class ForkHookGuard {
 public:
  explicit ForkHookGuard(std::function<KztuserCompat_Status(const char*)> hook) {
    qbx::hostcompat::SetForkExecHookForTest(std::move(hook));
  }
  ~ForkHookGuard() { qbx::hostcompat::SetForkExecHookForTest(nullptr); }
};

TEST(ExecTest, ReturnsWholeOutputAndCutsAtBufferSize) {
  char buffer[64];
  EXPECT_EQ(ExporterTools::Exec("printf 'a\\nbc\\n'", buffer, sizeof(buffer)), 5);
  EXPECT_EQ(std::string(buffer, 5), "a\nbc\n");
  // Far more than the buffer (and than a pipe holds): exactly the buffer size comes back,
  // and the command is not left blocked on its full pipe.
  EXPECT_EQ(ExporterTools::Exec("yes | head -c 200000", buffer, 10), 10);
  EXPECT_EQ(std::string(buffer, 10), "y\ny\ny\ny\ny\n");
  EXPECT_EQ(ExporterTools::Exec("true", buffer, sizeof(buffer)), 0);
}

TEST(ExecTest, FailedCommandStillReturnsItsOutput) {
  CapturingSink sink;
  char buffer[16];
  // The shell starts, so the open succeeds; the command's failure is only its status.
  EXPECT_EQ(ExporterTools::Exec("echo hi; exit 3", buffer, sizeof(buffer)), 3);
  EXPECT_EQ(sink.Count("Pipe open failed"), 0);
  EXPECT_EQ(ExporterTools::Exec(nullptr, buffer, sizeof(buffer)), -1);
}

TEST(LineHelpersTest, NextLineAndCopyLine) {
  const char* noNewline = "abc";
  EXPECT_EQ(NextLine(noNewline), noNewline + 3);
  EXPECT_EQ(*NextLine(noNewline), '\0');
  const char* two = "a\nb";
  EXPECT_EQ(NextLine(two), two + 2);
  EXPECT_EQ(*NextLine(two), 'b');

  char dest[4];
  EXPECT_EQ(CopyLine("abc\nrest", dest, 4), 3);
  EXPECT_STREQ(dest, "abc");
  EXPECT_EQ(CopyLine("abcd\n", dest, 4), -1);
  EXPECT_EQ(CopyLine("", dest, 4), 0);
  EXPECT_STREQ(dest, "");
  EXPECT_EQ(CopyLine("x", dest, 0), -1);
}

TEST(RunCommandTest, CollectsOutputAndErrorAndPassesInput) {
  Args args{"/bin/sh", "-c", "cat; echo err >&2"};
  char out[64];
  char err[64];
  int outLen = sizeof(out);
  int errLen = sizeof(err);
  const char input[] = "from parent\n";
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), out, &outLen, err, &errLen, input, sizeof(input) - 1), 1);
  EXPECT_EQ(std::string(out, outLen), "from parent\n");
  EXPECT_EQ(std::string(err, errLen), "err\n");
}

TEST(RunCommandTest, NullOutputBufferStillReapsChild) {
  Args args{"/bin/sh", "-c", "yes | head -c 100000"};
  int outLen = 0;
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), nullptr, &outLen, nullptr, nullptr, nullptr, 0), 1);
}

TEST(RunCommandTest, OutputBeyondCapacityIsDiscardedWithoutBlocking) {
  // With a time-out the pipe is non-blocking; a child still writing when the buffer is full
  // must not leave the runner waiting on a child blocked on a full pipe.
  IdleWaitGuard wait([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  Args args{"/bin/sh", "-c", "yes | head -c 1000000"};
  char out[8];
  int outLen = sizeof(out);
  // A generous idle allowance: the shell's start-up must not count as a stuck child.
  EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0, 100000), 1);
  EXPECT_EQ(outLen, 8);
}

TEST(RunCommandTest, MissingProgramFailsToStart) {
  CapturingSink sink;
  Args args{"/nonexistent/program"};
  char out[16];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeout("/nonexistent/program", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(outLen, 16);  // untouched: only the out-of-memory case writes the marker
  EXPECT_EQ(sink.Count("Failed to fork child process (/nonexistent/program)"), 1);
}

TEST(RunCommandTest, OutOfMemoryLeavesMarker) {
  CapturingSink sink;
  ForkHookGuard hook([](const char*) { return KZTUSER_COMPAT_NO_MEMORY; });
  Args args{"/bin/true"};
  char out[1025];
  std::memset(out, 'x', sizeof(out));
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeout("/bin/true", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(outLen, 3);
  EXPECT_EQ(std::string(out, 3), "OOM");
  for (size_t i = 3; i < sizeof(out); ++i) ASSERT_EQ(out[i], '\0') << i;
}

TEST(RunCommandTest, IdleChildIsKilledAfterTimeoutConsecutiveEmptyReads) {
  CapturingSink sink;
  // Wait (for real, briefly) only until the line is there; after that every empty read
  // counts, and the test counts the waits that follow the last output.
  std::atomic<int> waits{0};
  IdleWaitGuard wait([&] {
    ++waits;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  Args args{"/bin/sh", "-c", "echo line; exec sleep 1000"};
  char out[64];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0, 30), 1);
  EXPECT_EQ(std::string(out, outLen), "line\n");
  EXPECT_EQ(sink.Count("Kill stuck child process /bin/sh."), 1);
  // 29 waits after the line (plus any before it arrived).
  EXPECT_GE(waits.load(), 29);
  const auto texts = sink.Texts();
  int afterData = 0;
  for (const auto& t : texts) {
    if (t.find("Reading 5 bytes from child") != std::string::npos) afterData = 0;
    if (t.find("Sleeping to wait for child") != std::string::npos) ++afterData;
  }
  EXPECT_EQ(afterData, 29);
}

TEST(RunCommandTest, ChildThatKeepsWritingIsNeverKilled) {
  CapturingSink sink;
  TempDir dir;
  // The child prints, then waits for the runner's idle wait to let it print again: every
  // wait is followed by fresh output, so the idle count never reaches the time-out of 2.
  const std::string fifo = (dir.path() / "go").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int round = 0;
  IdleWaitGuard wait([&] {
    ++round;
    // The child may have read its last line already (an extra idle wait under load): then
    // nobody opens the fifo again, so the open must not block for ever.
    const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int fd = -1;
    while ((fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < failsafe) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return;
    ASSERT_EQ(::write(fd, "\n", 1), 1);
    ::close(fd);
    // Go on only once the child has written its next line (it marks it with a file).
    const auto marker = dir.path() / ("m" + std::to_string(round + 1));
    while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < failsafe) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const std::string script = "i=1; while [ $i -le 6 ]; do echo $i; touch " + dir.path().string() +
                             "/m$i; [ $i -lt 6 ] && read x < " + fifo + "; i=$((i+1)); done";
  Args args{"/bin/sh", "-c", script};
  char out[64];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0, 2), 1);
  EXPECT_EQ(std::string(out, outLen), "1\n2\n3\n4\n5\n6\n");
  EXPECT_EQ(sink.Count("Kill stuck child"), 0);
  EXPECT_GE(round, 5);  // more idle waits in total than the time-out allows in a row
}

TEST(RunCommandTest, ConcurrentRunnersDoNotShareChildren) {
  // A pipe inherited by another thread's child would hold back this child's end of output.
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Args args{"/bin/sh", "-c", "echo " + std::to_string(t)};
      char out[16];
      int outLen = sizeof(out);
      if (RunCommandWithTimeout("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0) == 1 &&
          std::string(out, outLen) == std::to_string(t) + "\n") {
        ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 4);
}

// A child that fills a pipe the runner is not busy with must never stall either side.
TEST(RunCommandPipesTest, ErrorsBeyondAPipeWithoutErrorBufferDoNotBlock) {
  // 200 KiB on standard error, then the output: with no error buffer and no time-out the
  // child would otherwise wait for ever on its full error pipe.
  Args args{"/bin/sh", "-c", "head -c 204800 /dev/zero >&2; echo done"};
  char out[64];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_EQ(std::string(out, outLen), "done\n");
}

TEST(RunCommandPipesTest, BothStreamsLargerThanTheirBuffersAreCutAndDrained) {
  IdleWaitGuard wait([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  // Errors first and larger than a pipe, output larger than its buffer, then more errors.
  Args args{"/bin/sh", "-c", "yes e | head -c 150000 >&2; yes o | head -c 150000; echo tail >&2"};
  for (int timeout : {0, 100000}) {
    char out[16];
    char err[100];
    int outLen = sizeof(out);
    int errLen = sizeof(err);
    EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, err, &errLen, nullptr, 0, timeout), 1)
        << timeout;
    EXPECT_EQ(std::string(out, outLen), "o\no\no\no\no\no\no\no\n") << timeout;
    ASSERT_EQ(errLen, 100) << timeout;
    EXPECT_EQ(std::string(err, 4), "e\ne\n") << timeout;
  }
}

TEST(RunCommandPipesTest, ErrorBufferLargerThanOutputIsFilledWhileOutputIsRead) {
  // The child interleaves both streams; each buffer gets its own stream in order.
  Args args{"/bin/sh", "-c", "i=0; while [ $i -lt 3000 ]; do echo o; echo eeeeeeeee >&2; i=$((i+1)); done"};
  std::vector<char> out(6000);
  std::vector<char> err(30000);
  int outLen = static_cast<int>(out.size());
  int errLen = static_cast<int>(err.size());
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), out.data(), &outLen, err.data(), &errLen, nullptr, 0), 1);
  EXPECT_EQ(outLen, 6000);
  EXPECT_EQ(errLen, 30000);
  EXPECT_EQ(std::string(err.data(), 10), "eeeeeeeee\n");
}

TEST(RunCommandPipesTest, InputLargerThanAPipeIsWrittenWhileOutputIsRead) {
  // cat echoes its input as it reads it: the input can only be written whole while the
  // output is read at the same time.
  std::string input(1 << 20, 'i');
  for (size_t i = 0; i < input.size(); i += 97) input[i] = '\n';
  Args cat{"/bin/cat"};
  std::vector<char> out(input.size());
  int outLen = static_cast<int>(out.size());
  EXPECT_EQ(RunCommandWithTimeout("/bin/cat", cat.argv(), out.data(), &outLen, nullptr, nullptr, input.data(),
                                  static_cast<int>(input.size())),
            1);
  ASSERT_EQ(outLen, static_cast<int>(input.size()));
  EXPECT_TRUE(std::string(out.data(), outLen) == input);

  // An output buffer smaller than the echo: the rest is dropped, the input goes in whole
  // and the errors that follow it still arrive.
  Args count{"/bin/sh", "-c", "cat; echo end >&2"};
  char small[8];
  char err[16];
  int smallLen = sizeof(small);
  int errLen = sizeof(err);
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", count.argv(), small, &smallLen, err, &errLen, input.data(),
                                  static_cast<int>(input.size())),
            1);
  EXPECT_EQ(smallLen, 8);
  EXPECT_EQ(std::string(err, errLen), "end\n");
}

TEST(RunCommandPipesTest, ChildThatNeverReadsItsInputEndsTheWrite) {
  // The child exits without reading: the write meets a closed pipe and the runner goes on,
  // with SIGPIPE at its default disposition in this test program.
  struct sigaction dfl{};
  struct sigaction saved{};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, &saved);
  std::string input(1 << 20, 'x');
  Args args{"/bin/sh", "-c", "echo bye"};
  char out[16];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, input.data(),
                                  static_cast<int>(input.size())),
            1);
  EXPECT_EQ(std::string(out, outLen), "bye\n");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  ::sigaction(SIGPIPE, &saved, nullptr);
}

TEST(RunCommandPipesTest, ProgressOnTheErrorStreamRestartsTheIdleCount) {
  CapturingSink sink;
  std::atomic<int> waits{0};
  IdleWaitGuard wait([&] {
    ++waits;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  // Errors only, then silence: killed after the time-out counted from the last error line.
  Args args{"/bin/sh", "-c", "echo e1 >&2; echo e2 >&2; exec sleep 1000"};
  char out[16];
  char err[16];
  int outLen = sizeof(out);
  int errLen = sizeof(err);
  EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, err, &errLen, nullptr, 0, 3), 1);
  EXPECT_EQ(outLen, 0);
  EXPECT_EQ(std::string(err, errLen), "e1\ne2\n");
  EXPECT_EQ(sink.Count("Kill stuck child process /bin/sh."), 1);
}

}  // namespace

namespace {

// The daemon's threads run with the termination signals blocked and SIGPIPE ignored; the
// children must not inherit either, or an idle child could not be killed.
TEST(RunCommandTest, ChildrenDoNotInheritBlockedOrIgnoredSignals) {
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &saved), 0);
  struct sigaction ignore{};
  struct sigaction savedPipe{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &savedPipe);

  IdleWaitGuard wait([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  Args killable{"/bin/sh", "-c", "echo up; exec sleep 1000"};
  char out[16];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", killable.argv(), out, &outLen, nullptr, nullptr, nullptr, 0, 3), 1);
  Args masks{"/bin/sh", "-c", "grep -E '^(SigBlk|SigIgn)' /proc/self/status"};
  char status[256];
  int statusLen = sizeof(status);
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", masks.argv(), status, &statusLen, nullptr, nullptr, nullptr, 0), 1);
  const std::string text(status, statusLen);
  auto mask = [&](const std::string& key) {
    size_t at = text.find(key + ":\t");
    return at == std::string::npos ? ~0ull : std::stoull(text.substr(at + key.size() + 2, 16), nullptr, 16);
  };
  const unsigned long long termBit = 1ull << (SIGTERM - 1);
  const unsigned long long pipeBit = 1ull << (SIGPIPE - 1);
  EXPECT_EQ(mask("SigBlk") & termBit, 0u) << text;
  EXPECT_EQ(mask("SigIgn") & pipeBit, 0u) << text;

  ::sigaction(SIGPIPE, &savedPipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace
