// The Internet library against a scripted proxy: what only its own calls show
// (the exact request, error codes, the header block's buffer rule, a close
// from another thread).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/wininet.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/state_dir_test.h"

namespace {

using tw_test::PeerStep;

struct Row {
  const char* name;
  tw_test::PeerScript script;  // played after the request's header block
  DWORD want = 0;              // the failure, or 0
  int closeAfterMs = 0;        // another thread closes the request then
};

const std::string kBlock = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n";

const Row kRows[] = {
    {"success", {PeerStep::send(kBlock + "ok")}},
    {"garbage", {PeerStep::send("\x01\x02garbage\r\n\r\n"), PeerStep::close()},
     ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {"reset", {PeerStep::reset()}, ERROR_INTERNET_CONNECTION_RESET},
    {"endless header block",
     {PeerStep::send("HTTP/1.1 200 OK\r\n"),
      PeerStep::generate([](uint64_t) { return "X-Filler: " + std::string(100, 'x') + "\r\n"; },
                         4 << 20)},
     ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {"stall ended by a close from another thread", {PeerStep::delay(8000)},
     ERROR_INTERNET_OPERATION_CANCELLED, 300},
};

class InternetLibrary : public tw_test::StateDirTest {};

TEST_F(InternetLibrary, CallsEndWithTheirCodes) {
  HMODULE lib = LoadLibraryA("wininet.dll");
  ASSERT_NE(lib, nullptr);
#define TW_ENTRY(n) auto n = reinterpret_cast<PFN_##n>(GetProcAddress(lib, #n))
  TW_ENTRY(InternetOpenA);
  TW_ENTRY(InternetConnectA);
  TW_ENTRY(HttpOpenRequestA);
  TW_ENTRY(HttpSendRequestA);
  TW_ENTRY(HttpQueryInfoA);
  TW_ENTRY(InternetCloseHandle);
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    tw_test::PeerScript script = {PeerStep::waitFor("\r\n\r\n")};
    script.insert(script.end(), row.script.begin(), row.script.end());
    tw_test::ScriptedPeer peer(script);
    const std::string proxy = "127.0.0.1:" + std::to_string(peer.port());
    HINTERNET session = InternetOpenA("agent", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), nullptr, 0);
    HINTERNET connection = InternetConnectA(session, "origin.test", 80, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 1);
    HINTERNET request = HttpOpenRequestA(connection, "GET", "/a b", "1.1", nullptr, nullptr,
                                         INTERNET_FLAG_PRAGMA_NOCACHE | 0x40, 1);
    ASSERT_NE(request, nullptr);
    std::thread closer;
    if (row.closeAfterMs > 0) {
      closer = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(row.closeAfterMs));
        InternetCloseHandle(request);
      });
    }
    const auto started = std::chrono::steady_clock::now();
    const BOOL sent = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    EXPECT_EQ(sent ? 0 : GetLastError(), row.want);
    // A close wakes the blocked call at once.
    if (row.closeAfterMs > 0) {
      EXPECT_LT(std::chrono::steady_clock::now() - started,
                std::chrono::milliseconds(row.closeAfterMs + 2000));
      closer.join();
    }
    if (sent) {
      // The request as the proxy got it: no Accept or Expect of libcurl's own.
      EXPECT_EQ(peer.received(0),
                "GET http://origin.test/a%20b HTTP/1.1\r\nHost: origin.test\r\nUser-Agent: agent\r\n"
                "Proxy-Connection: Keep-Alive\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n");
      // Too small a buffer gives 122 and the size with the NUL.
      char block[4000] = {};
      DWORD size = 1;
      EXPECT_FALSE(HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, block, &size, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      EXPECT_EQ(size, kBlock.size() + 1);
      EXPECT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, block, &size, nullptr));
      EXPECT_EQ(std::string(block, size), kBlock);
    }
    if (row.closeAfterMs == 0) {
      EXPECT_TRUE(InternetCloseHandle(request));
    }
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }
}

}  // namespace
