// Winsock calls and WSAAsyncSelect events against scripted loopback peers,
// and the message queue of the thread that carries them.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

char* bytes(auto& v) { return reinterpret_cast<char*>(&v); }

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
    return std::count_if(events.begin(), events.end(), [&](auto& e) { return e.event == event; });
  }
  // The error of the first event of the kind.
  int error(int event) const {
    for (const Event& e : events) {
      if (e.event == event) return e.error;
    }
    return -1;
  }

  // Connects to the peer with the engine's events (and a send buffer of
  // that size, when given).
  void connectTo(const ScriptedPeer& peer, int sendBuffer = 0) {
    sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(sock, INVALID_SOCKET);
    if (sendBuffer > 0) {
      ASSERT_EQ(setsockopt(sock, SOL_SOCKET, SO_SNDBUF, bytes(sendBuffer), sizeof sendBuffer), 0);
    }
    ASSERT_EQ(WSAAsyncSelect(sock, hwnd, kSocketMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE),
              0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(peer.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_FAILS(connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to), SOCKET_ERROR,
                 WSAEWOULDBLOCK);
    ASSERT_TRUE(pumpUntil(FD_CONNECT));
    ASSERT_EQ(error(FD_CONNECT), 0);
  }
  // The next queued message, removed; 0 when the queue is empty.
  UINT next() {
    return PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) ? msg.message : 0;
  }
  std::string recvAll() {
    std::string out;
    char buf[4096];
    for (int n; (n = recv(sock, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
  }

  std::vector<Event> events;
  HWND hwnd = nullptr;
  MSG msg{};
  SOCKET sock = INVALID_SOCKET;
};

// The queue of the thread, which the socket events come through.
using MessagesTest = WinsockTest;

// Posted messages come in their order with their fields, WM_QUIT after them.
TEST_F(MessagesTest, QuitComesAfterPostedMessagesAndWaitsEndWithInput) {
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 1, 11, 12));
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 2, 21, 22));
  EXPECT_EQ(next(), static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(next(), static_cast<UINT>(WM_USER + 2));
  EXPECT_EQ(msg.wParam, 21u);
  EXPECT_EQ(msg.lParam, 22);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_EQ(next(), static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(next(), 0u);
  // A wait times out without input and ends with input from another thread.
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_ALLINPUT), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessageA(hwnd, WM_USER + 3, 1, 2);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20000, QS_ALLINPUT), WAIT_OBJECT_0);
  poster.join();
  EXPECT_EQ(next(), static_cast<UINT>(WM_USER + 3));
  EXPECT_EQ(msg.hwnd, hwnd);
}

// FD_READ comes again only after a recv, and FD_CLOSE only once the data
// before the close has been read.
TEST_F(WinsockTest, ConnectWriteReadAndCloseAfterTheLastData) {
  ScriptedPeer peer({PeerStep::waitFor("ping"), PeerStep::send("abc"), PeerStep::delay(100),
                     PeerStep::send("def"), PeerStep::close()});
  connectTo(peer);
  ASSERT_TRUE(pumpUntil(FD_WRITE));
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].event, FD_CONNECT);
  EXPECT_EQ(events[0].socket, sock);
  EXPECT_EQ(events[1].event, FD_WRITE);
  ASSERT_EQ(send(sock, "ping", 4, 0), 4);
  ASSERT_TRUE(pumpUntil(FD_READ));
  // More data and the close arrive, but without a recv nothing more comes.
  pumpFor(300);
  EXPECT_EQ(count(FD_READ), 1);
  EXPECT_EQ(count(FD_CLOSE), 0);
  char c;
  ASSERT_EQ(recv(sock, &c, 1, 0), 1);
  EXPECT_EQ(c, 'a');
  // Data is still waiting: the recv brings the next FD_READ.
  ASSERT_TRUE(pumpUntil(FD_READ, 2));
  EXPECT_EQ(recvAll(), "bcdef");
  ASSERT_TRUE(pumpUntil(FD_CLOSE));
  EXPECT_EQ(error(FD_CLOSE), 0);
  EXPECT_EQ(recv(sock, &c, 1, 0), 0);
  pumpFor(50);
  EXPECT_EQ(count(FD_CLOSE), 1);
  EXPECT_EQ(count(FD_READ), 2);
  EXPECT_EQ(count(FD_CONNECT), 1);
  // A send that went through does not bring FD_WRITE again.
  EXPECT_EQ(count(FD_WRITE), 1);
  EXPECT_TRUE(peer.waitDone());
  EXPECT_EQ(peer.received(0), "ping");
}

TEST_F(WinsockTest, WriteEventAfterWouldBlock) {
  // The peer reads nothing for a while, so the client's sends fill up.
  ScriptedPeer peer({PeerStep::delay(400), PeerStep::waitForCount(1)}, {.receiveBuffer = 4096});
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
  // Let the readiness be seen and queued without dispatching it (pumpUntil
  // would dispatch an FD_READ that arrives between its checks).
  bool queued = false;
  for (int i = 0; i < 500 && !queued; ++i) {
    while (!queued && PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      queued = WSAGETSELECTEVENT(msg.lParam) == FD_READ;
      if (!queued && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    if (!queued) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  ASSERT_TRUE(queued);
  ASSERT_EQ(WSAAsyncSelect(sock, hwnd, 0, 0), 0);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  // The data stays in the socket, and the socket stays non-blocking.
  EXPECT_EQ(recvAll(), "data");
  char c;
  EXPECT_FAILS(recv(sock, &c, 1, 0), SOCKET_ERROR, WSAEWOULDBLOCK);
}

// The options the engine sets that its own tests do not read back.
TEST_F(WinsockTest, ReceiveBufferAndKeepAliveTimes) {
  sock = socket(AF_INET, SOCK_STREAM, 0);
  int size = 65536, got = 0, len = sizeof got;
  ASSERT_EQ(setsockopt(sock, SOL_SOCKET, SO_RCVBUF, bytes(size), sizeof size), 0);
  ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_RCVBUF, bytes(got), &len), 0);
  EXPECT_EQ(got, size);
  tcp_keepalive ka{1, 1000, 1000};
  DWORD returned = 1;
  EXPECT_EQ(WSAIoctl(sock, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr,
                     nullptr),
            0);
  EXPECT_EQ(returned, 0u);
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

}  // namespace
