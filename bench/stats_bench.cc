// Cost of answering summation statistics: fill, encode and serialise a response for N
// targets of 16 named counters, with absolute values (overwrite pulls and the full answer
// of a first or reset summation request) and with the delta cycle (previous + current ->
// difference), against the floor of serialising the same absolute response already built.
// Each benchmark reports its cost as a multiple of that floor ("x_floor"), the 10,000-target
// runs their cost as a multiple of the 1,000-target run ("x_1k") and the 100,000-target runs
// as a multiple of the 10,000-target run ("x_10k"). The log level is info, as in production:
// per-counter debug records must not cost anything.
//
// BM_HeldMemory reports what a client holds between two delta polls of 100,000 targets
// (stores, name lists, the answer cached for a resend, spare buffers), per target and as a
// multiple of the serialised answer, and the heap's peak while one answer is made.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>

#include <limits>
#include <map>
#include <string>
#include <vector>

#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/stats/proto_store_factory.h"
#include "base/logger.h"
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

// Page faults of this thread so far: the cost of memory that is new to the process.
double ThreadFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_minflt + usage.ru_majflt);
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
            const Floor& floor, double faults) {
  const double perIteration = cycleNs / static_cast<double>(state.iterations());
  state.counters["faults"] = faults / static_cast<double>(state.iterations());
  state.counters["x_floor"] = cycleNs / floor.totalNs;
  const size_t targets = names.ids.size();
  PerIterationNs()[kind + std::to_string(targets)] = perIteration;
  auto small = PerIterationNs().find(kind + "1000");
  if (targets == 10000 && small != PerIterationNs().end()) state.counters["x_1k"] = perIteration / small->second;
  auto medium = PerIterationNs().find(kind + "10000");
  if (targets == 100000 && medium != PerIterationNs().end()) state.counters["x_10k"] = perIteration / medium->second;
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

// Fills a fresh factory per iteration and times `answer` (factory, seq_num) turning it into
// the reply's bytes, against the floor measured in the same iterations.
template <class Answer>
void AbsoluteAnswer(benchmark::State& state, const char* label, Answer answer) {
  qbx::Logger::logLevel.store(qbx::loglevel::kInfo);
  Names names(static_cast<int>(state.range(0)));
  Floor floor(names);
  double totalNs = 0;
  double faults = 0;
  int64_t base = 0;
  for (auto _ : state) {
    floor.Measure();
    const double start = ThreadCpuNs();
    const double faultsBefore = ThreadFaults();
    auto factory = std::make_shared<qbx::ProtoStoreFactoryImpl>();
    Fill(*factory, names, base += 5);
    std::string out;
    answer(*factory, static_cast<uint64_t>(base), out);
    benchmark::DoNotOptimize(out.data());
    totalNs += ThreadCpuNs() - start;
    faults += ThreadFaults() - faultsBefore;
  }
  Report(state, label, names, totalNs, floor, faults);
}

void BM_AbsoluteFillEncodeSerialise(benchmark::State& state) {
  // As the summation handler answers a first or reset request: the statistics are written
  // as bytes (cached for a resend), and the reply is the request's seq_num around them.
  AbsoluteAnswer(state, "absolute", [](qbx::ProtoStoreFactoryImpl& factory, uint64_t seq, std::string& out) {
    auto stats = std::make_shared<std::string>();
    factory.EncodeWire(stats.get());
    qbx::SerialiseSummationResponse(seq, *stats, out);
  });
}

// The same answer built as a message and serialised, as the absolute path was made before
// it wrote bytes: for comparison.
void BM_AbsoluteMessagePath(benchmark::State& state) {
  AbsoluteAnswer(state, "message", [](qbx::ProtoStoreFactoryImpl& factory, uint64_t seq, std::string& out) {
    auto response = qbx::MakeArenaMessage<msg::SummationStatsResponseMsg>();
    response->set_seq_num(seq);
    factory.Encode(response->mutable_stats());
    response->SerializeToString(&out);
  });
}

// The summation handler's delta answer: the difference is written as the serialised
// statistics into a buffer that serves every other poll, and the reply is the request's
// seq_num around those bytes, which stay cached for a resend.
void DeltaCycle(benchmark::State& state, bool keepSpares) {
  qbx::Logger::logLevel.store(qbx::loglevel::kInfo);
  Names names(static_cast<int>(state.range(0)));
  Floor floor(names);
  qbx::DiffStoreFactoryImpl diff(false);
  if (keepSpares) diff.SetMaxSpareTargetsForTest(std::numeric_limits<size_t>::max());
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
  double faults = 0;
  // The handler keeps the last answer's statistics for a resend until the next one replaces them.
  std::shared_ptr<const std::string> cached;
  for (auto _ : state) {
    floor.Measure();
    const double start = ThreadCpuNs();
    const double faultsBefore = ThreadFaults();
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
    faults += ThreadFaults() - faultsBefore;
  }
  Report(state, keepSpares ? "spares" : "delta", names, totalNs, floor, faults);
  msg::StatsResponseMsg last;
  size_t counters = 0;
  if (cached && last.ParseFromString(*cached)) {
    for (const auto& type : last.target_type_stats()) {
      for (const auto& target : type.target_stats()) counters += static_cast<size_t>(target.counters_size());
    }
  }
  state.counters["counters_sent"] = static_cast<double>(counters);
}

void BM_DeltaCycle(benchmark::State& state) { DeltaCycle(state, false); }
// The same with the previous poll's stores kept for the next at every size: what letting
// them go beyond the spare limit costs, for the memory it saves.
void BM_DeltaCycleKeepingSpares(benchmark::State& state) { DeltaCycle(state, true); }

// Bytes the heap holds (in use, and mapped for large blocks).
double HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

void BM_HeldMemory(benchmark::State& state) {
  qbx::Logger::logLevel.store(qbx::loglevel::kInfo);
  Names names(static_cast<int>(state.range(0)));
  const double targets = static_cast<double>(names.ids.size());
  for (auto _ : state) {
    const double before = HeapBytes();
    double peak = before;
    auto sample = [&] { peak = std::max(peak, HeapBytes()); };
    double absolutePeak = 0;
    size_t absoluteBytes = 0;
    {
      // One full answer: the vertical's stores, the statistics bytes and the reply.
      qbx::ProtoStoreFactoryImpl factory;
      Fill(factory, names, 0);
      auto stats = std::make_shared<std::string>();
      factory.EncodeWire(stats.get());
      std::string out;
      qbx::SerialiseSummationResponse(1, *stats, out);
      absolutePeak = HeapBytes() - before;
      absoluteBytes = out.size();
    }
    // Delta polls as the summation handler makes them; between two of them the client holds
    // the delta store and the last answer's bytes.
    auto diff = std::make_unique<qbx::DiffStoreFactoryImpl>(false);
    std::shared_ptr<const std::string> cached;
    size_t answerBytes = 0;
    int64_t base = 0;
    for (int poll = 0; poll < 4; ++poll) {
      diff->UpdatePreviousWithCurrent();
      Fill(*diff, names, base += 5);
      sample();
      std::shared_ptr<std::string> stats = diff->NewBuffer();
      diff->EncodeWire(stats.get());
      sample();
      std::string out;
      qbx::SerialiseSummationResponse(static_cast<uint64_t>(poll + 1), *stats, out);
      sample();
      answerBytes = out.size();
      diff->CommitUpdate();
      cached = std::move(stats);
      sample();
    }
    const double held = HeapBytes() - before;
    state.counters["held_B_per_target"] = held / targets;
    state.counters["answer_B_per_target"] = static_cast<double>(answerBytes) / targets;
    state.counters["held_x_answer"] = held / static_cast<double>(answerBytes);
    state.counters["delta_peak_MB"] = (peak - before) / 1e6;
    state.counters["full_peak_MB"] = absolutePeak / 1e6;
    state.counters["full_B_per_target"] = static_cast<double>(absoluteBytes) / targets;
    cached.reset();
    diff.reset();
  }
}

BENCHMARK(BM_SerialiseFloor)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AbsoluteFillEncodeSerialise)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AbsoluteMessagePath)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeltaCycle)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeltaCycleKeepingSpares)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HeldMemory)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
