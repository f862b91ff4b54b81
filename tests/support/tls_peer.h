// A scripted TLS server on 127.0.0.1: OpenSSL on memory BIOs, run on its own
// thread, so that the script decides which bytes go out in which write. The
// i-th accepted connection plays the i-th script, then reads until the client
// closes (at most 3 s), lets OpenSSL read that too, and closes:
//
//   tw_test::TlsPeer peer(certDir, {{tw_test::kTls12, "valid", false,
//                                    {TlsStep::handshake(TlsStep::kRecords),
//                                     TlsStep::read("\r\n\r\n"), TlsStep::write(reply)}}});
//
// certDir is an output folder of tests/support/test_ca.sh.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tw_test {

constexpr int kTls12 = 0x0303, kTls13 = 0x0304;

struct TlsStep {
  enum class Kind { Handshake, Read, Write, Renegotiate, CloseNotify, RawRead, RawSend, Close };
  // Handshake output per write: a flight, a record, or n > 0 bytes.
  static constexpr int kFlights = 0, kRecords = -1;

  Kind kind;
  std::string bytes;
  int n = 0;
  bool holdLast = false;

  static TlsStep handshake(int split = kFlights) { return {Kind::Handshake, {}, split, false}; }
  // Decrypts until the application data received contains text.
  static TlsStep read(std::string text) { return {Kind::Read, std::move(text), 0, false}; }
  static TlsStep write(std::string plain) { return {Kind::Write, std::move(plain), 0, false}; }
  // A HelloRequest (TLS 1.2). The client's answer is recorded as
  // "ClientHello" or "alert"; a ClientHello is answered until the new
  // handshake is done, whose last flight, with holdLast, goes out in one write
  // with the next write's record.
  static TlsStep renegotiate(bool holdLast = false) { return {Kind::Renegotiate, {}, 0, holdLast}; }
  // close_notify and then plain bytes, in one write.
  static TlsStep closeNotify(std::string plain) {
    return {Kind::CloseNotify, std::move(plain), 0, false};
  }
  static TlsStep rawRead(int count) { return {Kind::RawRead, {}, count, false}; }  // bytes in all
  static TlsStep rawSend(std::string bytes) { return {Kind::RawSend, std::move(bytes), 0, false}; }
  // Sends FIN (a close with bytes unread would be a reset).
  static TlsStep close() { return {Kind::Close, {}, 0, false}; }
};

struct TlsScript {
  int version = kTls13;        // the one version offered; 0: no TLS, raw steps only
  std::string cert = "valid";  // test_ca.sh NAME: NAME-chain.pem and NAME.key
  bool askClientCert = false;  // a CertificateRequest that requires nothing
  std::vector<TlsStep> steps;
};

struct TlsReceived {
  std::string raw;                          // all bytes the client sent
  std::string plain;                        // its application data
  std::vector<std::pair<int, int>> alerts;  // level and number
  std::vector<std::string> renegotiation;   // the answers to HelloRequests
  std::vector<std::string> errors;          // steps that could not complete
};

class TlsPeer {
 public:
  TlsPeer(std::string certDir, std::vector<TlsScript> scripts);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  uint16_t port() const;
  bool waitDone(int timeoutMs = 15000) const;  // every script ended
  TlsReceived received(size_t connection = 0) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tw_test
