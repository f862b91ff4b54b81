#include "httpclient/protocol/Url.h"

#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

int32_t decimalPrefix(std::string_view text) {
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > 0x7FFFFFFF) return 0x7FFFFFFF;
  }
  return static_cast<int32_t>(n);
}

bool keptUnencoded(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         c == '&' || c == '*' || c == '-' || c == '.' || c == '/' || c == '@' || c == '_';
}

// The authority between "//" and the path: [user[:password]@]host[:port],
// the host possibly in brackets.
void splitAuthority(std::string_view authority, UrlParts& parts) {
  std::string_view hostPart = authority;
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view credentials = authority.substr(0, at);
    hostPart = authority.substr(at + 1);
    size_t colon = credentials.find(':');
    if (colon == std::string_view::npos) {
      parts.user = std::string(credentials);
      parts.password.clear();
    } else {
      parts.user = std::string(credentials.substr(0, colon));
      parts.password = std::string(credentials.substr(colon + 1));
    }
  }
  std::string_view rest;
  if (!hostPart.empty() && hostPart.front() == '[') {
    size_t close = hostPart.find(']');
    if (close == std::string_view::npos) {
      parts.host = std::string(hostPart.substr(1));
    } else {
      parts.host = std::string(hostPart.substr(1, close - 1));
      rest = hostPart.substr(close + 1);
    }
    parts.ipv6 = true;
  } else {
    size_t colon = hostPart.find(':');
    parts.host = std::string(hostPart.substr(0, colon));
    if (colon != std::string_view::npos) rest = hostPart.substr(colon);
  }
  if (!rest.empty() && rest.front() == ':') parts.port = decimalPrefix(rest.substr(1));
}

}  // namespace

void splitUrl(const std::string& text, UrlParts& parts, int32_t& defaultPort) {
  std::string_view scan(text);
  if (scan.empty() || scan.front() != '/') {
    size_t colon = scan.find(':');
    if (colon != std::string_view::npos) {
      parts.scheme = std::string(scan.substr(0, colon));
      if (equalsNoCase(parts.scheme, "http")) {
        parts.port = defaultPort = 80;
      } else if (equalsNoCase(parts.scheme, "https")) {
        parts.port = defaultPort = 443;
      }
      parts.path.clear();
      scan.remove_prefix(colon + 1);
    }
  }

  if (scan.substr(0, 2) == "//") {
    std::string_view afterSlashes = scan.substr(2);
    size_t end = afterSlashes.find_first_of("/?");
    splitAuthority(afterSlashes.substr(0, end), parts);
    std::string rest = end == std::string_view::npos ? std::string()
                                                     : std::string(afterSlashes.substr(end));
    if (afterSlashes.find('/') == std::string_view::npos) rest.insert(0, "/");
    parts.path = rest;
  } else if (!scan.empty() && scan.front() == '/') {
    parts.path = std::string(scan);
  } else {
    // A relative reference replaces the last segment of the current path.
    if (scan.substr(0, 2) == "./") scan.remove_prefix(2);
    size_t slash = parts.path.rfind('/');
    if (slash == std::string::npos) {
      parts.path = "/";
    } else {
      parts.path.resize(slash + 1);
    }
    parts.path.append(scan);
  }
}

std::string percentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (keptUnencoded(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string encodePath(const std::string& path, bool encodeQuery) {
  size_t q = path.find('?');
  if (q == std::string::npos) return percentEncode(path);
  std::string_view query = std::string_view(path).substr(q + 1);
  return percentEncode(std::string_view(path).substr(0, q)) + "?" +
         (encodeQuery ? percentEncode(query) : std::string(query));
}

}  // namespace velmora::network::component
