// The socket engine against scripted loopback peers: the checks before a
// connect and the events of a connect, the wait step with its deadline, the
// receive path feeding its line buffer, and the send paths. The engine is the
// layer chain up to TLS with TLS deselected (a plain connection), and the
// notifications of the layers above are recorded in order. (The response
// parser's table plays the line buffer's framing at every cut.)
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/transport/ConfigText.h"
#include "httpclient/transport/LineBuffer.h"
#include "httpclient/transport/SessionTranscript.h"
#include "httpclient/transport/TlsClient.h"
#include "platform/messages.h"
#include "platform/winsock.h"
#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/state_dir_test.h"

namespace {

using velmora::network::component::LineBuffer;
using velmora::network::component::parseConfigText;
using velmora::network::component::SessionTranscript;
using velmora::network::component::SocketEngine;
using velmora::network::component::TlsClient;
using tw_test::PeerScript;
using tw_test::PeerStep;
using tw_test::ScriptedPeer;

// A piece handed up by the receive path: its bytes and whether a line end cut it.
using Piece = std::pair<std::string, bool>;
using Pieces = std::vector<Piece>;

class RecordingEngine : public TlsClient {
 public:
  RecordingEngine() { selectTls(false); }

  Pieces pieces;
  std::vector<std::string> events;  // "Connected 0 OK", "Disconnected 0 OK", ...
  // Runs inside the receive path's hand-on, after the piece was recorded.
  std::function<int(const Piece&)> onData;

  // The code of a setting (-1: refused); a query's answer goes to answer.
  std::string answer;
  int config(const std::string& text) {
    int code = 0;
    return configSetting(parseConfigText(text), answer, code) ? code : -1;
  }

  // Plain connections again after each clean-up, so that a test can connect
  // more than once.
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
  // Wait steps that must all go on without handing anything up.
  void idle(int steps) {
    for (int i = 0; i < steps; ++i) ASSERT_TRUE(waitStep(20));
    EXPECT_TRUE(pieces.empty());
  }

  std::string joined() const {
    std::string all;
    for (const Piece& p : pieces) all += p.first;
    return all;
  }

 protected:
  int reportDataIn(const char* data, int length, bool endOfLine) override {
    pieces.emplace_back(std::string(data, static_cast<size_t>(length)), endOfLine);
    return onData ? onData(pieces.back()) : 0;
  }
  void fireConnected(int code, const std::string& text) override {
    events.push_back("Connected " + std::to_string(code) + " " + text);
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

long long millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// One connection to a scripted peer: the engine is set up, connects, arms
// its deadline and waits until the socket is gone (or until `until`); then
// the outcome is compared.
struct PeerRun {
  const char* what = "";
  PeerScript peer = {};
  std::vector<std::string> settings = {};  // config texts before the connect
  std::string eol = {};                    // the line end marker ("": none)
  int timeoutMs = 0;                       // 0: no deadline
  std::function<int(RecordingEngine&, const Piece&)> onData = nullptr;
  std::function<void(RecordingEngine&)> connected = nullptr;  // before the wait
  std::function<bool(RecordingEngine&)> until = nullptr;
  int limitMs = 10000;
  const char* error = nullptr;  // the wait fails with code 301 and this text
  int minMs = 0;                // the wait lasts at least this long
  Pieces pieces = {};           // empty: not compared
  std::vector<std::string> lastEvents = {};
  std::function<void(RecordingEngine&)> check = nullptr;
};

class EngineTest : public tw_test::StateDirTest {
 protected:
  void SetUp() override {
    StateDirTest::SetUp();
    SocketEngine::startup(nullptr);
  }
  void TearDown() override {
    tw_platform::setTickCountBiasForTests(0);
    SocketEngine::shutdown();
    StateDirTest::TearDown();
  }

  // Points the engine at the peer and connects, waiting for the outcome.
  static int connectTo(RecordingEngine& e, const ScriptedPeer& peer) {
    EXPECT_EQ(e.setRemoteHost(peer.host()), 0);
    EXPECT_EQ(e.setRemotePort(peer.port()), 0);
    return e.connectBlocking();
  }

  static void play(const PeerRun& x) {
    SCOPED_TRACE(x.what);
    ScriptedPeer peer(x.peer);
    RecordingEngine e;
    for (const std::string& s : x.settings) ASSERT_EQ(e.config(s), 0) << s;
    ASSERT_EQ(e.config("TimeoutInMilliseconds=true"), 0);
    e.setTimeout(x.timeoutMs);
    if (!x.eol.empty()) {
      ASSERT_EQ(e.setEol(x.eol), 0);
    }
    if (x.onData) e.onData = [&](const Piece& p) { return x.onData(e, p); };
    ASSERT_EQ(connectTo(e, peer), 0);
    e.armDeadline();
    const auto start = std::chrono::steady_clock::now();
    if (x.connected) x.connected(e);
    const bool ended =
        e.waitUntil([&] { return x.until ? x.until(e) : !e.socketExists(); }, x.limitMs);
    EXPECT_GE(millisSince(start), x.minMs);
    EXPECT_EQ(ended, x.error == nullptr) << e.lastErrorText();
    if (x.error != nullptr) {
      EXPECT_EQ(e.lastErrorCode(), 301);
      EXPECT_EQ(e.lastErrorText(), x.error);
    }
    if (!x.pieces.empty()) {
      EXPECT_EQ(e.pieces, x.pieces);
    }
    ASSERT_GE(e.events.size(), x.lastEvents.size());
    EXPECT_EQ(std::vector<std::string>(e.events.end() - x.lastEvents.size(), e.events.end()),
              x.lastEvents);
    if (x.check) x.check(e);
  }
};

using ConnectTest = EngineTest;
using WaitTest = EngineTest;
using ReceiveTest = EngineTest;
using SendTest = EngineTest;

// --- connect ----------------------------------------------------------------------------

// The target checks come before any socket; with a tunnel they name the
// firewall instead. A refused connect fails with the Winsock text. No
// failure leaves a socket, and a new connect can follow at once.
TEST_F(ConnectTest, FailedConnects) {
  struct Case {
    const char* host = "127.0.0.1";
    uint16_t port = 80;
    const char* firewallHost = nullptr;  // a tunnel of type 1 to it ("": unset)
    int firewallPort = -1;               // -1: its default
    int code = 0;
    const char* text = "";
    std::vector<std::string> events = {};
  };
  const Case cases[] = {
      {.host = "0.0.0.0", .code = 102, .text = "The RemoteHost address is invalid (0.0.0.0)."},
      {.host = "", .code = 102, .text = "The RemoteHost address is invalid (0.0.0.0)."},
      {.port = 0, .code = 116,
       .text = "RemotePort can't be zero. Please specify a valid service port number."},
      {.firewallHost = "", .code = 102, .text = "The FirewallHost address is invalid (0.0.0.0)."},
      {.firewallHost = "127.0.0.1", .firewallPort = 0, .code = 116,
       .text = "The FirewallPort is invalid (0)."},
      {.port = tw_test::unusedLoopbackPort(), .code = 10061, .text = "[10061] Connection refused",
       .events = {"ConnectionStatus Remote host connection failed. 10061",
                  "Connected 10061 [10061] Connection refused"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RecordingEngine e;
    ASSERT_EQ(e.setRemoteHost(c.host), 0);
    ASSERT_EQ(e.setRemotePort(c.port), 0);
    if (c.firewallHost != nullptr) {
      e.tunnel().setType(1);
      if (*c.firewallHost != '\0') {
        ASSERT_EQ(e.tunnel().setHost(c.firewallHost), 0);
      }
      if (c.firewallPort >= 0) e.tunnel().setPort(c.firewallPort);
    }
    e.armDeadline();
    EXPECT_EQ(e.connectBlocking(), c.code);
    EXPECT_EQ(e.lastErrorText(), c.text);
    EXPECT_FALSE(e.socketExists());
    EXPECT_FALSE(e.isConnected());
    EXPECT_EQ(e.events, c.events);
    if (c.firewallHost == nullptr) {
      ScriptedPeer peer(PeerScript{PeerStep::delay(50)});
      e.events.clear();
      EXPECT_EQ(connectTo(e, peer), 0);
      EXPECT_EQ(e.events.back(), "Connected 0 OK");
    }
  }
}

// Names are looked up and dotted addresses taken as given. The local host is
// the machine's name, or the configured address, or the bound one.
TEST_F(ConnectTest, NamesAndTheLocalHost) {
  ScriptedPeer peer(PeerScript{PeerStep::delay(20)});
  RecordingEngine e;
  std::string local;
  ASSERT_EQ(e.getLocalHost(local), 0);
  char name[101] = {0};
  ASSERT_EQ(gethostname(name, 100), 0);
  EXPECT_EQ(local, name);
  ASSERT_EQ(e.setRemoteHost("127.0.0.1"), 0);
  EXPECT_EQ(e.remoteAddressText(), "127.0.0.1");
  EXPECT_EQ(e.setRemoteHost("no-such-host.invalid"), 11001);
  EXPECT_EQ(e.remoteAddressText(), "");
  ASSERT_EQ(e.setRemoteHost("localhost"), 0);
  EXPECT_EQ(e.remoteAddressText(), "127.0.0.1");
  ASSERT_EQ(e.setLocalHost("127.0.0.1"), 0);
  ASSERT_EQ(e.getLocalHost(local), 0);
  EXPECT_EQ(local, "127.0.0.1");
  ASSERT_EQ(e.setRemotePort(peer.port()), 0);
  EXPECT_EQ(e.connectBlocking(), 0);
  ASSERT_EQ(e.getLocalHost(local), 0);
  EXPECT_EQ(local, "127.0.0.1");

  // An IPv6 address with a scope id, which is part of the address.
  ScriptedPeer peer6(PeerScript{PeerStep::delay(20)}, {.ipv6 = true});
  RecordingEngine e6;
  ASSERT_EQ(e6.config("UseIPv6=true"), 0);
  ASSERT_EQ(e6.setRemoteHost("::1%5"), 0);
  EXPECT_EQ(e6.remoteAddressText(), "::1%5");
  ASSERT_EQ(e6.setRemotePort(peer6.port()), 0);
  EXPECT_EQ(e6.connectBlocking(), 0);
  EXPECT_EQ(e6.getLocalHost(local), 0);
  EXPECT_EQ(local, "::1");
}

TEST_F(ConnectTest, SocketOptionsReachTheSocket) {
  ScriptedPeer peer(PeerScript{PeerStep::delay(20)});
  RecordingEngine e;
  // Setting a keep-alive time turns keep-alive on.
  ASSERT_EQ(e.config("KeepAliveTime=1000"), 0);
  ASSERT_EQ(e.config("TcpNoDelay=true"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  SOCKET s = static_cast<SOCKET>(e.socketHandle());
  e.config("SocketHandle");
  EXPECT_EQ(e.answer, std::to_string(e.socketHandle()));
  auto option = [&](int level, int name, auto value) {
    int size = sizeof(value);
    EXPECT_EQ(getsockopt(s, level, name, reinterpret_cast<char*>(&value), &size), 0);
    return value;
  };
  EXPECT_TRUE(option(SOL_SOCKET, SO_KEEPALIVE, BOOL{}));
  EXPECT_TRUE(option(IPPROTO_TCP, TCP_NODELAY, BOOL{}));
  // Set on a live socket, the option is applied at once; a zero time leaves
  // keep-alive as it is.
  ASSERT_EQ(e.config("KeepAliveTime=0"), 0);
  EXPECT_TRUE(option(SOL_SOCKET, SO_KEEPALIVE, BOOL{}));
  ASSERT_EQ(e.config("TCPKeepAlive=false"), 0);
  ASSERT_EQ(e.config("KeepAliveInterval=0"), 0);
  EXPECT_FALSE(option(SOL_SOCKET, SO_KEEPALIVE, BOOL{}));
  // Linger off means a reset at close.
  ASSERT_EQ(e.config("Linger=false"), 0);
  EXPECT_EQ(option(SOL_SOCKET, SO_LINGER, linger{}).l_onoff, 1);
  EXPECT_EQ(option(SOL_SOCKET, SO_LINGER, linger{}).l_linger, 0);
  ASSERT_EQ(e.config("Linger=true"), 0);
  EXPECT_EQ(option(SOL_SOCKET, SO_LINGER, linger{}).l_onoff, 0);
}

// --- wait -------------------------------------------------------------------------------

TEST_F(WaitTest, PeerRuns) {
  // A piece every 100 ms for about a second against a timeout of 400 ms:
  // counted as idleness it never passes; counted from the start it does.
  PeerScript slow;
  for (int i = 0; i < 10; ++i) {
    slow.insert(slow.end(), {PeerStep::send("piece\n"), PeerStep::delay(100)});
  }
  slow.push_back(PeerStep::close());
  PeerScript quick;
  for (int i = 0; i < 20; ++i) quick.insert(quick.end(), {PeerStep::send("x"), PeerStep::delay(5)});
  quick.push_back(PeerStep::close());
  const PeerRun runs[] = {
      // The tick counter wraps 100 ms from now; the deadline lies after the wrap.
      {.what = "a silent peer ends the wait with a timeout, across the tick counter's wrap",
       .peer = {PeerStep::delay(3000)}, .timeoutMs = 300,
       .connected = [](RecordingEngine& e) {
         tw_platform::setTickCountBiasForTests(0);
         const DWORD now = GetTickCount();
         tw_platform::setTickCountBiasForTests(static_cast<DWORD>(0xFFFFFFFFu - 100u - now));
         e.armDeadline();
         EXPECT_FALSE(e.deadlinePassed());
       },
       .error = "Timeout.", .minMs = 290,
       .check = [](RecordingEngine& e) { EXPECT_FALSE(e.interrupted()); }},
      {.what = "an interrupt from a data handler ends the wait",
       .peer = {PeerStep::send("first\n"), PeerStep::delay(2000)}, .eol = "\n",
       .onData = [](RecordingEngine& e, const Piece&) {
         e.requestInterrupt();
         return 0;
       },
       .error = "Interrupted.", .pieces = {{"first", true}},
       .check = [](RecordingEngine& e) {
         EXPECT_TRUE(e.interrupted());
         EXPECT_TRUE(e.waitStep(1));  // the request was consumed: the next step goes on
       }},
      {.what = "idleness timeout", .peer = slow, .settings = {"AbsoluteTimeout=false"},
       .eol = "\n", .timeoutMs = 400, .pieces = Pieces(10, {"piece", true}),
       .lastEvents = {"Disconnected 0 OK"}},
      {.what = "absolute timeout", .peer = slow, .settings = {"AbsoluteTimeout=true"},
       .eol = "\n", .timeoutMs = 400, .error = "Timeout.",
       .check = [](RecordingEngine& e) { EXPECT_LT(e.pieces.size(), 10u); }},
      // A long SelectWaitMillis bounds only idle sleeps: input wakes the
      // wait, or twenty 10-second sleeps would pass the limit many times over.
      {.what = "input wakes the wait at once", .peer = quick,
       .settings = {"SelectWaitMillis=10000"}, .limitMs = 5000,
       .check = [](RecordingEngine& e) { EXPECT_EQ(e.joined(), std::string(20, 'x')); }},
  };
  for (const PeerRun& run : runs) play(run);
}

// WM_QUIT ends the wait and is posted again for the application's loop; a
// WM_CLOSE of the hidden window ends the wait.
TEST_F(WaitTest, QuitAndCloseOfTheHiddenWindowEndTheWait) {
  RecordingEngine e;
  ASSERT_NE(e.window(), nullptr);
  PostQuitMessage(7);
  EXPECT_FALSE(e.waitStep(1));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  ASSERT_TRUE(PostMessageA(e.window(), WM_CLOSE, 0, 0));
  EXPECT_FALSE(e.waitStep(1));
  EXPECT_FALSE(IsWindow(e.window()));
}

// --- receive ----------------------------------------------------------------------------

TEST_F(ReceiveTest, PeerRuns) {
  std::string lines;
  for (int i = 0; lines.size() < 150000; ++i) lines += "line " + std::to_string(i) + "\n";
  const std::string bs(30000, 'b'), rs(20000, 'r');
  const PeerRun runs[] = {
      {.what = "the peer's close hands on the buffered lines and the rest before Disconnected",
       .peer = {PeerStep::send("a\nb\npartial"), PeerStep::close()}, .eol = "\n",
       .pieces = {{"a", true}, {"b", true}, {"partial", false}},
       .lastEvents = {"ConnectionStatus Remote host connection complete. 0", "Connected 0 OK",
                      "ConnectionStatus Remote host disconnected. 0", "Disconnected 0 OK"}},
      // Nothing is reported while the handler runs; the disconnect comes after.
      {.what = "a close inside a data handler waits for it and the buffered lines",
       .peer = {PeerStep::send("l1\nl2\nl3\n"), PeerStep::delay(3000)}, .eol = "\n",
       .onData = [](RecordingEngine& e, const Piece& p) {
         if (p.first != "l1") return 0;
         EXPECT_EQ(e.close(0), 0);
         EXPECT_TRUE(e.isConnected());
         EXPECT_EQ(e.events.size(), 2u);
         return 0;
       },
       .pieces = {{"l1", true}, {"l2", true}, {"l3", true}}, .lastEvents = {"Disconnected 0 OK"}},
      {.what = "changing the marker splits the buffered bytes again",
       .peer = {PeerStep::send("a;b;c\n"), PeerStep::delay(3000)}, .eol = "#",
       .connected = [](RecordingEngine& e) {
         e.idle(10);
         ASSERT_EQ(e.setEol(";"), 0);
       },
       .until = [](RecordingEngine& e) { return e.pieces.size() >= 2; },
       .pieces = {{"a", true}, {"b", true}}},
      // AcceptData false leaves the bytes in the socket until turned on. The
      // peer has sent everything and closed while they wait unread; without a
      // marker they arrive raw in pieces of exactly the buffer's free space,
      // the last one shorter, as recv calls would give them.
      {.what = "a waiting body arrives in pieces of the buffer size",
       .peer = {PeerStep::delay(300), PeerStep::send(lines), PeerStep::close()},
       .connected = [](RecordingEngine& e) {
         ASSERT_EQ(e.setAcceptData(false), 0);
         e.idle(40);
         ASSERT_EQ(e.setAcceptData(true), 0);
       },
       .lastEvents = {"Disconnected 0 OK"},
       .check = [&](RecordingEngine& e) {
         EXPECT_EQ(e.joined(), lines);
         ASSERT_EQ(e.pieces.size(), (lines.size() + 2047) / 2048);
         for (size_t i = 0; i + 1 < e.pieces.size(); ++i) {
           ASSERT_EQ(e.pieces[i].first.size(), 2048u) << i;
           ASSERT_FALSE(e.pieces[i].second);
         }
         EXPECT_EQ(e.pieces.back().first.size(), lines.size() % 2048);
       }},
      // Reading stopped by a data handler while more bytes wait: the peer's
      // close arrives meanwhile, but nothing more is handed on and the
      // connection stays until they have been.
      {.what = "the peer's close waits for bytes left when reading stopped",
       .peer = {PeerStep::delay(200), PeerStep::send(bs), PeerStep::close()},
       .onData = [](RecordingEngine& e, const Piece&) {
         if (e.pieces.size() == 1) e.setAcceptData(false);
         return 0;
       },
       .connected = [](RecordingEngine& e) {
         ASSERT_TRUE(e.waitUntil([&] { return !e.pieces.empty(); }));
         for (int i = 0; i < 25; ++i) ASSERT_TRUE(e.waitStep(20));
         EXPECT_EQ(e.pieces.size(), 1u);
         EXPECT_TRUE(e.socketExists());
         ASSERT_EQ(e.setAcceptData(true), 0);
       },
       .lastEvents = {"Disconnected 0 OK"},
       .check = [&](RecordingEngine& e) { EXPECT_EQ(e.joined(), bs); }},
      // A receiver that refuses a piece ends the read; the bytes behind it
      // still come with the next read event although the peer sends nothing more.
      {.what = "bytes behind a refused piece still arrive",
       .peer = {PeerStep::delay(200), PeerStep::send(rs), PeerStep::delay(3000)},
       .onData = [](RecordingEngine& e, const Piece&) { return e.pieces.size() == 1 ? 1 : 0; },
       .until = [&](RecordingEngine& e) { return e.joined().size() == rs.size(); },
       .limitMs = 2000, .check = [](RecordingEngine& e) { EXPECT_TRUE(e.socketExists()); }},
  };
  for (const PeerRun& run : runs) play(run);
}

// The framing of the line buffer (of at most 64 KiB on a plain connection):
// a marker of several bytes, a line longer than the buffer, and with
// SplitCRLF CR LF and LF CR (also cut between reads) as one line end, CR CR as two.
TEST_F(ReceiveTest, LineEnds) {
  RecordingEngine e;
  ASSERT_EQ(e.config("MaxLineLength=100000"), 0);
  e.config("MaxLineLength");
  EXPECT_EQ(e.answer, "65536");
  const PeerRun runs[] = {
      {.what = "a long marker matches byte for byte",
       .peer = {PeerStep::send("one--END--two--EN--END--tail"), PeerStep::close()},
       .eol = "--END--", .pieces = {{"one", true}, {"two--EN", true}, {"tail", false}}},
      {.what = "a line longer than the buffer",
       .peer = {PeerStep::send(std::string(40, 'L') + "\nshort\n"), PeerStep::close()},
       .settings = {"MaxLineLength=16"}, .eol = "\n",
       .pieces = {{std::string(16, 'L'), false}, {std::string(16, 'L'), false},
                  {std::string(8, 'L'), true}, {"short", true}}},
      {.what = "SplitCRLF",
       .peer = {PeerStep::send("one\r"), PeerStep::delay(50), PeerStep::send("\ntwo\n\rthree\r"),
                PeerStep::delay(50), PeerStep::send("\rfour\n"), PeerStep::close()},
       .settings = {"SplitCRLF=true"},
       .pieces = {{"one", true}, {"two", true}, {"three", true}, {"", true}, {"four", true}}},
  };
  for (const PeerRun& run : runs) play(run);
}

// --- send -------------------------------------------------------------------------------

TEST_F(SendTest, BlockingSendDeliversEverythingThePeerReadsSlowly) {
  const size_t total = 8 * 1024 * 1024;
  ScriptedPeer peer(PeerScript{PeerStep::delay(200), PeerStep::waitForCount(total, 20000)},
                    {.receiveBuffer = 4096});
  RecordingEngine e;
  ASSERT_EQ(e.config("OutBufferSize=8192"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  std::string data(total, '\0');
  for (size_t i = 0; i < total; ++i) data[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(e.sendBlocking(data.data(), static_cast<int>(total), false, false), 0);
  ASSERT_TRUE(peer.waitReceived(0, total, 20000));
  EXPECT_TRUE(peer.received(0) == data);
}

// The rate cap on a test clock: each wait step advances the clock by 500 ms.
class ClockedEngine : public RecordingEngine {
 public:
  int64_t now = 1000000;
  int waitSteps = 0;
  bool waitStep(uint32_t) override {
    ++waitSteps;
    now += 500;
    return RecordingEngine::waitStep(0);
  }
  using RecordingEngine::waitStep;

 protected:
  int64_t systemMillis() const override { return now; }
};

TEST_F(SendTest, RateCapWaitsUntilTheWindowsRateIsBackUnderTheCap) {
  ScriptedPeer peer(PeerScript{PeerStep::waitForCount(30300)});
  ClockedEngine e;
  ASSERT_EQ(connectTo(e, peer), 0);
  std::string block(10000, 'r');
  e.waitSteps = 0;
  // Without a cap nothing waits.
  ASSERT_EQ(e.sendBlocking(block.data(), 10000, false, false), 0);
  ASSERT_EQ(e.sendBlocking(block.data(), 10000, false, false), 0);
  EXPECT_EQ(e.waitSteps, 0);
  // After a minute without a send the window starts again; the first send
  // opens it and goes at once.
  e.now += 60001;
  ASSERT_EQ(e.config("MaxTransferRate=1000"), 0);
  const int64_t start = e.now;
  ASSERT_EQ(e.sendBlocking(block.data(), 10000, false, false), 0);
  EXPECT_EQ(e.waitSteps, 0);
  EXPECT_EQ(e.transferRate(e.now), 0);
  EXPECT_EQ(e.transferRate(e.now + 4000), 2500);
  EXPECT_EQ(e.transferRate(e.now + 9500), 1053);  // rounded to the nearest
  // 10000 bytes at 1000 per second: the next send waits 10 seconds of the
  // window, 20 steps of 500 ms.
  e.now += 1;
  ASSERT_EQ(e.sendBlocking("next", 4, false, false), 0);
  EXPECT_EQ(e.waitSteps, 20);
  EXPECT_EQ(e.now, start + 1 + 10000);
  e.now += 60001;
  e.waitSteps = 0;
  ASSERT_EQ(e.sendBlocking(block.data(), 296, false, false), 0);
  EXPECT_EQ(e.waitSteps, 0);
  EXPECT_TRUE(peer.waitReceived(0, 30300));
}

TEST_F(SendTest, TranscriptRecordsBothDirectionsAndEscapesTheScriptsSpecialBytes) {
  const std::string bytes("\0\x01\r\n\\$\"{}[]A~\x7f\xff", 15);
  EXPECT_EQ(SessionTranscript::block(bytes.data(), bytes.size(), true),
            "\r\nsend -nonewline \"\\000\\001\r\n\\\\\\$\\\"\\{\\}\\[\\]A~\\177\\377\"\r\n");
  const std::string path = dir_->path() + "/session.txt";
  play({.peer = {PeerStep::waitFor("GET\r\n"), PeerStep::send("OK $1\r\n"), PeerStep::close()},
        .settings = {"RecordToFile=" + path},
        .connected = [](RecordingEngine& e) { ASSERT_EQ(e.sendOnce("GET\r\n", 5, true), 0); }});
  EXPECT_EQ(tw_test::readFile(path),
            "\r\nexpect -exact \"GET\r\n\"\r\n\r\nsend -nonewline \"OK \\$1\r\n\"\r\n");
}

// --- line buffer ------------------------------------------------------------------------

TEST(LineBufferTest, ClearForgetsBytesPairAndReadAhead) {
  LineBuffer b;
  b.setSplitCrlf(true);
  ASSERT_EQ(b.append("a\r", 2), 2u);
  LineBuffer::Piece p;
  ASSERT_TRUE(b.next(p, false));
  b.aheadSpace()[0] = 'z';
  b.aheadFilled(1);
  b.clear();
  EXPECT_EQ(b.ahead(), 0u);
  // The held LF is forgotten: the next LF is a line end of its own.
  ASSERT_EQ(b.append("\nq", 2), 2u);
  ASSERT_TRUE(b.next(p, false));
  EXPECT_EQ(p.length, 0u);
}

}  // namespace
