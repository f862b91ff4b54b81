// The NTLM type 2 reader and the type 3 that answers it. Input: a type 2
// message (given Base64-encoded, as a server sends it), then the same bytes
// taken as the Base64 text itself. Checked: a refusal names one of the
// reader's texts and leaves no type 3; an accepted challenge gives a type 3
// whose fields all lie inside it, after its 72-byte fixed part.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "httpclient/auth/AuthCommon.h"
#include "httpclient/auth/Ntlm.h"

using namespace velmora::network::component::auth;

namespace {

void answer(const std::string& base64) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  answer(base64Encode(bytes));
  answer(bytes);
  return 0;
}
