// The Internet library against scripted servers: what only its own calls
// show (error codes, the header block's buffer rule, a close from another
// thread, the preconfigured proxy of the registry).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/wininet.h"
#include "tests/support/registry_env.h"
#include "tests/support/scripted_peer.h"

namespace {

using tw_test::PeerStep;

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct Row {
  const char* name;
  tw_test::PeerScript script = {};  // none: a port nobody listens on
  bool secure = false;
  int closeAfterMs = 0;          // another thread closes the request then
  const char* autoConfig = "";   // the registry's proxy script
  bool viaRegistryProxy = false; // the peer is the preconfigured proxy
  DWORD want = 0;                // the failure, or 0
  std::string wantRequest = "";  // what the peer received starts so
  std::string wantHeaders = "";  // the header block of a success
};

std::string headers(int n) {
  std::string h;
  for (int i = 0; i < n; ++i) h += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'x') + "\r\n";
  return h;
}

const Row kRows[] = {
    {.name = "refused port", .want = ERROR_INTERNET_CANNOT_CONNECT},
    {.name = "TLS to a plain port",
     .script = {PeerStep::waitForCount(10), PeerStep::send("HTTP/1.1 400 Bad\r\n\r\n"),
                PeerStep::close()},
     .secure = true, .want = ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {.name = "garbage",
     .script = {PeerStep::waitFor("\r\n\r\n"), PeerStep::send("\x01\x02garbage\r\n\r\n"),
                PeerStep::close()},
     .want = ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {.name = "reset", .script = {PeerStep::waitFor("\r\n\r\n"), PeerStep::reset()},
     .want = ERROR_INTERNET_CONNECTION_RESET},
    {.name = "endless header block",
     .script = {PeerStep::waitFor("\r\n\r\n"), PeerStep::send("HTTP/1.1 200 OK\r\n"),
                PeerStep::generate([](uint64_t) { return headers(100); }, 4 << 20)},
     .want = ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {.name = "stall ended by a close from another thread",
     .script = {PeerStep::waitFor("\r\n\r\n"), PeerStep::delay(8000)},
     .closeAfterMs = 300, .want = ERROR_INTERNET_OPERATION_CANCELLED},
    {.name = "proxy script in the registry", .autoConfig = "http://wpad.test/proxy.pac",
     .want = ERROR_INTERNET_BAD_AUTO_PROXY_SCRIPT},
    {.name = "registry proxy, 1xx skipped, no Accept or Expect of its own",
     .script = {PeerStep::waitFor("\r\n\r\n"),
                PeerStep::send("HTTP/1.1 100 Continue\r\n\r\n" + kOk)},
     .viaRegistryProxy = true,
     .wantRequest = "GET http://origin.test/a%20b HTTP/1.1\r\nHost: origin.test\r\n"
                    "User-Agent: agent\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n",
     .wantHeaders = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n"},
};

class InternetLibrary : public tw_test::RegistryEnv {};

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
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::optional<tw_test::ScriptedPeer> peer;
    if (!row.script.empty()) peer.emplace(row.script);
    const uint16_t port = peer ? peer->port() : tw_test::unusedLoopbackPort();
    const DWORD on = row.viaRegistryProxy ? 1 : 0;
    const std::string proxy = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, key, "AutoConfigURL", REG_SZ,
                                          std::string(row.autoConfig) + '\0'), 0);
    ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, key, "ProxyEnable", REG_DWORD,
                                          std::string(reinterpret_cast<const char*>(&on), 4)), 0);
    ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, key, "ProxyServer", REG_SZ,
                                          proxy + '\0'), 0);
    const bool direct = !row.viaRegistryProxy && row.autoConfig[0] == '\0';
    HINTERNET session = InternetOpenA("agent", direct ? INTERNET_OPEN_TYPE_DIRECT
                                                      : INTERNET_OPEN_TYPE_PRECONFIG,
                                      nullptr, nullptr, 0);
    if (session == nullptr) {
      EXPECT_EQ(GetLastError(), row.want);
      continue;
    }
    const char* server = row.viaRegistryProxy ? "origin.test" : "127.0.0.1";
    HINTERNET connection = InternetConnectA(session, server, row.viaRegistryProxy ? 80 : port,
                                            nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
    const DWORD flags = INTERNET_FLAG_PRAGMA_NOCACHE | 0x40 | (row.secure ? INTERNET_FLAG_SECURE : 0);
    HINTERNET request =
        HttpOpenRequestA(connection, "GET", "/a b", "1.1", nullptr, nullptr, flags, 1);
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
    const DWORD code = sent ? 0 : GetLastError();
    // A close wakes the blocked call at once.
    if (row.closeAfterMs > 0) {
      EXPECT_LT(std::chrono::steady_clock::now() - started,
                std::chrono::milliseconds(row.closeAfterMs + 2000));
    }
    if (closer.joinable()) closer.join();
    EXPECT_EQ(code, row.want);
    if (sent) {
      // Too small a buffer gives 122 and the size with the NUL.
      char block[4000] = {};
      DWORD size = 1;
      EXPECT_FALSE(HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, block, &size, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      EXPECT_EQ(size, row.wantHeaders.size() + 1);
      EXPECT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, block, &size, nullptr));
      EXPECT_EQ(std::string(block, size), row.wantHeaders);
    }
    if (!row.wantRequest.empty()) {
      EXPECT_EQ(peer->received(0), row.wantRequest);
    }
    if (row.closeAfterMs == 0) {
      EXPECT_TRUE(InternetCloseHandle(request));
    }
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }
}

}  // namespace
