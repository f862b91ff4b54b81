// Winsock calls and WSAAsyncSelect events against scripted loopback peers.
#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/modules.h"
#include "platform/winsock.h"
#include "tests/platform/last_error.h"
#include "tests/support/scripted_peer.h"

namespace {

using tw_test::PeerStep;
using tw_test::ScriptedPeer;

const UINT kSocketMessage = WM_USER + 101;

struct Event {
  SOCKET socket;
  int event;
  int error;
};

std::vector<Event>* g_events = nullptr;

LRESULT socketWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSocketMessage && g_events) {
    g_events->push_back({static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam),
                         WSAGETSELECTERROR(lParam)});
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

sockaddr* addr(auto& a) { return reinterpret_cast<sockaddr*>(&a); }
char* bytes(auto& v) { return reinterpret_cast<char*>(&v); }

sockaddr_in loopback(uint16_t port, const char* address = "127.0.0.1") {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address ? inet_addr(address) : 0;
  return to;
}

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    g_events = &events;
    WNDCLASSA wc{};
    wc.lpfnWndProc = socketWindowProc;
    wc.lpszClassName = "tw_test_socket_window";
    RegisterClassA(&wc);
    hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           nullptr);
    ASSERT_NE(hwnd, nullptr);
  }
  void TearDown() override {
    if (sock != INVALID_SOCKET) closesocket(sock);
    DestroyWindow(hwnd);
    UnregisterClassA("tw_test_socket_window", nullptr);
    g_events = nullptr;
    WSACleanup();
  }

  // The kind of loop the socket engine runs: take and dispatch the queued
  // messages (at most 100, so that a flood fails the test instead of hanging
  // it), then sleep until input arrives (at most 20 ms); until done() or
  // timeoutMs have passed. Returns done().
  bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      MSG msg;
      for (int i = 0; i < 100 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        DispatchMessageA(&msg);
      }
      if (events.size() <= 10000) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return done();
  }
  void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
  }
  // Pumps until the n-th event of the kind has come.
  bool pumpUntil(int event, int n = 1) {
    return pumpUntil([this, event, n] { return count(event) >= n; });
  }
  int count(int event) const {
    int n = 0;
    for (const Event& e : events) n += e.event == event;
    return n;
  }
  // The error of the first event of the kind.
  int error(int event) const {
    for (const Event& e : events) {
      if (e.event == event) return e.error;
    }
    return -1;
  }

  // Starts a non-blocking connect with the engine's events.
  void startConnect(sockaddr* to, int size, int sendBuffer = 0) {
    sock = socket(to->sa_family, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(sock, INVALID_SOCKET);
    if (sendBuffer > 0) {
      ASSERT_EQ(setsockopt(sock, SOL_SOCKET, SO_SNDBUF, bytes(sendBuffer), sizeof sendBuffer), 0);
    }
    ASSERT_EQ(WSAAsyncSelect(sock, hwnd, kSocketMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE),
              0);
    EXPECT_FAILS(connect(sock, to, size), SOCKET_ERROR, WSAEWOULDBLOCK);
  }
  void connectTo(const ScriptedPeer& peer, int sendBuffer = 0) {
    sockaddr_in to = loopback(peer.port());
    startConnect(addr(to), sizeof to, sendBuffer);
    ASSERT_TRUE(pumpUntil(FD_CONNECT));
    ASSERT_EQ(error(FD_CONNECT), 0);
  }
  std::string recvAll() {
    std::string out;
    char buf[4096];
    for (int n; (n = recv(sock, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
  }

  std::vector<Event> events;
  HWND hwnd = nullptr;
  SOCKET sock = INVALID_SOCKET;
};

TEST_F(WinsockTest, ConnectWriteReadAndCloseAfterTheLastData) {
  ScriptedPeer peer({PeerStep::waitFor("ping"), PeerStep::send("pong"), PeerStep::close()});
  connectTo(peer);
  ASSERT_TRUE(pumpUntil(FD_WRITE));
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].event, FD_CONNECT);
  EXPECT_EQ(events[0].socket, sock);
  EXPECT_EQ(events[1].event, FD_WRITE);
  ASSERT_EQ(send(sock, "ping", 4, 0), 4);
  ASSERT_TRUE(pumpUntil(FD_READ));
  // The peer has closed, but its data is not read yet: no FD_CLOSE so far.
  pumpFor(200);
  EXPECT_EQ(count(FD_CLOSE), 0);
  char buf[16];
  ASSERT_EQ(recv(sock, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
  ASSERT_TRUE(pumpUntil(FD_CLOSE));
  EXPECT_EQ(error(FD_CLOSE), 0);
  EXPECT_EQ(recv(sock, buf, sizeof buf, 0), 0);
  pumpFor(50);
  EXPECT_EQ(count(FD_CLOSE), 1);
  EXPECT_EQ(count(FD_CONNECT), 1);
  // A send that went through does not bring FD_WRITE again.
  EXPECT_EQ(count(FD_WRITE), 1);
  EXPECT_TRUE(peer.waitDone());
  EXPECT_EQ(peer.received(0), "ping");
}

TEST_F(WinsockTest, RefusedConnectReportsTheErrorWithFdConnect) {
  sockaddr_in to = loopback(tw_test::unusedLoopbackPort());
  startConnect(addr(to), sizeof to);
  ASSERT_TRUE(pumpUntil(FD_CONNECT));
  EXPECT_EQ(error(FD_CONNECT), WSAECONNREFUSED);
  pumpFor(50);
  EXPECT_EQ(count(FD_CONNECT), 1);
  EXPECT_EQ(count(FD_WRITE), 0);
  EXPECT_FAILS(send(sock, "x", 1, 0), SOCKET_ERROR, WSAENOTCONN);
}

TEST_F(WinsockTest, ReadEventIsReEnabledOnlyByRecv) {
  ScriptedPeer peer({PeerStep::send("abc"), PeerStep::delay(100), PeerStep::send("def"),
                     PeerStep::waitFor("done")});
  connectTo(peer);
  ASSERT_TRUE(pumpUntil(FD_READ));
  // More data arrives, but without a recv no second FD_READ comes.
  pumpFor(300);
  EXPECT_EQ(count(FD_READ), 1);
  char c;
  ASSERT_EQ(recv(sock, &c, 1, 0), 1);
  EXPECT_EQ(c, 'a');
  // Data is still waiting: the recv brings the next FD_READ.
  ASSERT_TRUE(pumpUntil(FD_READ, 2));
  EXPECT_EQ(recvAll(), "bcdef");
  pumpFor(100);
  EXPECT_EQ(count(FD_READ), 2);
  EXPECT_EQ(count(FD_CLOSE), 0);
  ASSERT_EQ(send(sock, "done", 4, 0), 4);
}

TEST_F(WinsockTest, WriteEventAfterWouldBlock) {
  tw_test::PeerOptions options;
  options.receiveBuffer = 4096;
  // The peer reads nothing for a while, so the client's sends fill up.
  ScriptedPeer peer({PeerStep::delay(400), PeerStep::waitForCount(1)}, options);
  connectTo(peer, 4096);
  ASSERT_TRUE(pumpUntil(FD_WRITE));
  std::string chunk(65536, 'x');
  size_t total = 0;
  int rc;
  for (int i = 0; i < 100000 && (rc = send(sock, chunk.data(), 65536, 0)) != SOCKET_ERROR; ++i) {
    total += static_cast<size_t>(rc);
  }
  ASSERT_EQ(rc, SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(count(FD_WRITE), 1);
  // Once the peer reads, the socket takes data again and FD_WRITE comes.
  ASSERT_TRUE(pumpUntil(FD_WRITE, 2));
  EXPECT_EQ(send(sock, "y", 1, 0), 1);
  EXPECT_TRUE(peer.waitReceived(0, total + 1));
}

TEST_F(WinsockTest, ResetGivesCloseWithTheResetError) {
  ScriptedPeer peer({PeerStep::delay(50), PeerStep::reset()});
  connectTo(peer);
  ASSERT_TRUE(pumpUntil(FD_CLOSE));
  EXPECT_EQ(error(FD_CLOSE), WSAECONNRESET);
  char buf[4];
  EXPECT_FAILS(recv(sock, buf, sizeof buf, 0), SOCKET_ERROR, WSAECONNRESET);
}

TEST_F(WinsockTest, CancelAndCloseDiscardQueuedEvents) {
  // The peer sends only when asked, so that connecting (which dispatches
  // what it finds queued) cannot take the FD_READ this test looks for.
  ScriptedPeer peer({PeerStep::waitFor("go"), PeerStep::send("data"),
                     PeerStep::waitFor("never", 2000)});
  connectTo(peer);
  ASSERT_EQ(send(sock, "go", 2, 0), 2);
  // Let the readiness be seen and queued without dispatching it.
  MSG msg;
  ASSERT_TRUE(pumpUntil([&] {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (WSAGETSELECTEVENT(msg.lParam) == FD_READ) return true;
      PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
      DispatchMessageA(&msg);
    }
    return false;
  }));
  ASSERT_EQ(WSAAsyncSelect(sock, hwnd, 0, 0), 0);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  // The data stays in the socket, and the socket stays non-blocking.
  EXPECT_EQ(recvAll(), "data");
  char c;
  EXPECT_FAILS(recv(sock, &c, 1, 0), SOCKET_ERROR, WSAEWOULDBLOCK);
}

TEST_F(WinsockTest, IPv6LoopbackConnect) {
  std::unique_ptr<ScriptedPeer> peer;
  try {
    tw_test::PeerOptions o;
    o.ipv6 = true;
    peer = std::make_unique<ScriptedPeer>(tw_test::PeerScript{PeerStep::send("six")}, o);
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  addrinfo* res = nullptr;
  ASSERT_EQ(getaddrinfo("::1", nullptr, nullptr, &res), 0);
  ASSERT_EQ(res->ai_family, AF_INET6);
  ASSERT_EQ(res->ai_addrlen, sizeof(sockaddr_in6));
  sockaddr_in6 to;
  std::memcpy(&to, res->ai_addr, sizeof to);
  freeaddrinfo(res);
  to.sin6_port = htons(peer->port());
  startConnect(addr(to), sizeof to);
  ASSERT_TRUE(pumpUntil(FD_CONNECT));
  EXPECT_EQ(error(FD_CONNECT), 0);
  ASSERT_TRUE(pumpUntil(FD_READ));
  EXPECT_EQ(recvAll(), "six");
}

TEST_F(WinsockTest, SocketOptions) {
  sock = socket(AF_INET, SOCK_STREAM, 0);
  struct Option {
    int level, name, value;
  };
  for (Option o : {Option{SOL_SOCKET, SO_KEEPALIVE, TRUE}, Option{SOL_SOCKET, SO_RCVBUF, 65536},
                   Option{IPPROTO_TCP, TCP_NODELAY, TRUE}}) {
    ASSERT_EQ(setsockopt(sock, o.level, o.name, bytes(o.value), sizeof o.value), 0) << o.name;
    int got = 0, len = sizeof got;
    ASSERT_EQ(getsockopt(sock, o.level, o.name, bytes(got), &len), 0) << o.name;
    EXPECT_EQ(got, o.value) << o.name;
  }
  linger l{1, 0}, back{};
  ASSERT_EQ(setsockopt(sock, SOL_SOCKET, SO_LINGER, bytes(l), sizeof l), 0);
  int len = sizeof back;
  ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_LINGER, bytes(back), &len), 0);
  EXPECT_EQ(back.l_onoff, 1);
  EXPECT_EQ(back.l_linger, 0);
  EXPECT_FAILS(setsockopt(sock, SOL_SOCKET, SO_LINGER, bytes(l), 2), SOCKET_ERROR, WSAEFAULT);
  EXPECT_FAILS(setsockopt(sock, SOL_SOCKET, 0x7777, bytes(l), 4), SOCKET_ERROR, WSAENOPROTOOPT);
  tcp_keepalive ka{1, 1000, 1000};
  DWORD returned = 1;
  ASSERT_EQ(WSAIoctl(sock, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr,
                     nullptr),
            0);
  EXPECT_EQ(returned, 0u);
  EXPECT_FAILS(WSAIoctl(sock, 0x12345678u, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr),
               SOCKET_ERROR, WSAEINVAL);
}

TEST_F(WinsockTest, AddressesBindAndLocalName) {
  sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local = loopback(0);
  EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  ASSERT_EQ(bind(sock, addr(local), sizeof local), 0);
  sockaddr_in name{};
  int len = sizeof name;
  ASSERT_EQ(getsockname(sock, addr(name), &len), 0);
  EXPECT_EQ(len, static_cast<int>(sizeof name));
  EXPECT_EQ(name.sin_family, AF_INET);
  EXPECT_NE(name.sin_port, 0);
  EXPECT_STREQ(inet_ntoa(name.sin_addr), "127.0.0.1");
  len = 4;
  EXPECT_FAILS(getsockname(sock, addr(name), &len), SOCKET_ERROR, WSAEFAULT);
  // A connect to the any address or to port 0 is refused at once.
  for (sockaddr_in to : {loopback(80, nullptr), loopback(0)}) {
    EXPECT_FAILS(connect(sock, addr(to), sizeof to), SOCKET_ERROR, WSAEADDRNOTAVAIL);
  }
  EXPECT_EQ(closesocket(sock), 0);
  EXPECT_FAILS(closesocket(sock), SOCKET_ERROR, WSAENOTSOCK);  // never valid twice
  sock = INVALID_SOCKET;

  EXPECT_EQ(inet_addr("10.1.2.3"), htonl(0x0a010203u));
  EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
  EXPECT_EQ(inet_addr(""), INADDR_NONE);
  name.sin_addr.s_addr = htonl(0xc0a80001u);
  EXPECT_STREQ(inet_ntoa(name.sin_addr), "192.168.0.1");
  EXPECT_EQ(htons(0x1234), 0x3412);
  // A link-local IPv6 address with a scope id reads back with the number.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  ASSERT_EQ(getaddrinfo("fe80::1", nullptr, &hints, &res), 0);
  sockaddr_in6 six;
  std::memcpy(&six, res->ai_addr, sizeof six);
  freeaddrinfo(res);
  six.sin6_scope_id = 5;
  char host[NI_MAXHOST];
  ASSERT_EQ(getnameinfo(addr(six), sizeof six, host, sizeof host, nullptr, 0, NI_NUMERICHOST), 0);
  EXPECT_STREQ(host, "fe80::1%5");
  EXPECT_EQ(getnameinfo(addr(six), sizeof six, host, 4, nullptr, 0, NI_NUMERICHOST), WSAEFAULT);
}

TEST_F(WinsockTest, LocalhostResolves) {
  hostent* h = gethostbyname("localhost");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, AF_INET);
  EXPECT_EQ(h->h_length, 4);
  ASSERT_NE(h->h_addr_list[0], nullptr);
  in_addr a;
  std::memcpy(&a.s_addr, h->h_addr_list[0], 4);
  EXPECT_STREQ(inet_ntoa(a), "127.0.0.1");
  // A dotted address resolves to itself.
  h = gethostbyname("127.0.0.9");
  ASSERT_NE(h, nullptr);
  std::memcpy(&a.s_addr, h->h_addr, 4);
  EXPECT_STREQ(inet_ntoa(a), "127.0.0.9");
  char name[256];
  EXPECT_EQ(gethostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_FAILS(gethostname(name, 1), SOCKET_ERROR, WSAEFAULT);
}

TEST_F(WinsockTest, UnknownNameGivesHostNotFound) {
  // The lookup runs on a thread in a network namespace of its own, so that
  // no query can leave the machine.
  bool isolated = false, hostNull = false;
  int byName = 0, byInfo = 0;
  std::thread([&] {
    if (!(isolated = unshare(CLONE_NEWNET) == 0)) return;
    const std::string name = std::string(70, 'q') + ".invalid";  // a label too long for DNS
    hostNull = gethostbyname(name.c_str()) == nullptr;
    byName = WSAGetLastError();
    addrinfo* res = nullptr;
    byInfo = getaddrinfo(name.c_str(), nullptr, nullptr, &res);
    if (res) freeaddrinfo(res);
  }).join();
  if (!isolated) GTEST_SKIP() << "cannot isolate the lookup from the network";
  EXPECT_TRUE(hostNull);
  EXPECT_EQ(byName, WSAHOST_NOT_FOUND);
  EXPECT_EQ(byInfo, WSAHOST_NOT_FOUND);
}

TEST_F(WinsockTest, LookupFunctionsAreFoundByName) {
  HMODULE ws2 = LoadLibraryA("WS2_32.DLL");
  ASSERT_NE(ws2, nullptr);
  auto gai = reinterpret_cast<decltype(&getaddrinfo)>(GetProcAddress(ws2, "getaddrinfo"));
  auto fai = reinterpret_cast<decltype(&freeaddrinfo)>(GetProcAddress(ws2, "freeaddrinfo"));
  ASSERT_NE(gai, nullptr);
  ASSERT_NE(fai, nullptr);
  EXPECT_NE(GetProcAddress(ws2, "getnameinfo"), nullptr);
  addrinfo* res = nullptr;
  ASSERT_EQ(gai("127.0.0.1", nullptr, nullptr, &res), 0);
  EXPECT_EQ(res->ai_family, AF_INET);
  fai(res);
  EXPECT_FAILS(GetProcAddress(ws2, "GetAddrInfoExW"), nullptr, ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(ws2));
  EXPECT_FAILS(LoadLibraryA("qwave.dll"), nullptr, ERROR_MOD_NOT_FOUND);
}

TEST(WinsockStartup, CallsFailBeforeStartupAndAfterCleanup) {
  EXPECT_FAILS(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET, WSANOTINITIALISED);
  EXPECT_FAILS(gethostbyname("localhost"), nullptr, WSANOTINITIALISED);
  WSADATA data;
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
  ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(WSACleanup(), 0);
  // The last clean-up closed the socket.
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_FAILS(closesocket(s), SOCKET_ERROR, WSAENOTSOCK);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_FAILS(WSACleanup(), SOCKET_ERROR, WSANOTINITIALISED);
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
}

}  // namespace
