// The hypervisor's user-level compatibility calls that the daemon uses to run host
// commands: a read-only popen and a fork-and-exec with descriptor plumbing. Built here on
// posix_spawn, so a child never runs code of the parent between fork and exec (safe in a
// process with many threads).
//
// Status values: 0 for success, KZTUSER_COMPAT_NO_MEMORY when the child could not be made
// for lack of memory, KZTUSER_COMPAT_FAILURE for any other failure.
//
// Threading: every call is independent and may run on any thread at the same time as
// others. The test hook is process-wide and meant to be set while no command runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

using KztuserCompat_Status = uint32_t;

constexpr KztuserCompat_Status KZTUSER_COMPAT_OK = 0;
constexpr KztuserCompat_Status KZTUSER_COMPAT_FAILURE = 0xbad0001;
constexpr KztuserCompat_Status KZTUSER_COMPAT_NO_MEMORY = 0xbad0014;

// An open command of KztuserCompat_POpen: its output is read from `fd`.
struct KztuserCompat_PopenHandle {
  int fd = -1;
  pid_t pid = -1;
};

// Runs `command` with "/bin/sh -c". Only mode "r" is supported: the handle's descriptor
// reads the command's standard output. On success `*handle` is a new handle that
// KztuserCompat_PClose releases.
KztuserCompat_Status KztuserCompat_POpen(const char* command, const char* mode, KztuserCompat_PopenHandle** handle);

// Closes the handle's descriptor, waits for the command and stores its wait status in
// `*commandStatus` (may be null). The handle is released in every case.
KztuserCompat_Status KztuserCompat_PClose(KztuserCompat_PopenHandle* handle, int* commandStatus);

// Starts `path` with `argv` (null-terminated) and `envp` (null for an empty environment).
// The child's standard input, output and error are `stdinFd`, `stdoutFd` and `stderrFd`
// (-1 leaves the parent's). The child's process id goes to `*pid`. The four options are
// accepted for the callers' sake and not used: pass -1, -1, -1 and 0.
KztuserCompat_Status KztuserCompat_ForkExec(const char* path, char* const argv[], char* const envp[], int stdinFd,
                                            int stdoutFd, int stderrFd, pid_t* pid, int option1, int option2,
                                            int option3, int option4);

namespace qbx::hostcompat {

// Tests: when set, KztuserCompat_ForkExec returns the hook's status instead of starting a
// child (a non-zero status) or starts it as usual (0). Null restores the normal behaviour.
void SetForkExecHookForTest(std::function<KztuserCompat_Status(const char* path)> hook);

}  // namespace qbx::hostcompat
