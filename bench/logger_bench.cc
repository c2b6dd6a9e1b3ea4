// Cost of a log statement: one filtered out by the level test (the common case on a busy
// path, which must stay a single relaxed load and compare) and one built and handed to a
// sink. BM_Floor measures an empty iteration in the same run; read the others against it.
#include <benchmark/benchmark.h>

#include <string>

#include "base/logger.h"

namespace {

void BM_Floor(benchmark::State& state) {
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_Floor);

void BM_FilteredOutByLevel(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  int value = 42;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    QBX_LOG(qbx::loglevel::kDebug).subcomp("agg-service").put("[%s] value %d", __func__, value);
  }
}
BENCHMARK(BM_FilteredOutByLevel);

void BM_EmittedToSink(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  size_t bytes = 0;
  qbx::Logger::SetSinkForTest([&bytes](int, const std::string& line) { bytes += line.size(); });
  int value = 42;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    QBX_LOG(qbx::loglevel::kError)
        .subcomp("agg-service")
        .tag("errorCode:MPA10048")
        .put("[%s] Failed to start AggServiceMgr %d", __func__, value);
  }
  qbx::Logger::SetSinkForTest(nullptr);
  benchmark::DoNotOptimize(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_EmittedToSink);

}  // namespace

BENCHMARK_MAIN();
