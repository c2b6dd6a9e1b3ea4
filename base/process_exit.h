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
// The end takes a while (the log may be read slowly) and the servers still run meanwhile.
// So the removal first marks the process as ending: from then on no file is registered, and
// the servers' path checks and retries see the mark (ProcessIsEnding) and neither listen
// again, announce their address nor record a lost path. Every file the end removed stays
// removed.
//
// In an AddressSanitizer build ExitProcess also runs the leak check that _Exit would skip;
// a leak found there ends the process with kLeakExitStatus, whatever status was asked for.
//
// Threading: every function may be called from any thread; one mutex guards the registry.
// None may be called from a signal handler.
#pragma once

#include <cstdint>
#include <string>

#include "base/own_directory.h"

namespace qbx {

// What a process that found a leak at exit ends with (the leak checker's own default).
constexpr int kLeakExitStatus = 23;

// Records `path` as one of the process's socket files, bound as the file `identity`.
// Returns the registration's handle; 0 once the process is ending: nothing is registered
// then, and the caller removes its file itself.
uint64_t RegisterSocketFile(const std::string& path, const FileIdentity& identity);
// Removes the file of registration `handle` when it is still the file registered (another
// server, of this process or a newer one, may have put its own there), and forgets it.
void RemoveRegisteredSocketFile(uint64_t handle);
// The end's first step: marks the process as ending, then does the same for every
// registration.
void RemoveSocketFilesForExit();
// Whether RemoveSocketFilesForExit has run: the process is on its way out.
bool ProcessIsEnding();
// Takes the mark back, so that a test can go on after it played the end.
void ForgetProcessEndingForTest();

// Removes the socket files, gives the log the records still waiting as Logger::FlushAtExit
// (logger.h) says, runs the leak check of a sanitizer build, flushes stdio and ends the
// process with `status` (kLeakExitStatus when a leak was found).
[[noreturn]] void ExitProcess(int status);

}  // namespace qbx
