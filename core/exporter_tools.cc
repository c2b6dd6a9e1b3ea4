#include "core/exporter_tools.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <utility>

#include "base/logger.h"
#include "platform/hostcompat/kztuser_compat.h"

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr const char* kExecTag = "errorCode:MPA12105";
constexpr int kReadChunk = 4096;
constexpr int kLoggedArgs = 10;
constexpr int kIdleWaitMs = 1000;
constexpr size_t kWriteChunk = 64 * 1024;

std::mutex& IdleWaitMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(pollfd*, size_t)>& IdleWaitHook() {
  static std::function<void(pollfd*, size_t)> hook;
  return hook;
}

// One idle second: the wait ends early when any stream becomes ready.
void IdleWait(pollfd* fds, nfds_t count) {
  std::function<void(pollfd*, size_t)> hook;
  {
    std::lock_guard<std::mutex> lock(IdleWaitMutex());
    hook = IdleWaitHook();
  }
  if (hook) {
    hook(fds, count);
  } else {
    ::poll(fds, count, kIdleWaitMs);
  }
}

// One of the child's output streams and the caller's buffer for it (null: dropped).
struct Stream {
  int fd = -1;
  char* buffer = nullptr;
  int capacity = 0;
  int received = 0;
};

bool SetNonBlocking(int fd) {
  if (fd < 0) return true;
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A write into a pipe whose reader is gone fails with EPIPE instead of raising SIGPIPE,
// whatever the process's disposition of that signal.
ssize_t WriteWithoutSigpipe(int fd, const char* data, size_t length) {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &pipeSet, &saved);
  ssize_t n = ::write(fd, data, length);
  const int writeErrno = errno;
  if (n < 0 && writeErrno == EPIPE && !wasPending) {
    timespec none{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = writeErrno;
  return n;
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A pipe whose descriptors are all 3 or above, close-on-exec. In a process started with
// standard input, output or error closed, a new pipe takes those numbers; the spawn binds
// the child's 0, 1 and 2 one after the other, and a pipe end that sits on one of them
// would be overwritten before it is bound (the child's errors would land in its output).
bool MakePipeAboveStandardStreams(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > STDERR_FILENO) continue;
    const int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int dupErrno = errno;
    ::close(fds[i]);
    fds[i] = moved;
    if (moved < 0) {
      CloseFd(fds[0]);
      CloseFd(fds[1]);
      errno = dupErrno;
      return false;
    }
  }
  return true;
}

}  // namespace

namespace ExporterTools {

int Exec(const char* command, char* buffer, int size) {
  if (command == nullptr || buffer == nullptr || size < 0) return -1;
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("[ExporterTools][%s] Doing KztuserCompat_POpen() of %s", "Exec", command);
  KztuserCompat_PopenHandle* handle = nullptr;
  KztuserCompat_Status status = KztuserCompat_POpen(command, "r", &handle);
  if (status != KZTUSER_COMPAT_OK) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag(kExecTag)
        .put("[ExporterTools][%s] Pipe open failed with error %u", "Exec", status);
    return -1;
  }
  int total = 0;
  for (;;) {
    ssize_t n = ::read(handle->fd, buffer + total, static_cast<size_t>(size - total));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .tag(kExecTag)
          .put("[ExporterTools][%s] Could not read from command: %s", "Exec", std::strerror(errno));
      total = -1;
      break;
    }
    total += static_cast<int>(n);
  }
  // A full buffer ends the loop through the zero-length read above; the command may still
  // be writing, and closing our end lets it end on SIGPIPE/EPIPE instead of blocking.
  int commandStatus = 0;
  status = KztuserCompat_PClose(handle, &commandStatus);
  if (status != KZTUSER_COMPAT_OK) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag(kExecTag)
        .put("[ExporterTools][%s] unable to close fd of %s: %u, %u", "Exec", command, status,
             static_cast<unsigned>(commandStatus));
  }
  return total;
}

}  // namespace ExporterTools

const char* NextLine(const char* text) {
  const char* newline = std::strchr(text, '\n');
  return newline ? newline + 1 : text + std::strlen(text);
}

int CopyLine(const char* text, char* destination, int size) {
  size_t length = std::strcspn(text, "\n");
  if (size <= 0 || length >= static_cast<size_t>(size)) return -1;
  std::memcpy(destination, text, length);
  destination[length] = '\0';
  return static_cast<int>(length);
}

int RunCommandWithTimeoutQBX(const char* path, char* argv[], char* output, int* outputLength, char* error,
                             int* errorLength, const char* input, int inputLength, int timeoutSeconds) {
  errno = 0;
  // [0] read end, [1] write end. Close-on-exec keeps these pipes out of children that
  // other threads start meanwhile; the spawn's dup2 clears the flag on the child's copies.
  // None of them is 0, 1 or 2 (see MakePipeAboveStandardStreams).
  int errPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  int inPipe[2] = {-1, -1};
  auto closeAll = [&] {
    for (int* fds : {errPipe, outPipe, inPipe}) {
      CloseFd(fds[0]);
      CloseFd(fds[1]);
    }
  };
  const struct {
    int* fds;
    const char* text;
  } pipes[] = {{errPipe, "Failed to create stderr pipe: %d\n"},
               {outPipe, "Failed to create stdout pipe: %d\n"},
               {inPipe, "Failed to create stdin pipe: %d\n"}};
  for (const auto& p : pipes) {
    if (!MakePipeAboveStandardStreams(p.fds)) {
      QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put(p.text, errno);
      closeAll();
      return 0;
    }
  }
  for (int i = 0; argv != nullptr && i < kLoggedArgs && argv[i] != nullptr; ++i) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("%s: args[%d](%s)", "RunCommandWithTimeoutQBX", i, argv[i]);
  }
  pid_t pid = -1;
  KztuserCompat_Status status =
      KztuserCompat_ForkExec(path, argv, nullptr, inPipe[0], outPipe[1], errPipe[1], &pid, -1, -1, -1, 0);
  if (status != KZTUSER_COMPAT_OK) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Failed to fork child process (%s), status: %d\n", path ? path : "", static_cast<int>(status));
    closeAll();
    if (status == KZTUSER_COMPAT_NO_MEMORY && output != nullptr && outputLength != nullptr) {
      int capacity = *outputLength;
      if (capacity >= 3) {
        std::memset(output, 0, static_cast<size_t>(capacity));
        std::memcpy(output, "OOM", 3);
        *outputLength = 3;
      }
    }
    return 0;
  }
  CloseFd(inPipe[0]);
  CloseFd(errPipe[1]);
  CloseFd(outPipe[1]);
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("Forked child %s: %d\n", path, static_cast<int>(pid));

  // One loop serves all three pipes, so that a child blocked on any of them (a full error
  // pipe, input it reads only after writing output) always finds the parent serving it.
  // Output past a buffer's capacity, and any stream without a buffer, is read and dropped
  // until the child closes it.
  Stream out{outPipe[0], output, output != nullptr && outputLength != nullptr ? std::max(*outputLength, 0) : 0};
  Stream err{errPipe[0], error, error != nullptr && errorLength != nullptr ? std::max(*errorLength, 0) : 0};
  if (output != nullptr && outputLength != nullptr) *outputLength = 0;
  const char* pending = input;
  size_t pendingLength = input != nullptr && inputLength > 0 ? static_cast<size_t>(inputLength) : 0;
  if (pendingLength == 0) CloseFd(inPipe[1]);

  if (!SetNonBlocking(out.fd) && timeoutSeconds > 0) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Use blocking read to read from child %s: %s", path, std::strerror(errno));
  }
  SetNonBlocking(err.fd);
  SetNonBlocking(inPipe[1]);

  auto readStream = [&](Stream& stream, bool isOutput) {
    char drop[kReadChunk];
    const bool intoBuffer = stream.buffer != nullptr && stream.received < stream.capacity;
    char* into = intoBuffer ? stream.buffer + stream.received : drop;
    const size_t want =
        intoBuffer ? static_cast<size_t>(std::min(stream.capacity - stream.received, kReadChunk)) : sizeof(drop);
    ssize_t n = ::read(stream.fd, into, want);
    if (n > 0) {
      if (intoBuffer) {
        if (isOutput) {
          QBX_LOG(qbx::loglevel::kDebug)
              .subcomp(kSubcomp)
              .put("Reading %d bytes from child %s", static_cast<int>(n), path);
        }
        stream.received += static_cast<int>(n);
      }
      return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
    if (isOutput && intoBuffer) {
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Reading from child %s stops: %d - %s", path, static_cast<int>(n),
               n == 0 ? "no data" : std::strerror(errno));
    }
    CloseFd(stream.fd);
    return false;
  };

  int idle = 0;
  while (out.fd >= 0 || err.fd >= 0 || inPipe[1] >= 0) {
    pollfd fds[3];
    nfds_t count = 0;
    for (int fd : {out.fd, err.fd}) {
      if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
    }
    if (inPipe[1] >= 0) fds[count++] = pollfd{inPipe[1], POLLOUT, 0};
    // What is ready now; with no time-out, wait as long as the child keeps quiet.
    int ready = ::poll(fds, count, timeoutSeconds > 0 ? 0 : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Reading from child %s stops: %d - %s", path, -1, std::strerror(errno));
      break;
    }
    if (ready == 0) {
      ++idle;
      if (idle >= timeoutSeconds) {
        QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("Kill stuck child process %s.", path);
        ::kill(pid, SIGTERM);
        break;
      }
      QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("Sleeping to wait for child %s", path);
      IdleWait(fds, count);
      continue;
    }
    bool progress = false;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == out.fd) {
        progress |= readStream(out, output != nullptr && outputLength != nullptr);
      } else if (fds[i].fd == err.fd) {
        progress |= readStream(err, false);
      } else if (fds[i].fd == inPipe[1]) {
        ssize_t n = WriteWithoutSigpipe(inPipe[1], pending, std::min(pendingLength, kWriteChunk));
        if (n > 0) {
          pending += n;
          pendingLength -= static_cast<size_t>(n);
          progress = true;
        }
        // A child that closed its input (or exited) takes no more of it.
        if (pendingLength == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) CloseFd(inPipe[1]);
      }
    }
    if (progress) idle = 0;
  }
  if (output != nullptr && outputLength != nullptr) *outputLength = out.received;
  if (error != nullptr && errorLength != nullptr) *errorLength = err.received;
  // Closed before the wait: a killed child that still writes must meet a closed pipe, not
  // a full one.
  CloseFd(out.fd);
  CloseFd(err.fd);
  CloseFd(inPipe[1]);

  for (;;) {
    int waitStatus = 0;
    pid_t waited = ::waitpid(pid, &waitStatus, 0);
    if (waited < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (WIFEXITED(waitStatus)) {
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Reaped child %s, exit status = %d\n", path, WEXITSTATUS(waitStatus));
      break;
    }
    if (WIFSIGNALED(waitStatus)) break;
  }
  return 1;
}

int RunCommandWithTimeout(const char* path, char* argv[], char* output, int* outputLength, char* error,
                          int* errorLength, const char* input, int inputLength) {
  return RunCommandWithTimeoutQBX(path, argv, output, outputLength, error, errorLength, input, inputLength, 0);
}

namespace qbx {

void SetRunCommandIdleWaitForTest(std::function<void(pollfd*, size_t)> wait) {
  std::lock_guard<std::mutex> lock(IdleWaitMutex());
  IdleWaitHook() = std::move(wait);
}

}  // namespace qbx
