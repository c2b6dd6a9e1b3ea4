// Reading the host's XML files (the host configuration) without trusting their shape.
// property_tree's XML reader parses one element level per recursive call and then copies
// the parsed tree recursively again, so a file nested tens of thousands of elements deep
// overflows the stack of whoever reads it. Its depth is measured in one flat pass that
// splits the text the way that reader does (comments, CDATA, processing instructions and
// the document type are not elements; quotes matter only in attribute values), before the
// reader sees it. The same pass counts the nodes the reader would make: a few MB of sibling
// elements would otherwise make a tree of hundreds of MB.
//
// Threading: plain functions without shared state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/property_tree/ptree_fwd.hpp>

#include "base/json_file.h"

namespace qbx {

// The same bound as the JSON files: far deeper than any host file, far below the stack.
inline constexpr size_t kMaxXmlNesting = kMaxJsonNesting;

// The deepest element nesting (the depth of the tree) that the XML reader would reach in
// `text`, and the nodes it would make: the root, the elements, their attributes (with the
// node that holds them) and the comments and CDATA sections. Text between elements is not
// counted: the reader adds it to its element unless told to keep it apart, and even then it
// adds at most one node per element. Where the reader would give up (a malformed tag, an
// end tag with no element open, a NUL byte), the measure stops too: nothing beyond that
// point is ever parsed.
TreeShape XmlTreeShape(std::string_view text);
size_t XmlNestingDepth(std::string_view text);

// boost::property_tree::read_xml of the file at `path` with the reader's `flags`, but a file
// that ReadTreeFile refuses (bounded_file.h's bounds, nesting deeper than `maxNesting`
// elements, more than kMaxFileTreeNodes nodes) is refused before parsing. Throws
// std::exception (the parser's error naming `path`, or std::runtime_error for a file that
// cannot be read or is refused).
void ReadXmlFile(const std::string& path, boost::property_tree::ptree& tree, int flags,
                 size_t maxNesting = kMaxXmlNesting);

}  // namespace qbx
