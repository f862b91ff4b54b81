#include "httpclient/transport/TcpClient.h"

namespace velmora::network::component {

TcpClient::TcpClient() : tunnel_(*this) {}

// With a tunnel the name is not resolved here: the intermediary gets it.
int TcpClient::setRemoteHost(const std::string& host) {
  if (tunnelConfigured() && !socketExists()) {
    clearError();
    SocketEngine::setRemoteHost(std::string());
    storeRemoteHostText(host);
    return 0;
  }
  return SocketEngine::setRemoteHost(host);
}

int TcpClient::setTunnel(int type, const std::string& host, int32_t port,
                         const std::string& user, const std::string& password) {
  tunnel_.setType(type);
  if (int r = tunnel_.setHost(host)) return r;
  tunnel_.setPort(port);
  tunnel_.setUser(user);
  tunnel_.setPassword(password);
  return 0;
}

bool TcpClient::tunnelTarget(uint32_t& address, uint16_t& port) const {
  if (!tunnelConfigured()) return false;
  address = tunnel_.hostAddress();
  port = static_cast<uint16_t>(tunnel_.port());
  return true;
}

bool TcpClient::configSetting(const ConfigRequest& req, std::string& answer, int& code) {
  std::string errorText;
  if (tunnel_.configSetting(req, answer, code, errorText)) {
    if (!errorText.empty()) setError(code, errorText);
    return true;
  }
  return SocketEngine::configSetting(req, answer, code);
}

}  // namespace velmora::network::component
