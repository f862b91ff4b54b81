// Proxy and firewall tunnel: the sub-object of the TCP client that negotiates
// a pass-through (HTTP CONNECT, plain or authenticated with NTLM, Negotiate
// or Digest; SOCKS 4; SOCKS 5) to the remote host.
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

#include "httpclient/auth/Digest.h"
#include "httpclient/auth/TokenExchange.h"
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
  // An authenticating CONNECT (NTLM, Negotiate, Digest), read line by line:
  ChallengeStatus,   // first CONNECT sent: the status line of the challenge
  ChallengeHeaders,  // the challenge's header lines
  ChallengeBody,     // its body, counted in bytes
  ChunkSize,         // a chunked body: the next chunk's size line
  ChunkTrailer,      // after the last chunk: lines up to the blank one
  AnswerStatus,      // the answering CONNECT sent: its reply's status line
  AnswerHeaders,     // that reply's header lines, up to the blank one
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
  // Every reply comes in raw blocks; the authenticating CONNECTs split
  // their lines here, so the engine's end-of-line marker stays as it is.
  bool readsRaw() const {
    return type_ >= https_firewall::HttpConnect && type_ <= https_firewall::HttpConnectDigest;
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

  // The authenticating CONNECTs (types 4 to 6).
  void startChallenge();
  // Waits for the status line of a reply, its counters cleared.
  void startReply(TunnelState next);
  bool exchanging() const;
  // Consumes the buffered lines and counted body bytes.
  void readChallengeReply();
  void onLine(const std::string& line);
  void onChallengeHeader(const std::string& line);
  // The challenge's body is in (a chunked one goes on to its next chunk).
  void bodyRead();
  void answerChallenge();
  // NTLM messages, or the system package's Negotiate tokens.
  const char* schemeWord() const;
  std::string negotiateRequest(const std::string& token) const;
  // Without an authorization: the request that draws the challenge.
  std::string digestRequest(const std::string* authorization) const;

  // Up: bytes after the reply go back to the engine as fresh input.
  void open(size_t replyLength, bool putBackRest);
  // An HTTP proxy's refusal: 118 with the reply text, the message as last error.
  void refuse(const std::string& reply, const std::string& message);
  // The same for an authenticating CONNECT: "Firewall error: <code> <reason>".
  void refuseStatus(const std::string& line);
  // Fail without the close, for a connection that is closing already.
  void end(const std::string& text);

  // Negotiation state.
  TunnelState state_ = TunnelState::Idle;
  std::string reply_;  // the reply bytes gathered so far
  size_t taken_ = 0;   // of them, consumed by the line reader

  // Authenticating CONNECTs.
  size_t headBytes_ = 0;  // status and header bytes of the current reply
  size_t expected_ = 0;   // body bytes announced (Content-Length, a chunk size)
  size_t counted_ = 0;    // of them, seen
  size_t bodyTotal_ = 0;  // every body byte announced in this negotiation
  bool chunked_ = false;
  std::string challenge_;      // the token after the scheme word
  std::string challengeLine_;  // the status line that came with it
  auth::TokenExchange exchange_;
  auth::DigestState digest_;

  SettingTable settings_;
};

}  // namespace velmora::network::component
