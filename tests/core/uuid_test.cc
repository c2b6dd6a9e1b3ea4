// GCC 12 reports a false maybe-uninitialized inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "core/uuid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>

namespace qbx {
namespace {

// Restores the OpenSSL generator when a test ends.
class RandomSourceGuard {
 public:
  explicit RandomSourceGuard(UUID::RandomSource source) { UUID::SetRandomSourceForTest(source); }
  ~RandomSourceGuard() { UUID::SetRandomSourceForTest(nullptr); }
};

int gDraws = 0;

int CountingBytes(unsigned char* buffer, int length) {
  for (int i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(gDraws * 16 + i);
  ++gDraws;
  return 1;
}
int FailingSource(unsigned char*, int) { return 0; }
int OpenSslStyleError(unsigned char*, int) { return -1; }
int FailsSecondDraw(unsigned char* buffer, int length) {
  if (gDraws++ == 1) return 0;
  std::memset(buffer, 0xab, length);
  return 1;
}

TEST(UuidText, HalvesAreWrittenMostSignificantByteFirst) {
  UUID id(0x0123456789abcdefULL, 0xfedcba9876543210ULL);
  EXPECT_EQ(id.ToString(), "01234567-89ab-cdef-fedc-ba9876543210");
  EXPECT_EQ(UUID().ToString(), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(UUID(~0ULL, ~0ULL).ToString(), "ffffffff-ffff-ffff-ffff-ffffffffffff");
}

TEST(UuidText, ParseAcceptsOnlyTheCanonicalShape) {
  UUID out;
  ASSERT_TRUE(UUID::Parse("01234567-89ab-cdef-fedc-ba9876543210", out));
  EXPECT_EQ(out, UUID(0x0123456789abcdefULL, 0xfedcba9876543210ULL));
  ASSERT_TRUE(UUID::Parse("01234567-89AB-CDEF-FEDC-BA9876543210", out));
  EXPECT_EQ(out.ToString(), "01234567-89ab-cdef-fedc-ba9876543210");

  const UUID sentinel(1, 2);
  const char* bad[] = {"",
                       "01234567-89ab-cdef-fedc-ba987654321",
                       "01234567-89ab-cdef-fedc-ba98765432100",
                       "0123456789ab-cdef-fedc-ba9876543210-",
                       "01234567_89ab-cdef-fedc-ba9876543210",
                       "0123456789abcdeffedcba9876543210",
                       "{01234567-89ab-cdef-fedc-ba98765432}",
                       "g1234567-89ab-cdef-fedc-ba9876543210",
                       "01234567-89ab-cdef-fedc-ba987654321 ",
                       "01234567-89ab-cdef-fedc+ba9876543210"};
  for (const char* text : bad) {
    UUID kept = sentinel;
    EXPECT_FALSE(UUID::Parse(text, kept)) << text;
    EXPECT_EQ(kept, sentinel) << text;
  }
}

TEST(UuidGenerate, TwoDrawsOfEightBytesInMemoryOrder) {
  gDraws = 0;
  RandomSourceGuard guard(CountingBytes);
  UUID id = UUID::Generate();
  EXPECT_EQ(gDraws, 2);
  uint64_t first = 0;
  uint64_t second = 0;
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(i);
  std::memcpy(&first, bytes, 8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(16 + i);
  std::memcpy(&second, bytes, 8);
  EXPECT_EQ(id, UUID(first, second));
}

// A failing random source must not yield an identifier.
TEST(UuidGenerate, RandomSourceFailureIsReported) {
  {
    RandomSourceGuard guard(FailingSource);
    EXPECT_THROW(UUID::Generate(), UuidGenerationError);
    EXPECT_FALSE(UUID::TryGenerate().has_value());
  }
  {
    RandomSourceGuard guard(OpenSslStyleError);
    EXPECT_THROW(UUID::Generate(), UuidGenerationError);
  }
  {
    gDraws = 0;
    RandomSourceGuard guard(FailsSecondDraw);
    EXPECT_FALSE(UUID::TryGenerate().has_value());
  }
}

TEST(UuidGenerate, OpenSslValuesDifferAndFormatCanonically) {
  std::set<std::string> seen;
  std::regex shape("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  for (int i = 0; i < 100; ++i) {
    std::string text = UUID::Generate().ToString();
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
    UUID back;
    ASSERT_TRUE(UUID::Parse(text, back));
    EXPECT_EQ(back.ToString(), text);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(UuidMsgHelpers, PresentHalvesOnly) {
  zumbra::qbx::UuidMsg msg;
  EXPECT_EQ(UuidMsgToString(msg), "00000000-0000-0000-0000-000000000000");
  uint64_t first = 7;
  uint64_t second = 8;
  UuidMsgToParts(msg, first, second);
  EXPECT_EQ(first, 7u);
  EXPECT_EQ(second, 8u);

  msg.set_second_half(0xfedcba9876543210ULL);
  UuidMsgToParts(msg, first, second);
  EXPECT_EQ(first, 7u);
  EXPECT_EQ(second, 0xfedcba9876543210ULL);
  EXPECT_EQ(UuidMsgToString(msg), "00000000-0000-0000-fedc-ba9876543210");

  msg.set_first_half(0x0123456789abcdefULL);
  EXPECT_EQ(UuidMsgToString(msg), "01234567-89ab-cdef-fedc-ba9876543210");
  msg.set_first_half(0);  // present but zero still counts as present
  first = 5;
  UuidMsgToParts(msg, first, second);
  EXPECT_EQ(first, 0u);
}

TEST(UuidMsgHelpers, OptionalStringReadsOnlyTheTextForm) {
  zumbra::qbx::agg_service::messaging::UuidOrStringIdMsg msg;
  EXPECT_EQ(GetOptionalString(msg), "");
  msg.mutable_uuid_id()->set_first_half(1);
  EXPECT_EQ(GetOptionalString(msg), "");
  msg.set_string_id("");
  EXPECT_EQ(GetOptionalString(msg), "");
  msg.set_string_id("target-1");
  EXPECT_EQ(GetOptionalString(msg), "target-1");
}

}  // namespace
}  // namespace qbx
