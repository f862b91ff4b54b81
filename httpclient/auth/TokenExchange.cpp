// The first token and the answers of an NTLM or Negotiate exchange.
#include "httpclient/auth/TokenExchange.h"

#include "httpclient/auth/AuthCommon.h"

namespace velmora::network::component::auth {

bool TokenExchange::first(bool systemPackage, const std::string& user,
                          const std::string& password, const std::string& target,
                          const std::string* tlsBindings, std::string& token) {
  system_ = systemPackage;
  if (system_) return sspi_.start("Negotiate", user, password, target, tlsBindings, token) == 0;
  ntlm_.setCredentials(user, password);
  token = ntlm_.type1();
  return true;
}

bool TokenExchange::answer(const std::string& challengeBase64, std::string& token) {
  if (system_) {
    // A challenge that is not Base64 reaches the package as no token, which
    // it refuses with its own status.
    std::string challenge;
    if (!base64Decode(challengeBase64, challenge)) challenge.clear();
    return sspi_.next(challenge, token) == 0;
  }
  if (!ntlm_.readType2(challengeBase64)) return false;
  token = ntlm_.type3();
  return true;
}

bool TokenExchange::channelBindings(PCtxtHandle tlsContext, std::string& bindings) {
  system_ = true;  // only the system package binds; its text tells a failure
  return sspi_.channelBindings(tlsContext, bindings) == 0;
}

const std::string& TokenExchange::errorText() const {
  return system_ ? sspi_.errorText() : ntlm_.errorText();
}

}  // namespace velmora::network::component::auth
