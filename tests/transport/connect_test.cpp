// Resolving and connecting: the checks before a connect, refused and
// successful connects with their events, and the state a failure leaves.
#include <string>
#include <vector>

#include "httpclient/transport/WinsockText.h"
#include "platform/winsock.h"
#include "tests/transport/engine_fixture.h"

namespace engine_test {
namespace {

using velmora::network::component::winsockErrorText;
using tw_test::PeerStep;
using tw_test::ScriptedPeer;

class ConnectTest : public EngineTest {};

TEST_F(ConnectTest, RefusedPortFailsWithTheWinsockTextAndLeavesNoSocket) {
  RecordingEngine e;
  ASSERT_EQ(e.setRemoteHost("127.0.0.1"), 0);
  ASSERT_EQ(e.setRemotePort(tw_test::unusedLoopbackPort()), 0);
  e.armDeadline();
  EXPECT_EQ(e.connectBlocking(), 10061);
  EXPECT_EQ(e.lastErrorText(), "[10061] Connection refused");
  EXPECT_EQ(e.events, (std::vector<std::string>{
                          "ConnectionStatus Remote host connection failed. 10061",
                          "Connected 10061 [10061] Connection refused"}));
  EXPECT_FALSE(e.socketExists());
  EXPECT_FALSE(e.isConnected());
  // The failure cleaned up: a new connect can follow at once.
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(50)});
  e.events.clear();
  EXPECT_EQ(connectTo(e, peer), 0);
  EXPECT_TRUE(e.isConnected());
  EXPECT_EQ(e.events.back(), "Connected 0 OK");
}

TEST_F(ConnectTest, TargetChecksComeBeforeAnySocket) {
  struct Case {
    const char* host;
    uint16_t port;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"0.0.0.0", 80, 102, "The RemoteHost address is invalid (0.0.0.0)."},
      {"", 80, 102, "The RemoteHost address is invalid (0.0.0.0)."},
      {"127.0.0.1", 0, 116, "RemotePort can't be zero. Please specify a valid service port number."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    RecordingEngine e;
    ASSERT_EQ(e.setRemoteHost(c.host), 0);
    ASSERT_EQ(e.setRemotePort(c.port), 0);
    EXPECT_EQ(e.connect(), c.code);
    EXPECT_EQ(e.lastErrorText(), c.text);
    EXPECT_FALSE(e.socketExists());
    EXPECT_TRUE(e.events.empty());
  }
}

TEST_F(ConnectTest, WithATunnelTheChecksNameTheFirewall) {
  RecordingEngine e;
  ASSERT_EQ(e.setRemoteHost("127.0.0.1"), 0);
  ASSERT_EQ(e.setRemotePort(80), 0);
  e.tunnel().setType(1);
  EXPECT_EQ(e.connect(), 102);
  EXPECT_EQ(e.lastErrorText(), "The FirewallHost address is invalid (0.0.0.0).");
  ASSERT_EQ(e.tunnel().setHost("127.0.0.1"), 0);
  e.tunnel().setPort(0);
  EXPECT_EQ(e.connect(), 116);
  EXPECT_EQ(e.lastErrorText(), "The FirewallPort is invalid (0).");
}

TEST_F(ConnectTest, ConnectWhileConnectedFailsAndKeepsTheConnection) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::waitFor("still here")});
  RecordingEngine e;
  ASSERT_EQ(connectTo(e, peer), 0);
  EXPECT_EQ(e.connect(), 104);
  EXPECT_EQ(e.lastErrorText(),
            "Already connected. If you want to reconnect, close the current connection first.");
  // Addresses and the line buffer cannot change under a live socket.
  EXPECT_EQ(e.setRemoteHost("127.0.0.2"), 101);
  EXPECT_EQ(e.lastErrorText(),
            "You cannot change the RemoteHost at this time. A connection is in progress.");
  EXPECT_EQ(e.setRemotePort(1), 100);
  EXPECT_EQ(e.lastErrorText(),
            "You cannot change the RemotePort at this time. A connection is in progress.");
  EXPECT_EQ(e.config("MaxLineLength=100"), 112);
  EXPECT_EQ(e.lastErrorText(),
            "You cannot change MaxLineLength at this time. A connection is in progress.");
  EXPECT_TRUE(e.isConnected());
  EXPECT_EQ(e.sendOnce("still here", 10, true), 0);
  EXPECT_TRUE(peer.waitReceived(0, 10));
  EXPECT_EQ(e.close(0), 0);
  EXPECT_TRUE(peer.waitDone());
  EXPECT_EQ(peer.connectionCount(), 1u);
  EXPECT_TRUE(peer.errors().empty());
}

TEST_F(ConnectTest, NamesAreLookedUpAndDottedAddressesTakenAsGiven) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(20)});
  RecordingEngine e;
  ASSERT_EQ(e.setRemoteHost("localhost"), 0);
  EXPECT_EQ(e.remoteAddressText(), "127.0.0.1");
  ASSERT_EQ(e.setRemoteHost("127.0.0.1"), 0);
  EXPECT_EQ(e.remoteAddressText(), "127.0.0.1");
  EXPECT_EQ(e.setRemoteHost("no-such-host.invalid"), 11001);
  EXPECT_EQ(e.remoteAddressText(), "");
  ASSERT_EQ(e.setRemoteHost("localhost"), 0);
  ASSERT_EQ(e.setRemotePort(peer.port()), 0);
  EXPECT_EQ(e.connectBlocking(), 0);
}

TEST_F(ConnectTest, IPv6WithAScopeIdConnectsAndSkipsTheAnyAddressCheck) {
  tw_test::PeerOptions options;
  options.ipv6 = true;
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(20)}, options);
  RecordingEngine e;
  ASSERT_EQ(e.config("UseIPv6=true"), 0);
  ASSERT_EQ(e.setRemoteHost("::1%5"), 0);
  // The scope id is part of the address.
  EXPECT_EQ(e.remoteAddressText(), "::1%5");
  ASSERT_EQ(e.setRemotePort(peer.port()), 0);
  EXPECT_EQ(e.connectBlocking(), 0);
  std::string local;
  EXPECT_EQ(e.getLocalHost(local), 0);
  EXPECT_EQ(local, "::1");
  e.close(0);

  // No address: the connect itself fails, not the 0.0.0.0 check.
  RecordingEngine empty;
  ASSERT_EQ(empty.config("UseIPv6=true"), 0);
  ASSERT_EQ(empty.setRemotePort(peer.port()), 0);
  EXPECT_NE(empty.connectBlocking(), 102);
}

TEST_F(ConnectTest, LocalHostReadsTheBoundAddressOrTheConfiguredOneOrTheMachineName) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(20)});
  RecordingEngine e;
  std::string local;
  ASSERT_EQ(e.getLocalHost(local), 0);
  char name[101] = {0};
  ASSERT_EQ(gethostname(name, 100), 0);
  EXPECT_EQ(local, name);
  ASSERT_EQ(e.setLocalHost("127.0.0.1"), 0);
  ASSERT_EQ(e.getLocalHost(local), 0);
  EXPECT_EQ(local, "127.0.0.1");
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_EQ(e.getLocalHost(local), 0);
  EXPECT_EQ(local, "127.0.0.1");
}

TEST_F(ConnectTest, SocketOptionsReachTheSocket) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(20)});
  RecordingEngine e;
  // Setting a keep-alive time turns keep-alive on.
  ASSERT_EQ(e.config("KeepAliveTime=1000"), 0);
  EXPECT_EQ(e.query("TCPKeepAlive"), "True");
  ASSERT_EQ(e.config("TcpNoDelay=true"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  SOCKET s = static_cast<SOCKET>(e.socketHandle());
  EXPECT_EQ(e.query("SocketHandle"), std::to_string(e.socketHandle()));
  BOOL value = FALSE;
  int size = sizeof(value);
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &size), 0);
  EXPECT_TRUE(value);
  ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &size), 0);
  EXPECT_TRUE(value);
  // Set on a live socket, the option is applied at once.
  ASSERT_EQ(e.config("TCPKeepAlive=false"), 0);
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &size), 0);
  EXPECT_FALSE(value);
  // Linger off means a reset at close.
  ASSERT_EQ(e.config("Linger=false"), 0);
  linger l{};
  size = sizeof(l);
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), &size), 0);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 0);
  ASSERT_EQ(e.config("Linger=true"), 0);
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), &size), 0);
  EXPECT_EQ(l.l_onoff, 0);
}

TEST_F(ConnectTest, WinsockTextsComeFromTheTableOrSayThereIsNone) {
  EXPECT_EQ(winsockErrorText(10061), "[10061] Connection refused");
  EXPECT_EQ(winsockErrorText(10066), "[10066] Directory not empt");
  EXPECT_EQ(winsockErrorText(10100), "[10100] (no description available)");
  EXPECT_EQ(winsockErrorText(-1), "[-1] (no description available)");
  // A public operation's code without a text gets the Winsock text.
  RecordingEngine e;
  e.clearError();
  e.completeError(10100);
  EXPECT_EQ(e.lastErrorText(), "[10100] (no description available)");
  EXPECT_EQ(SocketEngine::winsockStatus(), 0);
  EXPECT_EQ(SocketEngine::winsockVersionText(), "2.2");
}

}  // namespace
}  // namespace engine_test
