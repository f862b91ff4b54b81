// A scripted TLS server on 127.0.0.1 for tests of TLS clients: OpenSSL with
// memory BIOs on its own thread, so that the script decides which bytes go
// out in which write. Each accepted connection plays one script:
//
//   tw_test::TlsPeer peer(certDir, {{tw_test::kTls12, "valid", false,
//                                    {TlsStep::handshake(TlsStep::kRecords),
//                                     TlsStep::read("\r\n\r\n"),
//                                     TlsStep::write("HTTP/1.1 200 OK\r\n...")}}});
//
// After its steps a script reads until the client closes (or a few seconds
// pass), decrypts what it can of that and closes. What the client sent is
// recorded: raw bytes, decrypted bytes, alerts and renegotiation answers.
// certDir is an output folder of tests/support/test_ca.sh.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tw_test {

constexpr int kTls12 = 0x0303;
constexpr int kTls13 = 0x0304;

struct TlsStep {
  enum class Kind { Handshake, Read, Write, Renegotiate, CloseNotify, RawRead, RawSend, Close, Delay };
  // How the handshake's output is cut into writes: a flight per write, a
  // record per write, or n bytes per write (n > 0).
  static constexpr int kFlights = 0, kRecords = -1;

  Kind kind;
  std::string bytes;
  int n = 0;
  bool holdLast = false;

  static TlsStep handshake(int split = kFlights) { return {Kind::Handshake, {}, split, false}; }
  // Decrypts until the bytes received contain text.
  static TlsStep read(std::string text) { return {Kind::Read, std::move(text), 0, false}; }
  static TlsStep write(std::string plain) { return {Kind::Write, std::move(plain), 0, false}; }
  // A TLS 1.2 HelloRequest; the client's answer is recorded ("ClientHello"
  // or "alert"); a ClientHello is answered until the new handshake is done.
  // With holdLast its last flight goes out with the next write's bytes, in
  // the same write.
  static TlsStep renegotiate(bool holdLast = false) {
    return {Kind::Renegotiate, {}, 0, holdLast};
  }
  // close_notify followed by plain bytes, in one write.
  static TlsStep closeNotify(std::string plainAfter) {
    return {Kind::CloseNotify, std::move(plainAfter), 0, false};
  }
  // Waits until n bytes have come in on the connection.
  static TlsStep rawRead(int n) { return {Kind::RawRead, {}, n, false}; }
  static TlsStep rawSend(std::string bytes) { return {Kind::RawSend, std::move(bytes), 0, false}; }
  // Ends the sending side (FIN), so that unread bytes cannot turn the close
  // into a reset; the script then reads until the client closes.
  static TlsStep close() { return {Kind::Close, {}, 0, false}; }
  static TlsStep delay(int ms) { return {Kind::Delay, {}, ms, false}; }
};

struct TlsScript {
  int version = kTls13;      // the one protocol version offered; 0: no TLS at all
  std::string cert = "valid";  // NAME of test_ca.sh: NAME-chain.pem and NAME.key
  bool askClientCert = false;  // send a CertificateRequest (none is required)
  std::vector<TlsStep> steps;
};

// What one connection received.
struct TlsReceived {
  std::string raw;    // every byte the client sent
  std::string plain;  // decrypted application data
  std::vector<std::pair<int, int>> alerts;  // level and number of each alert
  std::vector<std::string> renegotiation;   // answers to HelloRequests
  std::vector<std::string> errors;          // steps that could not complete
};

class TlsPeer {
 public:
  TlsPeer(std::string certDir, std::vector<TlsScript> scripts);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  uint16_t port() const;
  // Waits until every script has ended. False on timeout.
  bool waitDone(int timeoutMs = 15000) const;
  // What the i-th connection received (complete once waitDone returned).
  TlsReceived received(size_t connection = 0) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tw_test
