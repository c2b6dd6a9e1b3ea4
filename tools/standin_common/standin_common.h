// The start and stop of a stand-in program: stop signals, its count argument, and the uuids
// of the peers it numbers.
#pragma once

#include <csignal>
#include <string>

namespace qbx::tools {

// Ignores SIGPIPE and blocks SIGINT and SIGTERM. Call it before any thread starts, so that
// only WaitForStopSignal receives them.
sigset_t BlockStopSignals();
void WaitForStopSignal(const sigset_t& signals);

// The optional first argument N (1 <= N <= 16; `count` keeps its default without one).
// False, with the usage of `program` on standard error, when it is not such a number.
bool ParseCountArgument(int argc, char** argv, const char* program, long& count);

// "<firstGroup>-0000-4000-8000-<i + 1 in 12 digits>": the uuid of a numbered stand-in peer.
std::string NumberedUuid(const char* firstGroup, int i);

}  // namespace qbx::tools
