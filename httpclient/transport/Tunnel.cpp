#include "httpclient/transport/Tunnel.h"

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/TcpClient.h"

namespace velmora::network::component {

Tunnel::Tunnel(TcpClient& owner) : owner_(owner) {
  SettingTable& t = settings_;
  t.add({{"FirewallAutoDetect"}, [this] { return std::string(configBoolText(autoDetect_)); },
         [this](const std::string& v) { return setAutoDetect(configBool(v)); }});
  t.add({{"FirewallHost"}, [this] { return host_; },
         [this](const std::string& v) { return setHost(v); }});
  t.add({{"FirewallPort"}, [this] { return std::to_string(port_); },
         [this](const std::string& v) {
           port_ = configInt32(v);
           return kOk;
         }});
  t.add({{"FirewallType"}, [this] { return std::to_string(type_); },
         [this](const std::string& v) {
           setType(configInt32(v));
           return kOk;
         }});
  t.addText("FirewallUser", user_);
  t.addText("FirewallPassword", password_);
  t.addText("FirewallData", data_);
}

void Tunnel::setType(int type) {
  type_ = static_cast<uint8_t>(type);
  switch (type_) {
    case https_firewall::HttpConnect:
    case https_firewall::HttpConnectNtlm:
    case https_firewall::HttpConnectNegotiate:
    case https_firewall::HttpConnectDigest:
      port_ = 80;
      break;
    case https_firewall::Socks4:
    case https_firewall::Socks5:
      port_ = 1080;
      break;
    default:
      port_ = 0;
      break;
  }
}

int Tunnel::setHost(const std::string& host) {
  host_ = host;
  hostAddress_ = 0;
  return resolveIPv4(host, hostAddress_);
}

int Tunnel::setAutoDetect(bool on) {
  autoDetect_ = on;
  host_.clear();
  hostAddress_ = 0;
  port_ = 0;
  if (!on) return 0;
  return owner_.notBuilt(kPartTunnels, "FirewallAutoDetect");
}

void Tunnel::onConnectResult(int code) {
  if (code != 0) {
    negotiating_ = false;
    if (type_ != https_firewall::None) owner_.tunnelConnectionStatus("Firewall connection failed.", code);
    owner_.tunnelConnected(code);
    return;
  }
  if (type_ == https_firewall::None) {
    negotiating_ = false;
    owner_.tunnelConnected(0);
    return;
  }
  negotiating_ = true;
  owner_.tunnelConnectionStatus("Firewall connection complete.", 0);
  const char* request = "the tunnel request";
  owner_.notBuilt(kPartTunnels, request);
  fail(SocketEngine::notBuiltText(kPartTunnels, request));
}

int Tunnel::onData(const char* data, int length, bool endOfLine) {
  if (!negotiating_) return owner_.tunnelDataIn(data, length, endOfLine);
  // Replies are consumed by the negotiations, which are not built yet.
  return 0;
}

void Tunnel::onDisconnect(int code) {
  negotiating_ = false;
  if (type_ != https_firewall::None) owner_.tunnelConnectionStatus("Firewall host disconnected.", code);
  owner_.tunnelDisconnected(code);
}

void Tunnel::fail(const std::string& text) {
  owner_.tunnelError(kErrTunnelFailed, text);
  negotiating_ = false;
  if (!text.empty()) owner_.setError(kErrTunnelFailed, text);
  owner_.tunnelConnected(kErrTunnelFailed);
  owner_.close(0);
}

}  // namespace velmora::network::component
