// Ending the process from a worker thread (the set/stop command, a certificate change):
// the supervisor restarts the daemon. _exit, not exit: exit would run the static
// destructors while the other threads still use the objects they destroy.
#pragma once

#include <chrono>
#include <functional>

namespace qbx::firewall {

// Flushes stdio and ends the process at once with `status`.
[[noreturn]] void ExitProcess(int status);

// Runs `action` once after `delay` on a provider thread kept for deferred process-level
// work (created on first use, never stopped).
void RunAfter(std::chrono::nanoseconds delay, std::function<void()> action);

}  // namespace qbx::firewall
