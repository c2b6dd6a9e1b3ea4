// qbx-tnproxy-standin: the stand-in transport-node proxy on "tcp://127.0.0.1:9004" with its
// forwarding endpoint on "tcp://127.0.0.1:4096" and N management-plane APHs behind it (the
// first is the master). Usage: qbx-tnproxy-standin [N]   (1 <= N <= 16, default 2)
//
// Commands on standard input, one a line:
//   aphs                 print the APH list
//   master I             make APH I the master and push the list
//   remove I             remove APH I and push the list
//   empty                push an empty APH list
//   drop-forwarding      stop the forwarding endpoint (restore-forwarding starts it again)
//   end-subscriptions    end every proxy-information subscription
//   appinit I reply|fail|hold, release ok|fail
//   records              print the app-init counts and the messages the APHs received
//   quit
// Stops on SIGINT, SIGTERM or "quit".
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/tnproxy_standin/tnproxy_standin.h"

namespace {

using qbx::tools::TnProxyStandin;

std::string AphUuid(int i) {
  char text[40];
  std::snprintf(text, sizeof(text), "a0000000-0000-4000-8000-%012d", i + 1);
  return text;
}

void PrintAphs(const std::vector<TnProxyStandin::Aph>& aphs) {
  for (size_t i = 0; i < aphs.size(); ++i) {
    std::printf("tnproxy-standin: APH %zu %s%s\n", i, aphs[i].uuid.c_str(), aphs[i].master ? " (master)" : "");
  }
  if (aphs.empty()) std::printf("tnproxy-standin: no APHs\n");
}

bool ParseIndex(std::istringstream& in, const std::vector<TnProxyStandin::Aph>& aphs, size_t& index) {
  long value = -1;
  if (!(in >> value) || value < 0 || static_cast<size_t>(value) >= aphs.size()) {
    std::printf("tnproxy-standin: no such APH\n");
    return false;
  }
  index = static_cast<size_t>(value);
  return true;
}

void Commands(TnProxyStandin* standin, std::vector<TnProxyStandin::Aph> aphs) {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    size_t index = 0;
    if (cmd == "aphs") {
      PrintAphs(aphs);
    } else if (cmd == "master" && ParseIndex(in, aphs, index)) {
      for (size_t i = 0; i < aphs.size(); ++i) aphs[i].master = (i == index);
      standin->SetAphs(aphs);
      PrintAphs(aphs);
    } else if (cmd == "remove" && ParseIndex(in, aphs, index)) {
      aphs.erase(aphs.begin() + static_cast<long>(index));
      standin->SetAphs(aphs);
      PrintAphs(aphs);
    } else if (cmd == "empty") {
      aphs.clear();
      standin->SetAphs(aphs);
    } else if (cmd == "drop-forwarding") {
      standin->StopForwarding();
      std::printf("tnproxy-standin: forwarding endpoint stopped\n");
    } else if (cmd == "restore-forwarding") {
      std::printf("tnproxy-standin: forwarding endpoint %s\n",
                  standin->StartForwarding(TnProxyStandin::kForwardingAddress) > 0 ? "started" : "failed to start");
    } else if (cmd == "end-subscriptions") {
      standin->EndSubscriptions();
    } else if (cmd == "appinit" && ParseIndex(in, aphs, index)) {
      std::string mode;
      in >> mode;
      const auto m = mode == "fail"   ? TnProxyStandin::AppInitMode::kFail
                     : mode == "hold" ? TnProxyStandin::AppInitMode::kHold
                                      : TnProxyStandin::AppInitMode::kReply;
      standin->SetAppInitMode(aphs[index].uuid, m);
    } else if (cmd == "release") {
      std::string how;
      in >> how;
      standin->ReleaseHeldAppInits(how != "fail");
    } else if (cmd == "records") {
      for (const auto& aph : aphs) {
        std::printf("tnproxy-standin: %s app-init requests: %d\n", aph.uuid.c_str(),
                    standin->AppInitRequestCount(aph.uuid));
      }
      for (const auto& r : standin->ReceivedMessages()) {
        std::printf("tnproxy-standin: %s %s: %zu bytes\n", r.aph.c_str(), r.publish ? "publish" : "request",
                    r.msg.payload().size());
      }
    } else if (cmd == "quit") {
      break;
    } else if (!cmd.empty()) {
      std::printf("tnproxy-standin: unknown command '%s'\n", cmd.c_str());
    }
    std::fflush(stdout);
  }
  kill(getpid(), SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  // Blocked before any thread starts, so only sigwait below receives them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  long count = 2;
  if (argc > 1) {
    char* end = nullptr;
    count = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || count < 1 || count > 16) {
      std::fprintf(stderr, "usage: qbx-tnproxy-standin [N]   (1 <= N <= 16)\n");
      return 2;
    }
  }
  std::vector<TnProxyStandin::Aph> aphs;
  for (long i = 0; i < count; ++i) aphs.push_back({AphUuid(static_cast<int>(i)), i == 0});

  TnProxyStandin standin;
  standin.SetAphs(aphs);
  if (standin.StartInfo(TnProxyStandin::kInfoAddress) < 0 ||
      standin.StartForwarding(TnProxyStandin::kForwardingAddress) < 0) {
    std::fprintf(stderr, "tnproxy-standin: cannot listen on %s and %s\n", TnProxyStandin::kInfoAddress,
                 TnProxyStandin::kForwardingAddress);
    return 1;
  }
  std::printf("tnproxy-standin: listening on %s (forwarding %s), node %s\n", TnProxyStandin::kInfoAddress,
              TnProxyStandin::kForwardingAddress, TnProxyStandin::kDefaultTnUuid);
  PrintAphs(aphs);
  std::fflush(stdout);
  std::thread(Commands, &standin, aphs).detach();
  int received = 0;
  sigwait(&stopSignals, &received);
  standin.StopForwarding();
  standin.StopInfo();
  std::printf("tnproxy-standin: stopped\n");
  std::fflush(stdout);
  std::_Exit(0);  // the command thread may still wait on standard input
}
