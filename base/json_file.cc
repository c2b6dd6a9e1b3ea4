#include "base/json_file.h"

#include <sstream>
#include <stdexcept>

// property_tree's JSON reader still includes the old bind header.
#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "base/bounded_file.h"

namespace qbx {

TreeShape JsonTreeShape(std::string_view text) {
  TreeShape shape;
  shape.nodes = 1;  // the root, whatever the text holds
  size_t depth = 0;
  JsonStringTracker strings;
  for (char c : text) {
    if (!strings.Structural(c)) continue;
    if (c == '{' || c == '[') {
      ++shape.nodes;  // the container's first member, if any
      if (++depth > shape.depth) shape.depth = depth;
    } else if (c == ',') {
      ++shape.nodes;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return shape;
}

size_t JsonNestingDepth(std::string_view text) { return JsonTreeShape(text).depth; }

std::string ReadTreeFile(const std::string& path, TreeShape (*shapeOf)(std::string_view), size_t maxNesting,
                         size_t maxNodes) {
  std::string text = ReadBoundedFile(path);
  const TreeShape shape = shapeOf(text);
  if (shape.depth > maxNesting) {
    throw std::runtime_error(path + ": nested deeper than " + std::to_string(maxNesting) + " levels");
  }
  if (shape.nodes > maxNodes) {
    throw std::runtime_error(path + ": more than " + std::to_string(maxNodes) + " nodes");
  }
  return text;
}

void ReadJsonFile(const std::string& path, boost::property_tree::ptree& tree, size_t maxNesting) {
  std::istringstream stream(ReadTreeFile(path, JsonTreeShape, maxNesting));
  boost::property_tree::read_json(stream, tree);
}

}  // namespace qbx
