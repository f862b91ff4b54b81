// URL splitting and percent-encoding of the HTTP layer. Pure functions: no
// state of their own, no I/O.
//
// A URL is split over a base: the parts the text leaves out (scheme, host,
// port, path) keep the base's values, so the same splitter serves URLs set by
// the application (base: default scheme, no host, empty path) and redirect
// locations (base: the current URL).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::network::component {

struct UrlParts {
  std::string scheme;
  std::string host;       // without brackets; an IPv6 zone ("%4") stays
  int32_t port = 0;
  std::string path;       // path and query
  std::string user;
  std::string password;
  bool ipv6 = false;      // the host was written in brackets
};

// Splits text over parts (which holds the base on entry). defaultPort is the
// well-known port of the last scheme seen; an "http" or "https" scheme in the
// text sets it and the port. The path is not encoded and may come out empty.
void splitUrl(const std::string& text, UrlParts& parts, int32_t& defaultPort);

// Percent-encodes every byte but "&*-./@_", digits and letters, as "%XX"
// with capital hexadecimal digits.
std::string percentEncode(std::string_view text);

// Encodes the part of a path before its first "?", and the query after it
// only when encodeQuery is set.
std::string encodePath(const std::string& path, bool encodeQuery);

}  // namespace velmora::network::component
