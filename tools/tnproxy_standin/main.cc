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
//   end-stream I REASON  end the stream to APH I alone; REASON: peer-close, connection-lost,
//                        peer-removed, transport-shutdown or idle
//   appinit I reply|fail|hold, appinit I delay MS, release ok|fail
//   records              print the app-init counts and the messages the APHs received
//   registrations        print the endpoint ids registered with the forwarding side
//   pull APP KIND [ARGS]         send a pull from the master APH to application APP
//   pull-from I APP KIND [ARGS]  the same from APH I
//       KIND and ARGS: client-data TYPE [ID...] | summation SEQ ACK | overwrite |
//                      on-demand TYPE [ID...] | runtime-status TYPE
//     The answer is printed as "pull KIND to APP: ok ..." followed by the reply in
//     protobuf text form (a summary when it is long), or "pull KIND to APP: failed ...".
//   load N APP KIND [ARGS]  N more threads pull from the master APH again and again, each
//                           as soon as its last pull was answered ("load started")
//   stop-load               ends every load and prints "load stopped: OK ok, F failed,
//                           T timed out" (a timed-out pull was never answered)
//   quit
// Stops on SIGINT, SIGTERM or "quit".
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/text_format.h>

#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "tools/standin_common/standin_common.h"

namespace {

using qbx::tools::TnProxyStandin;

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

// Replies longer than this are summarised instead of printed whole.
constexpr size_t kMaxPrintedReply = 8192;

bool ParsePull(std::istringstream& in, TnProxyStandin::Pull& pull) {
  std::string kind;
  if (!(in >> kind) || !TnProxyStandin::ParsePullKind(kind, pull.kind)) {
    std::printf("tnproxy-standin: pull kinds: client-data, summation, overwrite, on-demand, runtime-status\n");
    return false;
  }
  switch (pull.kind) {
    case TnProxyStandin::PullKind::kSummation:
      if (!(in >> pull.seq >> pull.ack)) {
        std::printf("tnproxy-standin: usage: pull APP summation SEQ ACK\n");
        return false;
      }
      return true;
    case TnProxyStandin::PullKind::kOverwrite:
      return true;
    default: {
      if (!(in >> pull.targetType)) {
        std::printf("tnproxy-standin: usage: pull APP %s TYPE [ID...]\n", TnProxyStandin::PullKindName(pull.kind));
        return false;
      }
      std::string id;
      while (in >> id) pull.targetIds.push_back(id);
      return true;
    }
  }
}

void PrintAnswer(const std::string& app, const TnProxyStandin::Pull& pull, const TnProxyStandin::PullAnswer& answer) {
  const char* kind = TnProxyStandin::PullKindName(pull.kind);
  if (!answer.ok) {
    std::printf("tnproxy-standin: pull %s to %s: failed (code %d): %s\n", kind, app.c_str(), answer.code,
                answer.error.c_str());
    return;
  }
  std::printf("tnproxy-standin: pull %s to %s: ok, correlation %s, %zu bytes\n", kind, app.c_str(),
              answer.correlationId.c_str(), answer.reply.payload().size());
  std::string text;
  if (answer.reply.payload().size() <= kMaxPrintedReply) {
    google::protobuf::TextFormat::PrintToString(answer.mp, &text);
  } else {
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    answer.mp.GetReflection()->ListFields(answer.mp, &fields);
    text = "(long reply; fields:";
    for (const auto* f : fields) text += " " + f->name();
    text += ")\n";
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) std::printf("tnproxy-standin:   %s\n", line.c_str());
}

// Pulls in flight all the time, from a few threads; failed pulls (a daemon that is not
// there) are retried after a pause, not in a spin.
class Load {
 public:
  ~Load() { Stop(); }
  void Start(TnProxyStandin* standin, const std::string& aph, const std::string& app, const TnProxyStandin::Pull& pull,
             int threads) {
    stop_ = false;
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this, standin, aph, app, pull] {
        while (!stop_) {
          const auto answer = standin->SendPull(aph, app, pull);
          if (answer.ok) {
            ++ok_;
            continue;
          }
          ++failed_;
          if (answer.code == 4) ++timedOut_;  // DEADLINE_EXCEEDED
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      });
    }
  }
  // Joins the threads (each ends after its pull in flight).
  void Stop() {
    stop_ = true;
    for (auto& t : threads_) t.join();
    threads_.clear();
  }
  void ResetCounts() { ok_ = failed_ = timedOut_ = 0; }
  int ok() const { return ok_; }
  int failed() const { return failed_; }
  int timedOut() const { return timedOut_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> ok_{0}, failed_{0}, timedOut_{0};
  std::vector<std::thread> threads_;
};

void Commands(TnProxyStandin* standin, std::vector<TnProxyStandin::Aph> aphs) {
  Load load;
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
    } else if (cmd == "end-stream" && ParseIndex(in, aphs, index)) {
      // The transport's close-reason numbers the daemon acts on.
      static const std::pair<const char*, uint32_t> kReasons[] = {
          {"peer-close", 2}, {"connection-lost", 3}, {"peer-removed", 4}, {"transport-shutdown", 5}, {"idle", 6}};
      std::string name;
      in >> name;
      uint32_t reason = 0;
      for (const auto& [text, number] : kReasons) {
        if (name == text) reason = number;
      }
      if (reason == 0) {
        std::printf("tnproxy-standin: usage: end-stream I peer-close|connection-lost|peer-removed|"
                    "transport-shutdown|idle\n");
      } else {
        std::printf("tnproxy-standin: stream to APH %zu %s\n", index,
                    standin->EndAphStream(aphs[index].uuid, reason) ? "ended" : "not watched by anyone");
      }
    } else if (cmd == "appinit" && ParseIndex(in, aphs, index)) {
      std::string mode;
      in >> mode;
      const auto m = mode == "fail"    ? TnProxyStandin::AppInitMode::kFail
                     : mode == "hold"  ? TnProxyStandin::AppInitMode::kHold
                     : mode == "delay" ? TnProxyStandin::AppInitMode::kDelay
                                       : TnProxyStandin::AppInitMode::kReply;
      long delayMs = 0;
      if (m == TnProxyStandin::AppInitMode::kDelay && (!(in >> delayMs) || delayMs < 0)) {
        std::printf("tnproxy-standin: usage: appinit I delay MS\n");
      } else {
        if (m == TnProxyStandin::AppInitMode::kDelay) {
          standin->SetAppInitDelay(aphs[index].uuid, std::chrono::milliseconds(delayMs));
        }
        standin->SetAppInitMode(aphs[index].uuid, m);
      }
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
    } else if (cmd == "registrations") {
      const auto registrations = standin->Registrations();
      for (const auto& [id, address] : registrations) {
        std::printf("tnproxy-standin: endpoint %s at %s\n", id.c_str(), address.c_str());
      }
      if (registrations.empty()) std::printf("tnproxy-standin: no endpoints registered\n");
    } else if (cmd == "pull" || cmd == "pull-from") {
      std::string aph;
      if (cmd == "pull-from") {
        if (ParseIndex(in, aphs, index)) aph = aphs[index].uuid;
      } else {
        for (const auto& a : aphs) {
          if (a.master) aph = a.uuid;
        }
        if (aph.empty()) std::printf("tnproxy-standin: no master APH\n");
      }
      std::string app;
      TnProxyStandin::Pull pull;
      if (aph.empty()) {
        // reported above
      } else if (!(in >> app)) {
        std::printf("tnproxy-standin: usage: pull APP KIND [ARGS]\n");
      } else if (ParsePull(in, pull)) {
        PrintAnswer(app, pull, standin->SendPull(aph, app, pull));
      }
    } else if (cmd == "load") {
      long threads = 0;
      std::string app;
      TnProxyStandin::Pull pull;
      std::string aph;
      for (const auto& a : aphs) {
        if (a.master) aph = a.uuid;
      }
      if (!(in >> threads >> app) || threads < 1 || threads > 64) {
        std::printf("tnproxy-standin: usage: load N APP KIND [ARGS] (1 <= N <= 64)\n");
      } else if (aph.empty()) {
        std::printf("tnproxy-standin: no master APH\n");
      } else if (ParsePull(in, pull)) {
        load.Start(standin, aph, app, pull, static_cast<int>(threads));
        std::printf("tnproxy-standin: load started\n");
      }
    } else if (cmd == "stop-load") {
      load.Stop();
      std::printf("tnproxy-standin: load stopped: %d ok, %d failed, %d timed out\n", load.ok(), load.failed(),
                  load.timedOut());
      load.ResetCounts();
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
  // Before any thread starts, so only the wait below receives the stop signals.
  const sigset_t stopSignals = qbx::tools::BlockStopSignals();

  long count = 2;
  if (!qbx::tools::ParseCountArgument(argc, argv, "qbx-tnproxy-standin", count)) return 2;
  std::vector<TnProxyStandin::Aph> aphs;
  for (long i = 0; i < count; ++i) aphs.push_back({qbx::tools::NumberedUuid("a0000000", static_cast<int>(i)), i == 0});

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
  qbx::tools::WaitForStopSignal(stopSignals);
  standin.StopForwarding();
  standin.StopInfo();
  std::printf("tnproxy-standin: stopped\n");
  std::fflush(stdout);
  std::_Exit(0);  // the command thread may still wait on standard input
}
