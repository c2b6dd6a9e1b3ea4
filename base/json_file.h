// Reading the daemon's JSON files (its config.json, the smart-NIC topology, the status
// collection configuration) and command-socket requests without trusting their shape.
// The property-tree and JSON parsers recurse once per nesting level, so a file nested
// thousands of levels deep would overflow the stack of whoever reads it; its depth is
// checked in one flat pass before any parser sees it. A few MB of small values would make a
// tree of hundreds of MB (a few hundred bytes a node), so the values are counted in the same
// pass. The file itself is read within the bounds of bounded_file.h. The XML reader
// (xml_file.h) reads its files through the same bounded read.
//
// Threading: plain functions without shared state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/property_tree/ptree_fwd.hpp>

namespace qbx {

// Deeper than any file or request the daemon reads, far below what exhausts a stack.
inline constexpr size_t kMaxJsonNesting = 64;

// More nodes than any file the daemon reads holds; a tree of this many stays within a few MB.
inline constexpr size_t kMaxFileTreeNodes = 10000;

// What a parser would build from a text: how deep the tree goes and how many nodes it has
// (counted from above: never fewer than the parser makes).
struct TreeShape {
  size_t depth = 0;
  size_t nodes = 0;
};

// Follows a JSON text character by character to tell where its strings are, so that the
// brackets inside them are not taken for structure.
class JsonStringTracker {
 public:
  // True when `c` stands outside every string and is not a quote that opens or closes one.
  bool Structural(char c) {
    if (inString_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        inString_ = false;
      }
      return false;
    }
    if (c == '"') {
      inString_ = true;
      return false;
    }
    return true;
  }

 private:
  bool inString_ = false;
  bool escaped_ = false;
};

// The depth of the deepest object or array in `text`, and the values in it (the root, and
// one for each bracket and for each separating comma); brackets and commas inside strings do
// not count. Unbalanced text is measured as far as it goes.
TreeShape JsonTreeShape(std::string_view text);
size_t JsonNestingDepth(std::string_view text);

// The whole file at `path` (read by ReadBoundedFile), measured by `shapeOf` before anyone
// parses it. Throws std::runtime_error for a file that cannot be read or is refused, nested
// deeper than `maxNesting` or with more than `maxNodes` nodes.
std::string ReadTreeFile(const std::string& path, TreeShape (*shapeOf)(std::string_view), size_t maxNesting,
                         size_t maxNodes = kMaxFileTreeNodes);

// boost::property_tree::read_json of the file at `path`, but a file that ReadTreeFile
// refuses is refused before parsing. Throws std::exception (the parser's error, or
// std::runtime_error for a file that cannot be read or is refused).
void ReadJsonFile(const std::string& path, boost::property_tree::ptree& tree, size_t maxNesting = kMaxJsonNesting);

}  // namespace qbx
