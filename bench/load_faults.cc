// qbx-load-faults: the daemon under load and peer faults, as a user runs it. Not a test: it
// runs for minutes and prints figures.
//
// It makes a private namespace (tools/sandbox), starts the configuration database and the
// monitoring provider stand-ins there, and starts itself inside as the management plane: the
// transport-node proxy stand-in with two APHs, in process, keeping N pulls in flight from the
// master APH to the daemon's verticals (client data, runtime status and a summation chain).
// Every RESTART seconds one peer is restarted in turn: the database (kill -9 and start), the
// monitoring provider (kill -9 and start), the proxy (its servers stopped and started again).
// At the end it prints answered / refused / lost pulls, latency p50 / p99 of the answered
// ones, summation chain breaks, app-inits and registrations seen, and the daemon's RSS and
// thread count (first and last sample, and the largest).
//
//   qbx-load-faults [--inflight N] [--seconds S] [--restart-every S] [--log LEVEL]
//     defaults: 16 in flight, 60 s, restart every 60 s (0: never), log level WARNING.
//   An idle run: --inflight 0 --restart-every 0 --seconds 900 --log INFO; any app-init or
//   registration beyond the first round then means a connection dropped.
//
// Lost: a pull that got no answer within its 10 s deadline. Refused: any other failure
// (peer restarting, application not ready). Needs root (namespaces).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/sandbox/sandbox.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"

namespace {

using Clock = std::chrono::steady_clock;
using qbx::tools::TnProxyStandin;

constexpr char kMaster[] = "a0000000-0000-4000-8000-00000000b0a1";
constexpr char kStandby[] = "a0000000-0000-4000-8000-00000000b0a2";
constexpr int kVerticals = 8;

struct Args {
  int inflight = 16;
  int seconds = 60;
  int restartEvery = 60;
  std::string log = "WARNING";
};

bool ParseArgs(int argc, char* argv[], int from, Args& args) {
  for (int i = from; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--inflight") {
      args.inflight = std::max(0, std::min(256, std::atoi(v.c_str())));
    } else if (a == "--seconds") {
      args.seconds = std::max(1, std::min(24 * 3600, std::atoi(v.c_str())));
    } else if (a == "--restart-every") {
      args.restartEvery = std::max(0, std::atoi(v.c_str()));
    } else if (a == "--log") {
      args.log = v;
    } else {
      return false;
    }
  }
  return true;
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// <build>/bench/qbx-load-faults -> <build>/<rel>
std::string BuildPath(const std::string& rel) {
  std::string self = SelfPath();
  return self.substr(0, self.rfind("/bench/")) + "/" + rel;
}

// ------------------------------------------------------------------ inside: the management plane

struct Pulls {
  std::mutex mutex;
  uint64_t answered = 0, refused = 0, lost = 0, chainBreaks = 0;
  std::vector<uint32_t> micros;
  std::map<std::string, uint64_t> refusals;  // first words of the errors, counted
};

void Record(Pulls& pulls, const TnProxyStandin::PullAnswer& answer, Clock::duration took) {
  std::lock_guard<std::mutex> lock(pulls.mutex);
  if (answer.ok) {
    ++pulls.answered;
    pulls.micros.push_back(static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
  } else if (answer.code == 4) {  // DEADLINE_EXCEEDED: asked and never answered
    ++pulls.lost;
  } else {
    ++pulls.refused;
    ++pulls.refusals["code " + std::to_string(answer.code) + ": " + answer.error.substr(0, 60)];
  }
}

int Inside(const Args& args) {
  TnProxyStandin standin;
  standin.SetAphs({{kMaster, true}, {kStandby, false}});
  if (standin.StartInfo() < 0 || standin.StartForwarding() < 0) {
    std::printf("load: cannot serve the proxy\n");
    return 1;
  }
  std::printf("load: proxy listening\n");
  std::fflush(stdout);
  // Every vertical registered and acknowledged by the master before the load starts.
  const bool ready = standin.WaitFor(
      [&] { return standin.Registrations().size() >= kVerticals && standin.AppInitRequestCount(kMaster) >= kVerticals; },
      std::chrono::seconds(120));
  std::printf("load: daemon %s\n", ready ? "ready" : "NOT ready after 120 s");
  std::fflush(stdout);
  const int appInitsAtStart = standin.AppInitRequestCount(kMaster);
  const int registrationsAtStart = standin.RegistrationCount();
  const int subscriptionsAtStart = standin.SubscriptionCount();

  struct Target {
    const char* app;
    TnProxyStandin::PullKind kind;
    const char* type;
  };
  const std::vector<Target> targets = {
      {"AggSvc-L2-Switching", TnProxyStandin::PullKind::kClientData, "com.zumbra.qbx.management.aggservice.l2.MacTableMsg"},
      {"AggSvc-Routing", TnProxyStandin::PullKind::kRuntimeStatus, "zumbra.qbx.agg_service.l3.LogicalRouterStatusMsg"},
      {"DFWRuleStats", TnProxyStandin::PullKind::kOverwrite, ""},
  };
  Pulls pulls;
  const auto end = Clock::now() + std::chrono::seconds(args.seconds);
  std::atomic<bool> proxyDown{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < args.inflight; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = static_cast<uint64_t>(t); Clock::now() < end; ++i) {
        const Target& target = targets[i % targets.size()];
        TnProxyStandin::Pull pull;
        pull.kind = target.kind;
        pull.targetType = target.type;
        const auto start = Clock::now();
        const auto answer = standin.SendPull(kMaster, target.app, pull);
        Record(pulls, answer, Clock::now() - start);
        // A refusal comes at once while a peer restarts; do not spin on it.
        if (!answer.ok) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  // The summation chain of one vertical, as the management plane keeps it: each pull
  // acknowledges the last answered one; a refusal other than the peer's absence is counted.
  if (args.inflight > 0) {
    threads.emplace_back([&] {
      uint64_t seq = 1, acked = 0;
      while (Clock::now() < end) {
        TnProxyStandin::Pull pull;
        pull.kind = TnProxyStandin::PullKind::kSummation;
        pull.seq = seq;
        pull.ack = acked;
        const auto start = Clock::now();
        const auto answer = standin.SendPull(kMaster, "DFWRuleStats", pull);
        Record(pulls, answer, Clock::now() - start);
        if (answer.ok) {
          acked = seq++;
        } else {
          if (answer.code != 14 && answer.code != 4) {
            std::lock_guard<std::mutex> lock(pulls.mutex);
            ++pulls.chainBreaks;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      }
    });
  }
  // The proxy's turn among the restarted peers is the third of each round (the outside
  // restarts the database and the monitoring provider).
  std::thread restarter([&] {
    if (args.restartEvery <= 0) return;
    int round = 0;
    auto next = Clock::now() + std::chrono::seconds(args.restartEvery);
    while (next < end) {
      while (Clock::now() < next && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (Clock::now() >= end) break;
      if (++round % 3 == 0) {
        proxyDown = true;
        standin.StopForwarding();
        standin.StopInfo();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const bool up = standin.StartInfo() > 0 && standin.StartForwarding() > 0;
        proxyDown = false;
        std::printf("load: proxy restarted%s\n", up ? "" : " (FAILED to serve again)");
        std::fflush(stdout);
      }
      next += std::chrono::seconds(args.restartEvery);
    }
  });
  while (Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (auto& t : threads) t.join();
  restarter.join();

  std::sort(pulls.micros.begin(), pulls.micros.end());
  auto pct = [&](double p) -> double {
    if (pulls.micros.empty()) return 0;
    return pulls.micros[std::min(pulls.micros.size() - 1, static_cast<size_t>(p * pulls.micros.size()))] / 1000.0;
  };
  std::printf("load: pulls answered %llu refused %llu lost %llu; p50 %.2f ms p99 %.2f ms; summation pulls refused %llu\n",
              static_cast<unsigned long long>(pulls.answered), static_cast<unsigned long long>(pulls.refused),
              static_cast<unsigned long long>(pulls.lost), pct(0.50), pct(0.99),
              static_cast<unsigned long long>(pulls.chainBreaks));
  for (const auto& [why, n] : pulls.refusals) {
    std::printf("load:   refused %llu x %s\n", static_cast<unsigned long long>(n), why.c_str());
  }
  std::printf("load: app-inits with the master %d (at start %d), registrations %d (at start %d), "
              "proxy subscriptions %d (at start %d)\n",
              standin.AppInitRequestCount(kMaster), appInitsAtStart, standin.RegistrationCount(), registrationsAtStart,
              standin.SubscriptionCount(), subscriptionsAtStart);
  std::fflush(stdout);
  return 0;
}

// ------------------------------------------------------------------ outside: namespace and peers

struct Usage {
  long rssKb = 0;
  int threads = 0;
};

Usage Sample(pid_t pid) {
  Usage u;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) u.rssKb = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) u.threads = std::atoi(line.c_str() + 8);
  }
  return u;
}

std::string Output(const qbx::e2e::Namespace& ns, pid_t pid) {
  std::ifstream in(ns.OutputPath(pid));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitOutput(qbx::e2e::Namespace& ns, pid_t pid, const std::string& text, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Output(ns, pid).find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    while (ns.NextSyslog(std::chrono::milliseconds(0))) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int Outside(const Args& args) {
  qbx::e2e::Namespace::Options options;
  options.files["/etc/qbx_issue"] = "node-type: qbx-krx\n";
  options.files["/etc/zumbra/qbx-exporter/config.json"] = "{\"logLevel\": 3}";
  auto created = qbx::e2e::Namespace::Create(options);
  if (!created.ns) {
    std::fprintf(stderr, "load: no namespace: %s\n", created.error.c_str());
    return 1;
  }
  qbx::e2e::Namespace& ns = *created.ns;
  const std::string nodedb = BuildPath("tools/nodedb_standin/qbx-nodedb-standin");
  const std::string monitoring = BuildPath("tools/monitoring_standin/qbx-monitoring-standin");
  const std::string exporter = BuildPath("daemon/qbx-exporter");
  auto startNodeDb = [&] {
    pid_t pid = ns.Spawn({nodedb});
    if (pid <= 0 || !WaitOutput(ns, pid, "serving on", std::chrono::seconds(30))) std::printf("load: database did not start\n");
    return pid;
  };
  auto startMonitoring = [&] {
    pid_t pid = ns.Spawn({monitoring});
    if (pid <= 0 || !WaitOutput(ns, pid, "listening on", std::chrono::seconds(30))) {
      std::printf("load: monitoring provider did not start\n");
    }
    return pid;
  };
  pid_t db = startNodeDb();
  pid_t mon = startMonitoring();
  std::vector<std::string> inner = {SelfPath(), "--inside", "--inflight", std::to_string(args.inflight), "--seconds",
                                    std::to_string(args.seconds), "--restart-every", std::to_string(args.restartEvery)};
  pid_t load = ns.Spawn(inner);
  if (load <= 0 || !WaitOutput(ns, load, "load: proxy listening", std::chrono::seconds(30))) {
    std::printf("load: the management plane did not start\n%s", load > 0 ? Output(ns, load).c_str() : "");
    return 1;
  }
  pid_t daemon = ns.Spawn({exporter}, {{"QBX_LOG_LEVEL", args.log}});
  if (daemon <= 0) return 1;
  if (!WaitOutput(ns, load, "load: daemon", std::chrono::seconds(150))) {
    std::printf("load: no word from the management plane\n");
  }
  const Usage first = Sample(daemon);
  Usage last = first, peak = first;
  int acks = 0;
  int oldSeq = 0;
  auto drain = [&] {
    while (auto record = ns.NextSyslog(std::chrono::milliseconds(0))) {
      if (record->find("Received REGISTRATION_ACK") != std::string::npos) ++acks;
      if (record->find("Got request old seq") != std::string::npos ||
          record->find("Got bad request seq") != std::string::npos) {
        ++oldSeq;
      }
    }
  };
  const auto start = Clock::now();
  auto nextRestart = start + std::chrono::seconds(args.restartEvery);
  auto nextSample = start;
  int round = 0;
  for (;;) {
    drain();
    if (ns.WaitForExit(load, std::chrono::milliseconds(50))) break;
    const auto now = Clock::now();
    if (now >= nextSample) {
      const Usage u = Sample(daemon);
      if (u.rssKb > 0) last = u;
      peak.rssKb = std::max(peak.rssKb, u.rssKb);
      peak.threads = std::max(peak.threads, u.threads);
      nextSample = now + std::chrono::seconds(1);
    }
    if (args.restartEvery > 0 && now >= nextRestart) {
      ++round;
      if (round % 3 == 1) {
        ns.Signal(db, SIGKILL);
        ns.WaitForExit(db, std::chrono::seconds(5));
        db = startNodeDb();
        std::printf("load: database restarted\n");
      } else if (round % 3 == 2) {
        ns.Signal(mon, SIGKILL);
        ns.WaitForExit(mon, std::chrono::seconds(5));
        mon = startMonitoring();
        std::printf("load: monitoring provider restarted\n");
      }
      std::fflush(stdout);
      nextRestart += std::chrono::seconds(args.restartEvery);
    }
    if (now > start + std::chrono::seconds(args.seconds + 300)) {
      std::printf("load: the management plane did not finish\n");
      break;
    }
  }
  std::printf("%s", Output(ns, load).c_str());
  const bool alive = ::kill(daemon, 0) == 0;
  std::printf("load: daemon %s; RSS %ld -> %ld kB (peak %ld), threads %d -> %d (peak %d); REGISTRATION_ACK records %d; "
              "summation requests refused as old or bad %d\n",
              alive ? "alive" : "GONE", first.rssKb, last.rssKb, peak.rssKb, first.threads, last.threads, peak.threads,
              acks, oldSeq);
  ns.Signal(daemon, SIGTERM);
  for (int i = 0; i < 600 && !ns.WaitForExit(daemon, std::chrono::milliseconds(50)); ++i) drain();
  return alive ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  ::signal(SIGPIPE, SIG_IGN);
  Args args;
  const bool inside = argc > 1 && std::string(argv[1]) == "--inside";
  if (!ParseArgs(argc, argv, inside ? 2 : 1, args)) {
    std::fprintf(stderr, "usage: qbx-load-faults [--inflight N] [--seconds S] [--restart-every S] [--log LEVEL]\n");
    return 2;
  }
  return inside ? Inside(args) : Outside(args);
}
