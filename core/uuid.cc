#include "core/uuid.h"

#include <openssl/rand.h>

#include <atomic>
#include <cstring>

namespace qbx {

namespace {

std::atomic<UUID::RandomSource> gRandomSource{nullptr};

int DrawRandom(unsigned char* buffer, int length) {
  UUID::RandomSource source = gRandomSource.load(std::memory_order_acquire);
  return source != nullptr ? source(buffer, length) : RAND_bytes(buffer, length);
}

// One 64-bit half from 8 random bytes, taken as they lie in memory.
bool DrawHalf(uint64_t& half) {
  unsigned char bytes[sizeof(uint64_t)];
  if (DrawRandom(bytes, sizeof(bytes)) != 1) return false;
  std::memcpy(&half, bytes, sizeof(half));
  return true;
}

void AppendHex(std::string& out, uint64_t half, int firstByte, int endByte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = firstByte; i < endByte; ++i) {
    unsigned byte = static_cast<unsigned>((half >> (8 * (7 - i))) & 0xff);
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xf]);
  }
}

std::string FormatHalves(uint64_t first, uint64_t second) {
  std::string text;
  text.reserve(36);
  AppendHex(text, first, 0, 4);
  text.push_back('-');
  AppendHex(text, first, 4, 6);
  text.push_back('-');
  AppendHex(text, first, 6, 8);
  text.push_back('-');
  AppendHex(text, second, 0, 2);
  text.push_back('-');
  AppendHex(text, second, 2, 8);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UUID UUID::Generate() {
  std::optional<UUID> value = TryGenerate();
  if (!value) throw UuidGenerationError("random source failed to produce a UUID");
  return *value;
}

std::optional<UUID> UUID::TryGenerate() noexcept {
  uint64_t first = 0;
  uint64_t second = 0;
  if (!DrawHalf(first) || !DrawHalf(second)) return std::nullopt;
  return UUID(first, second);
}

bool UUID::Parse(const std::string& text, UUID& out) noexcept {
  if (text.size() != 36) return false;
  uint64_t halves[2] = {0, 0};
  int digits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    int value = HexValue(text[i]);
    if (value < 0) return false;
    uint64_t& half = halves[digits / 16];
    half = (half << 4) | static_cast<uint64_t>(value);
    ++digits;
  }
  out = UUID(halves[0], halves[1]);
  return true;
}

std::string UUID::ToString() const { return FormatHalves(first_, second_); }

void UUID::SetRandomSourceForTest(RandomSource source) {
  gRandomSource.store(source, std::memory_order_release);
}

void UuidMsgToParts(const zumbra::qbx::UuidMsg& msg, uint64_t& firstHalf, uint64_t& secondHalf) {
  if (msg.has_first_half()) firstHalf = msg.first_half();
  if (msg.has_second_half()) secondHalf = msg.second_half();
}

std::string UuidMsgToString(const zumbra::qbx::UuidMsg& msg) {
  uint64_t first = 0;
  uint64_t second = 0;
  UuidMsgToParts(msg, first, second);
  return FormatHalves(first, second);
}

std::string GetOptionalString(const zumbra::qbx::agg_service::messaging::UuidOrStringIdMsg& msg) {
  return msg.has_string_id() ? msg.string_id() : std::string();
}

}  // namespace qbx
