// Pulls over the management-plane road on loopback: the stand-in's APH sends a request to a
// vertical through the host service, the queue client, the aggregation client and back
// (RespondMsg completes the call), against a bare gRPC unary call of the same request and
// reply sizes between the same two processes' sides, in the same run.
//
//   small     a client-data pull of one target (one small status message back)
//   sum1000   a summation pull (delta cycle: every request acknowledges the last) of
//             1,000 targets with 4 named counters each; one at a time, as the management
//             plane numbers them
//   bare_*    AggSvcHostService/RpcMsgHandler on a plain server that answers at once with
//             a reply of the road's size; the caller decodes it as the road's caller does
//
// Counters: p50_us and p99_us (per-call latency), x_bare (road median / bare median of the
// same size, for the road runs), failed (calls that did not come back answered; a request
// the receive queue refused would show here). Throughput is items_per_second; the threaded
// runs keep several pulls in flight against the one vertical. The log level is info, as in
// production (MP_ROAD_BENCH_LOG=warning in the environment runs without the info records,
// to show what they cost).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace {

using qbx::tools::TnProxyStandin;
using Clock = std::chrono::steady_clock;
namespace agg = zumbra::qbx::agg_service::messaging;
namespace l2 = zumbra::qbx::agg_service::l2;

constexpr char kAph[] = "a0000000-0000-4000-8000-000000000001";
constexpr char kApp[] = "DFWRuleStats";
constexpr char kMpMacTable[] = "com.zumbra.qbx.management.aggservice.l2.MacTableMsg";
constexpr int kTargets = 1000;
constexpr int kCounters = 4;

class BenchVertical : public Vertical {
 public:
  BenchVertical() : Vertical(kApp, false) {}
  const char* GetName() override { return Name().c_str(); }
  void RegisterCallbacks(std::shared_ptr<AggServiceClient>) override {}
};

// Answers every call at once with a fixed reply.
class BareHost : public agg::AggSvcHostService::CallbackService {
 public:
  grpc::ServerUnaryReactor* RpcMsgHandler(grpc::CallbackServerContext* context,
                                          const zumbra::qbx::messaging::GenericUnifiedMsg* /*request*/,
                                          zumbra::qbx::messaging::GenericUnifiedMsg* reply) override {
    const auto& md = context->client_metadata();
    const auto it = md.find("bench-size");
    const std::string size = it == md.end() ? std::string() : std::string(it->second.data(), it->second.size());
    {
      std::lock_guard<std::mutex> lock(mutex);
      *reply = replies[size];
    }
    auto* reactor = context->DefaultReactor();
    reactor->Finish(grpc::Status::OK);
    return reactor;
  }
  std::mutex mutex;
  std::map<std::string, zumbra::qbx::messaging::GenericUnifiedMsg> replies;  // by size name
};

struct Road {
  TnProxyStandin standin;
  std::shared_ptr<qbx::TnProxyClientCommon> tnProxy;
  std::shared_ptr<qbx::AsioQbxProvider> regProvider;
  std::shared_ptr<BenchVertical> vertical = std::make_shared<BenchVertical>();
  std::shared_ptr<AggServiceClient> client;
  std::atomic<int64_t> tick{0};
  std::atomic<uint64_t> seq{0};
  // The bare server and the size-matched requests and replies.
  BareHost bare;
  std::unique_ptr<grpc::Server> bareServer;
  std::unique_ptr<agg::AggSvcHostService::Stub> bareStub;
  std::map<std::string, zumbra::qbx::messaging::GenericUnifiedMsg> bareRequests;
  std::map<std::string, double> roadMedianUs;
  std::map<std::string, double> bareMedianUs;
  std::mutex medianMutex;
  bool ready = false;
};

Road* gRoad = nullptr;

bool WaitFor(const std::function<bool()>& pred, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

TnProxyStandin::Pull SmallPull() {
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kClientData;
  pull.targetType = kMpMacTable;
  pull.targetIds = {"ls-1"};
  return pull;
}

TnProxyStandin::Pull SummationPull() {
  TnProxyStandin::Pull pull;
  pull.kind = TnProxyStandin::PullKind::kSummation;
  const uint64_t seq = ++gRoad->seq;
  pull.seq = seq;
  pull.ack = seq - 1;
  return pull;
}

bool StartRoad(std::string& why) {
  gRoad = new Road();
  Road& r = *gRoad;
  const int infoPort = r.standin.StartInfo("127.0.0.1:0");
  const int fwdPort = r.standin.StartForwarding("127.0.0.1:0");
  if (infoPort <= 0 || fwdPort <= 0) {
    why = "stand-in cannot listen";
    return false;
  }
  r.standin.SetAphs({{kAph, true}});
  r.tnProxy = qbx::TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort),
                                               "tcp://127.0.0.1:" + std::to_string(fwdPort), {});
  r.regProvider = std::make_shared<qbx::AsioQbxProvider>(qbx::AsioQbxProvider::Options{}, "reg");
  r.regProvider->RunAsync(1);
  auto tn = r.tnProxy;
  qbx::MpaClient::SetAggAppClientFactory([tn](const qbx::MpaClient::CreateArgs& args) -> std::shared_ptr<qbx::MpaClient> {
    return std::make_shared<qbx::MpaClientPrivate<qbx::AggSvcMpStub>>(args, tn);
  });
  AggServiceClient::Deps deps{std::make_shared<AggSvcMpaClientRegistrar>(), [] { return 0; }};
  r.client = std::make_shared<AggServiceClient>(r.vertical, nullptr, nullptr, deps);
  r.client->RegisterPullHandler<l2::MacTableMsg>(
      [](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
        for (const auto& t : targets) {
          out.push_back(std::make_shared<l2::MacTableMsg>());
          out.back()->set_target_id(t->GetTargetId());
        }
      });
  r.client->RegisterPollStatsHandler([](qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory> factory) {
    // Every counter grows between two polls, so every delta carries every target.
    const int64_t tick = ++gRoad->tick;
    for (int t = 0; t < kTargets; ++t) {
      auto store = factory->GetTargetStatsStore("rule-" + std::to_string(100000 + t), "rule", "", "");
      if (!store) continue;
      for (int c = 0; c < kCounters; ++c) {
        store->AddStat("counter_" + std::to_string(c), static_cast<double>(tick * (c + 1) + t), false);
      }
    }
  });
  if (r.client->SetupAggServiceClient(r.regProvider, r.regProvider) != 0 || r.client->OpenAggServiceClient() != 0) {
    why = "vertical set-up failed";
    return false;
  }
  r.tnProxy->Start();
  // The first stub waits for the node's spread delay (at most 5 s).
  if (!WaitFor([] {
        auto mpa = qbx::MpaClient::GetClient(kApp);
        return mpa && mpa->IsRegistrationAcked() && !gRoad->standin.RegisteredAddress(kApp).empty();
      },
               std::chrono::seconds(30))) {
    why = "the road did not come up (no registration acknowledgement)";
    return false;
  }

  // Size-matched requests and replies for the bare calls, taken from one road call each.
  for (const auto& [name, pull] : std::vector<std::pair<std::string, TnProxyStandin::Pull>>{
           {"small", SmallPull()}, {"sum1000", SummationPull()}}) {
    auto answer = r.standin.SendPull(kAph, kApp, pull);
    if (!answer.ok) {
      why = "warm-up " + name + " pull failed: " + answer.error;
      return false;
    }
    zumbra::qbx::messaging::GenericUnifiedMsg request;
    request.set_payload(TnProxyStandin::BuildPull(kApp, pull).SerializeAsString());
    request.mutable_ctrl_headers()->set_correlation_id(answer.correlationId);
    r.bareRequests[name] = request;
    r.bare.replies[name] = answer.reply;
  }
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&r.bare);
  r.bareServer = builder.BuildAndStart();
  if (!r.bareServer || port <= 0) {
    why = "bare server cannot listen";
    return false;
  }
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(64 * 1024 * 1024);
  r.bareStub = agg::AggSvcHostService::NewStub(
      grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials(), args));
  r.ready = true;
  return true;
}

void StopRoad() {
  Road* r = gRoad;
  if (!r) return;
  if (r->bareServer) r->bareServer->Shutdown();
  if (r->client) r->client->StopAggServiceClient();
  r->client.reset();
  qbx::MpaClient::UnRegister(kApp);
  if (r->tnProxy) r->tnProxy->Stop();
  if (r->regProvider) r->regProvider->StopAndWait(true);
  qbx::MpaClient::SetAggAppClientFactory(nullptr);
  qbx::MpaClient::ResetRegistryForTest();
  qbx::AggSvcHostService::ResetForTest();
  delete r;
  gRoad = nullptr;
}

// Per-run latencies, merged over the run's threads.
struct Latencies {
  std::mutex mutex;
  std::vector<double> us;
  std::atomic<int64_t> failed{0};
  void Add(const std::vector<double>& mine) {
    std::lock_guard<std::mutex> lock(mutex);
    us.insert(us.end(), mine.begin(), mine.end());
  }
  double Percentile(double p) {
    std::lock_guard<std::mutex> lock(mutex);
    if (us.empty()) return 0;
    std::sort(us.begin(), us.end());
    return us[std::min(us.size() - 1, static_cast<size_t>(p * static_cast<double>(us.size())))];
  }
};

std::map<std::string, std::shared_ptr<Latencies>> gRuns;
std::mutex gRunsMutex;

std::shared_ptr<Latencies> RunOf(const benchmark::State& state, const std::string& name) {
  std::lock_guard<std::mutex> lock(gRunsMutex);
  auto& run = gRuns[name + "/" + std::to_string(state.threads())];
  if (!run) run = std::make_shared<Latencies>();
  return run;
}

void Report(benchmark::State& state, const std::shared_ptr<Latencies>& run, const std::string& size, bool road) {
  if (state.thread_index() != 0) return;
  const double p50 = run->Percentile(0.5);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = run->Percentile(0.99);
  state.counters["failed"] = static_cast<double>(run->failed.load());
  std::lock_guard<std::mutex> lock(gRoad->medianMutex);
  if (state.threads() == 1) (road ? gRoad->roadMedianUs : gRoad->bareMedianUs)[size] = p50;
  if (road && state.threads() == 1 && gRoad->bareMedianUs.count(size) && gRoad->bareMedianUs[size] > 0) {
    state.counters["x_bare"] = p50 / gRoad->bareMedianUs[size];
  }
}

void RoadPull(benchmark::State& state, const std::string& size) {
  if (!gRoad || !gRoad->ready) {
    state.SkipWithError("road not up");
    return;
  }
  auto run = RunOf(state, "road_" + size);
  std::vector<double> mine;
  for (auto _ : state) {
    const auto pull = size == "small" ? SmallPull() : SummationPull();
    const auto start = Clock::now();
    const auto answer = gRoad->standin.SendPull(kAph, kApp, pull);
    mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!answer.ok) ++run->failed;
  }
  state.SetItemsProcessed(state.iterations());
  run->Add(mine);
  Report(state, run, size, true);
}

void BarePull(benchmark::State& state, const std::string& size) {
  if (!gRoad || !gRoad->ready) {
    state.SkipWithError("road not up");
    return;
  }
  auto run = RunOf(state, "bare_" + size);
  const auto& request = gRoad->bareRequests[size];
  std::vector<double> mine;
  for (auto _ : state) {
    grpc::ClientContext context;
    context.AddMetadata("qbx-caller", kAph);
    context.AddMetadata("bench-size", size);
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    zumbra::qbx::messaging::GenericUnifiedMsg reply;
    agg::AggSvcMpUnifiedMsg decoded;
    const auto start = Clock::now();
    const grpc::Status status = gRoad->bareStub->RpcMsgHandler(&context, request, &reply);
    // The management plane reads the answer as the road's pulls do.
    const bool read = status.ok() && decoded.ParseFromString(reply.payload());
    mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!read) ++run->failed;
  }
  state.SetItemsProcessed(state.iterations());
  run->Add(mine);
  Report(state, run, size, false);
}

void BM_bare_small(benchmark::State& state) { BarePull(state, "small"); }
void BM_road_small(benchmark::State& state) { RoadPull(state, "small"); }
void BM_bare_sum1000(benchmark::State& state) { BarePull(state, "sum1000"); }
void BM_road_sum1000(benchmark::State& state) { RoadPull(state, "sum1000"); }

// The bare call of a size runs before its road run, so the road run can report x_bare.
BENCHMARK(BM_bare_small)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_road_small)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_road_small)->UseRealTime()->Threads(8)->MinTime(3.0);
BENCHMARK(BM_bare_sum1000)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_road_sum1000)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  // MP_ROAD_BENCH_LOG=warning measures the road without its per-message info records.
  const char* level = std::getenv("MP_ROAD_BENCH_LOG");
  qbx::Logger::logLevel.store(level != nullptr && std::string(level) == "warning" ? qbx::loglevel::kWarning
                                                                                : qbx::loglevel::kInfo);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::string why;
  const bool up = StartRoad(why);
  if (!up) std::fprintf(stderr, "mp_road_bench: %s\n", why.c_str());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  StopRoad();
  return up ? 0 : 1;
}
