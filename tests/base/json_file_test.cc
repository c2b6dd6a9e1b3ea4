// The JSON reader's nesting bound, which keeps deep files away from the recursive parser.
#include <boost/property_tree/ptree.hpp>
#include <string>

#include <gtest/gtest.h>

#include "base/json_file.h"
#include "tests/base/log_test_support.h"

namespace qbx {
namespace {

TEST(JsonNesting, CountsObjectsAndArraysOutsideStrings) {
  EXPECT_EQ(JsonNestingDepth(""), 0u);
  EXPECT_EQ(JsonNestingDepth("42"), 0u);
  EXPECT_EQ(JsonNestingDepth(R"({"a": [1, {"b": []}], "c": {}})"), 4u);
  // Brackets in strings, also after escaped quotes and backslashes, are text.
  EXPECT_EQ(JsonNestingDepth(R"({"a": "[[[{{{", "b": "\"[[", "c": "\\", "d": [1]})"), 2u);
  // Unbalanced text is measured as far as it goes; stray closers do not go below zero.
  EXPECT_EQ(JsonNestingDepth(std::string(100000, '[')), 100000u);
  EXPECT_EQ(JsonNestingDepth("]]]}}[{"), 2u);
}

TEST(JsonNesting, ReadJsonFileRefusesDeepFilesAndReadsOthers) {
  logtest::TempDir dir;
  boost::property_tree::ptree tree;
  const std::string at = dir.Write("ok.json", std::string(kMaxJsonNesting - 1, '[') + R"({"k": "v"})" +
                                                  std::string(kMaxJsonNesting - 1, ']'));
  EXPECT_NO_THROW(ReadJsonFile(at, tree));
  const std::string over = dir.Write("over.json", std::string(kMaxJsonNesting, '[') + R"({"k": "v"})" +
                                                      std::string(kMaxJsonNesting, ']'));
  EXPECT_THROW(ReadJsonFile(over, tree), std::exception);
  EXPECT_THROW(ReadJsonFile((dir.path() / "absent.json").string(), tree), std::exception);
  EXPECT_THROW(ReadJsonFile(dir.Write("broken.json", "{"), tree), std::exception);
}

}  // namespace
}  // namespace qbx
