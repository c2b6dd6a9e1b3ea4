#include "core/exporter_tools.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "core/logger.h"
#include "platform/hostcompat/kztuser_compat.h"

namespace {

constexpr const char* kSubcomp = "agg-service";
constexpr const char* kExecTag = "errorCode:MPA12105";
constexpr int kReadChunk = 4096;
constexpr int kDrainChunk = 256;
constexpr int kLoggedArgs = 10;

std::mutex& IdleWaitMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void()>& IdleWaitHook() {
  static std::function<void()> hook;
  return hook;
}

void IdleWait() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(IdleWaitMutex());
    hook = IdleWaitHook();
  }
  if (hook) {
    hook();
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
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
    if (::pipe2(p.fds, O_CLOEXEC) != 0) {
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

  if (input != nullptr && inputLength > 0) {
    ssize_t ignored = ::write(inPipe[1], input, static_cast<size_t>(inputLength));
    (void)ignored;
  }
  CloseFd(inPipe[1]);

  if (output != nullptr && outputLength != nullptr) {
    const int capacity = std::max(*outputLength, 0);
    *outputLength = 0;
    bool nonBlocking = false;
    if (timeoutSeconds > 0) {
      int flags = ::fcntl(outPipe[0], F_GETFL);
      if (flags < 0 || ::fcntl(outPipe[0], F_SETFL, flags | O_NONBLOCK) < 0) {
        QBX_LOG(qbx::loglevel::kWarning)
            .subcomp(kSubcomp)
            .put("Use blocking read to read from child %s: %s", path, std::strerror(errno));
      } else {
        nonBlocking = true;
      }
    }
    int idle = 0;
    while (*outputLength < capacity) {
      int want = std::min(capacity - *outputLength, kReadChunk);
      ssize_t n = ::read(outPipe[0], output + *outputLength, static_cast<size_t>(want));
      if (n > 0) {
        QBX_LOG(qbx::loglevel::kDebug)
            .subcomp(kSubcomp)
            .put("Reading %d bytes from child %s", static_cast<int>(n), path);
        *outputLength += static_cast<int>(n);
        idle = 0;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && nonBlocking && errno == EAGAIN) {
        ++idle;
        if (idle >= timeoutSeconds) {
          QBX_LOG(qbx::loglevel::kWarning).subcomp(kSubcomp).put("Kill stuck child process %s.", path);
          ::kill(pid, SIGTERM);
          break;
        }
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSubcomp).put("Sleeping to wait for child %s", path);
        IdleWait();
        continue;
      }
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("Reading from child %s stops: %d - %s", path, static_cast<int>(n),
               n == 0 ? "no data" : std::strerror(errno));
      break;
    }
  }

  if (error != nullptr && errorLength != nullptr) {
    ssize_t n = ::read(errPipe[0], error, static_cast<size_t>(std::max(*errorLength, 0)));
    *errorLength = static_cast<int>(n);
  }

  // Whatever is left unread (or all output when no buffer was given) is discarded until
  // the child closes its end, so that it never blocks on a full pipe.
  char drain[kDrainChunk];
  for (;;) {
    ssize_t n = ::read(outPipe[0], drain, sizeof(drain));
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  // Closed before the wait, not after: a child still writing into a non-blocking pipe that
  // the drain gave up on (or into the error pipe, read only once) would otherwise block on
  // the full pipe while we wait for it, and neither side would ever go on.
  CloseFd(errPipe[0]);
  CloseFd(outPipe[0]);

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

void SetRunCommandIdleWaitForTest(std::function<void()> wait) {
  std::lock_guard<std::mutex> lock(IdleWaitMutex());
  IdleWaitHook() = std::move(wait);
}

}  // namespace qbx
