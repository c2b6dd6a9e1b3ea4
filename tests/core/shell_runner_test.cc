// The shell command runners against real children (/bin/sh). The one-second idle wait of the
// time-out runner is replaced by a wait on the child's next step, so that no test waits for
// real seconds and no count of waits depends on how fast a child starts or runs.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
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
  explicit IdleWaitGuard(std::function<void(pollfd*, size_t)> wait) {
    qbx::SetRunCommandIdleWaitForTest(std::move(wait));
  }
  ~IdleWaitGuard() { qbx::SetRunCommandIdleWaitForTest(nullptr); }
};

class ForkHookGuard {
 public:
  explicit ForkHookGuard(std::function<KztuserCompat_Status(const char*)> hook) {
    qbx::hostcompat::SetForkExecHookForTest(std::move(hook));
  }
  ~ForkHookGuard() { qbx::hostcompat::SetForkExecHookForTest(nullptr); }
};

// Blocks until one of the runner's streams is ready: the child wrote, took input or ended.
void WaitForTheChild(pollfd* streams, size_t count) {
  while (::poll(streams, static_cast<nfds_t>(count), -1) < 0 && errno == EINTR) {
  }
}

// The processes below this one (children of children included), zombies left out.
std::vector<pid_t> LiveDescendants() {
  std::multimap<pid_t, pid_t> children;  // parent -> child
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(it->path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold anything, so read after its last ')'.
    const size_t close = line.rfind(')');
    char state = 0;
    int parent = 0;
    if (close == std::string::npos || std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) != 2) continue;
    if (state != 'Z') children.emplace(parent, static_cast<pid_t>(std::stol(name)));
  }
  std::vector<pid_t> found;
  std::vector<pid_t> parents{::getpid()};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    auto [first, last] = children.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      found.push_back(it->second);
      parents.push_back(it->second);
    }
  }
  return found;
}

// Every runner test runs under a failsafe: a runner that deadlocks with its child (or waits
// for a child it cannot end) fails the test after kLimit instead of hanging until the test
// driver's limit. Past it, every process the test started is killed, which closes the
// child's pipes and ends the wait for it, so that the runner returns and the test fails.
// A runner that does not return even then (it waits on nothing) ends the test program.
// The limits never decide a passing run: a command here ends in milliseconds.
class RunnerTest : public ::testing::Test {
 protected:
  static constexpr std::chrono::seconds kLimit{20};
  static constexpr std::chrono::seconds kAfterKill{5};

  RunnerTest()
      : watcher([this] {
          std::unique_lock<std::mutex> lock(mutex);
          if (done.wait_for(lock, kLimit, [this] { return finished; })) return;
          fired = true;
          for (pid_t pid : LiveDescendants()) ::kill(pid, SIGKILL);
          if (done.wait_for(lock, kAfterKill, [this] { return finished; })) return;
          std::fprintf(stderr, "a command did not return within %lld s, nor once its processes were killed\n",
                       static_cast<long long>(kLimit.count()));
          std::abort();
        }) {}

  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
    }
    done.notify_all();
    watcher.join();
    EXPECT_FALSE(fired) << "a command did not return within " << kLimit.count()
                        << " s; the test's processes were killed";
  }

 private:
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::atomic<bool> fired{false};
  std::thread watcher;
};

class ExecTest : public RunnerTest {};
class RunCommandTest : public RunnerTest {};
class RunCommandPipesTest : public RunnerTest {};
class RunCommandIdleTest : public RunnerTest {};

// A child that takes one step each time the runner waits for it, and the runner's wait that
// drives it. The wait tells the child to go on (a line into a fifo, which the child reads
// before each step), then blocks until the runner's streams show what the step did. After
// the planned steps the wait either returns at once, as an idle second of a child that has
// gone silent does, or sends "q" (the child's cue to finish) and waits for the child again.
class SteppedChild {
 public:
  enum class AfterSteps { kSilent, kFinish };

  SteppedChild(int steps, AfterSteps after) : steps(steps), after(after) {
    fifo = (dir.path() / "steps").string();
    if (::mkfifo(fifo.c_str(), 0600) == 0) {
      // Read and write: the child's open for reading never waits for a writer, and what
      // is written here waits in the fifo until the child reads it.
      go = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    }
    EXPECT_GE(go, 0) << std::strerror(errno);
  }
  ~SteppedChild() {
    if (go >= 0) ::close(go);
  }

  // Script text that opens the fifo as descriptor 3; `read x <&3` then takes the next cue.
  std::string Open() const { return "exec 3<'" + fifo + "'; "; }

  void Wait(pollfd* streams, size_t count) {
    ++waits;
    if (released < steps) {
      ++released;
      Cue("g\n");
      WaitForTheChild(streams, count);
      return;
    }
    ++waitsAfterSteps;
    if (after == AfterSteps::kSilent) return;
    if (!finishSent) {
      finishSent = true;
      Cue("q\n");
    }
    WaitForTheChild(streams, count);
  }

  int waits = 0;
  int released = 0;
  int waitsAfterSteps = 0;

 private:
  void Cue(const char* line) { EXPECT_EQ(::write(go, line, std::strlen(line)), static_cast<ssize_t>(std::strlen(line))); }

  TempDir dir;
  std::string fifo;
  int go = -1;
  const int steps;
  const AfterSteps after;
  bool finishSent = false;
};

TEST_F(ExecTest, ReturnsWholeOutputAndCutsAtBufferSize) {
  char buffer[64];
  EXPECT_EQ(ExporterTools::Exec("printf 'a\\nbc\\n'", buffer, sizeof(buffer)), 5);
  EXPECT_EQ(std::string(buffer, 5), "a\nbc\n");
  // Far more than the buffer (and than a pipe holds): exactly the buffer size comes back,
  // and the command is not left blocked on its full pipe.
  EXPECT_EQ(ExporterTools::Exec("yes | head -c 200000", buffer, 10), 10);
  EXPECT_EQ(std::string(buffer, 10), "y\ny\ny\ny\ny\n");
  EXPECT_EQ(ExporterTools::Exec("true", buffer, sizeof(buffer)), 0);
}

TEST_F(ExecTest, FailedCommandStillReturnsItsOutput) {
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

TEST_F(RunCommandTest, CollectsOutputAndErrorAndPassesInput) {
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

TEST_F(RunCommandTest, NullOutputBufferStillReapsChild) {
  Args args{"/bin/sh", "-c", "yes | head -c 100000"};
  int outLen = 0;
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), nullptr, &outLen, nullptr, nullptr, nullptr, 0), 1);
}

TEST_F(RunCommandTest, OutputBeyondCapacityIsDiscardedWithoutBlocking) {
  // With a time-out the pipe is non-blocking; a child still writing when the buffer is full
  // must not leave the runner waiting on a child blocked on a full pipe. Every wait ends
  // with the child's next write (the dropped output counts as such) or with its end: only
  // the hang-ups of its two streams are waits without progress, fewer than the time-out.
  IdleWaitGuard wait(WaitForTheChild);
  Args args{"/bin/sh", "-c", "yes | head -c 1000000"};
  char out[8];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0, 3), 1);
  EXPECT_EQ(outLen, 8);
}

TEST_F(RunCommandTest, MissingProgramFailsToStart) {
  CapturingSink sink;
  Args args{"/nonexistent/program"};
  char out[16];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeout("/nonexistent/program", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(outLen, 16);  // untouched: only the out-of-memory case writes the marker
  EXPECT_EQ(sink.Count("Failed to fork child process (/nonexistent/program)"), 1);
}

TEST_F(RunCommandTest, OutOfMemoryLeavesMarker) {
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

TEST_F(RunCommandTest, ConcurrentRunnersDoNotShareChildren) {
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

// The daemon's threads run with the termination signals blocked and SIGPIPE ignored; the
// children must not inherit either, or an idle child could not be killed.
TEST_F(RunCommandTest, ChildrenDoNotInheritBlockedOrIgnoredSignals) {
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &saved), 0);
  struct sigaction ignore{};
  struct sigaction savedPipe{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &savedPipe);

  // Idle waits that end at once: the child is sent SIGTERM at the third, and the runner
  // waits for it to end (for ever, were SIGTERM blocked in the child).
  IdleWaitGuard wait([](pollfd*, size_t) {});
  Args killable{"/bin/sh", "-c", "exec sleep 1000"};
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

// A child that fills a pipe the runner is not busy with must never stall either side.
TEST_F(RunCommandPipesTest, ErrorsBeyondAPipeWithoutErrorBufferDoNotBlock) {
  // 200 KiB on standard error, then the output: with no error buffer and no time-out the
  // child would otherwise wait for ever on its full error pipe.
  Args args{"/bin/sh", "-c", "head -c 204800 /dev/zero >&2; echo done"};
  char out[64];
  int outLen = sizeof(out);
  EXPECT_EQ(RunCommandWithTimeout("/bin/sh", args.argv(), out, &outLen, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_EQ(std::string(out, outLen), "done\n");
}

TEST_F(RunCommandPipesTest, BothStreamsLargerThanTheirBuffersAreCutAndDrained) {
  IdleWaitGuard wait(WaitForTheChild);
  // Errors first and larger than a pipe, output larger than its buffer, then more errors.
  Args args{"/bin/sh", "-c", "yes e | head -c 150000 >&2; yes o | head -c 150000; echo tail >&2"};
  for (int timeout : {0, 3}) {
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

TEST_F(RunCommandPipesTest, ErrorBufferLargerThanOutputIsFilledWhileOutputIsRead) {
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

TEST_F(RunCommandPipesTest, InputLargerThanAPipeIsWrittenWhileOutputIsRead) {
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

TEST_F(RunCommandPipesTest, ChildThatNeverReadsItsInputEndsTheWrite) {
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

TEST_F(RunCommandPipesTest, CallerWithoutStandardStreamsKeepsTheChildsStreamsApart) {
  // A daemon may run with descriptors 0 to 2 closed; new pipes then take those numbers.
  CapturingSink sink;  // no record may open a descriptor of its own meanwhile
  Args args{"/bin/sh", "-c", "read line; echo \"out:$line\"; echo err >&2"};
  char out[64];
  char err[64];
  int outLen = sizeof(out);
  int errLen = sizeof(err);
  const char input[] = "in\n";
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) {
    saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
  }
  const int rc = RunCommandWithTimeout("/bin/sh", args.argv(), out, &outLen, err, &errLen, input, sizeof(input) - 1);
  // Every descriptor the runner made is closed again: the lowest free one is still 0.
  const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (lowest >= 0) ::close(lowest);
  for (int fd = 0; fd < 3; ++fd) {
    if (saved[fd] >= 0) {
      ::dup2(saved[fd], fd);
      ::close(saved[fd]);
    }
  }
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(std::string(out, outLen), "out:in\n");
  EXPECT_EQ(std::string(err, errLen), "err\n");
  EXPECT_EQ(lowest, 0);
}

// The idle time-out counts consecutive waits in which the child made no progress on any
// stream: output, errors or input.
struct Ran {
  int rc;
  std::string out;
  std::string err;
};

// Runs `script` (after the child's opening of its cue fifo) with `timeout`, each idle wait
// being one of the child's steps.
Ran RunStepped(SteppedChild& child, const std::string& script, int timeout, const std::string& input = "") {
  IdleWaitGuard wait([&](pollfd* streams, size_t count) { child.Wait(streams, count); });
  Args args{"/bin/sh", "-c", child.Open() + script};
  char out[64];
  char err[64];
  int outLen = sizeof(out);
  int errLen = sizeof(err);
  const int rc = RunCommandWithTimeoutQBX("/bin/sh", args.argv(), out, &outLen, err, &errLen,
                                          input.empty() ? nullptr : input.data(), static_cast<int>(input.size()),
                                          timeout);
  return {rc, std::string(out, std::max(outLen, 0)), std::string(err, std::max(errLen, 0))};
}

TEST_F(RunCommandIdleTest, ChildWritingOnceAWaitOnEitherStreamIsNeverKilled) {
  // Six lines, one per wait: more waits in total than the time-out of 3 allows in a row.
  // After the last one the child ends; its two hang-ups are the only waits without progress.
  for (const std::string redirect : {"", " >&2"}) {
    SCOPED_TRACE(redirect.empty() ? "output" : "errors");
    CapturingSink sink;
    SteppedChild child(6, SteppedChild::AfterSteps::kFinish);
    const Ran ran =
        RunStepped(child, "n=0; while read x <&3 && [ \"$x\" != q ]; do n=$((n+1)); echo $n" + redirect + "; done", 3);
    EXPECT_EQ(ran.rc, 1);
    EXPECT_EQ(redirect.empty() ? ran.out : ran.err, "1\n2\n3\n4\n5\n6\n");
    EXPECT_EQ(redirect.empty() ? ran.err : ran.out, "");
    EXPECT_EQ(sink.Count("Kill stuck child"), 0);
    EXPECT_EQ(child.released, 6);
    EXPECT_EQ(sink.Count("Reaped child /bin/sh, exit status = 0"), 1);
  }
}

TEST_F(RunCommandIdleTest, ChildReadingItsInputSlowlyIsNeverKilled) {
  CapturingSink sink;
  // Far more input than a pipe holds; the child takes 16 KiB of it per wait and writes
  // nothing, so the runner's only progress is the input it writes into the room made.
  // On its cue to finish the child reads the rest and says so.
  SteppedChild child(6, SteppedChild::AfterSteps::kFinish);
  const Ran ran = RunStepped(child,
                             "while read x <&3 && [ \"$x\" != q ]; do "
                             "dd bs=16384 count=1 of=/dev/null status=none; done; "
                             "cat >/dev/null; echo all-read",
                             3, std::string(1 << 20, 'i'));
  EXPECT_EQ(ran.rc, 1);
  EXPECT_EQ(ran.out, "all-read\n");
  EXPECT_EQ(sink.Count("Kill stuck child"), 0);
  EXPECT_EQ(child.released, 6);
}

// A child that goes silent is killed at the time-out's empty read counted from its last
// line, on either stream: after time-out - 1 idle waits.
TEST_F(RunCommandIdleTest, SilentChildIsKilledCountingFromItsLastLine) {
  struct Case {
    int lines;
    std::string script;
    int timeout;
    std::string out, err;
  };
  const Case cases[] = {
      {4, "n=0; while read x <&3; do n=$((n+1)); echo e$n >&2; done", 3, "", "e1\ne2\ne3\ne4\n"},
      {1, "read x <&3; echo line; read x <&3", 30, "line\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    CapturingSink sink;
    SteppedChild child(c.lines, SteppedChild::AfterSteps::kSilent);
    const Ran ran = RunStepped(child, c.script, c.timeout);
    EXPECT_EQ(ran.rc, 1);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(sink.Count("Kill stuck child process /bin/sh."), 1);
    EXPECT_EQ(child.released, c.lines);
    EXPECT_EQ(child.waitsAfterSteps, c.timeout - 1);
    EXPECT_EQ(sink.Count("Sleeping to wait for child"), child.waits);
  }
}

}  // namespace
