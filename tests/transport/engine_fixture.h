// Shared set-up of the socket engine tests: a fresh state directory, the
// process start-up of the component, and an engine with a plain connection
// whose notifications are recorded as the layers above would receive them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "httpclient/transport/ConfigText.h"
#include "httpclient/transport/TlsClient.h"
#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/state_dir_test.h"

namespace engine_test {

using velmora::network::component::ConfigRequest;
using velmora::network::component::parseConfigText;
using velmora::network::component::SocketEngine;
using velmora::network::component::TlsClient;

// One piece handed up by the receive path.
struct Piece {
  std::string bytes;
  bool endOfLine;
  bool operator==(const Piece& o) const { return bytes == o.bytes && endOfLine == o.endOfLine; }
};

inline std::ostream& operator<<(std::ostream& os, const Piece& p) {
  return os << "{\"" << p.bytes << "\", " << (p.endOfLine ? "eol" : "raw") << "}";
}

// The layer chain up to TLS, with TLS deselected (a plain connection), and
// the notifications of the layers above recorded in order.
class RecordingEngine : public TlsClient {
 public:
  RecordingEngine() { selectTls(false); }

  std::vector<Piece> pieces;
  std::vector<std::string> events;  // "Connected 0 OK", "Disconnected 0 OK", ...
  // Runs inside the receive path's hand-on, after the piece was recorded.
  std::function<int(const Piece&)> onData;
  std::function<void(int)> onConnected;

  int config(const std::string& text) {
    std::string answer;
    int code = 0;
    if (!configSetting(parseConfigText(text), answer, code)) return -1;
    return code;
  }
  std::string query(const std::string& name) {
    std::string answer;
    int code = 0;
    configSetting(parseConfigText(name), answer, code);
    return answer;
  }

  // Plain connections are selected again after each clean-up here, so that
  // a test can connect more than once.
  void cleanupSocket() override {
    TlsClient::cleanupSocket();
    selectTls(false);
  }

  // Repeats the wait step until done() or the step ends the wait; false on
  // a failed step. A safety limit keeps a broken engine from hanging a test.
  bool waitUntil(const std::function<bool()>& done, int limitMs = 10000) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) {
        ADD_FAILURE() << "wait did not end within " << limitMs << " ms";
        return false;
      }
      if (!waitStep()) return false;
    }
    return true;
  }

  std::string joined() const {
    std::string all;
    for (const Piece& p : pieces) all += p.bytes;
    return all;
  }

 protected:
  int reportDataIn(const char* data, int length, bool endOfLine) override {
    pieces.push_back({std::string(data, static_cast<size_t>(length)), endOfLine});
    return onData ? onData(pieces.back()) : 0;
  }
  void fireConnected(int code, const std::string& text) override {
    events.push_back("Connected " + std::to_string(code) + " " + text);
    if (onConnected) onConnected(code);
  }
  void fireDisconnected(int code, const std::string& text) override {
    events.push_back("Disconnected " + std::to_string(code) + " " + text);
  }
  void fireConnectionStatus(const std::string& event, int code, const std::string&) override {
    events.push_back("ConnectionStatus " + event + " " + std::to_string(code));
  }
  void fireError(int code, const std::string& text) override {
    events.push_back("Error " + std::to_string(code) + " " + text);
  }
};

class EngineTest : public tw_test::StateDirTest {
 protected:
  void SetUp() override {
    StateDirTest::SetUp();
    SocketEngine::startup(nullptr);
  }
  void TearDown() override {
    SocketEngine::shutdown();
    StateDirTest::TearDown();
  }

  // Points the engine at the peer and connects, waiting for the outcome.
  static int connectTo(RecordingEngine& e, const tw_test::ScriptedPeer& peer) {
    EXPECT_EQ(e.setRemoteHost(peer.host()), 0);
    EXPECT_EQ(e.setRemotePort(peer.port()), 0);
    return e.connectBlocking();
  }
};

}  // namespace engine_test
