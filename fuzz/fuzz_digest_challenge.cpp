// The Digest challenge parser and the header value built from it. Input: the
// text after the word "Digest". Checked: a value is refused, with the qop
// text, exactly when the chosen qop is neither "auth" nor "auth-int"; a
// value starts with the items it quotes and counts its first answer as
// 00000001; the proxy's value is the server's without the algorithm item.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "httpclient/auth/AuthCommon.h"
#include "httpclient/auth/Digest.h"

using namespace velmora::network::component::auth;

void tw_fuzz::setUp() {
  // Both directions must draw the same cnonce.
  setRandomSourceForTesting([](uint8_t* out, size_t n) { std::memset(out, 0x5a, n); });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string values[2];
  DigestState d;
  for (int proxy = 0; proxy < 2; ++proxy) {
    d = DigestState();
    d.user = "u";
    d.method = "GET";
    d.uri = "/";
    d.parseChallenge(std::string(reinterpret_cast<const char*>(data), size));
    const bool known = d.qop.empty() || d.qop == "auth" || d.qop == "auth-int";
    const bool ok = d.headerValue(proxy == 0, values[proxy]);
    tw_fuzz::check(ok == (known || d.nonce.empty()), "qop check");
    tw_fuzz::check(ok || d.errorText == "Digest authentication error: unknown qop value.",
                   "error text");
    tw_fuzz::check(!values[proxy].empty() == (ok && !d.nonce.empty()), "value without nonce");
  }
  if (values[0].empty()) return 0;
  const std::string head = "Digest username=\"u\", realm=\"" + d.realm + "\", nonce=\"" +
                           d.nonce + "\", uri=\"/\"";
  tw_fuzz::check(values[1].rfind(head, 0) == 0, "value start");
  tw_fuzz::check(values[0] == head + ", algorithm=\"" + d.algorithm + "\"" +
                                  values[1].substr(head.size()),
                 "server value is the proxy's with the algorithm item");
  tw_fuzz::check(d.qop.empty() || values[1].find(", nc=00000001, cnonce=\"5a5a5a5a\"") !=
                                      std::string::npos,
                 "nonce count of the first answer");
  return 0;
}
