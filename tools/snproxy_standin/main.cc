// qbx-snproxy-standin: the stand-in smart-NIC proxy on "tcp://127.0.0.1:5001" with its
// forwarding endpoint on "tcp://127.0.0.1:4999" and N stand-in smart NICs behind it, which
// answer the host's requests. Usage: qbx-snproxy-standin [N]   (1 <= N <= 16, default 2)
//
// Commands on standard input, one a line:
//   nics                       print the smart NICs and how each answers
//   answer I | late I MS | silent I | fail I CODE   how smart NIC I answers from now on
//   counter I KEY VALUE        add a counter to smart NIC I's statistics answers
//   status I ENTRY             add an entry to smart NIC I's runtime-status answers
//   release                    answer every held request now
//   peers                      push the smart-NIC list again
//   registrations              print the endpoint ids registered with the forwarding side
//   requests                   print how many requests each smart NIC received
//   quit
// Stops on SIGINT, SIGTERM or "quit".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/snproxy_standin/snproxy_standin.h"
#include "tools/standin_common/standin_common.h"

namespace {

using qbx::tools::SnProxyStandin;

const char* ModeName(SnProxyStandin::NicMode mode) {
  switch (mode) {
    case SnProxyStandin::NicMode::kAnswer: return "answers at once";
    case SnProxyStandin::NicMode::kLate: return "answers late";
    case SnProxyStandin::NicMode::kSilent: return "does not answer";
    case SnProxyStandin::NicMode::kFail: return "fails";
  }
  return "?";
}

void Commands(SnProxyStandin* standin, std::vector<std::string> nics, pid_t self) {
  std::map<std::string, SnProxyStandin::NicBehaviour> behaviours;
  for (const auto& nic : nics) behaviours[nic] = SnProxyStandin::NicBehaviour();
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    if (!(in >> command)) continue;
    if (command == "quit") break;
    if (command == "nics" || command == "requests") {
      for (size_t i = 0; i < nics.size(); ++i) {
        std::printf("snproxy-standin: SN %zu %s %s, %d request(s)\n", i, nics[i].c_str(),
                    ModeName(behaviours[nics[i]].mode), standin->NicRequestCount(nics[i]));
      }
    } else if (command == "registrations") {
      for (const auto& [id, address] : standin->RegisteredIds()) {
        std::printf("snproxy-standin: %s at %s\n", id.c_str(), address.c_str());
      }
    } else if (command == "release") {
      standin->ReleaseHeld();
    } else if (command == "peers") {
      standin->SetPeers(nics);
    } else {
      long index = -1;
      if (!(in >> index) || index < 0 || static_cast<size_t>(index) >= nics.size()) {
        std::printf("snproxy-standin: unknown command or no such smart NIC\n");
        std::fflush(stdout);
        continue;
      }
      auto& b = behaviours[nics[static_cast<size_t>(index)]];
      bool ok = true;
      if (command == "answer") {
        b.mode = SnProxyStandin::NicMode::kAnswer;
      } else if (command == "late") {
        long ms = 0;
        ok = static_cast<bool>(in >> ms) && ms >= 0;
        b.mode = SnProxyStandin::NicMode::kLate;
        b.lateBy = std::chrono::milliseconds(ms);
      } else if (command == "silent") {
        b.mode = SnProxyStandin::NicMode::kSilent;
      } else if (command == "fail") {
        ok = static_cast<bool>(in >> b.failCode) && b.failCode > 0 && b.failCode <= 16;
        b.mode = SnProxyStandin::NicMode::kFail;
      } else if (command == "counter") {
        std::string key;
        double value = 0;
        ok = static_cast<bool>(in >> key >> value);
        if (ok) b.counters.emplace_back(key, value);
      } else if (command == "status") {
        std::string entry;
        ok = static_cast<bool>(in >> entry);
        if (ok) b.statusEntries.push_back(entry);
      } else {
        ok = false;
      }
      if (ok) {
        standin->ConfigureNic(nics[static_cast<size_t>(index)], b);
        std::printf("snproxy-standin: SN %ld %s\n", index, ModeName(b.mode));
      } else {
        std::printf("snproxy-standin: bad arguments\n");
      }
    }
    std::fflush(stdout);
  }
  kill(self, SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so only the wait below receives the stop signals.
  const sigset_t stopSignals = qbx::tools::BlockStopSignals();

  long count = 2;
  if (!qbx::tools::ParseCountArgument(argc, argv, "qbx-snproxy-standin", count)) return 2;
  std::vector<std::string> nics;
  SnProxyStandin standin;
  for (long i = 0; i < count; ++i) {
    nics.push_back(qbx::tools::NumberedUuid("5e000000", static_cast<int>(i)));
    standin.ConfigureNic(nics.back(), SnProxyStandin::NicBehaviour());
  }
  standin.SetPeers(nics);
  if (standin.StartInfo(SnProxyStandin::kInfoAddress) < 0 ||
      standin.StartForwarding(SnProxyStandin::kForwardingAddress) < 0) {
    std::fprintf(stderr, "snproxy-standin: cannot listen on %s and %s\n", SnProxyStandin::kInfoAddress,
                 SnProxyStandin::kForwardingAddress);
    return 1;
  }
  std::printf("snproxy-standin: listening on %s (forwarding %s), %ld smart NIC(s)\n", SnProxyStandin::kInfoAddress,
              SnProxyStandin::kForwardingAddress, count);
  for (size_t i = 0; i < nics.size(); ++i) std::printf("snproxy-standin: SN %zu %s\n", i, nics[i].c_str());
  std::fflush(stdout);
  std::thread(Commands, &standin, nics, getpid()).detach();
  qbx::tools::WaitForStopSignal(stopSignals);
  standin.StopForwarding();
  standin.StopInfo();
  std::printf("snproxy-standin: stopped\n");
  std::fflush(stdout);
  std::_Exit(0);  // the command thread may still wait on standard input
}
