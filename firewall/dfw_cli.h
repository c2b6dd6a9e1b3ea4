// The firewall command set of the command-line server. Of the firewall commands, this node
// serves the two whose behaviour does not depend on the firewall kernel module:
// - "set/loglevel <level>": sets the daemon's global log level (1..6, or fatal, error,
//   warning, info, debug, verbose);
// - "set/stop": answers, then ends the process with status 0 after 10 s so that the
//   supervisor restarts it.
// Any other command is answered with the table's "is not a valid command" error.
//
// Threading: the callbacks run on the command-line server's thread; the exit runs on the
// deferred-work thread of process_exit.h (or where the injected scheduler runs it).
#pragma once

#include <chrono>
#include <functional>

#include "firewall/cli_server.h"

struct DfwCliOptions {
  std::chrono::nanoseconds stopDelay = std::chrono::seconds(10);
  // Runs the action once after the delay; defaults to qbx::firewall::RunAfter.
  std::function<void(std::chrono::nanoseconds, std::function<void()>)> schedule;
  // Ends the process; defaults to qbx::ExitProcess.
  std::function<void(int)> exitProcess;
};

// Registers the command set with the process's table; 0, or -1 when a name was taken.
int dfwRegisterCLI();
int dfwRegisterCLI(CliCommandTable& table, DfwCliOptions options);
