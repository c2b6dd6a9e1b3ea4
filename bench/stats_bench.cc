// Cost of answering summation statistics: fill, encode and serialise a response for N
// targets of 16 named counters, with absolute values and with the delta cycle (previous +
// current -> difference), against the floor of serialising the same absolute response
// already built. Each benchmark reports its cost as a multiple of that floor
// ("x_floor"), and the 10,000-target runs their cost as a multiple of the 1,000-target run
// ("x_1k"). The log level is info, as in production: per-counter debug records must not
// cost anything.
#include <benchmark/benchmark.h>

#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "aggsvc/delta_store_factory.h"
#include "aggsvc/proto_store_factory.h"
#include "core/logger.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace {

namespace msg = zumbra::qbx::agg_service::messaging;
constexpr int kCounters = 16;

struct Names {
  explicit Names(int targets) {
    for (int t = 0; t < targets; ++t) ids.push_back("rule-" + std::to_string(100000 + t));
    for (int c = 0; c < kCounters; ++c) keys.push_back("counter_" + std::to_string(c));
  }
  std::vector<std::string> ids;
  std::vector<std::string> keys;
};

// What a vertical does in its poll callback: the running totals of every counter.
void Fill(qbx::IStatsStoreFactory& factory, const Names& names, int64_t base) {
  for (size_t t = 0; t < names.ids.size(); ++t) {
    auto store = factory.GetTargetStatsStore(names.ids[t], "rule", "", "");
    for (int c = 0; c < kCounters; ++c) store->AddStat(names.keys[c], base + static_cast<int64_t>(t) + c, false);
  }
}

msg::SummationStatsResponseMsg AbsoluteResponse(const Names& names) {
  qbx::ProtoStoreFactoryImpl factory;
  Fill(factory, names, 1000);
  msg::SummationStatsResponseMsg response;
  response.set_seq_num(1);
  factory.Encode(response.mutable_stats());
  return response;
}

// CPU time of this thread, so that a loaded machine's preemptions do not count.
double ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// The floor, measured inside every iteration right beside the cycle: serialising the
// already built absolute response for the same targets.
class Floor {
 public:
  explicit Floor(const Names& names) : response(AbsoluteResponse(names)) {}
  void Measure() {
    const double start = ThreadCpuNs();
    out.clear();
    response.SerializeToString(&out);
    benchmark::DoNotOptimize(out.data());
    totalNs += ThreadCpuNs() - start;
  }
  double totalNs = 0;

 private:
  msg::SummationStatsResponseMsg response;
  std::string out;
};

std::map<std::string, double>& PerIterationNs() {
  static std::map<std::string, double> results;
  return results;
}

// Reports the cost per iteration as multiples of the floor and of the 1,000-target run.
void Report(benchmark::State& state, const std::string& kind, const Names& names, double cycleNs,
            const Floor& floor) {
  const double perIteration = cycleNs / static_cast<double>(state.iterations());
  state.counters["x_floor"] = cycleNs / floor.totalNs;
  const size_t targets = names.ids.size();
  PerIterationNs()[kind + std::to_string(targets)] = perIteration;
  auto small = PerIterationNs().find(kind + "1000");
  if (targets == 10000 && small != PerIterationNs().end()) state.counters["x_1k"] = perIteration / small->second;
  state.counters["cpu_ms"] = perIteration / 1e6;
}

void BM_SerialiseFloor(benchmark::State& state) {
  qbx::Logger::logLevel.store(qbx::loglevel::kInfo);
  Names names(static_cast<int>(state.range(0)));
  msg::SummationStatsResponseMsg response = AbsoluteResponse(names);
  std::string out;
  for (auto _ : state) {
    out.clear();
    response.SerializeToString(&out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

void BM_AbsoluteFillEncodeSerialise(benchmark::State& state) {
  qbx::Logger::logLevel.store(qbx::loglevel::kInfo);
  Names names(static_cast<int>(state.range(0)));
  Floor floor(names);
  double totalNs = 0;
  int64_t base = 0;
  for (auto _ : state) {
    floor.Measure();
    const double start = ThreadCpuNs();
    auto factory = std::make_shared<qbx::ProtoStoreFactoryImpl>();
    Fill(*factory, names, base += 5);
    auto response = qbx::MakeArenaMessage<msg::SummationStatsResponseMsg>();
    response->set_seq_num(static_cast<uint64_t>(base));
    factory->Encode(response->mutable_stats());
    std::string out;
    response->SerializeToString(&out);
    benchmark::DoNotOptimize(out.data());
    totalNs += ThreadCpuNs() - start;
  }
  Report(state, "absolute", names, totalNs, floor);
}

// The summation handler's delta answer: the difference is written as the serialised
// statistics into a buffer that serves every other poll, and the reply is the request's
// seq_num around those bytes, which stay cached for a resend.
void BM_DeltaCycle(benchmark::State& state) {
  qbx::Logger::logLevel.store(qbx::loglevel::kInfo);
  Names names(static_cast<int>(state.range(0)));
  Floor floor(names);
  qbx::DiffStoreFactoryImpl diff(false);
  int64_t base = 0;
  // A first poll, so that every cycle below is a difference against known targets.
  diff.UpdatePreviousWithCurrent();
  Fill(diff, names, base);
  {
    std::string first;
    diff.EncodeWire(&first);
    diff.CommitUpdate();
  }
  double totalNs = 0;
  // The handler keeps the last answer's statistics for a resend until the next one replaces them.
  std::shared_ptr<const std::string> cached;
  for (auto _ : state) {
    floor.Measure();
    const double start = ThreadCpuNs();
    diff.UpdatePreviousWithCurrent();
    Fill(diff, names, base += 5);
    std::shared_ptr<std::string> stats = diff.NewBuffer();
    diff.EncodeWire(stats.get());
    std::string out;
    qbx::SerialiseSummationResponse(static_cast<uint64_t>(base), *stats, out);
    diff.CommitUpdate();
    cached = std::move(stats);
    benchmark::DoNotOptimize(out.data());
    totalNs += ThreadCpuNs() - start;
  }
  Report(state, "delta", names, totalNs, floor);
  msg::StatsResponseMsg last;
  size_t counters = 0;
  if (cached && last.ParseFromString(*cached)) {
    for (const auto& type : last.target_type_stats()) {
      for (const auto& target : type.target_stats()) counters += static_cast<size_t>(target.counters_size());
    }
  }
  state.counters["counters_sent"] = static_cast<double>(counters);
}

BENCHMARK(BM_SerialiseFloor)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AbsoluteFillEncodeSerialise)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeltaCycle)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
