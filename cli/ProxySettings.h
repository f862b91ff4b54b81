// The proxy options of the command line, handed to the page fetcher.
#pragma once

#include <cstdint>
#include <string>

namespace velmora {

struct ProxySettings {
  std::string host;
  uint16_t port = 8080;
  std::string user;
  std::string password;
  // Numbered as the component's ProxyAuthScheme: 0 Basic, 1 Digest, 3 none, 4 NTLM.
  uint32_t authScheme = 3;
  bool useWinInet = false;
  bool autoDetect = false;

  bool isSet() const { return !host.empty() && port != 0; }
  bool hasCredentials() const { return !user.empty() && !password.empty() && authScheme != 3; }
};

}  // namespace velmora
