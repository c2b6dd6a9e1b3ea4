// Cost of the header look-up that every outgoing management-plane message passes
// (MpaClientAppSpecific::GetStringObjectFromBson, reading "__TypeId__"), with debug records
// off, as a node runs, and on. BM_Floor is the plain look-up of the same value in the same
// document (BsonHeaders::FindString): the ratio of the others to it is the price of the
// tracing. Two documents: the type id first, as the answers of the verticals are built, and
// behind two other elements, as in a record whose header block was copied from elsewhere.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <string>

#include "base/logger.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "channels/transport/bson_headers.h"

namespace {

constexpr char kTypeId[] = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
constexpr char kCorrelationId[] = "d4c8f1a2-0000-4000-8000-000000000001";

// The document of an outgoing record; `typeIdFirst` false puts a message type and the
// correlation id ahead of the type id.
bson_t* Headers(bool typeIdFirst) {
  bson_t* doc = qbx::BsonHeaders::New();
  if (typeIdFirst) {
    qbx::BsonHeaders::AppendString(doc, "__TypeId__", kTypeId);
    qbx::BsonHeaders::AppendString(doc, "amqp_correlationId", kCorrelationId);
  } else {
    qbx::BsonHeaders::AppendInt64(doc, "msg_type", 12);
    qbx::BsonHeaders::AppendString(doc, "amqp_correlationId", kCorrelationId);
    qbx::BsonHeaders::AppendString(doc, "__TypeId__", kTypeId);
  }
  qbx::BsonHeaders::AppendString(doc, "amqp_replyTo", "reply-queue");
  return doc;
}

void BM_Floor(benchmark::State& state) {
  bson_t* doc = Headers(state.range(0) != 0);
  for (auto _ : state) {
    std::optional<std::string> value = qbx::BsonHeaders::FindString(doc, "__TypeId__");
    benchmark::DoNotOptimize(value);
  }
  qbx::BsonHeaders::Destroy(doc);
}
BENCHMARK(BM_Floor)->Arg(1)->Arg(0);

// The look-up as a running node makes it: debug records off.
void BM_LookUpDebugOff(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  auto layer = std::make_shared<qbx::MpaClientAppSpecific>("FabricStats", nullptr);
  bson_t* doc = Headers(state.range(0) != 0);
  for (auto _ : state) {
    std::optional<std::string> value = layer->GetStringObjectFromBson(doc, "__TypeId__");
    benchmark::DoNotOptimize(value);
  }
  qbx::BsonHeaders::Destroy(doc);
}
BENCHMARK(BM_LookUpDebugOff)->Arg(1)->Arg(0);

// With debug records on, every record built and handed to a sink that only counts bytes.
void BM_LookUpDebugOn(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kDebug;
  size_t bytes = 0;
  qbx::Logger::SetSinkForTest([&bytes](int, const std::string& line) { bytes += line.size(); });
  auto layer = std::make_shared<qbx::MpaClientAppSpecific>("FabricStats", nullptr);
  bson_t* doc = Headers(state.range(0) != 0);
  for (auto _ : state) {
    std::optional<std::string> value = layer->GetStringObjectFromBson(doc, "__TypeId__");
    benchmark::DoNotOptimize(value);
  }
  qbx::BsonHeaders::Destroy(doc);
  layer.reset();
  qbx::Logger::SetSinkForTest(nullptr);
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  benchmark::DoNotOptimize(bytes);
}
BENCHMARK(BM_LookUpDebugOn)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
