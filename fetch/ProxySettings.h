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
  // Numbered as the component's ProxyAuthScheme.
  enum Scheme : uint32_t { Basic = 0, Digest = 1, None = 3, NTLM = 4 };
  uint32_t authScheme = None;
  bool useWinInet = false;
  bool autoDetect = false;

  bool isSet() const { return !host.empty() && port != 0; }
  bool hasCredentials() const { return !user.empty() && !password.empty() && authScheme != None; }
};

}  // namespace velmora
