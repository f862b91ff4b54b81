// Proxy and firewall tunnel: the sub-object of the TCP client that negotiates
// a pass-through (HTTP CONNECT, SOCKS 4, SOCKS 5) to the remote host.
// What it is: the tunnel settings (FirewallType, Host, Port, User, Password,
//   AutoDetect) and the negotiation state of one connection.
// May call below: the socket engine's send and EOL, through its owner.
// Tells above: the owner's connect notification, raw data-in and disconnect
//   notification; while it negotiates it consumes the proxy's reply.
// Re-entrancy: runs inside the engine's receive handler; never re-entered.
// Reached through its owner, the TCP client, which the HTTP layer asks.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/transport/ComponentIds.h"
#include "httpclient/transport/SettingTable.h"
#include "httpclient/transport/TunnelReply.h"

namespace velmora::network::component {

class TcpClient;

// Where a connection's tunnel stands. The negotiating states each wait for
// one reply of the intermediary.
enum class TunnelState {
  Idle,           // no negotiation: before a connect, or no tunnel is set
  HttpReply,      // CONNECT sent, its answer awaited
  Socks4Reply,    // SOCKS 4 request sent
  Socks5Method,   // SOCKS 5 greeting sent
  Socks5Auth,     // user name and password sent
  Socks5Connect,  // SOCKS 5 connect request sent
  Open,           // the pass-through is up: bytes go straight up
  Ended,          // the negotiation failed: what the intermediary still sends is dropped
};

class Tunnel {
 public:
  explicit Tunnel(TcpClient& owner);

  // Setting the type installs its default port (80 for HTTP tunnels, 1080
  // for SOCKS, 0 otherwise), so a port set earlier is lost.
  void setType(int type);
  uint8_t type() const { return type_; }
  // Resolves the intermediary's address; an empty text clears it.
  int setHost(const std::string& host);
  const std::string& host() const { return host_; }
  // The intermediary's IPv4 address (network order, 0 = none).
  uint32_t hostAddress() const { return hostAddress_; }
  void setPort(int32_t port) { port_ = port; }
  int32_t port() const { return port_; }
  void setUser(const std::string& user) { user_ = user; }
  const std::string& user() const { return user_; }
  void setPassword(const std::string& password) { password_ = password; }
  const std::string& password() const { return password_; }
  // Clears host and port; true then reads the system proxy configuration.
  int setAutoDetect(bool on);
  bool autoDetect() const { return autoDetect_; }
  void setDigestUri(const std::string& uri) { digestUri_ = uri; }
  bool negotiating() const;
  // Replies of types 1 to 3 come in raw blocks; the others by lines.
  bool readsRaw() const {
    return type_ >= https_firewall::HttpConnect && type_ <= https_firewall::Socks5;
  }

  // From the socket engine: the TCP connect to the intermediary completed.
  void onConnectResult(int code);
  // Every block or line the engine hands on.
  int onData(const char* data, int length, bool endOfLine);
  void onDisconnect(int code);
  // Ends a negotiation with 118 and, when given, the text.
  void fail(const std::string& text);

  bool configSetting(const ConfigRequest& req, std::string& answer, int& code,
                     std::string& errorText) const {
    return settings_.handle(req, answer, code, errorText);
  }

 private:
  TcpClient& owner_;
  uint8_t type_ = 0;
  std::string host_;
  uint32_t hostAddress_ = 0;
  int32_t port_ = 0;
  std::string user_;
  std::string password_;
  bool autoDetect_ = false;
  std::string digestUri_;
  std::string data_;  // "FirewallData": stored only

  void setState(TunnelState next);
  // Sends a request of the negotiation; a failed send ends it.
  void send(const std::string& request);
  // The opening request of the type.
  void sendOpening();
  void sendSocks4Request();
  void sendSocks5Connect();
  // The remote host as an IPv4 address for the SOCKS requests (network
  // order); a failed lookup ends the negotiation and returns false.
  bool remoteAddress(uint32_t& address);
  // The reply's bytes are judged: favourable ones move the negotiation on.
  void onReply();
  void onAccepted(const ReplyVerdict& verdict);
  // Up: bytes after the reply go back to the engine as fresh input.
  void open(size_t replyLength, bool putBackRest);
  // An HTTP proxy's refusal: 118 with the reply, the message as last error.
  void refuse(const std::string& message);
  // Fail without the close, for a connection that is closing already.
  void end(const std::string& text);

  // Negotiation state.
  TunnelState state_ = TunnelState::Idle;
  std::string reply_;  // the reply bytes gathered so far

  SettingTable settings_;
};

}  // namespace velmora::network::component
