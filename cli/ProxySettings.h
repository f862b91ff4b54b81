// The proxy options of the command line, handed to the page fetcher.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/TessilonSSL_HTTPS.h"

namespace velmora {

struct ProxySettings {
  std::string host;
  uint16_t port = 8080;
  std::string user;
  std::string password;
  // The component's ProxyAuthScheme: Basic, Digest, None or NTLM.
  uint32_t authScheme = https_auth::None;
  bool useWinInet = false;
  bool autoDetect = false;

  bool isSet() const { return !host.empty() && port != 0; }
  bool hasCredentials() const {
    return !user.empty() && !password.empty() && authScheme != https_auth::None;
  }
};

}  // namespace velmora
