#include "base/xml_file.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>

namespace qbx {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
// What the reader takes into an element name, and into an attribute name.
bool IsNameChar(char c) { return !IsSpace(c) && c != '/' && c != '>' && c != '?' && c != '\0'; }
bool IsAttributeNameChar(char c) { return IsNameChar(c) && c != '<' && c != '=' && c != '!'; }

// Walks the text once, as the reader's tokeniser does, counting open elements.
class NestingScan {
 public:
  explicit NestingScan(std::string_view text) : text_(text.substr(0, text.find('\0'))) {}

  TreeShape Shape() {
    while (at_ < text_.size()) {
      if (text_[at_] != '<') {
        ++at_;  // character data, including '>' and quotes
        continue;
      }
      ++at_;
      if (!Markup()) break;  // the reader stops here with an error
    }
    return shape_;
  }

 private:
  bool Next(std::string_view s) const { return text_.substr(at_).starts_with(s); }
  // Moves past the first `end` from here; false when there is none.
  bool SkipPast(std::string_view end) {
    const size_t found = text_.find(end, at_);
    if (found == std::string_view::npos) return false;
    at_ = found + end.size();
    return true;
  }
  void SkipWhile(bool (*pred)(char)) {
    while (at_ < text_.size() && pred(text_[at_])) ++at_;
  }
  bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }

  // After a '<': one markup item. False where the reader would fail.
  bool Markup() {
    if (Peek('/')) return EndTag();
    if (Peek('?')) {  // declaration or processing instruction
      ++at_;
      return SkipPast("?>");
    }
    if (Next("!--")) {
      at_ += 3;
      ++shape_.nodes;
      return SkipPast("-->");
    }
    if (Next("![CDATA[")) {
      at_ += 8;
      ++shape_.nodes;
      return SkipPast("]]>");
    }
    if (Next("!DOCTYPE") && at_ + 8 < text_.size() && IsSpace(text_[at_ + 8])) {
      at_ += 9;
      return DocumentType();
    }
    if (Peek('!')) {  // any other declaration ends at its first '>'
      ++at_;
      return SkipPast(">");
    }
    return StartTag();
  }

  bool EndTag() {
    if (depth_ == 0) return false;  // outside every element the reader wants a name here
    ++at_;
    SkipWhile(IsNameChar);
    SkipWhile(IsSpace);
    if (!Peek('>')) return false;
    ++at_;
    --depth_;
    return true;
  }

  // Up to its '>', stepping over bracketed internal subsets as a whole.
  bool DocumentType() {
    while (at_ < text_.size() && text_[at_] != '>') {
      if (text_[at_] != '[') {
        ++at_;
        continue;
      }
      ++at_;
      for (int brackets = 1; brackets > 0; ++at_) {
        if (at_ >= text_.size()) return false;
        if (text_[at_] == '[') ++brackets;
        if (text_[at_] == ']') --brackets;
      }
    }
    if (at_ >= text_.size()) return false;
    ++at_;
    return true;
  }

  bool StartTag() {
    const size_t name = at_;
    SkipWhile(IsNameChar);
    if (at_ == name) return false;
    SkipWhile(IsSpace);
    size_t attributes = 0;
    while (at_ < text_.size() && IsAttributeNameChar(text_[at_])) {
      ++attributes;
      SkipWhile(IsAttributeNameChar);
      SkipWhile(IsSpace);
      if (!Peek('=')) return false;
      ++at_;
      SkipWhile(IsSpace);
      if (!Peek('"') && !Peek('\'')) return false;
      const char quote[] = {text_[at_++], '\0'};
      if (!SkipPast(quote)) return false;
      SkipWhile(IsSpace);
    }
    // An empty element is a level of the tree too, but leaves nothing open.
    const bool empty = Next("/>");
    if (!empty && !Peek('>')) return false;
    at_ += empty ? 2 : 1;
    shape_.nodes += 1 + (attributes > 0 ? 1 + attributes : 0);
    if (depth_ + 1 > shape_.depth) shape_.depth = depth_ + 1;
    if (!empty) ++depth_;
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
  size_t depth_ = 0;
  TreeShape shape_{.depth = 0, .nodes = 1};  // the root is there whatever the text holds
};

}  // namespace

TreeShape XmlTreeShape(std::string_view text) { return NestingScan(text).Shape(); }

size_t XmlNestingDepth(std::string_view text) { return XmlTreeShape(text).depth; }

void ReadXmlFile(const std::string& path, boost::property_tree::ptree& tree, int flags, size_t maxNesting) {
  std::istringstream stream(ReadTreeFile(path, XmlTreeShape, maxNesting));
  try {
    boost::property_tree::read_xml(stream, tree, flags);
  } catch (const boost::property_tree::xml_parser_error& e) {
    // Read from memory, the parser does not know which file it was.
    throw boost::property_tree::xml_parser_error(e.message(), path, e.line());
  }
}

}  // namespace qbx
