// The JSON reader's nesting and node bounds, which keep deep files away from the recursive
// parser and wide ones from making huge trees.
#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>
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

size_t TreeNodes(const boost::property_tree::ptree& tree) {
  size_t nodes = 1;
  for (const auto& [key, child] : tree) nodes += TreeNodes(child);
  return nodes;
}

TEST(JsonNodes, CountNeverBelowWhatTheParserBuilds) {
  EXPECT_EQ(JsonTreeShape("").nodes, 1u);
  const std::string texts[] = {
      R"({})", R"([])", R"({"a": 1})", R"([1, 2, 3])", R"({"a": [1, {"b": []}], "c": {}, "d": "x,y[{"})",
      R"({"a": {"b": {"c": [[], [1], [1, 2]]}}})",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    boost::property_tree::ptree tree;
    std::istringstream stream(text);
    ASSERT_NO_THROW(boost::property_tree::read_json(stream, tree));
    EXPECT_GE(JsonTreeShape(text).nodes, TreeNodes(tree));
    EXPECT_LE(JsonTreeShape(text).nodes, TreeNodes(tree) + 4);
  }
}

// Two bytes a value would make a tree of hundreds of MB from a few MB: refused before parsing.
TEST(JsonNodes, ReadJsonFileRefusesAFileOfTooManyValues) {
  logtest::TempDir dir;
  boost::property_tree::ptree tree;
  auto array = [](size_t values) {
    std::string text = "[0";
    for (size_t i = 1; i < values; ++i) text += ",0";
    return text + "]";
  };
  // The root, the array's first value and each further one: exactly the bound.
  const std::string at = dir.Write("at.json", array(kMaxFileTreeNodes - 1));
  EXPECT_NO_THROW(ReadJsonFile(at, tree));
  const std::string over = dir.Write("over.json", array(kMaxFileTreeNodes));
  try {
    ReadJsonFile(over, tree);
    ADD_FAILURE() << "read";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), over + ": more than 10000 nodes");
  }
  EXPECT_THROW(ReadJsonFile(dir.Write("million.json", array(1000000)), tree), std::runtime_error);
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
