// A transport endpoint parsed from a URI: "tcp://HOST:PORT" for a direct peer, or
// "qbx://ID" for a peer reached through a forwarding endpoint.
//
// The endpoint keeps the URI text and views into it (scheme, host, port text, id). Copies
// re-point their views at their own text, so a copy stays valid after its source is gone.
// A value type; not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qbx {

// Re-points `view`, which lies inside `from`, at the same offsets inside `to`. An empty view
// or one outside `from` becomes empty.
std::string_view remap(std::string_view view, const std::string& from, const std::string& to);

namespace net {

class Endpoint {
 public:
  Endpoint() = default;
  // Parses `uri`; an unparsable text gives an endpoint whose valid() is false.
  explicit Endpoint(const std::string& uri);
  explicit Endpoint(const char* uri) : Endpoint(std::string(uri)) {}
  Endpoint(const Endpoint& other);
  Endpoint& operator=(const Endpoint& other);
  ~Endpoint() = default;

  const std::string& uri() const { return uri_; }
  std::string_view scheme() const { return scheme_; }
  std::string_view host() const { return host_; }
  std::string_view port_text() const { return port_text_; }
  std::string_view id() const { return id_; }
  uint16_t port() const { return port_; }

  bool valid() const { return valid_; }
  bool is_tcp() const { return valid_ && scheme_ == "tcp"; }
  bool is_forwarded() const { return valid_ && scheme_ == "qbx"; }
  // "HOST:PORT" for a tcp endpoint, empty otherwise.
  std::string GrpcTarget() const;

  bool operator==(const Endpoint& other) const { return uri_ == other.uri_; }

 private:
  std::string uri_;
  std::string_view scheme_;
  std::string_view host_;
  uint16_t port_ = 0;
  std::string_view port_text_;
  std::string_view id_;
  bool valid_ = false;
};

}  // namespace net
}  // namespace qbx
