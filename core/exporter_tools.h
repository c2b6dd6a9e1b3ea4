// Shell command runners used by the collectors to read host state:
// - ExporterTools::Exec runs a shell command line and returns its standard output in the
//   caller's buffer; NextLine and CopyLine walk that text line by line.
// - RunCommandWithTimeoutQBX runs a program with an argument vector, with pipes for its
//   standard streams, an optional idle time-out that kills a child that stops producing
//   output, and the "OOM" marker when the child could not be started for lack of memory.
//
// Threading: plain functions without shared state; each blocks its caller until the
// command has ended (or has been killed and reaped) and may run on several threads at once.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>

namespace ExporterTools {

// Runs `command` through the shell and copies up to `size` bytes of its output into
// `buffer` (not NUL-terminated). Returns the number of bytes read, or -1.
int Exec(const char* command, char* buffer, int size);

}  // namespace ExporterTools

// The position just after the next newline of `text`, or its terminating NUL.
const char* NextLine(const char* text);

// Copies `text` up to the first newline or NUL into `destination`, NUL-terminated, and
// returns the number of characters copied; -1 when the line and its terminator do not fit.
int CopyLine(const char* text, char* destination, int size);

// Runs `path` with `argv` (null-terminated). `*outputLength` is the output buffer's
// capacity on entry and the number of bytes received on return; `*errorLength` likewise.
// The three pipes are served together: input is written while output and errors are read,
// and what does not fit a buffer (or has none) is read and dropped, so a child never
// blocks on a pipe. With `timeoutSeconds` above 0 a child that makes no progress on any
// stream for that many consecutive one-second waits is sent SIGTERM. Returns 1 once the
// child was started, 0 when it could not be (a failed pipe or start; "OOM" with length 3
// in the output for lack of memory).
int RunCommandWithTimeoutQBX(const char* path, char* argv[], char* output, int* outputLength, char* error,
                             int* errorLength, const char* input, int inputLength, int timeoutSeconds);

// RunCommandWithTimeoutQBX without a time-out.
int RunCommandWithTimeout(const char* path, char* argv[], char* output, int* outputLength, char* error,
                          int* errorLength, const char* input, int inputLength);

namespace qbx {
// Tests: replaces the one-second wait between idle polls of RunCommandWithTimeoutQBX. The
// wait is given the child's open streams as the runner polls them (output and error for
// reading, input for writing), so that it can wait for the child's next step instead of
// for a time. Null restores the real wait. Set it while no command runs.
void SetRunCommandIdleWaitForTest(std::function<void(pollfd* streams, size_t count)> wait);
}  // namespace qbx
