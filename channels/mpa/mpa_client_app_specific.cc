#include "channels/mpa/mpa_client_app_specific.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "base/logger.h"
#include "channels/mpa/mpa_client.h"
#include "channels/transport/bson_headers.h"
#include "core/uuid.h"

namespace qbx {
namespace {

constexpr const char* kSub = "mpa-client";

std::string TrackingIdText(const zumbra::qbx::messaging::GenericUnifiedMsg& envelope) {
  if (!envelope.has_cookies() || !envelope.cookies().has_tracking_id()) return std::string();
  const auto& id = envelope.cookies().tracking_id();
  return UUID(id.first_half(), id.second_half()).ToString();
}

bool IsRawPayload(const google::protobuf::Message* msg) {
  return msg->GetDescriptor() == zumbra::qbx::messaging::RawPayloadMsg::descriptor();
}

// The singular message field of `unified` that holds `sub`; null when there is none.
const google::protobuf::FieldDescriptor* SubMessageField(const google::protobuf::Message& unified,
                                                         const google::protobuf::Message* sub) {
  const auto* reflection = unified.GetReflection();
  std::vector<const google::protobuf::FieldDescriptor*> set;
  reflection->ListFields(unified, &set);
  for (const auto* f : set) {
    if (f->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE && !f->is_repeated() &&
        &reflection->GetMessage(unified, f) == sub) {
      return f;
    }
  }
  return nullptr;
}

// What the validity walk needs to know of a message type, per field number: whether the
// field is a nested message (and of which type), a packed-capable scalar, or anything else.
// Built once per type, with the types it nests, so that the walk does no look-up by name
// or number on its way.
struct WireTable {
  enum Kind : uint8_t { kOther, kMessage, kVarints, kFixed32s, kFixed64s };
  struct Entry {
    Kind kind = kOther;
    const WireTable* child = nullptr;
  };
  // Field numbers above this are looked up in the descriptor.
  static constexpr int kDirectNumbers = 1024;

  const google::protobuf::Descriptor* type = nullptr;
  std::vector<Entry> byNumber;
};

WireTable::Entry EntryOf(const google::protobuf::FieldDescriptor* field, const WireTable* child) {
  using FD = google::protobuf::FieldDescriptor;
  WireTable::Entry e;
  if (field->type() == FD::TYPE_MESSAGE) {
    e.kind = WireTable::kMessage;
    e.child = child;
  } else if (field->is_packable()) {
    switch (field->type()) {
      case FD::TYPE_FIXED64:
      case FD::TYPE_SFIXED64:
      case FD::TYPE_DOUBLE:
        e.kind = WireTable::kFixed64s;
        break;
      case FD::TYPE_FIXED32:
      case FD::TYPE_SFIXED32:
      case FD::TYPE_FLOAT:
        e.kind = WireTable::kFixed32s;
        break;
      default:
        e.kind = WireTable::kVarints;
        break;
    }
  }
  return e;
}

// The process-wide tables; a type's table never changes once built.
class WireTables {
 public:
  static WireTables& Instance() {
    static WireTables* tables = new WireTables();  // kept for the process: walks may run at exit
    return *tables;
  }

  const WireTable* Get(const google::protobuf::Descriptor* type) {
    {
      std::shared_lock<std::shared_mutex> lock(mutex_);
      auto it = tables_.find(type);
      if (it != tables_.end()) return it->second.get();
    }
    std::unique_lock<std::shared_mutex> lock(mutex_);
    return BuildLocked(type);
  }

 private:
  const WireTable* BuildLocked(const google::protobuf::Descriptor* type) {
    auto it = tables_.find(type);
    if (it != tables_.end()) return it->second.get();
    auto owned = std::make_unique<WireTable>();
    WireTable* table = owned.get();
    table->type = type;
    tables_.emplace(type, std::move(owned));  // before the nested types: a type may nest itself
    int top = 0;
    for (int i = 0; i < type->field_count(); ++i) {
      const int number = type->field(i)->number();
      if (number <= WireTable::kDirectNumbers) top = std::max(top, number);
    }
    table->byNumber.resize(static_cast<size_t>(top) + 1);
    for (int i = 0; i < type->field_count(); ++i) {
      const auto* field = type->field(i);
      const WireTable* child = field->message_type() != nullptr ? BuildLocked(field->message_type()) : nullptr;
      if (field->number() <= WireTable::kDirectNumbers) table->byNumber[field->number()] = EntryOf(field, child);
    }
    return table;
  }

  std::shared_mutex mutex_;
  std::unordered_map<const google::protobuf::Descriptor*, std::unique_ptr<WireTable>> tables_;
};

// A varint at `p` (before `end`) into `value`; null when it is cut short or too long.
inline const uint8_t* ReadVarint(const uint8_t* p, const uint8_t* end, uint64_t& value) {
  if (p < end && *p < 0x80) {
    value = *p;
    return p + 1;
  }
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (p >= end) return nullptr;
    const uint8_t b = *p++;
    value |= static_cast<uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) return p;
  }
  return nullptr;
}

// The bytes of a packed repeated scalar field: whole values of its kind.
bool WellFormedPacked(WireTable::Kind kind, const uint8_t* p, const uint8_t* end) {
  const auto size = static_cast<size_t>(end - p);
  if (kind == WireTable::kFixed64s) return size % 8 == 0;
  if (kind == WireTable::kFixed32s) return size % 4 == 0;
  uint64_t value = 0;
  while (p < end) {
    p = ReadVarint(p, end, value);
    if (p == nullptr) return false;
  }
  return true;
}

// The nesting a parser accepts (protobuf's own default recursion limit).
constexpr int kMaxMessageDepth = 100;

// True when [p, end) parses as a message of `table`'s type: whole fields all the way down,
// nested messages and packed values included. It walks the bytes without building the
// message, so an answer can still travel as the bytes it is while a malformed one is refused
// before the management plane gets an envelope it cannot read.
bool WellFormedMessage(const WireTable* table, const uint8_t* p, const uint8_t* end, int depth) {
  using FD = google::protobuf::FieldDescriptor;
  if (depth > kMaxMessageDepth) return false;
  while (p < end) {
    uint64_t tag = 0;
    uint64_t value = 0;
    p = ReadVarint(p, end, tag);
    if (p == nullptr || (tag >> 3) == 0 || (tag >> 3) > static_cast<uint64_t>(FD::kMaxNumber)) return false;
    switch (tag & 7) {
      case 0:
        p = ReadVarint(p, end, value);
        if (p == nullptr) return false;
        break;
      case 1:
        if (end - p < 8) return false;
        p += 8;
        break;
      case 5:
        if (end - p < 4) return false;
        p += 4;
        break;
      case 2: {
        p = ReadVarint(p, end, value);
        if (p == nullptr || value > static_cast<uint64_t>(end - p)) return false;
        const uint8_t* field = p;
        p += value;
        const uint64_t number = tag >> 3;
        WireTable::Entry entry;
        if (number < table->byNumber.size()) {
          entry = table->byNumber[number];
        } else if (number > static_cast<uint64_t>(WireTable::kDirectNumbers)) {
          if (const auto* fd = table->type->FindFieldByNumber(static_cast<int>(number))) {
            entry = EntryOf(fd, fd->message_type() != nullptr ? WireTables::Instance().Get(fd->message_type()) : nullptr);
          }
        }
        if (entry.kind == WireTable::kMessage) {
          if (!WellFormedMessage(entry.child, field, p, depth + 1)) return false;
        } else if (entry.kind != WireTable::kOther && !WellFormedPacked(entry.kind, field, p)) {
          return false;
        }
        break;
      }
      default:  // groups are not used by these messages
        return false;
    }
  }
  return true;
}

void AppendVarint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Fills `sub` (the request inside `unified`, null when there is none) from the record's
// payload and serialises `unified` into `serialised`; false, logged under `fn`, on failure.
bool FillUnifiedMsg(const char* app, const char* fn, google::protobuf::Message* unified,
                    google::protobuf::Message* sub, const std::string& typeId, const rmqClientMessage* msg,
                    std::string& serialised) {
  if (sub == nullptr) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific::%s msg NULL for type %s", app, fn, typeId.c_str());
    return false;
  }
  const size_t len = msg->payloadLen > 0 && msg->payload != nullptr ? static_cast<size_t>(msg->payloadLen) : 0;
  const google::protobuf::FieldDescriptor* field = nullptr;
  if (IsRawPayload(sub)) {
    static_cast<zumbra::qbx::messaging::RawPayloadMsg*>(sub)->set_payload(
        std::string(reinterpret_cast<const char*>(msg->payload), len));
  } else if (len > static_cast<size_t>(INT32_MAX)) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific::%s Failed to parse protobuf msg for type %s", app, fn, typeId.c_str());
    return false;
  } else {
    field = SubMessageField(*unified, sub);
    const auto* bytes = static_cast<const uint8_t*>(msg->payload);
    const bool wellFormed = field != nullptr ? WellFormedMessage(WireTables::Instance().Get(sub->GetDescriptor()), bytes,
                                                                 bytes + len, 0)
                                             : sub->ParseFromArray(len > 0 ? msg->payload : nullptr, static_cast<int>(len));
    if (!wellFormed) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific::%s Failed to parse protobuf msg for type %s", app, fn, typeId.c_str());
      return false;
    }
  }
  if (field != nullptr) {
    // The payload is the vertical's serialised message of this type, and a message field's
    // bytes on the wire are just that serialisation: it goes in as it is instead of being
    // parsed and serialised again, which for a large statistics answer cost more than
    // everything else on its way.
    unified->GetReflection()->ClearField(unified, field);  // `sub` is gone from here on
  }
  if (!unified->SerializeToString(&serialised)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::%s: Could not serialize to string.", app, fn);
    return false;
  }
  if (field != nullptr) {
    AppendVarint(serialised, (static_cast<uint64_t>(field->number()) << 3) | 2u);
    AppendVarint(serialised, len);
    serialised.append(reinterpret_cast<const char*>(msg->payload), len);
  }
  return true;
}

}  // namespace

MpaClientAppSpecific::MpaClientAppSpecific(std::string appName, std::shared_ptr<MpaClient> owner,
                                           std::shared_ptr<const Clock> clock)
    : appName_(std::move(appName)), owner_(owner), clock_(clock ? std::move(clock) : std::make_shared<SteadyClock>()) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAppSpecific Ctor", appName_.c_str());
}

MpaClientAppSpecific::~MpaClientAppSpecific() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAppSpecific Dtor", appName_.c_str());
  PurgeCallHandleMap();
}

// ---- base behaviour of the message-type specific operations ----

google::protobuf::Message* MpaClientAppSpecific::GetHostUnifiedMsg(const std::string& /*typeId*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific GetHostUnifiedMsg :Not Implemented!", appName_.c_str());
  return nullptr;
}

bool MpaClientAppSpecific::KeepCorrelationIdOnForward() { return true; }

bool MpaClientAppSpecific::UseRoutingKeyAsAphUuid(rmqClientMessage* /*msg*/) { return false; }

google::protobuf::Message* MpaClientAppSpecific::GetMpUnifiedMsg(const std::string& /*typeId*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific GetMpUnifiedMsg :Not Implemented!", appName_.c_str());
  return nullptr;
}

google::protobuf::Message* MpaClientAppSpecific::GetRequestMsg(google::protobuf::Message* /*unified*/,
                                                               const std::string& /*typeId*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific GetRequestMsg :Not Implemented!", appName_.c_str());
  return nullptr;
}

rpc::CallObserver<MpaClientAppSpecific::GenericUnifiedMsg>* MpaClientAppSpecific::GetRpcCallObserver(
    rmqClientMessage* /*request*/, const std::string& /*correlationId*/, uint32_t /*seq*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific GetRpcCallObserver :Not Implemented!", appName_.c_str());
  return nullptr;
}

rpc::CallObserver<zumbra::qbx::VoidMsg>* MpaClientAppSpecific::GetVoidCallObserver(const std::string& /*correlationId*/) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific GetVoidCallObserver :Not Implemented!", appName_.c_str());
  return nullptr;
}

void MpaClientAppSpecific::SetAphUuidInRpcCallObserver(rpc::CallObserver<GenericUnifiedMsg>* /*observer*/,
                                                       const std::string& /*aphUuid*/) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] MpaClientAppSpecific SetAphUuidInRpcCallObserver :Not Implemented!", appName_.c_str());
}

void MpaClientAppSpecific::SetAphUuidInVoidCallObserver(rpc::CallObserver<zumbra::qbx::VoidMsg>* /*observer*/,
                                                        const std::string& /*aphUuid*/) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] MpaClientAppSpecific SetAphUuidInVoidCallObserver :Not Implemented!", appName_.c_str());
}

bool MpaClientAppSpecific::IsAppInitRequired() { return false; }

void MpaClientAppSpecific::HandleMpResponse(const rpc::Status& /*status*/, const GenericUnifiedMsg& /*reply*/,
                                            rpc::CallObserver<GenericUnifiedMsg>* /*observer*/) {}

void MpaClientAppSpecific::HandleSNResponse(const rpc::Status& /*status*/, const GenericUnifiedMsg& /*reply*/,
                                            rpc::CallObserver<GenericUnifiedMsg>* /*observer*/) {}

// ---- conversion ----

std::optional<std::string> MpaClientAppSpecific::GetStringObjectFromBson(const bson_t* doc, const std::string& key) {
  if (doc == nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific GetStringObjectFromBson Null Bson (%s)", appName_.c_str(), key.c_str());
    return std::nullopt;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAppSpecific GetStringObjectFromBson Begin (%s)", appName_.c_str(), key.c_str());
  // Elements in order up to the first string of `key`. Each is traced with its type and
  // value, but only while debug records are on: every outgoing message passes here, and
  // building the texts of a record nobody keeps would copy every header value it passes.
  std::optional<std::string> value;
  BsonHeaders::ForEach(doc, [&](const BsonHeaders::Element& e) {
    if (value) return;
    if (Logger::Enabled(loglevel::kDebug)) {
      std::string type;
      std::string text;
      if (e.type == BSON_TYPE_UTF8) {
        type = "utf8";
        text = std::string(e.str);
      } else if (e.type == BSON_TYPE_INT64) {
        type = "int64";
        text = std::to_string(e.num);
      } else {
        type = std::to_string(e.type);
      }
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific GetStringObjectFromBson type (%s), val (%s)", appName_.c_str(), type.c_str(),
               text.c_str());
    }
    BsonHeaders::TakeFirst(e, key, value);
  });
  if (value) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific GetStringObjectFromBson (%s) : (%s)", appName_.c_str(), key.c_str(), value->c_str());
  }
  return value;
}

bool MpaClientAppSpecific::ReadTypeId(rmqClientMessage* msg, std::string& typeId) {
  auto value = GetStringObjectFromBson(msg != nullptr ? static_cast<const bson_t*>(msg->headers) : nullptr, "__TypeId__");
  if (!value) return false;
  typeId = *value;
  return true;
}

bool MpaClientAppSpecific::GetGenericUnifiedMsg(GenericUnifiedMsg& out, rmqClientMessage* msg,
                                                std::string& correlationId, std::string& typeId,
                                                bool setControlHeader) {
  const char* app = appName_.c_str();
  if (!ReadTypeId(msg, typeId)) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific::GetGenericUnifiedMsg: Failed to get object type from bson, correlationId (%s).",
             app, correlationId.c_str());
    return false;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] MpaClientAppSpecific::GetGenericUnifiedMsg: type %s, correlationId %s", app, typeId.c_str(),
           correlationId.c_str());
  std::unique_ptr<google::protobuf::Message> unified(GetMpUnifiedMsg(typeId));
  if (!unified) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] MpaClientAppSpecific::GetGenericUnifiedMsg Unable to get MpUnifiedMsg", app);
    return false;
  }
  std::string serialised;
  if (!FillUnifiedMsg(app, "GetGenericUnifiedMsg", unified.get(), GetRequestMsg(unified.get(), typeId), typeId, msg, serialised)) {
    return false;
  }
  UUID tracking;
  bool haveTracking = false;
  if (!correlationId.empty()) {
    auto* ctrl = out.mutable_ctrl_headers();
    if (setControlHeader) ctrl->set_correlation_id(correlationId);
    haveTracking = UUID::Parse(correlationId, tracking);
  }
  if (!haveTracking) {
    std::optional<UUID> fresh = UUID::TryGenerate();
    if (!fresh) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific::GetGenericUnifiedMsg: random source failed, no tracking id.", app);
      return false;
    }
    tracking = *fresh;
    correlationId = tracking.ToString();
  }
  auto* id = out.mutable_cookies()->mutable_tracking_id();
  id->set_first_half(tracking.FirstHalf());
  id->set_second_half(tracking.SecondHalf());
  out.set_payload(serialised);
  return true;
}

bool MpaClientAppSpecific::GetGenericUnifiedMsgForSN(GenericUnifiedMsg& out, rmqClientMessage* msg,
                                                     const std::string& correlationId, std::string& typeId) {
  const char* app = appName_.c_str();
  if (!ReadTypeId(msg, typeId)) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific::GetGenericUnifiedMsgForSN: Failed to get object type from bson", app);
    return false;
  }
  std::unique_ptr<google::protobuf::Message> unified(GetHostUnifiedMsg(typeId));
  if (!unified) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] MpaClientAppSpecific::GetGenericUnifiedMsgForSN Unable to get HostUnifiedMsg", app);
    return false;
  }
  std::string serialised;
  if (!FillUnifiedMsg(app, "GetGenericUnifiedMsgForSN", unified.get(), GetRequestMsg(unified.get(), typeId), typeId, msg, serialised)) {
    return false;
  }
  if (!correlationId.empty()) out.mutable_ctrl_headers()->set_correlation_id(correlationId);
  out.set_payload(serialised);
  return true;
}

// ---- sending ----

int MpaClientAppSpecific::SendMsg(rmqClientMessage* msg, std::string& correlationId, const std::string& aphUuid) {
  if (msg == nullptr) return -1;
  std::string aph = aphUuid;
  if (aph.empty() && UseRoutingKeyAsAphUuid(msg) && msg->routingKey != nullptr) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific SendMsg, aphUuid (%s) changing to (%s) from amqpRoutingKey", appName_.c_str(),
             aph.c_str(), msg->routingKey);
    aph = msg->routingKey;
  }
  const bool publish = msg->messageType == 4 || msg->messageType == 12;
  return SendRequest(msg, publish, aph, correlationId, false);
}

int MpaClientAppSpecific::SendRequest(rmqClientMessage* msg, const std::string& aphUuid) {
  if (msg == nullptr) return -1;
  std::string aph = aphUuid;
  if (aph.empty() && UseRoutingKeyAsAphUuid(msg) && msg->routingKey != nullptr) aph = msg->routingKey;
  std::string correlationId;
  const bool publish = msg->messageType == 4 || msg->messageType == 12;
  return SendRequest(msg, publish, aph, correlationId, false);
}

int MpaClientAppSpecific::SendRequestToSN(rmqClientMessage* msg, const std::string& snId) {
  if (msg == nullptr) return -1;
  std::string target = snId;
  if (target.empty() && UseRoutingKeyAsAphUuid(msg) && msg->routingKey != nullptr) target = msg->routingKey;
  std::string correlationId;
  const bool publish = msg->messageType == 4 || msg->messageType == 13;
  return SendRequestSN(msg, publish, target, correlationId);
}

int MpaClientAppSpecific::SendRequest(rmqClientMessage* msg, bool publish, const std::string& aphUuid,
                                      std::string& correlationId, bool setControlHeader) {
  GenericUnifiedMsg envelope;
  std::string typeId;
  if (!GetGenericUnifiedMsg(envelope, msg, correlationId, typeId, setControlHeader)) return -1;
  auto owner = owner_.lock();
  if (!owner) return -1;
  int rc;
  if (publish) {
    rc = owner->MsgHandler(envelope, aphUuid, GetVoidCallObserver(correlationId));
  } else {
    rc = owner->RpcMsgHandler(envelope, aphUuid, GetRpcCallObserver(msg, correlationId, 0), 0);
  }
  const std::string tracking = TrackingIdText(envelope);
  const char* kind = publish ? "Publish," : "";
  const char* app = appName_.c_str();
  if (rc == 0 && aphUuid.empty()) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendRequest: To Master APH, %s type (%s) correlationId (%s) trackingIdStr (%s) Success.", app, kind,
             typeId.c_str(), correlationId.c_str(), tracking.c_str());
  } else if (rc == 0) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendRequest: To APH (%s), %s type (%s), correlationId (%s) trackingIdStr (%s) Success.", app,
             aphUuid.c_str(), kind, typeId.c_str(), correlationId.c_str(), tracking.c_str());
  } else if (aphUuid.empty()) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendRequest: Failed to send msg Master APH, %s type (%s), correlationId (%s), trackingIdStr (%s), "
             "ret (%d)",
             app, kind, typeId.c_str(), correlationId.c_str(), tracking.c_str(), rc);
  } else {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendRequest: Failed to send msg to APH (%s), %s type (%s), correlationId (%s), trackingIdStr (%s), "
             "ret (%d)",
             app, aphUuid.c_str(), kind, typeId.c_str(), correlationId.c_str(), tracking.c_str(), rc);
  }
  return rc;
}

int MpaClientAppSpecific::SendRequestSN(rmqClientMessage* msg, bool publish, const std::string& snId,
                                        std::string& correlationId) {
  GenericUnifiedMsg envelope;
  std::string typeId;
  if (!GetGenericUnifiedMsgForSN(envelope, msg, correlationId, typeId)) return -1;
  auto owner = owner_.lock();
  if (!owner) return -1;
  int rc;
  if (publish) {
    rc = owner->MsgHandler(envelope, snId, GetVoidCallObserver(correlationId));
  } else {
    rc = owner->RpcMsgHandler(envelope, snId, GetRpcCallObserver(msg, correlationId, 0), 0);
  }
  const char* kind = publish ? "Publish," : "";
  if (rc == 0) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendRequest: To SN (%s), %s type (%s), correlationId (%s) Success.", appName_.c_str(), snId.c_str(),
             kind, typeId.c_str(), correlationId.c_str());
  } else {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] SendRequest: Failed to send msg to SN (%s), %s type (%s), correlationId (%s), ret (%d)",
             appName_.c_str(), snId.c_str(), kind, typeId.c_str(), correlationId.c_str(), rc);
  }
  return rc;
}

// ---- responding ----

int MpaClientAppSpecific::RespondMsg(rmqClientMessage* msg, const std::string& correlationId) {
  const char* app = appName_.c_str();
  if (msg == nullptr) return -1;
  std::string id = correlationId;
  if (auto fromHeader = BsonHeaders::FindString(static_cast<const bson_t*>(msg->headers), "amqp_correlationId")) {
    id = *fromHeader;
  }
  if (id.empty()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::RespondMsg empty corelationId (%s).", app, id.c_str());
    return -1;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::RespondMsg corelationId (%s)", app, id.c_str());
  CallHandlePtr handle;
  {
    std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
    auto it = call_handle_map_.find(id);
    if (it == call_handle_map_.end()) {
      const bool answered = answered_ids_.count(id) != 0;
      lock.unlock();
      if (answered) {
        // One reply per call: a further message for the same request cannot travel, but
        // it must not vanish without a trace.
        std::string typeId = BsonHeaders::FindString(static_cast<const bson_t*>(msg->headers), "__TypeId__").value_or("");
        QBX_LOG(loglevel::kWarning)
            .subcomp(kSub)
            .put("[%s] MpaClientAppSpecific::RespondMsg call of corelationId (%s) already answered, dropping extra reply "
                 "of type (%s), %lld bytes",
                 app, id.c_str(), typeId.c_str(), static_cast<long long>(msg->payloadLen));
      }
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific::RespondMsg Invalid corealtionId (%s) and empty amqpRoutingKey", app, id.c_str());
      return -1;
    }
    handle = it->second;
    if (handle) {
      call_handle_map_.erase(it);
      call_handle_stamp_map_.erase(id);
      RememberAnswered(id);
    }
  }
  if (!handle) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::RespondMsg null handle for corelationId: %s", app, id.c_str());
    return -1;
  }
  GenericUnifiedMsg envelope;
  std::string typeId;
  std::string envelopeId = id;
  if (!GetGenericUnifiedMsg(envelope, msg, envelopeId, typeId, false)) {
    // The call is already out of the map: answer it rather than leave the peer waiting.
    handle->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] RespondMsg : Failed to send response with type (%s) corelationId (%s) trackingId (%s).", app,
             typeId.c_str(), id.c_str(), "");
    return -1;
  }
  const std::string tracking = TrackingIdText(envelope);
  if (!handle->writer()->Last(envelope)) {
    // Ended meanwhile (its server shut down): the answer did not travel.
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] RespondMsg : Failed to send response with type (%s) corelationId (%s) trackingId (%s).", app,
             typeId.c_str(), id.c_str(), tracking.c_str());
    return -1;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] RespondMsg : Sent response with type (%s) corelationId (%s) trackingId (%s)", app, typeId.c_str(),
           id.c_str(), tracking.c_str());
  return 0;
}

int MpaClientAppSpecific::RespondMsgByHeader(rmqClientMessage* msg) {
  std::string id;
  if (msg != nullptr) {
    if (auto v = BsonHeaders::FindString(static_cast<const bson_t*>(msg->headers), "amqp_correlationId")) id = *v;
  }
  return RespondMsg(msg, id);
}

int MpaClientAppSpecific::RespondMsgToSN(rmqClientMessage* msg) {
  const char* app = appName_.c_str();
  if (msg == nullptr) return -1;
  std::string id;
  if (auto v = BsonHeaders::FindString(static_cast<const bson_t*>(msg->headers), "amqp_correlationId")) id = *v;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::RespondMsgToSN correlationId (%s)", app, id.c_str());
  CallHandlePtr handle;
  {
    std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
    auto it = call_handle_map_.find(id);
    if (it == call_handle_map_.end()) {
      lock.unlock();
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::RespondMsgToSN Invalid correlationId (%s)", app, id.c_str());
      return -1;
    }
    handle = it->second;
    if (handle) {
      call_handle_map_.erase(it);
      call_handle_stamp_map_.erase(id);
    }
  }
  if (!handle) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::RespondMsgToSN null handle for correlationId: %s", app, id.c_str());
    return -1;
  }
  GenericUnifiedMsg envelope;
  std::string typeId;
  if (!GetGenericUnifiedMsgForSN(envelope, msg, id, typeId)) {
    handle->writer()->Error(rpc::AppStatus::APPLICATION_ERROR);
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] RespondMsgToSN : Failed to send response with type (%s) correlationId (%s)", app, typeId.c_str(), id.c_str());
    return -1;
  }
  if (!handle->writer()->Last(envelope)) {
    // Ended meanwhile (its server shut down): the answer did not travel.
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] RespondMsgToSN : Failed to send response with type (%s) correlationId (%s)", app, typeId.c_str(),
             id.c_str());
    return -1;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] RespondMsgToSN : Sent response with type (%s) correlationId (%s)", app, typeId.c_str(), id.c_str());
  return 0;
}

// ---- open calls ----

void MpaClientAppSpecific::RememberAnswered(const std::string& id) {
  if (!answered_ids_.insert(id).second) return;
  answered_order_.push_back(id);
  if (answered_order_.size() > kAnsweredIdsKept) {
    answered_ids_.erase(answered_order_.front());
    answered_order_.pop_front();
  }
}

bool MpaClientAppSpecific::WasAnswered(const std::string& id) {
  std::shared_lock<std::shared_mutex> lock(call_handle_mutex_);
  return answered_ids_.count(id) != 0 && call_handle_map_.count(id) == 0;
}

bool MpaClientAppSpecific::IsCorelationIdInCallHandleMap(const std::string& id) {
  std::shared_lock<std::shared_mutex> lock(call_handle_mutex_);
  return call_handle_map_.count(id) != 0;
}

bool MpaClientAppSpecific::AddToCallHandleMap(const std::string& id, const CallHandlePtr& handle) {
  std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
  if (released_) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific AddToCallHandleMap released, refusing corelationId (%s)", appName_.c_str(),
             id.c_str());
    return false;
  }
  if (call_handle_map_.count(id) != 0) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific AddToCallHandleMap Handle with corelationId (%s) already present",
             appName_.c_str(), id.c_str());
    return false;
  }
  call_handle_map_[id] = handle;
  call_handle_stamp_map_[id] = clock_->Now();
  return true;
}

bool MpaClientAppSpecific::RefuseCall(const std::string& id, rpc::AppStatus status) {
  CallHandlePtr handle;
  {
    std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
    auto it = call_handle_map_.find(id);
    if (it == call_handle_map_.end()) return false;
    handle = std::move(it->second);
    call_handle_map_.erase(it);
    call_handle_stamp_map_.erase(id);
    RememberAnswered(id);
  }
  if (!handle) return false;
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] MpaClientAppSpecific::RefuseCall corelationId (%s)", appName_.c_str(), id.c_str());
  handle->writer()->Error(status);
  return true;
}

MpaClientAppSpecific::CallHandlePtr MpaClientAppSpecific::GetFromCallHandleMap(const std::string& id) {
  std::shared_lock<std::shared_mutex> lock(call_handle_mutex_);
  auto it = call_handle_map_.find(id);
  return it == call_handle_map_.end() ? nullptr : it->second;
}

void MpaClientAppSpecific::RemoveFromCallHandleMap(const std::string& id) {
  CallHandlePtr dropped;  // released after the lock
  std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
  auto it = call_handle_map_.find(id);
  if (it == call_handle_map_.end()) return;
  dropped = it->second;
  call_handle_map_.erase(it);
  call_handle_stamp_map_.erase(id);
}

void MpaClientAppSpecific::PurgeCallHandleMap(rpc::AppStatus answer) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific PurgeCallHandleMap", appName_.c_str());
  PurgeOpenCalls(answer, false);
}

void MpaClientAppSpecific::Release(rpc::AppStatus answer) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific Release", appName_.c_str());
  PurgeOpenCalls(answer, true);
}

bool MpaClientAppSpecific::IsReleased() {
  std::shared_lock<std::shared_mutex> lock(call_handle_mutex_);
  return released_;
}

void MpaClientAppSpecific::PurgeOpenCalls(rpc::AppStatus answer, bool release) {
  std::unordered_map<std::string, CallHandlePtr> dropped;
  {
    std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
    if (release) released_ = true;
    dropped.swap(call_handle_map_);
    call_handle_stamp_map_.clear();
  }
  // Nobody can complete these calls any more: answer them instead of leaving them open.
  for (auto& [id, handle] : dropped) {
    if (handle) handle->writer()->Error(answer);
  }
}

void MpaClientAppSpecific::PurgeStaleCallHandles() {
  const char* app = appName_.c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAppSpecific PurgeStaleCallHandles Begin", app);
  std::vector<CallHandlePtr> stale;
  {
    std::unique_lock<std::shared_mutex> lock(call_handle_mutex_);
    const auto now = clock_->Now();
    for (auto it = call_handle_stamp_map_.begin(); it != call_handle_stamp_map_.end();) {
      if (now - it->second <= kStaleCallAge) {
        ++it;
        continue;
      }
      const std::string id = it->first;
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific PurgeStaleCallHandles Removing call handle, corelationId (%s)", app, id.c_str());
      it = call_handle_stamp_map_.erase(it);
      auto handle = call_handle_map_.find(id);
      if (handle == call_handle_map_.end()) {
        QBX_LOG(loglevel::kInfo)
            .subcomp(kSub)
            .put("[%s] MpaClientAppSpecific PurgeStaleCallHandles call handle associated with corelationId (%s) not "
                 "found in call_handle_map_",
                 app, id.c_str());
        continue;
      }
      stale.push_back(handle->second);
      call_handle_map_.erase(handle);
    }
  }
  for (auto& handle : stale) {
    if (handle) handle->writer()->Error(rpc::AppStatus::ABORTED);
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientAppSpecific PurgeStaleCallHandles End", app);
}

size_t MpaClientAppSpecific::OpenCallCount() {
  std::shared_lock<std::shared_mutex> lock(call_handle_mutex_);
  return call_handle_map_.size();
}

// ---- app-init calls ----

bool MpaClientAppSpecific::AddToSeqToCallHandleMap(uint32_t seq,
                                                   const std::shared_ptr<rpc::CallHandleImpl<GenericUnifiedMsg>>& handle) {
  if (seq_to_call_handle_map_.count(seq) != 0) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific AddToSeqCallHandleMap Handle with seq (%d) already present", appName_.c_str(), seq);
    return false;
  }
  seq_to_call_handle_map_[seq] = handle;
  return true;
}

std::optional<std::shared_ptr<rpc::CallHandleImpl<MpaClientAppSpecific::GenericUnifiedMsg>>>
MpaClientAppSpecific::GetFromSeqToCallHandleMap(uint32_t seq) {
  std::lock_guard<std::mutex> lock(seq_map_mutex_);
  auto it = seq_to_call_handle_map_.find(seq);
  if (it == seq_to_call_handle_map_.end()) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific GetFromSeqToCallHandleMap: call_handle corresponding to seq %d not found",
             appName_.c_str(), seq);
    return std::nullopt;
  }
  return it->second;
}

void MpaClientAppSpecific::DeleteFromSeqToCallHandleMap(uint32_t seq) {
  std::lock_guard<std::mutex> lock(seq_map_mutex_);
  seq_to_call_handle_map_.erase(seq);
}

// ---- observer records ----

bool MpaClientAppSpecific::PopulateObserverRmqMsg(rmqClientMessage& out, const rmqClientMessage& request) {
  const char* app = appName_.c_str();
  uint32_t responseType;
  switch (request.messageType) {
    case 10: responseType = 9; break;
    case 4: case 12: responseType = 12; break;
    case 8: responseType = 11; break;
    default:
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific::PopulateObserverRmqMsg Unknown Message type: (%d)", app, request.messageType);
      return false;
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] MpaClientAppSpecific::PopulateObserverRmqMsg Message Type: (%d), Response Type: (%d)", app,
           request.messageType, responseType);
  out.messageType = responseType;
  out.cookieId = request.cookieId;
  out.appType = strdup(appName_.c_str());
  if (out.appType == nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::PopulateObserverRmqMsg Failed to allocate appType", app);
    return false;
  }
  out.appId = strdup("unused");
  if (out.appId == nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::PopulateObserverRmqMsg Failed to allocate appId", app);
    std::free(out.appType);
    out.appType = nullptr;
    return false;
  }
  if (request.headers != nullptr) {
    auto id = BsonHeaders::FindString(static_cast<const bson_t*>(request.headers), "amqp_correlationId");
    if (!id) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific::PopulateObserverRmqMsg Failed to get Correlation ID", app);
      std::free(out.appType);
      std::free(out.appId);
      out.appType = nullptr;
      out.appId = nullptr;
      return false;
    }
    bson_t* doc = BsonHeaders::New();
    BsonHeaders::AppendString(doc, "amqp_correlationId", *id);
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific::PopulateObserverRmqMsg Adding Correlation ID (%s) to response", app, id->c_str());
    out.headers = doc;
  }
  return true;
}

void MpaClientAppSpecific::FreeObserverRmqMsg(rmqClientMessage* msg) {
  if (msg == nullptr) return;
  std::free(msg->appType);
  std::free(msg->appId);
  std::free(msg->routingKey);
  std::free(msg->contentType);
  std::free(msg->payload);
  BsonHeaders::Destroy(static_cast<bson_t*>(msg->headers));
  std::memset(msg, 0, sizeof(*msg));
}

// ---- app-init ----

void MpaClientAppSpecific::BuildAppInitMsg(zumbra::qbx::messaging::appinit::AppInitMsg& msg) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] BuildAppInitMsg Begin", appName_.c_str());
  msg.set_app_name(appName_);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] BuildAppInitMsg End", appName_.c_str());
}

bool MpaClientAppSpecific::GetAppInitUnifiedMsg(GenericUnifiedMsg& out) {
  const std::string typeId = "com.zumbra.qbx.messaging.appinit.AppInitMsg";
  std::unique_ptr<google::protobuf::Message> unified(GetMpUnifiedMsg(typeId));
  if (!unified) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put("[%s] MpaClientAppSpecific::GetAppInitUnifiedMsg Unable to get MpUnifiedMsg", appName_.c_str());
    return false;
  }
  auto* sub = GetRequestMsg(unified.get(), typeId);
  if (sub == nullptr || sub->GetDescriptor() != zumbra::qbx::messaging::appinit::AppInitMsg::descriptor()) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] MpaClientAppSpecific::GetAppInitUnifiedMsg msg NULL for type %s", appName_.c_str(), typeId.c_str());
    return false;
  }
  BuildAppInitMsg(*static_cast<zumbra::qbx::messaging::appinit::AppInitMsg*>(sub));
  std::string serialised;
  if (!unified->SerializeToString(&serialised)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientAppSpecific::GetAppInitUnifiedMsg: Could not serialize to string.", appName_.c_str());
    return false;
  }
  out.set_payload(serialised);
  return true;
}

bool MpaClientAppSpecific::SendAppInitRequest(uint32_t seq) {
  GenericUnifiedMsg envelope;
  if (!GetAppInitUnifiedMsg(envelope)) return false;
  const std::optional<UUID> tracking = UUID::TryGenerate();
  if (!tracking) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] AppInit request: seq (%d), random source failed, no tracking id.", appName_.c_str(), seq);
    return false;
  }
  auto* id = envelope.mutable_cookies()->mutable_tracking_id();
  id->set_first_half(tracking->FirstHalf());
  id->set_second_half(tracking->SecondHalf());
  const std::string trackingText = tracking->ToString();
  auto owner = owner_.lock();
  if (!owner) return false;
  const int rc = owner->RpcMsgHandler(envelope, std::string(), GetRpcCallObserver(nullptr, trackingText, seq), seq);
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] AppInit request: seq (%d), Master APH (%s), ret (%d), trackingIdStr (%s).", appName_.c_str(), seq, "",
           rc, trackingText.c_str());
  return rc == 0;
}

bool MpaClientAppSpecific::FinishInitHandshake(uint32_t seq, bool success) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSub)
      .put("[%s] FinishInitHandshake Seq (%d) (%s)", appName_.c_str(), seq, success ? "Success" : "Failed");
  auto owner = owner_.lock();
  return owner ? owner->CompleteAppInitHanshake(seq, success) : false;
}

// ---- notices ----

void MpaClientAppSpecific::SendMsgToVertical(rmqClientMessage* msg, bool smartNic) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s]  SendMsgToVertical", appName_.c_str());
  auto owner = owner_.lock();
  if (owner) owner->ProcessMpaMessage(msg, smartNic);
}

void MpaClientAppSpecific::SendNoticeToVertical(uint32_t type, bool smartNic) {
  const char* app = appName_.c_str();
  const bool ack = type == RMQ_CLIENT_REGISTRATION_ACK;
  auto owner = owner_.lock();
  if (!owner) return;
  uint32_t major = 0;
  uint32_t minor = 0;
  if (!smartNic) {
    if (owner->GetMpVersionViaTnProxy(major, minor)) {
      if (ack) {
        QBX_LOG(loglevel::kInfo)
            .subcomp(kSub)
            .put("[%s] MpaClientAppSpecific SendRegistrationAckToVertical mp_major_version is (%d) mp_minor_version is (%d)",
                 app, major, minor);
      } else {
        QBX_LOG(loglevel::kDebug)
            .subcomp(kSub)
            .put("[%s] MpaClientAppSpecific SendCloseToVertical mp_major_version is (%d) mp_minor_version is (%d)", app,
                 major, minor);
      }
    } else {
      major = minor = 0;
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put(ack ? "[%s] MpaClientAppSpecific SendRegistrationAckToVertical major and minor version numbers not yet received"
                   : "[%s] MpaClientAppSpecific SendCloseToVertical major and minor version numbers not yet received",
               app);
    }
  } else {
    const char* what = ack ? "SendRegistrationAckToVertical" : "SendCloseToVertical";
    if (owner->GetMpVersionSNMpaClient(major, minor)) {
      if (major == 0 && minor == 0) {
        QBX_LOG(loglevel::kInfo)
            .subcomp(kSub)
            .put("[%s] MpaClientAppSpecific %s for SN mp_major_version and mp_minor_version not yet received. Setting "
                 "default",
                 app, what);
        major = 9;
        minor = 0;
      }
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific %s for SN mp_major_version is (%d) mp_minor_version is (%d)", app, what, major, minor);
    } else {
      major = minor = 0;
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s] MpaClientAppSpecific %s for SN major and minor version numbers not yet received", app, what);
    }
  }
  rmqClientMessage record;
  std::memset(&record, 0, sizeof(record));
  record.messageType = type;
  std::string appType = appName_;
  record.appType = appType.data();
  record.cookieId = -1;
  record.mpMajorVersion = major;
  record.mpMinorVersion = minor;
  bson_t* doc = BsonHeaders::New();
  BsonHeaders::AppendInt64(doc, "msg_type", type);
  BsonHeaders::AppendString(doc, "app_type", appName_);
  BsonHeaders::AppendString(doc, "app_id", "qbx");
  record.headers = const_cast<uint8_t*>(bson_get_data(doc));  // raw bytes, as the channel delivers
  record.headersLen = doc->len;
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSub)
      .put(ack ? "[%s]  SendRegistrationAckToVertical : Invoking vertical callback"
               : "[%s]  SendCloseToVertical : Invoking vertical callback",
           app);
  SendMsgToVertical(&record, smartNic);
  BsonHeaders::Destroy(doc);
}

void MpaClientAppSpecific::SendRegistrationAckToVertical(bool smartNic) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s]  SendRegistrationAckToVertical, SN: %d", appName_.c_str(), smartNic ? 1 : 0);
  SendNoticeToVertical(RMQ_CLIENT_REGISTRATION_ACK, smartNic);
}

void MpaClientAppSpecific::SendCloseToVertical(bool smartNic) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Send Close Msg to Vertical", appName_.c_str());
  SendNoticeToVertical(RMQ_CLIENT_CLOSE, smartNic);
}

void MpaClientAppSpecific::SendErrorToVertical(bool failed, const std::string& correlationId, bool smartNic) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] SendErrorToVertical", appName_.c_str());
  MpaClient::DeliverErrorToApp(failed ? 1 : 0, correlationId, appName_, smartNic);
}

}  // namespace qbx
