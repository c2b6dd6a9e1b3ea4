#include "platform/rpc/endpoint.h"

#include <charconv>

namespace qbx {

std::string_view remap(std::string_view view, const std::string& from, const std::string& to) {
  if (view.empty() || view.data() < from.data() || view.data() + view.size() > from.data() + from.size()) {
    return {};
  }
  const size_t offset = static_cast<size_t>(view.data() - from.data());
  if (offset + view.size() > to.size()) return {};
  return std::string_view(to.data() + offset, view.size());
}

namespace net {

Endpoint::Endpoint(const std::string& uri) : uri_(uri) {
  const std::string_view text(uri_);
  const size_t sep = text.find("://");
  if (sep == std::string_view::npos || sep == 0) return;
  scheme_ = text.substr(0, sep);
  const std::string_view rest = text.substr(sep + 3);
  if (rest.empty()) return;
  if (scheme_ == "qbx") {
    id_ = rest;
    valid_ = true;
    return;
  }
  if (scheme_ != "tcp") return;
  size_t colon;
  if (!rest.empty() && rest.front() == '[') {  // [v6]:port
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return;
    host_ = rest.substr(0, close + 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return;
    host_ = rest.substr(0, colon);
  }
  port_text_ = rest.substr(colon + 1);
  unsigned value = 0;
  const char* begin = port_text_.data();
  const char* end = begin + port_text_.size();
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (port_text_.empty() || ec != std::errc() || ptr != end || value > 65535) {
    host_ = {};
    port_text_ = {};
    return;
  }
  port_ = static_cast<uint16_t>(value);
  valid_ = true;
}

Endpoint::Endpoint(const Endpoint& other)
    : uri_(other.uri_),
      scheme_(remap(other.scheme_, other.uri_, uri_)),
      host_(remap(other.host_, other.uri_, uri_)),
      port_(other.port_),
      port_text_(remap(other.port_text_, other.uri_, uri_)),
      id_(remap(other.id_, other.uri_, uri_)),
      valid_(other.valid_) {}

Endpoint& Endpoint::operator=(const Endpoint& other) {
  if (this == &other) return *this;
  uri_ = other.uri_;
  scheme_ = remap(other.scheme_, other.uri_, uri_);
  host_ = remap(other.host_, other.uri_, uri_);
  port_text_ = remap(other.port_text_, other.uri_, uri_);
  id_ = remap(other.id_, other.uri_, uri_);
  port_ = other.port_;
  valid_ = other.valid_;
  return *this;
}

std::string Endpoint::GrpcTarget() const {
  if (!is_tcp()) return {};
  return std::string(host_) + ":" + std::string(port_text_);
}

}  // namespace net
}  // namespace qbx
