#include "base/json_file.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

// property_tree's JSON reader still includes the old bind header.
#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace qbx {

size_t JsonNestingDepth(std::string_view text) {
  size_t depth = 0;
  size_t deepest = 0;
  JsonStringTracker strings;
  for (char c : text) {
    if (!strings.Structural(c)) continue;
    if (c == '{' || c == '[') {
      if (++depth > deepest) deepest = depth;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::string ReadFileWithinNesting(const std::string& path, size_t (*depthOf)(std::string_view), size_t maxNesting) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(path + ": cannot open file");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw std::runtime_error(path + ": cannot read file");
  if (depthOf(text) > maxNesting) {
    throw std::runtime_error(path + ": nested deeper than " + std::to_string(maxNesting) + " levels");
  }
  return text;
}

void ReadJsonFile(const std::string& path, boost::property_tree::ptree& tree, size_t maxNesting) {
  std::istringstream stream(ReadFileWithinNesting(path, JsonNestingDepth, maxNesting));
  boost::property_tree::read_json(stream, tree);
}

}  // namespace qbx
