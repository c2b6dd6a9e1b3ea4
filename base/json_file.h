// Reading the daemon's JSON files (its config.json, the smart-NIC topology, the status
// collection configuration) and command-socket requests without trusting their shape.
// The property-tree and JSON parsers recurse once per nesting level, so a file nested
// thousands of levels deep would overflow the stack of whoever reads it; its depth is
// checked in one flat pass before any parser sees it. The XML reader (xml_file.h) reads its
// files through the same bounded read.
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

// The depth of the deepest object or array in `text`; brackets inside strings do not
// count. Unbalanced text is measured as far as it goes.
size_t JsonNestingDepth(std::string_view text);

// The whole file at `path`, measured by `depthOf` before anyone parses it. Throws
// std::runtime_error for a file that cannot be read or is nested deeper than `maxNesting`.
std::string ReadFileWithinNesting(const std::string& path, size_t (*depthOf)(std::string_view), size_t maxNesting);

// boost::property_tree::read_json of the file at `path`, but a text nested deeper than
// `maxNesting` is refused before parsing. Throws std::exception (the parser's error, or
// std::runtime_error for a file that cannot be read or is nested too deep).
void ReadJsonFile(const std::string& path, boost::property_tree::ptree& tree, size_t maxNesting = kMaxJsonNesting);

}  // namespace qbx
