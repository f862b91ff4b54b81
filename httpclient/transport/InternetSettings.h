// The current user's proxy configuration, from the registry's Internet
// Settings as the system's own proxy detection reads it. Both the HTTP
// layer's proxy detection and the tunnel's read it here.
#pragma once

#include <string>

namespace velmora::network::component {

// The "ProxyServer" text (at most 399 bytes) while "ProxyEnable" is on;
// false when the key, the switch or the text is missing.
bool systemProxyServer(std::string& value);

}  // namespace velmora::network::component
