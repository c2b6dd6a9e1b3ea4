#include "platform/hostcompat/kztuser_compat.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace {

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<KztuserCompat_Status(const char*)>& Hook() {
  static std::function<KztuserCompat_Status(const char*)> hook;
  return hook;
}

KztuserCompat_Status FromErrno(int error) {
  return (error == ENOMEM || error == EAGAIN) ? KZTUSER_COMPAT_NO_MEMORY : KZTUSER_COMPAT_FAILURE;
}

char* const kEmptyEnvironment[] = {nullptr};

// Spawns `path` with the given descriptors bound to 0, 1 and 2. Returns 0 or an errno value.
int Spawn(const char* path, char* const argv[], char* const envp[], int stdinFd, int stdoutFd, int stderrFd,
          pid_t* pid) {
  posix_spawn_file_actions_t actions;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) return rc;
  const int fds[3] = {stdinFd, stdoutFd, stderrFd};
  for (int target = 0; target < 3 && rc == 0; ++target) {
    if (fds[target] >= 0) rc = posix_spawn_file_actions_adddup2(&actions, fds[target], target);
  }
  // The daemon blocks its termination signals in every thread but one and ignores SIGPIPE;
  // a child would inherit both across exec, so that SIGTERM could not stop it and a closed
  // pipe would not end it. Children start with an empty mask and default dispositions.
  posix_spawnattr_t attributes;
  if (rc == 0) rc = posix_spawnattr_init(&attributes);
  if (rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return rc;
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  rc = posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes, &all);
  if (rc == 0) rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = posix_spawn(pid, path, &actions, &attributes, argv, envp ? envp : kEmptyEnvironment);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

}  // namespace

KztuserCompat_Status KztuserCompat_POpen(const char* command, const char* mode, KztuserCompat_PopenHandle** handle) {
  if (command == nullptr || mode == nullptr || handle == nullptr || std::strcmp(mode, "r") != 0) {
    return KZTUSER_COMPAT_FAILURE;
  }
  int fds[2];
  // Close-on-exec: a command started by another thread must not inherit this pipe, or
  // this command's reader would not see the end of its output until that one ends too.
  if (::pipe2(fds, O_CLOEXEC) != 0) return FromErrno(errno);
  char shell[] = "/bin/sh";
  char dashC[] = "-c";
  char* argv[] = {shell, dashC, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  int rc = Spawn(shell, argv, environ, -1, fds[1], -1, &pid);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return FromErrno(rc);
  }
  auto* made = new (std::nothrow) KztuserCompat_PopenHandle;
  if (made == nullptr) {
    ::close(fds[0]);
    int ignored = 0;
    ::waitpid(pid, &ignored, 0);
    return KZTUSER_COMPAT_NO_MEMORY;
  }
  made->fd = fds[0];
  made->pid = pid;
  *handle = made;
  return KZTUSER_COMPAT_OK;
}

KztuserCompat_Status KztuserCompat_PClose(KztuserCompat_PopenHandle* handle, int* commandStatus) {
  if (handle == nullptr) return KZTUSER_COMPAT_FAILURE;
  KztuserCompat_Status result = KZTUSER_COMPAT_OK;
  if (handle->fd >= 0 && ::close(handle->fd) != 0) result = KZTUSER_COMPAT_FAILURE;
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(handle->pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) result = KZTUSER_COMPAT_FAILURE;
  if (commandStatus != nullptr) *commandStatus = status;
  delete handle;
  return result;
}

KztuserCompat_Status KztuserCompat_ForkExec(const char* path, char* const argv[], char* const envp[], int stdinFd,
                                            int stdoutFd, int stderrFd, pid_t* pid, int /*option1*/,
                                            int /*option2*/, int /*option3*/, int /*option4*/) {
  if (path == nullptr || argv == nullptr || pid == nullptr) return KZTUSER_COMPAT_FAILURE;
  std::function<KztuserCompat_Status(const char*)> hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  if (hook) {
    KztuserCompat_Status forced = hook(path);
    if (forced != KZTUSER_COMPAT_OK) return forced;
  }
  int rc = Spawn(path, argv, envp, stdinFd, stdoutFd, stderrFd, pid);
  return rc == 0 ? KZTUSER_COMPAT_OK : FromErrno(rc);
}

namespace qbx::hostcompat {

void SetForkExecHookForTest(std::function<KztuserCompat_Status(const char* path)> hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  Hook() = std::move(hook);
}

}  // namespace qbx::hostcompat
