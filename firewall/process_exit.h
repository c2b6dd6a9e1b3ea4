// Deferred process-level work of the firewall module: the set/stop command and a certificate
// change end the process a little later (through qbx::ExitProcess, base/process_exit.h),
// and the supervisor restarts the daemon.
#pragma once

#include <chrono>
#include <functional>

namespace qbx::firewall {

// Runs `action` once after `delay` on a provider thread kept for deferred process-level
// work (created on first use, never stopped).
void RunAfter(std::chrono::nanoseconds delay, std::function<void()> action);

}  // namespace qbx::firewall
