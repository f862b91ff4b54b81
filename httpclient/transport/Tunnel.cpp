#include "httpclient/transport/Tunnel.h"

#include <algorithm>

#include "httpclient/auth/AuthCommon.h"
#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/InternetSettings.h"
#include "httpclient/transport/StateTrace.h"
#include "httpclient/transport/TcpClient.h"
#include "httpclient/transport/WinsockText.h"
#include "platform/text.h"

namespace velmora::network::component {

namespace {

constexpr const char* kTextDisconnected = "Firewall host disconnected.";
constexpr const char* kTextLongField = "SOCKS5 field longer than 255 bytes";
constexpr const char* kTextHeadTooLarge = "Response header too large.";
constexpr const char* kTextBodyTooLarge = "Response body too large.";
// Every body byte a proxy may announce in one negotiation; more fails.
constexpr size_t kMaxTunnelBodies = 1 << 20;

const char* stateName(TunnelState s) {
  static const char* const names[] = {
      "Idle",          "HttpReply",        "Socks4Reply",   "Socks5Method",
      "Socks5Auth",    "Socks5Connect",    "ChallengeStatus", "ChallengeHeaders",
      "ChallengeBody", "ChunkSize",        "ChunkTrailer",  "AnswerStatus",
      "AnswerHeaders", "Open",             "Ended"};
  return names[static_cast<int>(s)];
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
  taken_ = 0;
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
        request += "Proxy-Authorization: Basic " + auth::base64Encode(user_ + ":" + password_) + "\r\n";
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
    case https_firewall::HttpConnectDigest:
      startChallenge();
      return;
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
  if (exchanging()) {
    readChallengeReply();
  } else {
    onReply();
  }
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
    case ReplyVerdict::Outcome::Refuse: return refuse(reply_, verdict.text);
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

// --- authenticating CONNECT -------------------------------------------------------

// The first CONNECT carries the scheme's first token (NTLM, Negotiate) or
// nothing (Digest); the proxy's challenge is answered on the same connection.
void Tunnel::startChallenge() {
  challenge_.clear();
  bodyTotal_ = 0;
  startReply(TunnelState::ChallengeStatus);
  if (type_ == https_firewall::HttpConnectDigest) {
    digest_ = auth::DigestState{};
    return send(digestRequest(nullptr));
  }
  std::string token;
  const bool systemPackage =
      type_ == https_firewall::HttpConnectNegotiate && owner_.tunnelSystemSspi();
  if (!exchange_.first(systemPackage, user_, password_, "HTTP/" + owner_.remoteHost(), nullptr,
                       token)) {
    return fail("");
  }
  send(negotiateRequest(token));
}

void Tunnel::startReply(TunnelState next) {
  headBytes_ = expected_ = counted_ = 0;
  chunked_ = false;
  setState(next);
}

bool Tunnel::exchanging() const {
  return state_ >= TunnelState::ChallengeStatus && state_ <= TunnelState::AnswerHeaders;
}

void Tunnel::readChallengeReply() {
  while (exchanging()) {
    const std::string_view rest = std::string_view(reply_).substr(taken_);
    if (state_ == TunnelState::ChallengeBody) {
      // Counted in bytes: a body need not end in a line end.
      const size_t take = std::min(rest.size(), expected_ - counted_);
      taken_ += take;
      counted_ += take;
      if (counted_ < expected_) break;
      bodyRead();
      continue;
    }
    const size_t end = rest.find('\n');
    if (headBytes_ + (end == std::string_view::npos ? rest.size() : end + 1) >= kMaxTunnelReply) {
      return fail(kTextHeadTooLarge);
    }
    if (end == std::string_view::npos) break;
    std::string line(rest.substr(0, end));
    if (line.ends_with('\r')) line.pop_back();
    headBytes_ += end + 1;
    taken_ += end + 1;
    onLine(line);
  }
  if (!exchanging()) return;
  reply_.erase(0, taken_);
  taken_ = 0;
}

void Tunnel::onLine(const std::string& line) {
  switch (state_) {
    case TunnelState::ChallengeStatus:
    case TunnelState::AnswerStatus: {
      const StatusLine status = splitStatusLine(line);
      const bool challenge = state_ == TunnelState::ChallengeStatus;
      bool goOn = status.code.starts_with('2');
      if (challenge) goOn = status.code == "401" || status.code == "407";
      if (!challenge && type_ == https_firewall::HttpConnectDigest) goOn = status.code == "200";
      if (!goOn) return refuseStatus(line);
      if (challenge) challengeLine_ = line;
      return setState(challenge ? TunnelState::ChallengeHeaders : TunnelState::AnswerHeaders);
    }
    case TunnelState::ChallengeHeaders:
      return onChallengeHeader(line);
    case TunnelState::ChunkSize:
      if (line.empty()) return;  // the line end after a chunk's data
      counted_ = 0;
      if (!readLength(line, 16, kMaxTunnelBodies - bodyTotal_, expected_)) {
        return fail(kTextBodyTooLarge);
      }
      bodyTotal_ += expected_;
      return setState(expected_ == 0 ? TunnelState::ChunkTrailer : TunnelState::ChallengeBody);
    case TunnelState::ChunkTrailer:
      if (line.empty()) answerChallenge();
      return;
    case TunnelState::AnswerHeaders:
      // Types 4 and 5 leave what follows the reply to the layers above.
      if (line.empty()) open(0, type_ != https_firewall::HttpConnectDigest);
      return;
    default:
      return;
  }
}

void Tunnel::onChallengeHeader(const std::string& line) {
  if (line.empty()) {
    // An empty body (Content-Length 0 or none) is in at once.
    return setState(chunked_ ? TunnelState::ChunkSize : TunnelState::ChallengeBody);
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  const std::string_view name = std::string_view(line).substr(0, colon);
  std::string value = line.substr(colon + 1);
  value.erase(0, value.find_first_not_of(" \t"));
  if (tw_platform::equalsNoCase(name, "Content-Length")) {
    counted_ = 0;
    if (!readLength(value, 10, kMaxTunnelBodies - bodyTotal_, expected_)) {
      return fail(kTextBodyTooLarge);
    }
    bodyTotal_ += expected_;
  } else if (tw_platform::equalsNoCase(name, "Transfer-Encoding")) {
    if (tw_platform::equalsNoCase(value, "chunked")) chunked_ = true;
  } else if (tw_platform::equalsNoCase(name, "Proxy-Authenticate")) {
    const size_t blank = value.find(' ');
    const std::string_view word = std::string_view(value).substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : value.substr(blank + 1);
    if (type_ == https_firewall::HttpConnectDigest) {
      if (tw_platform::equalsNoCase(word, "Digest")) digest_.parseChallenge(rest);
    } else if (tw_platform::equalsNoCase(word, schemeWord())) {
      challenge_ = rest;
    }
  }
}

void Tunnel::bodyRead() {
  if (chunked_) return setState(TunnelState::ChunkSize);
  answerChallenge();
}

void Tunnel::answerChallenge() {
  std::string request;
  if (type_ == https_firewall::HttpConnectDigest) {
    digest_.user = user_;
    digest_.password = password_;
    digest_.method = "CONNECT";
    digest_.uri = digestUri_;
    digest_.entityBody.clear();
    // Without a Digest challenge the value stays empty and goes out so.
    std::string value;
    if (!digest_.headerValue(false, value)) return fail(digest_.errorText);
    request = digestRequest(&value);
  } else {
    // A proxy that offers no challenge of the scheme has refused it: its
    // status says so better than a failed token would.
    if (challenge_.empty()) return refuseStatus(challengeLine_);
    std::string token;
    if (!exchange_.answer(challenge_, token)) return fail("");
    request = negotiateRequest(token);
  }
  startReply(TunnelState::AnswerStatus);
  send(request);
}

const char* Tunnel::schemeWord() const {
  return type_ == https_firewall::HttpConnectNtlm ? "NTLM" : "Negotiate";
}

std::string Tunnel::negotiateRequest(const std::string& token) const {
  return "CONNECT " + authority(owner_.remoteHost(), owner_.remotePort()) +
         " HTTP/1.0\r\nProxy-Authorization: " + schemeWord() + " " + auth::base64Encode(token) +
         "\r\nProxy-Connection: Keep-Alive\r\n\r\n";
}

std::string Tunnel::digestRequest(const std::string* authorization) const {
  const std::string target = authority(owner_.remoteHost(), owner_.remotePort());
  std::string request = "CONNECT " + target + " HTTP/1.0\r\nHost: " + target +
                        "\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\n"
                        "Pragma: no-cache\r\n";
  if (authorization != nullptr) request += "Proxy-Authorization: " + *authorization + "\r\n";
  return request + "\r\n";
}

void Tunnel::open(size_t replyLength, bool putBackRest) {
  setState(TunnelState::Open);
  const std::string rest = reply_.substr(taken_ + replyLength);
  reply_.clear();
  taken_ = 0;
  if (putBackRest && !rest.empty()) owner_.tunnelPutBack(rest.data(), rest.size());
  owner_.tunnelConnected(0);
}

void Tunnel::refuse(const std::string& reply, const std::string& message) {
  setState(TunnelState::Ended);
  owner_.tunnelError(kErrTunnelFailed, reply);
  reply_.clear();
  taken_ = 0;
  owner_.setError(kErrTunnelFailed, message);
  owner_.tunnelConnected(kErrTunnelFailed);
}

void Tunnel::refuseStatus(const std::string& line) {
  const StatusLine status = splitStatusLine(line);
  refuse(line, "Firewall error: " + status.code + " " + status.reason);
}

void Tunnel::onDisconnect(int code) {
  const bool wasNegotiating = negotiating();
  setState(TunnelState::Idle);
  reply_.clear();
  taken_ = 0;
  challenge_.clear();
  if (type_ != https_firewall::None) owner_.tunnelConnectionStatus(kTextDisconnected, code);
  // A secure channel reports a disconnect before its handshake itself; a
  // plain connection's connect would otherwise wait for its time limit.
  if (wasNegotiating && !owner_.tunnelHandshakePending()) return end(kTextDisconnected);
  owner_.tunnelDisconnected(code);
}

void Tunnel::end(const std::string& text) {
  setState(TunnelState::Ended);
  reply_.clear();
  taken_ = 0;
  owner_.tunnelError(kErrTunnelFailed, text);
  if (!text.empty()) owner_.setError(kErrTunnelFailed, text);
  owner_.tunnelConnected(kErrTunnelFailed);
}

void Tunnel::fail(const std::string& text) {
  end(text);
  owner_.close(0);
}

}  // namespace velmora::network::component
