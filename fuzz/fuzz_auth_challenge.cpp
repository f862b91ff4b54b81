// The servers' authentication challenges and the answers built from them.
// Input: one byte choosing the reader (even: NTLM, odd: Digest), then the
// challenge.
//
// NTLM: a type 2 message, given Base64-encoded as a server sends it, then
// the same bytes taken as the Base64 text itself. Checked: a refusal names
// one of the reader's texts and leaves no type 3; an accepted challenge gives
// a type 3 whose fields all lie inside it, after its 72-byte fixed part.
//
// Digest: the text after the word "Digest". Checked: a value is refused,
// with the qop text, exactly when the chosen qop is neither "auth" nor
// "auth-int"; a value starts with the items it quotes and counts its first
// answer as 00000001; the proxy's value is the server's without the
// algorithm item.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "httpclient/auth/AuthCommon.h"
#include "httpclient/auth/Digest.h"
#include "httpclient/auth/Ntlm.h"

using namespace velmora::network::component::auth;

namespace {

void answerNtlm(const std::string& base64) {
  NtlmClient ntlm;
  ntlm.setCredentials("Domain\\User", "Password");
  if (!ntlm.readType2(base64)) {
    const std::string& text = ntlm.errorText();
    tw_fuzz::check(text.rfind("Could not process server's NTLM authentication token: ", 0) == 0 ||
                       text == "Error computing Authentication Token: buffer boundary exceeded.",
                   "unknown refusal text: " + text);
    tw_fuzz::check(ntlm.type3().empty(), "a type 3 after a refusal");
    return;
  }
  const std::string m = ntlm.type3();
  tw_fuzz::check(m.size() >= 72, "type 3 shorter than its fixed part");
  for (size_t at = 12; at <= 52; at += 8) {
    uint16_t length = 0;
    uint32_t offset = 0;
    std::memcpy(&length, m.data() + at, 2);
    std::memcpy(&offset, m.data() + at + 4, 4);
    tw_fuzz::check(offset >= 72 && offset + length <= m.size(), "type 3 field outside");
  }
}

void answerDigest(const std::string& challenge) {
  std::string values[2];
  DigestState d;
  for (int proxy = 0; proxy < 2; ++proxy) {
    d = DigestState();
    d.user = "u";
    d.method = "GET";
    d.uri = "/";
    d.parseChallenge(challenge);
    const bool known = d.qop.empty() || d.qop == "auth" || d.qop == "auth-int";
    const bool ok = d.headerValue(proxy == 0, values[proxy]);
    tw_fuzz::check(ok == (known || d.nonce.empty()), "qop check");
    tw_fuzz::check(ok || d.errorText == "Digest authentication error: unknown qop value.",
                   "error text");
    tw_fuzz::check(!values[proxy].empty() == (ok && !d.nonce.empty()), "value without nonce");
  }
  if (values[0].empty()) return;
  const std::string head = "Digest username=\"u\", realm=\"" + d.realm + "\", nonce=\"" +
                           d.nonce + "\", uri=\"/\"";
  tw_fuzz::check(values[1].rfind(head, 0) == 0, "value start");
  tw_fuzz::check(values[0] == head + ", algorithm=\"" + d.algorithm + "\"" +
                                  values[1].substr(head.size()),
                 "server value is the proxy's with the algorithm item");
  tw_fuzz::check(d.qop.empty() || values[1].find(", nc=00000001, cnonce=\"5a5a5a5a\"") !=
                                      std::string::npos,
                 "nonce count of the first answer");
}

}  // namespace

void tw_fuzz::setUp() {
  // Both Digest directions must draw the same cnonce.
  setRandomSourceForTesting([](uint8_t* out, size_t n) { std::memset(out, 0x5a, n); });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 1) {
    answerDigest(bytes);
  } else {
    answerNtlm(base64Encode(bytes));
    answerNtlm(bytes);
  }
  return 0;
}
