// One side of a connection-bound token exchange (NTLM, Negotiate): the
// first token, then the answer to each challenge of the peer. Through the
// system security package (Negotiate: Kerberos, or its NTLM) or through our
// own NTLM messages, which also serve under the word "Negotiate". Tokens are
// raw bytes; the header word and Base64 are the caller's.
#pragma once

#include <string>

#include "httpclient/auth/Ntlm.h"
#include "httpclient/auth/SspiContext.h"

namespace velmora::network::component::auth {

class TokenExchange {
 public:
  // Starts over and makes the first token. systemPackage: the package
  // "Negotiate" for `target` (a principal such as "HTTP/host"), with the TLS
  // channel bindings or null; otherwise an NTLM type 1 (target unused).
  // False with errorText() set when the package fails.
  bool first(bool systemPackage, const std::string& user, const std::string& password,
             const std::string& target, const std::string* tlsBindings, std::string& token);
  // The token answering the peer's challenge, as Base64 from its header.
  bool answer(const std::string& challengeBase64, std::string& token);
  // The channel bindings of a TLS connection, for first().
  bool channelBindings(PCtxtHandle tlsContext, std::string& bindings);
  const std::string& errorText() const;

 private:
  bool system_ = false;
  NtlmClient ntlm_;
  SspiContext sspi_;
};

}  // namespace velmora::network::component::auth
