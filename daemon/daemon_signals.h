// What the daemon does with its signals before the aggregation-service manager takes them
// over, and the program name it is known by.
//
// None of these runs in a signal handler: the signals are blocked in every thread and taken
// with sigwaitinfo on the main thread, which then calls these on an ordinary stack.
#pragma once

#include <string>

#include "base/log_config.h"

namespace qbx {

// The last path element of the invocation name, trimmed of white space at both ends; ""
// for a null name or one that ends in "/".
std::string ProgramNameFromInvocation(const char* invocation);

// SIGUSR1: info becomes verbose, any other level becomes info (logged when above warning).
void SigUser1Handler(int signum);

// SIGHUP: re-reads the level from <configRoot><component>/config.json and applies it unless
// the read failed.
void ReloadLogLevelOnHangup(const std::string& component,
                            const std::string& configRoot = kComponentConfigRoot);

}  // namespace qbx
