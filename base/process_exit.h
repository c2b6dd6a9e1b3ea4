// The one way the daemon ends itself: the orderly stop, a failed start, a configuration
// database that refuses the client's changes, the firewall module's exits.
//
// The process ends with _Exit: detached threads (the database loop and the status source's,
// among others) still run then, and static destructors must not tear down objects under
// them. So nothing else would remove the Unix-domain socket files the daemon listens on:
// each server registers its file here once it is bound, and removes it through here when
// it stops. ExitProcess removes what is still registered, but only a file that is still
// the one registered (a daemon started since may have replaced it).
//
// In an AddressSanitizer build ExitProcess also runs the leak check that _Exit would skip;
// a leak found there ends the process with kLeakExitStatus, whatever status was asked for.
//
// Threading: every function may be called from any thread; one mutex guards the registry.
// ExitProcess may not be called from a signal handler.
#pragma once

#include <cstdint>
#include <string>

namespace qbx {

// What a process that found a leak at exit ends with (the leak checker's own default).
constexpr int kLeakExitStatus = 23;

// Records `path` as one of the process's socket files, with the identity of the file now
// there. Returns the registration's handle, 0 when there is no file at `path`.
uint64_t RegisterSocketFile(const std::string& path);
// Removes the file of registration `handle` when it is still the file registered (another
// server, of this process or a newer one, may have put its own there), and forgets it.
void RemoveRegisteredSocketFile(uint64_t handle);
// The same for every registration.
void RemoveRegisteredSocketFiles();

// Removes the socket files, gives the log the records still waiting as Logger::FlushAtExit
// (logger.h) says, runs the leak check of a sanitizer build, flushes stdio and ends the
// process with `status` (kLeakExitStatus when a leak was found).
[[noreturn]] void ExitProcess(int status);

}  // namespace qbx
