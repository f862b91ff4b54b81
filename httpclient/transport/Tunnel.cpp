#include "httpclient/transport/Tunnel.h"

#include <crypto++/base64.h>
#include <crypto++/filters.h>

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/InternetSettings.h"
#include "httpclient/transport/StateTrace.h"
#include "httpclient/transport/TcpClient.h"
#include "httpclient/transport/WinsockText.h"

namespace velmora::network::component {

namespace {

constexpr const char* kTextDisconnected = "Firewall host disconnected.";
constexpr const char* kTextLongField = "SOCKS5 field longer than 255 bytes";

const char* stateName(TunnelState s) {
  static const char* const names[] = {"Idle",         "HttpReply",     "Socks4Reply",
                                      "Socks5Method", "Socks5Auth",    "Socks5Connect",
                                      "Open",         "Ended"};
  return names[static_cast<int>(s)];
}

std::string base64(const std::string& text) {
  std::string out;
  CryptoPP::StringSource(text, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
  return out;
}

// The remote host as a CONNECT line names it: IPv6 literals bracketed,
// without a zone.
std::string authority(const std::string& host, uint16_t port) {
  std::string name = host;
  if (name.find(':') != std::string::npos) name = "[" + name.substr(0, name.find('%')) + "]";
  return name + ":" + std::to_string(port);
}

// One length-prefixed field of a SOCKS 5 message; false when it is too long.
bool addField(std::string& out, const std::string& field) {
  if (field.size() > 255) return false;
  out += static_cast<char>(field.size());
  out += field;
  return true;
}

void addPort(std::string& out, uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
}

}  // namespace

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
  std::string list;
  if (!on || !systemProxyServer(list)) return 0;
  // "socks=host:port", alone or as one entry of a list.
  const size_t at = list.find("socks=");
  if (at == std::string::npos) return 0;
  const size_t start = at + 6;
  const size_t colon = list.find(':', start);
  if (colon == std::string::npos || colon == start || colon + 1 >= list.size()) return 0;
  setType(https_firewall::Socks5);
  const size_t end = list.find(';', colon);
  const int32_t port = configInt32(list.substr(colon + 1, end == std::string::npos
                                                              ? std::string::npos
                                                              : end - colon - 1));
  if (port != 0) port_ = port;
  return setHost(list.substr(start, colon - start));
}

bool Tunnel::negotiating() const {
  return state_ != TunnelState::Idle && state_ != TunnelState::Open && state_ != TunnelState::Ended;
}

void Tunnel::setState(TunnelState next) { changeState(state_, next, "tunnel", stateName); }

void Tunnel::onConnectResult(int code) {
  reply_.clear();
  if (code != 0) {
    setState(TunnelState::Idle);
    if (type_ != https_firewall::None) {
      owner_.tunnelConnectionStatus("Firewall connection failed.", code);
    }
    owner_.tunnelConnected(code);
    return;
  }
  if (type_ == https_firewall::None) {
    setState(TunnelState::Idle);
    owner_.tunnelConnected(0);
    return;
  }
  owner_.tunnelConnectionStatus("Firewall connection complete.", 0);
  sendOpening();
}

void Tunnel::sendOpening() {
  const std::string host = owner_.remoteHost();
  const uint16_t port = owner_.remotePort();
  switch (type_) {
    case https_firewall::HttpConnect: {
      std::string request = "CONNECT " + authority(host, port) + " HTTP/1.0\r\n";
      if (!user_.empty() || !password_.empty()) {
        request += "Proxy-Authorization: Basic " + base64(user_ + ":" + password_) + "\r\n";
      }
      setState(TunnelState::HttpReply);
      send(request + "\r\n");
      return;
    }
    case https_firewall::Socks4:
      sendSocks4Request();
      return;
    case https_firewall::Socks5: {
      const bool credentials = !user_.empty() && !password_.empty();
      setState(TunnelState::Socks5Method);
      send(credentials ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3));
      return;
    }
    case https_firewall::HttpConnectNtlm:
    case https_firewall::HttpConnectNegotiate:
    case https_firewall::HttpConnectDigest: {
      const char* request = "the tunnel request";
      owner_.notBuilt(kPartTunnels, request);
      fail(SocketEngine::notBuiltText(kPartTunnels, request));
      return;
    }
    default:
      fail("Unknown firewall type: " + std::to_string(type_));
      return;
  }
}

void Tunnel::send(const std::string& request) {
  if (owner_.sendOnce(request.data(), static_cast<int>(request.size()), false) != 0) fail("");
}

bool Tunnel::remoteAddress(uint32_t& address) {
  if (int rc = resolveIPv4(owner_.remoteHost(), address)) {
    fail(winsockErrorText(rc));
    return false;
  }
  return true;
}

void Tunnel::sendSocks4Request() {
  setState(TunnelState::Socks4Reply);
  uint32_t address = 0;
  if (!remoteAddress(address)) return;
  std::string request("\x04\x01", 2);
  addPort(request, owner_.remotePort());
  request.append(reinterpret_cast<const char*>(&address), 4);
  request += user_;
  request += '\0';
  send(request);
}

void Tunnel::sendSocks5Connect() {
  setState(TunnelState::Socks5Connect);
  const std::string& host = owner_.remoteHost();
  std::string request("\x05\x01\x00", 3);
  if (host.starts_with('*')) {
    // The SOCKS server resolves the name.
    request += '\x03';
    if (!addField(request, host.substr(1))) return fail(kTextLongField);
  } else {
    uint32_t address = 0;
    if (!remoteAddress(address)) return;
    request += '\x01';
    request.append(reinterpret_cast<const char*>(&address), 4);
  }
  addPort(request, owner_.remotePort());
  send(request);
}

int Tunnel::onData(const char* data, int length, bool endOfLine) {
  if (state_ == TunnelState::Idle || state_ == TunnelState::Open) {
    return owner_.tunnelDataIn(data, length, endOfLine);
  }
  if (state_ == TunnelState::Ended || length <= 0) return 0;
  reply_.append(data, static_cast<size_t>(length));
  onReply();
  return 0;
}

void Tunnel::onReply() {
  TunnelReply kind = TunnelReply::HttpConnect;
  switch (state_) {
    case TunnelState::Socks4Reply: kind = TunnelReply::Socks4; break;
    case TunnelState::Socks5Method: kind = TunnelReply::Socks5Method; break;
    case TunnelState::Socks5Auth: kind = TunnelReply::Socks5Auth; break;
    case TunnelState::Socks5Connect: kind = TunnelReply::Socks5Connect; break;
    default: break;
  }
  const ReplyVerdict verdict = judgeTunnelReply(kind, reply_);
  switch (verdict.outcome) {
    case ReplyVerdict::Outcome::More: return;
    case ReplyVerdict::Outcome::Fail: return fail(verdict.text);
    case ReplyVerdict::Outcome::Refuse: return refuse(verdict.text);
    case ReplyVerdict::Outcome::Accept: return onAccepted(verdict);
  }
}

void Tunnel::onAccepted(const ReplyVerdict& verdict) {
  switch (state_) {
    case TunnelState::HttpReply:
      // What the proxy sent after its header is not the server's.
      return open(verdict.length, false);
    case TunnelState::Socks4Reply:
    case TunnelState::Socks5Connect:
      return open(verdict.length, true);
    case TunnelState::Socks5Method:
      reply_.erase(0, verdict.length);
      if (verdict.value == 0) return sendSocks5Connect();
      {
        std::string request = "\x01";
        if (!addField(request, user_) || !addField(request, password_)) return fail(kTextLongField);
        setState(TunnelState::Socks5Auth);
        return send(request);
      }
    case TunnelState::Socks5Auth:
      reply_.clear();
      return sendSocks5Connect();
    default:
      return;
  }
}

void Tunnel::open(size_t replyLength, bool putBackRest) {
  setState(TunnelState::Open);
  const std::string rest = reply_.substr(replyLength);
  reply_.clear();
  if (putBackRest && !rest.empty()) owner_.tunnelPutBack(rest.data(), rest.size());
  owner_.tunnelConnected(0);
}

void Tunnel::refuse(const std::string& message) {
  setState(TunnelState::Ended);
  owner_.tunnelError(kErrTunnelFailed, reply_);
  reply_.clear();
  owner_.setError(kErrTunnelFailed, message);
  owner_.tunnelConnected(kErrTunnelFailed);
}

void Tunnel::onDisconnect(int code) {
  const bool wasNegotiating = negotiating();
  setState(TunnelState::Idle);
  reply_.clear();
  if (type_ != https_firewall::None) owner_.tunnelConnectionStatus(kTextDisconnected, code);
  // A secure channel reports a disconnect before its handshake itself; a
  // plain connection's connect would otherwise wait for its time limit.
  if (wasNegotiating && !owner_.tunnelHandshakePending()) return end(kTextDisconnected);
  owner_.tunnelDisconnected(code);
}

void Tunnel::end(const std::string& text) {
  setState(TunnelState::Ended);
  reply_.clear();
  owner_.tunnelError(kErrTunnelFailed, text);
  if (!text.empty()) owner_.setError(kErrTunnelFailed, text);
  owner_.tunnelConnected(kErrTunnelFailed);
}

void Tunnel::fail(const std::string& text) {
  end(text);
  owner_.close(0);
}

}  // namespace velmora::network::component
