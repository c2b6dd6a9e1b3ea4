// 128-bit identifiers: random generation, the 36-character text form, and the helpers that
// read `zumbra::qbx::UuidMsg` and `UuidOrStringIdMsg`.
//
// Text form: 32 lowercase hexadecimal digits in groups 8-4-4-4-12, the first half's most
// significant byte first, e.g. 01234567-89ab-cdef-fedc-ba9876543210.
//
// Threading: everything here is re-entrant. The random source is process-wide and replaced
// only by tests.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "zumbra/qbx/agg_service/messaging/ids.pb.h"
#include "zumbra/qbx/common/uuid.pb.h"

namespace qbx {

// Thrown by UUID::Generate when the random source fails: an identifier made of whatever was
// in memory would not be unique.
class UuidGenerationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UUID {
 public:
  constexpr UUID() = default;
  constexpr UUID(uint64_t firstHalf, uint64_t secondHalf) : first_(firstHalf), second_(secondHalf) {}

  constexpr uint64_t FirstHalf() const { return first_; }
  constexpr uint64_t SecondHalf() const { return second_; }

  // 128 random bits (no version or variant bits). Throws UuidGenerationError when the random
  // source fails.
  static UUID Generate();
  // The same, for code that must not throw (thread bodies, callbacks): empty on failure.
  static std::optional<UUID> TryGenerate() noexcept;

  // True and the value when `text` is 8-4-4-4-12 hexadecimal digits (either case); false
  // and `out` unchanged otherwise. Never throws.
  static bool Parse(const std::string& text, UUID& out) noexcept;

  std::string ToString() const;

  friend constexpr bool operator==(const UUID&, const UUID&) = default;

  // Test seam: fills `length` bytes and returns 1 on success, like RAND_bytes. Null restores
  // the OpenSSL generator.
  using RandomSource = int (*)(unsigned char* buffer, int length);
  static void SetRandomSourceForTest(RandomSource source);

 private:
  uint64_t first_ = 0;
  uint64_t second_ = 0;
};

// Copies the halves that are present; an absent half leaves its output unchanged.
void UuidMsgToParts(const zumbra::qbx::UuidMsg& msg, uint64_t& firstHalf, uint64_t& secondHalf);
// The text form; absent halves count as 0.
std::string UuidMsgToString(const zumbra::qbx::UuidMsg& msg);
// The string form of the id when it is set, else "".
std::string GetOptionalString(const zumbra::qbx::agg_service::messaging::UuidOrStringIdMsg& msg);

}  // namespace qbx
