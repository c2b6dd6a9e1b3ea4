// The XML reader's nesting bound: the flat measure agrees with the depth the reader itself
// reaches (what it skips as non-elements cannot hide or fake a level), and a deep file is
// refused before the recursive reader sees it.
#include "base/xml_file.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/node_identity.h"
#include "tests/base/log_test_support.h"

namespace qbx {
namespace {

using logtest::CapturingSink;
using logtest::TempDir;

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// How deep the reader's own tree goes (attributes are one level below their element).
size_t TreeDepth(const boost::property_tree::ptree& tree) {
  size_t deepest = 0;
  std::vector<std::pair<const boost::property_tree::ptree*, size_t>> todo = {{&tree, 0}};
  while (!todo.empty()) {
    auto [node, depth] = todo.back();
    todo.pop_back();
    if (depth > deepest) deepest = depth;
    for (const auto& [key, child] : *node) {
      if (key != "<xmlattr>") todo.emplace_back(&child, depth + 1);
    }
  }
  return deepest;
}

// How many nodes the reader's own tree has, the root and the attributes' holders included.
size_t TreeNodes(const boost::property_tree::ptree& tree) {
  size_t nodes = 1;
  for (const auto& [key, child] : tree) nodes += TreeNodes(child);
  return nodes;
}

TEST(XmlNesting, MeasureMatchesWhatTheReaderBuilds) {
  // Each text is one the reader accepts; what only looks like tags must not count, and
  // what only looks like end tags must not lower the count.
  const std::vector<std::pair<std::string, size_t>> cases = {
      {"<config/>", 1},
      {"<config><uuid>u</uuid></config>", 2},
      {"<a><b><c/></b><b><c></c></b ><b></b></a>", 3},
      {"<?xml version=\"1.0\"?>\n<config>\n  <other/>\n  <uuid>u</uuid>\n</config>\n", 2},
      {"<a><b><!-- </b></a> <x><y><z> --><c><d/></c></b></a>", 4},
      {"<a><![CDATA[</a> <p><q><r>]]><b><c></c></b></a>", 3},
      {"<a><?pi </a> <p><q> ?><b><c></c></b></a>", 3},
      {"<!DOCTYPE a [ <!ENTITY e '> </a> <p><q>'> ]><a><b><c></c></b></a>", 3},
      {"<a><!X </a> ><b><c></c></b></a>", 3},
      // '>' and "/>" inside attribute values; quotes in names are plain name characters.
      {"<a x=\"/>\" y='>'><b z='</a>'><c/></b></a>", 3},
      {"<a\"><a\"><a\"></a\"></a\"></a\">", 3},
      {"<a x\"y='1'><a x\"y='1'><a/></a></a>", 3},
      {"<a>text with > and \" and '<b>more</b></a>", 2},
  };
  for (const auto& [text, depth] : cases) {
    SCOPED_TRACE(text);
    boost::property_tree::ptree tree;
    std::istringstream stream(text);
    ASSERT_NO_THROW(boost::property_tree::read_xml(stream, tree, boost::property_tree::xml_parser::no_comments));
    EXPECT_EQ(TreeDepth(tree), depth);
    EXPECT_EQ(XmlNestingDepth(text), depth);
    // The node count is never below what the reader makes, with comments kept or not.
    EXPECT_GE(XmlTreeShape(text).nodes, TreeNodes(tree));
    boost::property_tree::ptree withComments;
    std::istringstream again(text);
    ASSERT_NO_THROW(boost::property_tree::read_xml(again, withComments, 0));
    EXPECT_GE(XmlTreeShape(text).nodes, TreeNodes(withComments));
  }
}

TEST(XmlNodes, CountsElementsAttributesAndComments) {
  EXPECT_EQ(XmlTreeShape("").nodes, 1u);
  EXPECT_EQ(XmlTreeShape("<config><uuid>u</uuid></config>").nodes, 3u);
  // The attributes' holder and each attribute, as the reader builds them.
  const std::string attributes = "<config a='1' b=\"2\"><uuid/></config>";
  boost::property_tree::ptree tree;
  std::istringstream stream(attributes);
  boost::property_tree::read_xml(stream, tree, 0);
  EXPECT_EQ(TreeNodes(tree), 6u);
  EXPECT_EQ(XmlTreeShape(attributes).nodes, 6u);
  EXPECT_EQ(XmlTreeShape("<a><!-- c --><![CDATA[x]]><?pi?></a>").nodes, 4u);
}

// A few MB of sibling elements would make a tree of hundreds of MB: refused before parsing.
TEST(XmlNodes, ReadXmlFileRefusesAFileOfTooManyElements) {
  TempDir dir;
  boost::property_tree::ptree tree;
  // The root, <config> and its children: exactly the bound.
  const std::string at = dir.Write("at.xml", "<config>" + Repeat("<a/>", kMaxFileTreeNodes - 2) + "</config>");
  EXPECT_NO_THROW(ReadXmlFile(at, tree, 0));
  EXPECT_EQ(TreeNodes(tree), kMaxFileTreeNodes);
  const std::string over = dir.Write("over.xml", "<config>" + Repeat("<a/>", kMaxFileTreeNodes - 1) + "</config>");
  try {
    ReadXmlFile(over, tree, 0);
    ADD_FAILURE() << "read";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), over + ": more than 10000 nodes");
  }
  // A million siblings in 4 MB.
  const std::string million = dir.Write("million.xml", "<config>" + Repeat("<a/>", 1000000) + "</config>");
  EXPECT_THROW(ReadXmlFile(million, tree, 0), std::runtime_error);
}

TEST(XmlNesting, MeasureGoesAsFarAsTheReaderWould) {
  EXPECT_EQ(XmlNestingDepth(""), 0u);
  EXPECT_EQ(XmlNestingDepth(Repeat("<a>", 100000)), 100000u);
  EXPECT_EQ(XmlNestingDepth(Repeat("<a>", 100000) + Repeat("</a>", 100000)), 100000u);
  // Where the reader fails, nothing after that point is parsed, so nothing is counted.
  EXPECT_EQ(XmlNestingDepth("<a></a></b>" + Repeat("<a>", 100)), 1u);
  EXPECT_EQ(XmlNestingDepth("<a>" + std::string(1, '\0') + Repeat("<a>", 100)), 1u);
  EXPECT_EQ(XmlNestingDepth("<a><!-- unterminated" + Repeat("<a>", 100)), 1u);
  EXPECT_EQ(XmlNestingDepth("<a><b x=1>" + Repeat("<a>", 100)), 1u);
  // An unterminated internal subset ends the document type and the parse with it.
  EXPECT_EQ(XmlNestingDepth("<!DOCTYPE a [ [ ] >" + Repeat("<a>", 100)), 0u);
}

TEST(XmlNesting, ReadXmlFileRefusesDeepFilesAndReadsOthers) {
  TempDir dir;
  boost::property_tree::ptree tree;
  const std::string at = dir.Write("at.xml", Repeat("<a>", kMaxXmlNesting) + Repeat("</a>", kMaxXmlNesting));
  EXPECT_NO_THROW(ReadXmlFile(at, tree, 0));
  EXPECT_EQ(TreeDepth(tree), kMaxXmlNesting);
  const std::string over =
      dir.Write("over.xml", Repeat("<a>", kMaxXmlNesting + 1) + Repeat("</a>", kMaxXmlNesting + 1));
  EXPECT_THROW(ReadXmlFile(over, tree, 0), std::runtime_error);
  EXPECT_THROW(ReadXmlFile((dir.path() / "absent.xml").string(), tree, 0), std::runtime_error);
  // The parser's own error names the file even though it parsed a copy in memory.
  const std::string broken = dir.Write("broken.xml", "<config><uuid>x</config>");
  try {
    ReadXmlFile(broken, tree, 0);
    ADD_FAILURE() << "no error";
  } catch (const boost::property_tree::xml_parser_error& e) {
    EXPECT_EQ(e.filename(), broken);
  }
}

TEST(XmlNesting, DeepHostConfigurationGivesAnEmptyUuidAndTheErrorRecord) {
  TempDir dir;
  CapturingSink sink(loglevel::kTrace);
  const std::string deep = dir.Write(
      "host-cfg.xml", "<config>" + Repeat("<x>", 100000) + Repeat("</x>", 100000) + "<uuid>u</uuid></config>");
  EXPECT_EQ(GetNodeUuid(deep), "");
  auto texts = sink.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("level=\"INFO\"] Error reading node uuid from " + deep + ". " + deep + ": nested deeper than 64 levels."),
            std::string::npos)
      << texts[0];
}

}  // namespace
}  // namespace qbx
