// Scripted peers: in-process TCP servers on the loopback address that play a
// script of steps on each accepted connection and record what they receive,
// e.g. ScriptedPeer peer({PeerStep::waitFor("\r\n\r\n"), PeerStep::send(reply),
// PeerStep::close()}), then peer.waitDone() and peer.received(0). With the tls
// option each connection is a TLS server (OpenSSL on memory BIOs, so that the
// script decides which bytes go out in which write) and the tls steps drive
// it. No system header is included, so tests that use the Winsock names of
// platform/winsock.h can use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ssl_st;
struct bio_st;

namespace tw_test {

constexpr int kTls12 = 0x0303, kTls13 = 0x0304;

struct PeerStep {
  enum class Kind {
    Send, Delay, WaitFor, Close, Shutdown, Reset, Generate,
    Handshake, TlsRead, TlsWrite, Renegotiate, CloseNotify
  };
  // Handshake output per write: a flight, a record, or n > 0 bytes.
  static constexpr int kFlights = 0, kRecords = -1;
  // Makes the next piece to send, given the bytes this step sent so far; an
  // empty piece ends the step.
  using Generator = std::function<std::string(uint64_t sentSoFar)>;

  Kind kind = Kind::Send;
  std::string bytes = {};
  int ms = 0;          // Delay: the pause; WaitFor: the time limit
  uint64_t count = 0;  // WaitFor without bytes: the byte count; Generate: the limit
  Generator next = nullptr;
  int split = kFlights;   // Handshake
  bool holdLast = false;  // Renegotiate

  static PeerStep send(std::string b) { return {.kind = Kind::Send, .bytes = std::move(b)}; }
  // A pause, not reading meanwhile.
  static PeerStep delay(int ms) { return {.kind = Kind::Delay, .ms = ms}; }
  // Reads until the text, or n bytes in all, has been received; a timeout
  // ends the script.
  static PeerStep waitFor(std::string text, int timeoutMs = 10000) {
    return {.kind = Kind::WaitFor, .bytes = std::move(text), .ms = timeoutMs};
  }
  static PeerStep waitForCount(size_t n, int timeoutMs = 10000) {
    return {.kind = Kind::WaitFor, .ms = timeoutMs, .count = n};
  }
  static PeerStep close() { return {.kind = Kind::Close}; }
  // Sends FIN and goes on reading (a close with bytes unread would be a reset).
  static PeerStep shutdown() { return {.kind = Kind::Shutdown}; }
  // Closes with SO_LINGER 0: the client sees a reset.
  static PeerStep reset() { return {.kind = Kind::Reset}; }
  // A stream of any length: next()'s pieces until one is empty, limit bytes
  // have gone out, or the client ends the connection (no error: a hostile
  // stream expects that).
  static PeerStep generate(Generator next, uint64_t limit = UINT64_MAX) {
    return {.kind = Kind::Generate, .count = limit, .next = std::move(next)};
  }

  // TLS steps (the tls option): the server's handshake, split as given.
  static PeerStep handshake(int n = kFlights) { return {.kind = Kind::Handshake, .split = n}; }
  // Decrypts until the application data received contains text.
  static PeerStep tlsRead(std::string t) { return {.kind = Kind::TlsRead, .bytes = std::move(t)}; }
  static PeerStep tlsWrite(std::string t) {
    return {.kind = Kind::TlsWrite, .bytes = std::move(t)};
  }
  // A HelloRequest (TLS 1.2). The client's answer is recorded as
  // "ClientHello" or "alert"; a ClientHello is answered until the new
  // handshake is done, whose last flight, with holdLast, goes out in one write
  // with the next write's record.
  static PeerStep renegotiate(bool hold = false) {
    return {.kind = Kind::Renegotiate, .holdLast = hold};
  }
  // close_notify and then plain bytes, in one write.
  static PeerStep closeNotify(std::string t) {
    return {.kind = Kind::CloseNotify, .bytes = std::move(t)};
  }
};

using PeerScript = std::vector<PeerStep>;

// The settings of a TLS server.
struct TlsServer {
  std::string certDir;         // an output folder of tests/support/test_ca.sh
  int version = kTls13;        // the lowest version offered
  std::string cert = "valid";  // NAME-chain.pem and NAME.key of certDir
  bool askClientCert = false;  // a CertificateRequest that requires nothing
  int maxVersion = 0;          // the highest version offered (0: version)
  // One suite for TLS 1.2 and no resumption (a renegotiation is a full
  // handshake); false: OpenSSL's choices.
  bool oneSuite = true;
};

struct PeerOptions {
  bool ipv6 = false;     // listen on ::1 instead of 127.0.0.1
  int receiveBuffer = 0; // SO_RCVBUF of the connections (0: system default)
  std::optional<TlsServer> tls = std::nullopt;
};

// A TLS server of OpenSSL on memory BIOs: the caller carries the bytes both
// ways, so that it decides which bytes go out in which write.
class MemoryTls {
 public:
  explicit MemoryTls(const TlsServer& settings);
  ~MemoryTls();
  MemoryTls(const MemoryTls&) = delete;
  MemoryTls& operator=(const MemoryTls&) = delete;

  void put(const std::string& fromClient);  // gives OpenSSL the client's bytes
  // Puts them and returns the application data they completed; lastError
  // keeps SSL_get_error of the last read.
  std::string read(const std::string& fromClient = "");
  std::string write(const std::string& plain);  // the records of plain
  std::string take();                           // what OpenSSL has written

  ssl_st* ssl = nullptr;
  int lastError = 0;
  std::vector<std::pair<int, int>> alerts;  // level and number of the alerts received

 private:
  bio_st* in_ = nullptr;
  bio_st* out_ = nullptr;
};

// What the TLS server of a connection got besides the raw bytes.
struct TlsReceived {
  std::string plain;                        // the client's application data
  std::vector<std::pair<int, int>> alerts;  // level and number
  std::vector<std::string> renegotiation;   // the answers to HelloRequests
};

// Plays scripts[i] on the i-th accepted connection, then reads (and records)
// until the client closes it; connections beyond the scripts are closed at
// once. Sends never block the peer's destruction.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<PeerScript> scripts, PeerOptions options = {});
  explicit ScriptedPeer(PeerScript script, PeerOptions options = {});
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const;
  std::string host() const;  // "127.0.0.1" or "::1"
  // Bytes received and sent so far on the i-th connection.
  std::string received(size_t connection = 0) const;
  uint64_t sent(size_t connection = 0) const;
  // Complete once waitDone() is true.
  TlsReceived tls(size_t connection = 0) const;
  size_t connectionCount() const;
  // Waits until every script has been played and its client closed. False on timeout.
  bool waitDone(int timeoutMs = 10000) const;
  // Waits until the i-th connection has received at least n bytes.
  bool waitReceived(size_t connection, size_t n, int timeoutMs = 10000) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A loopback port on which nothing listens (a connect there is refused).
uint16_t unusedLoopbackPort();

}  // namespace tw_test
