// What the process puts right before anything else runs: descriptors 0-2 and the number of
// descriptors it may hold.
//
// A supervisor may start the daemon with 0-2 closed. The next file opened then takes one of
// them (the instance lock took 2), and whatever the libraries write to "stderr" (gRPC's
// error lines, an abort's text) lands in that file, over the pid of the lock. And the common
// soft limit of 1,024 descriptors is one burst of connections away from listeners that stop
// accepting, where the hard limit is usually far higher.
//
// Threading: both run on the main thread before any other thread exists.
#pragma once

#include <string>

namespace qbx {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed; the open ones are left
// as they are. Logs nothing (nothing may be open to log to yet).
void OpenStandardDescriptors();

// Raises the soft limit of open descriptors (RLIMIT_NOFILE) to the hard one (to the kernel's
// ceiling when the hard one is unlimited); never lowers it. Empty when that is done or was
// not needed, otherwise why not; the caller logs it.
std::string RaiseDescriptorLimit();

}  // namespace qbx
