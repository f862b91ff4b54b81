// Scripted peers: in-process TCP servers on the loopback address that play a
// script of steps on each accepted connection and record what they receive,
// e.g. ScriptedPeer peer({PeerStep::waitFor("\r\n\r\n"), PeerStep::send(reply),
// PeerStep::close()}), then peer.waitDone() and peer.received(0). No system
// header is included, so tests that use the Winsock names of
// platform/winsock.h can use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw_test {

struct PeerStep {
  enum class Kind { Send, Delay, WaitFor, Close, Reset, Generate };
  // Makes the next piece to send, given the bytes this step sent so far; an
  // empty piece ends the step.
  using Generator = std::function<std::string(uint64_t sentSoFar)>;

  Kind kind = Kind::Send;
  std::string bytes = {};
  int ms = 0;          // Delay: the pause; WaitFor: the time limit
  uint64_t count = 0;  // WaitFor without bytes: the byte count; Generate: the limit
  Generator next = nullptr;

  static PeerStep send(std::string b) { return {.kind = Kind::Send, .bytes = std::move(b)}; }
  // A pause, not reading meanwhile.
  static PeerStep delay(int ms) { return {.kind = Kind::Delay, .ms = ms}; }
  // Reads until the text, or n bytes in all, has been received; a timeout is
  // recorded in errors() and ends the script.
  static PeerStep waitFor(std::string text, int timeoutMs = 10000) {
    return {.kind = Kind::WaitFor, .bytes = std::move(text), .ms = timeoutMs};
  }
  static PeerStep waitForCount(size_t n, int timeoutMs = 10000) {
    return {.kind = Kind::WaitFor, .ms = timeoutMs, .count = n};
  }
  static PeerStep close() { return {.kind = Kind::Close}; }
  // Closes with SO_LINGER 0: the client sees a reset.
  static PeerStep reset() { return {.kind = Kind::Reset}; }
  // A stream of any length: next()'s pieces until one is empty, limit bytes
  // have gone out, or the client ends the connection (no error: a hostile
  // stream expects that).
  static PeerStep generate(Generator next, uint64_t limit = UINT64_MAX) {
    return {.kind = Kind::Generate, .count = limit, .next = std::move(next)};
  }
};

using PeerScript = std::vector<PeerStep>;

struct PeerOptions {
  bool ipv6 = false;     // listen on ::1 instead of 127.0.0.1
  int receiveBuffer = 0; // SO_RCVBUF of the connections (0: system default)
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
  size_t connectionCount() const;
  // Waits until every script has been played and its client closed. False on timeout.
  bool waitDone(int timeoutMs = 10000) const;
  // Waits until the i-th connection has received at least n bytes.
  bool waitReceived(size_t connection, size_t n, int timeoutMs = 10000) const;
  // Failures of the scripts (a WaitFor that timed out, a failed send).
  std::vector<std::string> errors() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A loopback port on which nothing listens (a connect there is refused).
uint16_t unusedLoopbackPort();

}  // namespace tw_test
