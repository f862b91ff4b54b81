// Scripted peers: in-process TCP servers on the loopback address that record
// what they receive and play a script of steps on each connection.
//
// A case is data: the request bytes the peer waits for, the reply pieces it
// sends (with delays between them) and how it ends the connection; the test
// states the result it expects from the code under test next to it.
//
//   tw_test::ScriptedPeer peer({tw_test::PeerStep::waitFor("GET / HTTP/1.1\r\n\r\n"),
//                               tw_test::PeerStep::send("HTTP/1.1 200 OK\r\n"),
//                               tw_test::PeerStep::delay(50),
//                               tw_test::PeerStep::send("\r\n"),
//                               tw_test::PeerStep::close()});
//   ... connect to peer.host():peer.port() ...
//   peer.waitDone();
//   EXPECT_EQ(peer.received(0), "GET / HTTP/1.1\r\n\r\n");
//
// This header includes no system header, so tests that use the Winsock names
// of platform/winsock.h can use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw_test {

struct PeerStep {
  enum class Kind {
    Send,          // send the bytes
    Delay,         // pause (not reading meanwhile)
    WaitFor,       // read until the bytes received so far contain text
    WaitForCount,  // read until at least count bytes were received
    ShutdownWrite, // send FIN, keep reading
    Close,         // orderly close
    Reset,         // close with SO_LINGER 0: the client sees a reset
    Generate,      // send pieces made by a function (see generate)
  };
  // Makes the next piece to send, given the bytes this step sent so far; an
  // empty piece ends the step.
  using Generator = std::function<std::string(uint64_t sentSoFar)>;

  Kind kind;
  std::string bytes;
  int ms = 0;
  size_t count = 0;
  Generator next = nullptr;

  static PeerStep send(std::string b) { return {Kind::Send, std::move(b), 0, 0, nullptr}; }
  static PeerStep delay(int ms) { return {Kind::Delay, {}, ms, 0, nullptr}; }
  // Waits (at most timeoutMs) until the text has been received; a timeout is
  // recorded in errors() and ends the script.
  static PeerStep waitFor(std::string text, int timeoutMs = 10000) {
    return {Kind::WaitFor, std::move(text), timeoutMs, 0, nullptr};
  }
  static PeerStep waitForCount(size_t n, int timeoutMs = 10000) {
    return {Kind::WaitForCount, {}, timeoutMs, n, nullptr};
  }
  static PeerStep shutdownWrite() { return {Kind::ShutdownWrite, {}, 0, 0, nullptr}; }
  static PeerStep close() { return {Kind::Close, {}, 0, 0, nullptr}; }
  static PeerStep reset() { return {Kind::Reset, {}, 0, 0, nullptr}; }
  // A stream of any length without holding it: sends next()'s pieces until
  // one is empty, limit bytes have gone out, or the client ends the
  // connection. A client that hangs up is what a hostile stream expects, so
  // that is no error; the script then ends. A client that stops reading
  // does not block the peer's destruction.
  static PeerStep generate(Generator next, uint64_t limit = UINT64_MAX) {
    return {Kind::Generate, {}, 0, static_cast<size_t>(limit), std::move(next)};
  }
};

using PeerScript = std::vector<PeerStep>;

// One exchange as data: wait for the request, send the reply pieces with a
// delay before each but the first, then end the connection.
struct PeerExchange {
  enum class End { Close, Reset, KeepOpen };
  std::string request;                 // empty: do not wait for anything
  std::vector<std::string> replyPieces;
  int delayMs = 0;
  End end = End::Close;
};
PeerScript scriptFor(const PeerExchange& exchange);

struct PeerOptions {
  bool ipv6 = false;     // listen on ::1 instead of 127.0.0.1
  int receiveBuffer = 0; // SO_RCVBUF of accepted connections (0: system default)
  int sendBuffer = 0;    // SO_SNDBUF of accepted connections (0: system default)
  // After the script, keep reading (and recording) until the client closes
  // or the peer is destroyed.
  bool drainAfterScript = true;
};

class ScriptedPeer {
 public:
  // Plays scripts[i] on the i-th accepted connection; connections beyond the
  // scripts are accepted and closed at once.
  explicit ScriptedPeer(std::vector<PeerScript> scripts, PeerOptions options = {});
  explicit ScriptedPeer(PeerScript script, PeerOptions options = {});
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const;
  // "127.0.0.1" or "::1".
  std::string host() const;
  // Bytes received so far on the i-th connection.
  std::string received(size_t connection = 0) const;
  size_t connectionCount() const;
  // Waits until every script has been played to its end (and, with
  // drainAfterScript, the client closed). False on timeout.
  bool waitDone(int timeoutMs = 10000) const;
  // Waits until the i-th connection has received at least n bytes.
  bool waitReceived(size_t connection, size_t n, int timeoutMs = 10000) const;
  // Bytes sent so far on the i-th connection.
  uint64_t sent(size_t connection = 0) const;
  // Failures of the scripts (a WaitFor that timed out, a failed send).
  std::vector<std::string> errors() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A loopback port on which nothing listens (a connect there is refused).
uint16_t unusedLoopbackPort();

}  // namespace tw_test
