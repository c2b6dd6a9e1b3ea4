// The header block of a channel message record: a BSON document of string and 64-bit
// integer elements ("__TypeId__", "amqp_correlationId", "amqp_replyTo", ...).
//
// Two forms travel in rmqClientMessage::headers: a raw BSON buffer as the channel delivers
// it, and an initialised bson_t object in the records this process builds. A raw buffer
// comes from outside the process: it is only read after its declared length has been
// checked against the length the channel vouches for, and the element walk stops (and
// reports failure) at the first element that does not fit.
//
// Threading: stateless; a document belongs to its caller.
#pragma once

#include <bson/bson.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qbx {

class BsonHeaders {
 public:
  // One element as the walk sees it. `type` is the BSON type byte (2 string, 18 int64).
  struct Element {
    std::string_view key;
    int type = 0;
    std::string_view str;  // type 2
    int64_t num = 0;       // type 18
  };
  using Visitor = std::function<void(const Element&)>;

  // Walks a raw buffer of which at most `available` bytes may be read. False, having
  // visited nothing past the fault, when the buffer is null, shorter than its declared
  // length, or malformed.
  static bool ForEachRaw(const void* data, size_t available, const Visitor& visit);
  // Walks an initialised document; false when it is null or malformed.
  static bool ForEach(const bson_t* doc, const Visitor& visit);

  // A new empty heap document (never null: libbson aborts on allocation failure).
  static bson_t* New();
  static void Destroy(bson_t* doc);
  static bool AppendString(bson_t* doc, std::string_view key, std::string_view value);
  static bool AppendInt64(bson_t* doc, std::string_view key, int64_t value);

  // Keeps the value of `e` in `slot` when `e` is a string element named `key` and `slot`
  // holds nothing yet. A block that names a key twice is read by its first element in every
  // look-up of this process: readers that took different elements would disagree on which
  // call a message belongs to.
  static void TakeFirst(const Element& e, std::string_view key, std::optional<std::string>& slot);

  // The value of the first string element whose key is `key`; elements of another type
  // with that key are skipped.
  static std::optional<std::string> FindString(const bson_t* doc, std::string_view key);
  static std::optional<std::string> FindStringRaw(const void* data, size_t available, std::string_view key);

  // The document's bytes (for the wire and for tests).
  static std::vector<uint8_t> ToBytes(const bson_t* doc);
  // Builds a raw buffer from string elements, in order (tests and the channel stand-in).
  static std::vector<uint8_t> MakeRaw(const std::vector<std::pair<std::string, std::string>>& strings);
};

}  // namespace qbx
