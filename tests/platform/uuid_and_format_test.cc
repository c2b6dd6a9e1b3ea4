#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/runtime/string_format.h"
#include "platform/runtime/uuid_generator.h"

namespace qbx {
namespace {

TEST(UuidGenerator, CanonicalRandomAndDistinct) {
  uuids::UuidGenerator gen;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string text = gen.GenerateString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[8], '-');
    EXPECT_EQ(text[14], '4');  // version 4
    for (char c : text) EXPECT_TRUE(c == '-' || isdigit(c) || (c >= 'a' && c <= 'f')) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(StringFormat, ShortLongAndEmpty) {
  EXPECT_EQ(string_format("%s-%d", "a", 7), "a-7");
  EXPECT_EQ(string_format("%s", ""), "");
  std::string long_text(5000, 'x');
  EXPECT_EQ(string_format("[%s]", long_text.c_str()), "[" + long_text + "]");
  std::string exact(255, 'y');  // fits the small buffer exactly with its terminator
  EXPECT_EQ(string_format("%s", exact.c_str()), exact);
  std::string over(256, 'z');
  EXPECT_EQ(string_format("%s", over.c_str()), over);
}

}  // namespace
}  // namespace qbx
