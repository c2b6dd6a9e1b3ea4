// qbx-sandbox: runs one command inside a private network and mount namespace (loopback
// only; fresh tmpfs over the daemon's folders; "/dev/log" captured) and prints every syslog
// record of the processes inside as it arrives. The command's own output goes to the
// terminal too. Exits with the command's exit status. Needs root.
//
//   qbx-sandbox [--file PATH=CONTENTS]... -- COMMAND [ARGS...]
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/sandbox/sandbox.h"

namespace {

int Usage() {
  std::cerr << "usage: qbx-sandbox [--file PATH=CONTENTS]... -- COMMAND [ARGS...]\n";
  return 2;
}

// Copies what the command wrote since `offset` to our stdout.
void Relay(const std::string& path, std::streamoff& offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  in.seekg(offset);
  std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  offset += static_cast<std::streamoff>(chunk.size());
  std::cout << chunk << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  qbx::e2e::Namespace::Options options;
  std::vector<std::string> command;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--file" && i + 1 < argc) {
      std::string spec = argv[++i];
      auto eq = spec.find('=');
      if (eq == std::string::npos || spec.empty() || spec[0] != '/') return Usage();
      options.files[spec.substr(0, eq)] = spec.substr(eq + 1);
      continue;
    }
    return Usage();
  }
  for (; i < argc; ++i) command.emplace_back(argv[i]);
  if (command.empty() || command[0].empty() || command[0][0] != '/') return Usage();

  auto created = qbx::e2e::Namespace::Create(options);
  if (!created.ns) {
    std::cerr << "qbx-sandbox: cannot create the namespace: " << created.error << "\n";
    return 1;
  }
  auto& ns = *created.ns;
  pid_t pid = ns.Spawn(command);
  if (pid < 0) {
    std::cerr << "qbx-sandbox: cannot start " << command[0] << "\n";
    return 1;
  }
  std::streamoff offset = 0;
  int status = 0;
  for (;;) {
    Relay(ns.OutputPath(pid), offset);
    while (auto record = ns.NextSyslog(std::chrono::milliseconds(100))) {
      std::cout << "syslog: " << *record << "\n";
    }
    if (auto exited = ns.WaitForExit(pid, std::chrono::milliseconds(1))) {
      status = *exited;
      break;
    }
  }
  while (auto record = ns.NextSyslog(std::chrono::milliseconds(200))) {
    std::cout << "syslog: " << *record << "\n";
  }
  Relay(ns.OutputPath(pid), offset);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
