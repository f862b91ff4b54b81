// URL splitting and percent-encoding. Input: a URL, a line feed, a second
// URL taken over the first (as a redirect location is). Both also go into a
// component handle through the URL property. Checked: the encoding keeps only its unreserved bytes and writes every
// other byte as %XX with capital digits, so decoding gives the text back;
// the query is left alone when it is not encoded; the port stays in range;
// the host holds no path; a path that starts with "/" (or "?") in the base
// still does after any URL is split over it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "httpclient/protocol/Url.h"

using namespace velmora::network::component;

namespace {

bool unreserved(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c != 0 && std::strchr("&*-./@_", c) != nullptr);
}

// Decodes an encoder's output; fails on anything the encoder must not write
// (a reserved byte left as it is, an escaped unreserved one, lower-case or
// missing hex digits).
std::string decodeChecked(const std::string& encoded) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (c != '%') {
      tw_fuzz::check(unreserved(c), "encoded text keeps a reserved byte");
      out += static_cast<char>(c);
      continue;
    }
    const char* hi = i + 1 < encoded.size() ? std::strchr(kHex, encoded[i + 1]) : nullptr;
    const char* lo = i + 2 < encoded.size() ? std::strchr(kHex, encoded[i + 2]) : nullptr;
    tw_fuzz::check(hi && lo && *hi && *lo, "bad escape in encoded text");
    const auto decoded = static_cast<unsigned char>((hi - kHex) * 16 + (lo - kHex));
    tw_fuzz::check(!unreserved(decoded), "an unreserved byte was escaped");
    out += static_cast<char>(decoded);
    i += 2;
  }
  return out;
}

void checkEncoding(const std::string& text) {
  tw_fuzz::check(decodeChecked(percentEncode(text)) == text, "encoding does not round-trip");
  const size_t q = std::min(text.find('?'), text.size());
  const std::string path = percentEncode(text.substr(0, q));
  tw_fuzz::check(encodePath(text, false) == path + text.substr(q),
                 "the query was touched while not encoding it");
  const std::string query = q < text.size() ? "?" + percentEncode(text.substr(q + 1)) : "";
  tw_fuzz::check(encodePath(text, true) == path + query, "query encoding");
}

void checkSplit(const std::string& text, UrlParts& parts, int32_t& defaultPort) {
  const bool pathRooted =
      parts.path.empty() || parts.path[0] == '/' || parts.path[0] == '?';
  splitUrl(text, parts, defaultPort);
  tw_fuzz::check(parts.port >= 0, "negative port");
  tw_fuzz::check(defaultPort == 80 || defaultPort == 443, "default port");
  if (!parts.ipv6) {
    tw_fuzz::check(parts.host.find_first_of("/?") == std::string::npos, "path in the host");
  }
  // "//host?q/r" keeps its path "?q/r": a "/" is put in front only when
  // the text after "//" holds none at all.
  if (pathRooted) {
    tw_fuzz::check(!parts.path.empty() && (parts.path[0] == '/' || parts.path[0] == '?'),
                   "path \"" + parts.path + "\" lost its leading slash");
  }
}

}  // namespace

void tw_fuzz::setUp() { TessilonSSL_HTTPS_StaticInit(nullptr); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> urls = tw_fuzz::split(data, size, '\n', 2);
  for (const std::string& u : urls) checkEncoding(u);

  UrlParts parts;
  parts.scheme = "https";
  parts.port = 443;
  int32_t defaultPort = 443;
  for (const std::string& u : urls) checkSplit(u, parts, defaultPort);

  void* handle = TessilonSSL_HTTPS_Create(nullptr, nullptr);
  tw_fuzz::check(handle != nullptr, "no handle");
  for (const std::string& u : urls) {
    const int code = TessilonSSL_HTTPS_Set(handle, https_prop::URL, 0, u.c_str(), 0);
    tw_fuzz::check(code == TessilonSSL_HTTPS_GetLastErrorCode(handle), "last error code");
    for (int id : {https_prop::URL, https_prop::URLServer, https_prop::URLPath,
                   https_prop::URLScheme}) {
      int length = 0;
      const char* text = static_cast<const char*>(TessilonSSL_HTTPS_Get(handle, id, 0, &length));
      tw_fuzz::check(text != nullptr, "no text for a URL property");
    }
  }
  TessilonSSL_HTTPS_Destroy(handle);
  return 0;
}
