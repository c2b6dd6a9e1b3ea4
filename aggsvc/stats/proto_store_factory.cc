#include "aggsvc/stats/proto_store_factory.h"

#include <sys/mman.h>
#include <sys/time.h>

#include <algorithm>
#include <limits>
#include <typeinfo>

#include "aggsvc/stats/stats_wire_sink.h"
#include "base/logger.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {

namespace msg = zumbra::qbx::agg_service::messaging;

namespace {
constexpr const char* kSubcomp = "agg-service";
}  // namespace

void SetTypeFields(const TargetMetaData& key, msg::TargetTypeStatsMsg* entry) {
  if (!key.ParentType().empty()) entry->set_parent_type(key.ParentType());
  if (!key.ParentId().empty()) SetStringId(key.ParentId(), entry->mutable_parent_id());
  entry->set_target_type(key.TargetType());
}

void SetTypeFields(const TargetMetaDataNew& key, msg::TargetTypeStatsMsg* entry) {
  if (!key.ParentId().empty()) SetStringId(key.ParentId(), entry->mutable_parent_id());
  entry->set_stat_type(key.StatType());
}

namespace {
// False (and an error record) for an empty id text.
bool UsableStringId(const std::string& text) {
  if (!text.empty()) return true;
  QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Empty string id");
  return false;
}

void LogResponse(const msg::StatsResponseMsg& response) {
  std::string text = response.DebugString();
  if (text.empty()) {
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Response Msg is empty");
  } else {
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Response Msg is %s", text.c_str());
  }
}

// The largest message protobuf serialises or parses.
constexpr size_t kMaxMessageBytes = static_cast<size_t>(std::numeric_limits<int32_t>::max());
}  // namespace

void FinishStatsResponse(msg::StatsResponseMsg* response) {
  response->set_timestamp(static_cast<int64_t>(GetCurrentTimeMs()));
  if (Logger::Enabled(loglevel::kDebug)) LogResponse(*response);
}

void FinishStatsResponse(std::string& out, size_t start) {
  wire::AppendSignedField(out, 3, static_cast<int64_t>(GetCurrentTimeMs()));
  if (Logger::Enabled(loglevel::kDebug)) {
    msg::StatsResponseMsg response;
    if (response.ParseFromArray(out.data() + start, static_cast<int>(out.size() - start))) LogResponse(response);
  }
}

void AppendTypeFieldsBeforeTargets(const TargetMetaData& key, std::string& out) {
  if (!key.ParentType().empty()) wire::AppendBytesField(out, 1, key.ParentType());
  if (!key.ParentId().empty()) AppendStringIdField(out, 2, key.ParentId());
  wire::AppendBytesField(out, 3, key.TargetType());
}

void AppendTypeFieldsBeforeTargets(const TargetMetaDataNew& key, std::string& out) {
  if (!key.ParentId().empty()) AppendStringIdField(out, 2, key.ParentId());
}

void AppendTypeFieldsAfterTargets(const TargetMetaDataNew& key, std::string& out) {
  wire::AppendSignedField(out, 6, key.StatType());
}

void AppendStringIdField(std::string& out, uint32_t field, const std::string& text) {
  char buffer[3 * wire::kMaxVarint];
  char* at = wire::WriteTag(field, wire::kLengthDelimited, buffer);
  if (text.empty()) {
    // The message without its text, as SetStringId leaves it.
    *at++ = 0;
    out.append(buffer, static_cast<size_t>(at - buffer));
    return;
  }
  at = wire::WriteVarint(wire::VarintSize(text.size()) + 1 + text.size(), at);
  at = wire::WriteTag(1, wire::kLengthDelimited, at);  // string_id
  at = wire::WriteVarint(text.size(), at);
  out.append(buffer, static_cast<size_t>(at - buffer));
  out.append(text);
}

bool SerialiseSummationResponse(uint64_t seqNum, const std::string& stats, std::string& out) {
  char buffer[4 * wire::kMaxVarint];
  char* at = wire::WriteVarint(seqNum, wire::WriteTag(1, wire::kVarint, buffer));
  at = wire::WriteVarint(stats.size(), wire::WriteTag(2, wire::kLengthDelimited, at));
  const size_t head = static_cast<size_t>(at - buffer);
  if (stats.size() > kMaxMessageBytes - head) return false;
  out.clear();
  ReserveAnswer(out, head + stats.size());
  out.append(buffer, head);
  out.append(stats);
  return true;
}

namespace wire {
void CloseField(std::string& out, size_t slot, size_t width) {
  const size_t length = out.size() - slot - width;
  const size_t needed = VarintSize(length);
  if (needed > width) {
    out.insert(slot + width, needed - width, '\0');
  } else if (needed < width) {
    out.erase(slot + needed, width - needed);
  }
  WriteVarint(length, out.data() + slot);
}
}  // namespace wire

void ReserveAnswer(std::string& out, size_t capacity) {
  if (out.capacity() >= capacity) return;
  out.reserve(capacity);
  // Smaller blocks come from the allocator's heap, whose memory serves one answer after
  // another without faults; it is left as it is.
  constexpr size_t kLargeAnswer = 32u << 20;
  constexpr uintptr_t kHugePage = 2u << 20;
  if (out.capacity() < kLargeAnswer) return;
  // Only whole huge pages inside the part not written yet: the advice must not reach memory
  // that is not this buffer's, and the pages already written stay as they are.
  const auto from = reinterpret_cast<uintptr_t>(out.data() + out.size());
  const auto to = reinterpret_cast<uintptr_t>(out.data() + out.capacity());
  const uintptr_t first = (from + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = to & ~(kHugePage - 1);
  // A kernel without transparent huge pages refuses the advice; the pages then come one by
  // one as before. When none is free the kernel falls back to small pages as well.
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

std::shared_ptr<std::string> BufferRecycler::Take() {
  std::unique_ptr<std::string> buffer;
  {
    std::lock_guard<std::mutex> lock(mutex);
    buffer = std::move(spare);
  }
  if (buffer) {
    buffer->clear();
  } else {
    buffer = std::make_unique<std::string>();
  }
  std::string* raw = buffer.get();
  return std::shared_ptr<std::string>(raw, Returner{weak_from_this(), std::move(buffer)});
}

bool BufferRecycler::HasSpare() {
  std::lock_guard<std::mutex> lock(mutex);
  return spare != nullptr;
}

void BufferRecycler::Returner::operator()(std::string* /*released*/) {
  std::unique_ptr<std::string> owned = std::move(buffer);
  if (auto self = recycler.lock()) self->Give(std::move(owned));
}

void BufferRecycler::Give(std::unique_ptr<std::string> buffer) {
  if (buffer->capacity() > kMaxKeptBytes) return;  // freed here
  std::lock_guard<std::mutex> lock(mutex);
  if (!spare) spare = std::move(buffer);
}

TargetStatsMap* AsTargetStatsMap(ITargetStatsStore* store, const char* tag, const char* which) {
  // Every store the factories create is exactly a TargetStatsMap: that case needs no search
  // of the class hierarchy, which would cost two per target and poll in the delta encoder.
  TargetStatsMap* map = store != nullptr && typeid(*store) == typeid(TargetStatsMap)
                            ? static_cast<TargetStatsMap*>(store)
                            : dynamic_cast<TargetStatsMap*>(store);
  if (map == nullptr) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag(tag)
        .put("Unable to get child class ptr for %s TargetMap", which);
  }
  return map;
}

uint64_t GetCurrentTimeMs() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

bool SetStringId(const std::string& text, msg::UuidOrStringIdMsg* id) {
  if (id == nullptr) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Null UuidOrStringIdMsg ptr");
    return false;
  }
  if (!UsableStringId(text)) return false;
  id->set_string_id(text);
  return true;
}

bool ProtoStoreFactoryImpl::Encode(msg::StatsResponseMsg* response) {
  if (response == nullptr) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("StatsResponseMsg out ptr is Null");
    return false;
  }
  // Encodes every target type of one map (by type name or by stat type).
  auto encodeTypes = [&](const auto& map) {
    for (const auto& [key, coll] : map) {
      msg::TargetTypeStatsMsg* entry = response->add_target_type_stats();
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("=== Start encoding stats for targets of type [%s] ====", key.KeyText().c_str());
      if (EncodeTargetTypeStats(coll.get(), entry)) {
        SetTypeFields(key, entry);
      } else {
        QBX_LOG(loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10017")
            .put("Encoding for targets of type [%s] failed.", key.KeyText().c_str());
        response->mutable_target_type_stats()->RemoveLast();
      }
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("=== Finish encoding for targets of type [%s] ===", key.KeyText().c_str());
    }
  };
  if (currentMap) encodeTypes(*currentMap);
  if (!currentMap && !currentMapNew) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10038")
        .put("Current Statistic Collection is NULL");
    return false;
  }
  if (currentMapNew) encodeTypes(*currentMapNew);
  FinishStatsResponse(response);
  return true;
}

namespace {

// The most that one type entry reserves ahead of its bytes.
constexpr size_t kMaxReserve = 256u << 20;

// Writes the values of one store into the target begun last; false for a store of another
// kind. The order is that of EncodeTargetStats.
bool WriteTargetStats(ITargetStatsStore* store, WireSink& sink) {
  auto* map = AsTargetStatsMap(store, "errorCode:MPA10044", "cur");
  if (map == nullptr) return false;
  const auto& vec = map->GetVectorStats();
  for (size_t i = 0; i < vec.size(); ++i) {
    sink.Indexed(static_cast<int32_t>(i), vec[i]);
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Reporting stat [%d:%ld]", static_cast<int>(i), static_cast<long>(vec[i]));
  }
  const auto& kv = map->GetKeyValueStats();
  // A target without named counters sends neither them nor its error codes.
  if (kv.empty()) return true;
  for (size_t i = 0; i < kv.size(); ++i) {
    sink.Named(kv.NameAt(i), kv.ValueAt(i));
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Reporting stat [%s:%ld]", kv.NameAt(i).c_str(), static_cast<long>(kv.ValueAt(i)));
  }
  if (map->GetErrorCount() == 0) return true;
  for (int32_t code : map->GetErrorCodes()) sink.Error(code);
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Added [%zd] errors", map->GetErrorCount());
  return true;
}

}  // namespace

bool ProtoStoreFactoryImpl::EncodeWire(std::string* out) {
  if (out == nullptr) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10044")
        .put("StatsResponseMsg out ptr is Null");
    return false;
  }
  if (!currentMap && !currentMapNew) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10038")
        .put("Current Statistic Collection is NULL");
    return false;
  }
  const size_t start = out->size();
  std::string scratch;
  WireSink sink(*out, scratch, 1);
  // Encodes every target type of one map (by type name or by stat type). The length of a
  // type entry goes before its targets: its width is guessed from the first target times
  // their number, which is exact for the usual targets of one size, so that the entry of
  // thousands of targets is neither moved afterwards nor grown piece by piece.
  auto encodeTypes = [&](const auto& map) {
    for (const auto& [key, coll] : map) {
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("=== Start encoding stats for targets of type [%s] ====", key.KeyText().c_str());
      bool begun = false;
      auto begin = [&](size_t firstTargetSize) {
        const size_t targetBytes = 1 + wire::kMaxVarint / 2 + firstTargetSize;
        const size_t estimate = 64 + key.KeyText().size() + targetBytes * (coll ? coll->size() : 0);
        // Bounded: a first target far larger than the others must not reserve gigabytes.
        const size_t wanted = out->size() + std::min<size_t>(estimate, kMaxReserve);
        ReserveAnswer(*out, wanted);
        sink.UseTypeLengthWidth(wire::VarintSize(estimate));
        sink.BeginType(key);
        begun = true;
      };
      if (coll) {
        for (const auto& [targetId, store] : *coll) {
          QBX_LOG(loglevel::kDebug)
              .subcomp(kSubcomp)
              .put("===== Start response encoding for targetId [%s]=====", targetId.c_str());
          sink.BeginTarget(targetId);
          if (store != nullptr && WriteTargetStats(store.get(), sink)) {
            if (!begun) begin(sink.TargetSize());
            sink.EndTarget(targetId);
            QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sending msg for target [%s].", targetId.c_str());
          } else {
            if (store == nullptr) {
              QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Input arg(s) Null");
            }
            QBX_LOG(loglevel::kError)
                .subcomp(kSubcomp)
                .tag("errorCode:MPA10017")
                .put("Encoding Proto Response target [%s] failed.", targetId.c_str());
          }
          QBX_LOG(loglevel::kDebug)
              .subcomp(kSubcomp)
              .put("===== Finish response encoding for targetId [%s]=====", targetId.c_str());
        }
      } else {
        QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Input arg(s) Null");
      }
      if (!coll) {
        QBX_LOG(loglevel::kError)
            .subcomp(kSubcomp)
            .tag("errorCode:MPA10017")
            .put("Encoding for targets of type [%s] failed.", key.KeyText().c_str());
      } else {
        // A type without targets is still sent, with its identity.
        if (!begun) begin(0);
        sink.EndType(key);
      }
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSubcomp)
          .put("=== Finish encoding for targets of type [%s] ===", key.KeyText().c_str());
    }
  };
  if (currentMap) encodeTypes(*currentMap);
  if (currentMapNew) encodeTypes(*currentMapNew);
  FinishStatsResponse(*out, start);
  return true;
}

bool ProtoStoreFactoryImpl::EncodeTargetTypeStats(const TargetStatsColl* coll,
                                                  msg::TargetTypeStatsMsg* out) {
  if (coll == nullptr || out == nullptr) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Input arg(s) Null");
    return false;
  }
  out->mutable_target_stats()->Reserve(static_cast<int>(coll->size()));
  for (const auto& [targetId, store] : *coll) {
    msg::TargetStatsMsg* target = out->add_target_stats();
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("===== Start response encoding for targetId [%s]=====", targetId.c_str());
    if (EncodeTargetStats(store.get(), target)) {
      SetStringId(targetId, target->mutable_target_id());
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Sending msg for target [%s].", targetId.c_str());
    } else {
      QBX_LOG(loglevel::kError)
          .subcomp(kSubcomp)
          .tag("errorCode:MPA10017")
          .put("Encoding Proto Response target [%s] failed.", targetId.c_str());
      out->mutable_target_stats()->RemoveLast();
    }
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("===== Finish response encoding for targetId [%s]=====", targetId.c_str());
  }
  return true;
}

bool ProtoStoreFactoryImpl::EncodeTargetStats(ITargetStatsStore* store, msg::TargetStatsMsg* out) {
  if (store == nullptr || out == nullptr) {
    QBX_LOG(loglevel::kError).subcomp(kSubcomp).tag("errorCode:MPA10044").put("Input arg(s) Null");
    return false;
  }
  auto* map = AsTargetStatsMap(store, "errorCode:MPA10044", "cur");
  if (map == nullptr) return false;
  const auto& vec = map->GetVectorStats();
  const auto& kv = map->GetKeyValueStats();
  out->mutable_counters()->Reserve(static_cast<int>(vec.size() + kv.size()));
  for (size_t i = 0; i < vec.size(); ++i) {
    msg::CounterValueMsg* counter = out->add_counters();
    counter->set_long_value(vec[i]);
    counter->set_counter_index(static_cast<int32_t>(i));
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Reporting stat [%d:%ld]", static_cast<int>(i), static_cast<long>(vec[i]));
  }
  // A target without named counters sends neither them nor its error codes.
  if (kv.empty()) return true;
  for (const auto& [name, value] : kv) {
    msg::CounterValueMsg* counter = out->add_counters();
    counter->set_key(name);
    counter->set_value(static_cast<double>(value));
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("Reporting stat [%s:%ld]", name.c_str(), static_cast<long>(value));
  }
  if (map->GetErrorCount() == 0) return true;
  for (int32_t code : map->GetErrorCodes()) out->add_errors(code);
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Added [%zd] errors", map->GetErrorCount());
  return true;
}

}  // namespace qbx
