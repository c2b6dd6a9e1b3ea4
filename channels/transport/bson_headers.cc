#include "channels/transport/bson_headers.h"

#include <cstring>

namespace qbx {
namespace {

bool Walk(const bson_t* doc, const BsonHeaders::Visitor& visit) {
  bson_iter_t it;
  if (!bson_iter_init(&it, doc)) return false;
  while (bson_iter_next(&it)) {
    BsonHeaders::Element e;
    e.key = std::string_view(bson_iter_key(&it), bson_iter_key_len(&it));
    e.type = static_cast<int>(bson_iter_type(&it));
    if (e.type == BSON_TYPE_UTF8) {
      uint32_t len = 0;
      const char* s = bson_iter_utf8(&it, &len);
      e.str = std::string_view(s, len);
    } else if (e.type == BSON_TYPE_INT64) {
      e.num = bson_iter_int64(&it);
    }
    visit(e);
  }
  // bson_iter_next stops both at the end and at a malformed element; only the latter
  // leaves an error offset.
  return it.err_off == 0;
}

}  // namespace

bool BsonHeaders::ForEachRaw(const void* data, size_t available, const Visitor& visit) {
  if (data == nullptr || available < 5) return false;
  int32_t declared = 0;
  std::memcpy(&declared, data, sizeof(declared));
  declared = BSON_UINT32_FROM_LE(declared);
  if (declared < 5 || static_cast<size_t>(declared) > available) return false;
  bson_t doc;
  if (!bson_init_static(&doc, static_cast<const uint8_t*>(data), static_cast<size_t>(declared))) {
    return false;
  }
  return Walk(&doc, visit);
}

bool BsonHeaders::ForEach(const bson_t* doc, const Visitor& visit) {
  if (doc == nullptr) return false;
  return Walk(doc, visit);
}

bson_t* BsonHeaders::New() { return bson_new(); }

void BsonHeaders::Destroy(bson_t* doc) {
  if (doc != nullptr) bson_destroy(doc);
}

bool BsonHeaders::AppendString(bson_t* doc, std::string_view key, std::string_view value) {
  if (doc == nullptr) return false;
  return bson_append_utf8(doc, key.data(), static_cast<int>(key.size()), value.data(),
                          static_cast<int>(value.size()));
}

bool BsonHeaders::AppendInt64(bson_t* doc, std::string_view key, int64_t value) {
  if (doc == nullptr) return false;
  return bson_append_int64(doc, key.data(), static_cast<int>(key.size()), value);
}

void BsonHeaders::TakeFirst(const Element& e, std::string_view key, std::optional<std::string>& slot) {
  if (!slot && e.type == BSON_TYPE_UTF8 && e.key == key) slot.emplace(e.str);
}

std::optional<std::string> BsonHeaders::FindString(const bson_t* doc, std::string_view key) {
  std::optional<std::string> found;
  ForEach(doc, [&](const Element& e) { TakeFirst(e, key, found); });
  return found;
}

std::optional<std::string> BsonHeaders::FindStringRaw(const void* data, size_t available,
                                                      std::string_view key) {
  std::optional<std::string> found;
  ForEachRaw(data, available, [&](const Element& e) { TakeFirst(e, key, found); });
  return found;
}

std::vector<uint8_t> BsonHeaders::ToBytes(const bson_t* doc) {
  if (doc == nullptr) return {};
  const uint8_t* data = bson_get_data(doc);
  return std::vector<uint8_t>(data, data + doc->len);
}

std::vector<uint8_t> BsonHeaders::MakeRaw(const std::vector<std::pair<std::string, std::string>>& strings) {
  bson_t* doc = New();
  for (const auto& [k, v] : strings) AppendString(doc, k, v);
  std::vector<uint8_t> bytes = ToBytes(doc);
  Destroy(doc);
  return bytes;
}

}  // namespace qbx
