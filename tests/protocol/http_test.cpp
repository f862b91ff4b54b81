// The HTTP layer behind the component object, each part as one table: the
// URL split into its properties (percent-encoding: the URL fuzz target), the
// request text byte for byte, the proxy detected from the Internet Settings
// (written in the test's own registry hive), and whole
// transfers against scripted loopback peers: the settings, the reply pieces,
// the request bytes the peer must have received, and the result,
// TransferredData and events the application sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "httpclient/auth/AuthCommon.h"
#include "httpclient/auth/Ntlm.h"
#include "tests/support/component_fixture.h"
#include "tests/support/recording_https.h"
#include "tests/support/registry_env.h"
#include "tests/support/scripted_peer.h"

using namespace velmora::network::component;
using tw_test::PeerStep;
using tw_test::RecordingHttps;
using tw_test::ScriptedPeer;
using namespace std::string_literals;

namespace {

class RequestTest : public ComponentTest {};
class UrlTest : public ComponentTest {};

struct RequestCase {
  const char* url = "http://h/";
  std::function<void(RecordingHttps&)> setup = nullptr;
  const char* method = "GET";
  std::string expected = "";              // "{agent}" stands for the User-Agent line
};

const std::string kAgent = "User-Agent: TessilonSSL HTTPS Component/1.0\r\n";

// The text with "{host}", "{port}" (the host's port) and "{agent}" (the
// User-Agent line) filled in.
std::string filled(std::string text, const std::string& host) {
  for (size_t at; (at = text.find("{host}")) != std::string::npos;) text.replace(at, 6, host);
  const std::string port = host.substr(host.rfind(':') + 1);
  for (size_t at; (at = text.find("{port}")) != std::string::npos;) text.replace(at, 6, port);
  for (size_t at; (at = text.find("{agent}")) != std::string::npos;) text.replace(at, 7, kAgent);
  return text;
}

// A GET of the target (default "/") with the given Host line.
std::string plainGet(const std::string& host, const std::string& target = "/") {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n{agent}Connection: close\r\n\r\n";
}

// The URLs are set in order; the last one's split is checked (nullptr: not
// checked), and the URL property keeps it as given.
struct UrlCase {
  std::vector<const char*> urls = {};
  const char* scheme = nullptr;
  const char* server = nullptr;
  int port = 0;
  const char* path = nullptr;
  const char* user = nullptr;
  const char* password = nullptr;
  bool ipv6 = false;  // a bracketed host switches the transport to IPv6
};

void expectText(RecordingHttps& h, int id, const char* want) {
  if (want != nullptr) { EXPECT_EQ(h.GetText(id), want) << id; }
}

const char* const kKey = REGSTR_PATH_INTERNET_SETTINGS;

class ProxyDetectTest : public ComponentTest {
 protected:
  // Writes the Internet Settings values given; with none, the key is not created.
  void seed(const char* enable, const char* server) {
    auto write = [](const char* name, DWORD type, const std::string& data) {
      ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, kKey, name, type, data), 0);
    };
    const DWORD on = enable != nullptr ? static_cast<DWORD>(std::stoul(enable)) : 0;
    if (enable) write("ProxyEnable", REG_DWORD, std::string(reinterpret_cast<const char*>(&on), 4));
    if (server) write("ProxyServer", REG_SZ, std::string(server) + '\0');
  }
};

struct Expect {
  std::string server;
  int port, proxySsl, firewallType;
};

// One step: what is written to the Internet Settings (nullptr leaves a value
// as it is), the URL of a fresh component ("" keeps the https default), and
// what detection gives. The hive is shared by the steps in order: the first
// starts without the key.
struct Step {
  const char* enable = nullptr;
  const char* server = nullptr;
  const char* url = "";
  Expect want;
};

class TransferTest : public ComponentTest {};

struct Exchange {
  const char* what = "";
  std::function<void(RecordingHttps&)> setup = nullptr;  // runs before the call
  int (HTTPS::*call)(const char*) = &HTTPS::Get;
  std::string url = "";                   // "": the peer's address and path
  std::string waitFor = "\r\n\r\n";       // the peer replies once it has this
  std::vector<std::string> reply = {};    // sent 20 ms apart, then the close
  int holdMs = 0;                         // before the close
  std::string request = "";  // expected request bytes ("{host}", "{agent}" filled in); "" unchecked
  int code = 0;
  const char* error = "";
  std::string data = "";             // TransferredData
  std::vector<std::string> events = {};  // empty: unchecked
  std::function<void(RecordingHttps&)> check = nullptr;  // runs after the call
  int minMs = 0, maxMs = 0;          // duration of the call (0: unchecked)
};

void play(const Exchange& x) {
  SCOPED_TRACE(x.what);
  tw_test::PeerScript script = {PeerStep::waitFor(x.waitFor)};
  for (size_t i = 0; i < x.reply.size(); ++i) {
    if (i > 0) script.push_back(PeerStep::delay(20));
    script.push_back(PeerStep::send(x.reply[i]));
  }
  if (x.holdMs > 0) script.push_back(PeerStep::delay(x.holdMs));
  script.push_back(PeerStep::close());
  ScriptedPeer peer(script);
  const std::string host = "127.0.0.1:" + std::to_string(peer.port());
  const std::string peerUrl = "http://" + host + "/";
  RecordingHttps h;
  if (x.setup) x.setup(h);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ((h.*x.call)(x.url.empty() ? peerUrl.c_str() : x.url.c_str()), x.code);
  EXPECT_EQ(h.GetLastErrorCode(), x.code);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
  if (x.minMs > 0) { EXPECT_GE(ms, x.minMs); }
  if (x.maxMs > 0) { EXPECT_LT(ms, x.maxMs); }
  EXPECT_STREQ(h.GetLastError(), x.error);
  EXPECT_EQ(h.GetText(https_prop::TransferredData), x.data);
  EXPECT_EQ(h.GetInteger(https_prop::Idle), 1);
  if (!x.events.empty()) { EXPECT_EQ(h.events, x.events); }
  const std::string request = filled(x.request, host);
  if (!request.empty()) {
    ASSERT_TRUE(peer.waitDone());
    EXPECT_EQ(peer.received(0), request);
  }
  if (x.check) x.check(h);
}

std::string withLength(const std::string& head, const std::string& body) {
  return "HTTP/1.1 " + head + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// An answer without body after these header lines, played to the first request.
tw_test::PeerScript headerReply(const std::string& headers) {
  return {PeerStep::waitFor("\r\n\r\n"),
          PeerStep::send("HTTP/1.1 200 OK\r\n" + headers + "Content-Length: 0\r\n\r\n"),
          PeerStep::close()};
}

}  // namespace

TEST_F(UrlTest, SplittingIntoTheUrlProperties) {
  const UrlCase cases[] = {
      {{"https://h/x"}, "https", "h", 443, "/x", "", ""},
      {{"HTTP://Host.Example:8080/A/b?c=D"}, "HTTP", "Host.Example", 8080, "/A/b?c=D", "", ""},
      {{"http://user:pw@h:8080/x?y"}, "http", "h", 8080, "/x?y", "user", "pw"},
      {{"http://user@h/"}, "http", "h", 80, "/", "user", ""},
      {{"http://u:p:q@h:81/"}, "http", "h", 81, "/", "u", "p:q"},
      {{"http://h?q=1"}, "http", "h", 80, "/?q=1", "", ""},
      {{"http://h"}, "http", "h", 80, "/", "", ""},
      {{"http://[::1]:8080/v6"}, "http", "::1", 8080, "/v6", "", "", true},
      {{"http://[fe80::1%4]:81/"}, "http", "fe80::1%4", 81, "/", "", "", true},
      {{"http://u:p@[::1]/"}, "http", "::1", 80, "/", "u", "p", true},
      {{"//h2/only-authority"}, "https", "h2", 443, "/only-authority", "", ""},
      {{"ftp://files/x"}, "ftp", "files", 443, "/x", "", ""},
      {{"b.html"}, "https", "", 443, "/b.html", "", ""},
      {{"./b.html"}, "https", "", 443, "/b.html", "", ""},
      {{"/abs/path"}, "https", "", 443, "/abs/path", "", ""},
      // A URL without host keeps the server; its port is the scheme default.
      {{"http://h:81/dir/a.html", "b.html"}, nullptr, "h", 80, "/b.html"},
      // The empty URL resets the URL state; the port is the last scheme's default.
      {{"http://u:p@h:81/x", ""}, "https", "", 80, ""},
      // Credentials stay when the URL has none.
      {{"http://new:pw@h/x", "http://h/y"}, "http", "h", 80, "/y", "new", "pw"},
      {{"http://old:pw@h/x", "http://new:pw2@h/x"}, "http", "h", 80, "/x", "new", "pw2"},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.urls.back());
    RecordingHttps h;
    for (const char* url : c.urls) ASSERT_EQ(h.SetText(https_prop::URL, url), 0);
    EXPECT_EQ(h.GetText(https_prop::URL), c.urls.back());
    expectText(h, https_prop::URLScheme, c.scheme);
    expectText(h, https_prop::URLServer, c.server);
    EXPECT_EQ(h.GetInteger(https_prop::URLPort), c.port);
    expectText(h, https_prop::URLPath, c.path);
    expectText(h, https_prop::User, c.user);
    expectText(h, https_prop::Password, c.password);
    EXPECT_EQ(h.Config("UseIPv6"), c.ipv6 ? "True" : "False");
  }
}

TEST_F(RequestTest, RequestTexts) {
  auto proxy = [](int proxySsl) {
    return [proxySsl](RecordingHttps& h) {
      h.SetText(https_prop::ProxyServer, "proxy.test");
      h.SetInteger(https_prop::ProxySSL, proxySsl);
    };
  };
  const std::vector<RequestCase> cases = {
      {.url = "http://h/x?y=1", .expected = plainGet("h", "/x?y=1")},
      {.url = "http://h/p",
       .setup = [](RecordingHttps& h) {
         h.Config("KeepAlive=true");
         h.Config("ProxyAuthorization=Basic cHJveHk6cHc=");
         h.AddCookie("a", "1");  // as a Set-Cookie of an earlier response leaves them
         h.AddCookie("b", "2");
         h.SetText(https_prop::Range, "100-");
         h.SetText(https_prop::Authorization, "Bearer token");
       },
       .method = "HEAD",
       .expected = "HEAD /p HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer token\r\n"
                   "Proxy-Authorization: Basic cHJveHk6cHc=\r\n{agent}Range: bytes=100-\r\n"
                   "Cookie: a=1; b=2\r\n\r\n"},
      // The Host line.
      {.url = "http://h:80/", .expected = plainGet("h")},
      {.url = "http://h:443/", .expected = plainGet("h:443")},
      {.url = "https://h/", .expected = plainGet("h")},
      {.url = "https://h:8443/", .expected = plainGet("h:8443")},
      {.url = "http://[::1]/", .expected = plainGet("[::1]")},
      {.url = "http://[fe80::1%4]:81/", .expected = plainGet("[fe80::1]:81")},
      // Through a proxy the request line carries the URL; a tunnel (ProxySSL 3) the path.
      {.url = "http://h:8080/x?y", .setup = proxy(0),
       .expected = plainGet("h:8080", "http://h:8080/x?y")},
      {.url = "http://h/x", .setup = proxy(0), .expected = plainGet("h", "http://h/x")},
      {.url = "http://h/x", .setup = proxy(3), .expected = plainGet("h", "/x")},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.url);
    RecordingHttps h;
    h.SetText(https_prop::URL, c.url);
    if (c.setup) c.setup(h);
    EXPECT_EQ(h.component().requestHeaderText(c.method, nullptr), filled(c.expected, ""));
  }
}

TEST_F(ProxyDetectTest, DetectedProxyForEachSettingAndScheme) {
  const Step steps[] = {
      // Nothing: no key, detection disabled, no entry for the scheme.
      {.want = {"", 443, 0, 0}},
      {.enable = "0", .server = "proxy.test:3128", .want = {"", 443, 0, 0}},
      {.enable = "1", .server = "ftp=f:21", .want = {"", 443, 0, 0}},
      // One proxy for every scheme: https through a tunnel, http directly.
      {.enable = "1", .server = "proxy.test:3128", .want = {"proxy.test", 3128, 3, 1}},
      {.url = "http://site.test/", .want = {"proxy.test", 3128, 0, 0}},
      // A list per scheme.
      {.enable = "1", .server = "ftp=f:21;http=hp:8080;https=sp:8443", .url = "http://site.test/",
       .want = {"hp", 8080, 0, 0}},
      {.url = "https://site.test/", .want = {"sp", 8443, 3, 1}},
      // An entry without scheme, one without port; port 0 keeps the scheme's default.
      {.enable = "1", .server = "ftp=f:21;plainhost", .url = "http://site.test/",
       .want = {"plainhost", 80, 0, 0}},
      {.server = "http=hp:0", .url = "http://site.test/", .want = {"hp", 80, 0, 0}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.server ? step.server : "-") + " " + step.url);
    seed(step.enable, step.server);
    RecordingHttps h;
    h.SetText(https_prop::ProxyServer, "before");
    if (*step.url != '\0') h.SetText(https_prop::URL, step.url);
    ASSERT_EQ(h.SetInteger(https_prop::ProxyAutoDetect, 1), 0);
    EXPECT_EQ(h.GetText(https_prop::ProxyServer), step.want.server);
    EXPECT_EQ(h.GetInteger(https_prop::ProxyPort), step.want.port);
    EXPECT_EQ(h.GetInteger(https_prop::ProxySSL), step.want.proxySsl);
    EXPECT_EQ(h.GetInteger(https_prop::FirewallType), step.want.firewallType);
  }
}

// FirewallAutoDetect reads the "socks=" entry of the same values. FirewallType
// is 1 before; type, host and port are what detection leaves.
TEST_F(ProxyDetectTest, FirewallTakesTheSocksEntry) {
  struct Row {
    const char *enable, *server;
    bool on;
    int type;
    const char* host;
    int port;
  };
  const Row rows[] = {
      {"1", "http=h:1;socks=127.0.0.2:1081;https=s:2", true, 3, "127.0.0.2", 1081},
      {"1", "socks=127.0.0.3:0", true, 3, "127.0.0.3", 1080}, {"1", "socks=:1081", true, 1, "", 0},
      {"1", "socks=127.0.0.2:", true, 1, "", 0},  {"1", "127.0.0.2:1081", true, 1, "", 0},
      {"0", "socks=127.0.0.2:1081", true, 1, "", 0}, {"1", "socks=127.0.0.2:1081", false, 1, "", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.server);
    seed(r.enable, r.server);
    RecordingHttps h;
    h.SetInteger(https_prop::FirewallType, 1);
    h.SetText(https_prop::FirewallHost, "127.0.0.9");
    EXPECT_EQ(h.SetInteger(https_prop::FirewallAutoDetect, r.on), 0);
    EXPECT_EQ(h.GetInteger(https_prop::FirewallType), r.type);
    EXPECT_EQ(h.GetText(https_prop::FirewallHost), r.host);
    EXPECT_EQ(h.GetInteger(https_prop::FirewallPort), r.port);
  }
}

TEST_F(TransferTest, Exchanges) {
  auto status = [](const char* line, int code, const char* error) {
    return Exchange{.what = line, .reply = {withLength(line + 9, "body")}, .code = code,
                    .error = error, .data = "body",
                    .check = [](RecordingHttps& h) { EXPECT_EQ(h.received, "body"); }};
  };
  const auto nothingSent = [](RecordingHttps& h) { EXPECT_TRUE(h.events.empty()); };
  const std::vector<Exchange> exchanges = {
      // Connection decisions that fail before anything is sent.
      {.what = "no server", .url = "/only/a/path", .code = 152,
       .error = "No server specified in URL", .check = nothingSent},
      {.what = "unknown scheme", .url = "ftp://files/x", .code = 153,
       .error = "Specified URLScheme (ftp) is invalid.", .check = nothingSent},
      {.what = "tunnel with a custom proxy scheme",
       .setup = [](RecordingHttps& h) {
         h.SetInteger(https_prop::ProxyAuthScheme, 2);
         h.SetText(https_prop::ProxyServer, "proxy.test");
       },
       .url = "https://h/", .code = 153, .error = "Unknown proxy authentication scheme.",
       .check = nothingSent},
      {.what = "chunked upload: chunk sizes in hex",
       .setup = [](RecordingHttps& h) {
         h.Config("UseChunkedEncoding=true");
         h.Config("ChunkSize=16");
         h.SetText(https_prop::PostData, "hello world, in chunks");
       },
       .call = &HTTPS::Post, .waitFor = "0\r\n\r\n",
       .reply = {"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"},
       .request = "POST / HTTP/1.1\r\nHost: {host}\r\n{agent}Connection: close\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n"
                  "10\r\nhello world, in \r\n6\r\nchunks\r\n0\r\n\r\n"},
      {.what = "events of a successful response",
       .reply = {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n"
                 "0123456789"},
       .data = "0123456789",
       .events = {"Status HTTP/1.1|200|OK", "Header Content-Type|text/plain",
                  "Header Content-Length|10", "StartTransfer 1", "Transfer 1 10 100 0123456789",
                  "EndTransfer 1"}},
      {.what = "TransferredDataLimit keeps only the first bytes",
       .setup = [](RecordingHttps& h) { h.SetLong(https_prop::TransferredDataLimit, 10); },
       .reply = {withLength("200 OK", "abcdefghijklmnopqrstuvwxy")}, .data = "abcdefghij",
       .check = [](RecordingHttps& h) {
         EXPECT_EQ(h.Config("BytesTransferred"), "25");
         EXPECT_EQ(h.received, "abcdefghijklmnopqrstuvwxy");  // the events carry everything
       }},
      {.what = "a body with NUL bytes", .reply = {withLength("200 OK", "a\0b\0"s)}, .data = "a\0b\0"s,
       .check = [](RecordingHttps& h) { EXPECT_EQ(h.received, "a\0b\0"s); }},
      status("HTTP/1.1 500 Internal Error.", 151, "HTTP protocol error. 500 Internal Error."),
      status("HTTP/1.1 503", 151, "HTTP protocol error. 503 ."),
      status("HTTP/1.1 302 Found", 151, "HTTP protocol error. 302 Found."),
      {.what = "no status line: nothing to judge", .reply = {"just bytes\n", "until the close"},
       .data = "just bytes\nuntil the close"},
      {.what = "the deadline ends a silent server, whatever the status",
       .setup = [](RecordingHttps& h) { h.SetInteger(https_prop::Timeout, 1); },
       .reply = {"HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\nab"}, .holdMs = 4000,
       .code = 301, .error = "Timeout.", .data = "ab", .minMs = 900, .maxMs = 3000},
  };
  for (const Exchange& x : exchanges) play(x);
}

TEST_F(TransferTest, SetCookieLinesAndTheRecordsTheyLeave) {
  // Set-Cookie lines of one answer, after AddCookie("s", "u"), and the records
  // left as "name|value|expires|domain|path|secure|userAdded".
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
      {{"a=1; Path=/p; Secure; HttpOnly"}, {"s|u||||0|1", "a|1|||/p|1|0"}},
      {{"a=b=c;\t Expires=Wed, 01 Jan 2031 00:00:00 GMT;domain=.x.test; max-age=5"},
       {"s|u||||0|1", "a|b=c|Wed, 01 Jan 2031 00:00:00 GMT|.x.test||0|0"}},
      // The last one wins; one blank at most is skipped after a later ";".
      {{"a=1; Domain=x; Path=/a; PATH=/b; Domain", "b=2; Secure;  Path=/x"},
       {"s|u||||0|1", "a|1|||/b|0|0", "b|2||||1|0"}},
      {{"abc; Path=/x", "flag; Secure", "=v"},
       {"s|u||||0|1", "abc; Path|/x||||0|0", "flag|||||1|0", "|v||||0|0"}},
      // Same name, domain and path (any case) update in place, keeping the flag.
      {{"b=2", "a=1; Secure", "A=3; path=", "a=4; Path=/p", "S=v; Secure"},
       {"s|v||||1|1", "b|2||||0|0", "a|3||||0|0", "a|4|||/p|0|0"}},
  };
  for (const auto& [lines, records] : cases) {
    std::string headers;
    for (const std::string& line : lines) headers += "Set-Cookie: " + line + "\r\n";
    ScriptedPeer peer(headerReply(headers));
    RecordingHttps h;
    h.AddCookie("s", "u");
    ASSERT_EQ(h.Get(("http://127.0.0.1:" + std::to_string(peer.port())).c_str()), 0);
    std::vector<std::string> got;
    for (size_t i = 0; i < h.component().cookies().count(); ++i) {
      const Cookie& c = h.component().cookies().at(i);
      got.push_back(c.name + "|" + c.value + "|" + c.expiration + "|" + c.domain + "|" + c.path +
                    "|" + std::to_string(c.secure) + "|" + std::to_string(c.userAdded));
    }
    EXPECT_EQ(got, records);
    // The first line's event comes right after its Header event.
    const std::vector<std::string> events = tw_test::responseEvents(h.events);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1], "Header Set-Cookie|" + lines[0]);
    EXPECT_EQ(events[2], "SetCookie " + got[1].substr(0, got[1].size() - 2));
  }
}

TEST_F(TransferTest, ReceivedCookiesStopAtOneThousandUpdatesStillApply) {
  std::string headers[2];
  for (int i = 0; i < 1200; ++i) headers[i / 600] += "Set-Cookie: c" + std::to_string(i) + "=\r\n";
  ScriptedPeer peer(std::vector<tw_test::PeerScript>{
      headerReply(headers[0]), headerReply(headers[1] + "Set-Cookie: c5=new\r\n")});
  RecordingHttps h;
  h.AddCookie("u", "1");  // the application's cookies do not count and are never refused
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port());
  for (int i = 0; i < 2; ++i) ASSERT_EQ(h.Get(url.c_str()), 0);
  ASSERT_EQ(h.AddCookie("v", "2"), 0);
  const CookieList& list = h.component().cookies();
  ASSERT_EQ(list.count(), 1002u);
  EXPECT_EQ(list.at(1000).name, "c999");
  EXPECT_EQ(list.at(6).value, "new");
  EXPECT_EQ(list.at(1001).name, "v");
  // 1,000 new cookies and the update: the 200 beyond the cap fired nothing.
  EXPECT_EQ(std::count_if(h.events.begin(), h.events.end(),
                          [](const std::string& e) { return e.rfind("SetCookie ", 0) == 0; }),
            1001);
}

namespace {

// Redirects: every answer closes its connection, so connection i carries
// request i. "{host}" in the texts stands for the peer's address.
struct RedirectCase {
  const char* what = "";
  std::function<void(RecordingHttps&)> setup = nullptr;
  int (HTTPS::*call)(const char*) = &HTTPS::Get;
  std::string path = "/";                  // of the first request
  std::vector<std::string> replies = {};   // one per connection
  std::vector<std::string> requests = {};  // the bytes each connection must receive
  int code = 0;
  const char* error = "";
  std::string url = "";                    // the URL property afterwards ("": unchecked)
  // Status and Redirect events; "connections N" is the peer's count when
  // Redirect fires (empty: unchecked).
  std::vector<std::string> events = {};
  std::function<void(RecordingHttps&)> check = nullptr;
};

std::string moved(const std::string& status, const std::string& location) {
  return withLength(status + "\r\nLocation: " + location, "moved");
}

std::string post(const std::string& path, const std::string& body = "hello") {
  return "POST " + path + " HTTP/1.1\r\nHost: {host}\r\n{agent}Connection: close\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void playRedirects(const RedirectCase& c) {
  SCOPED_TRACE(c.what);
  // The replies name the peer's address, known once it listens: they are
  // filled in as they go out.
  auto host = std::make_shared<std::string>();
  std::vector<tw_test::PeerScript> scripts;
  for (size_t i = 0; i < c.replies.size(); ++i) {
    const std::string& request = i < c.requests.size() ? c.requests[i] : "\r\n\r\n";
    const std::string reply = c.replies[i];
    scripts.push_back(
        {PeerStep::waitFor(request.substr(request.size() - 4)),
         PeerStep::generate([reply, host](uint64_t sent) {
           return sent == 0 ? filled(reply, *host) : std::string();
         }),
         PeerStep::close()});
  }
  ScriptedPeer peer(scripts);
  *host = "127.0.0.1:" + std::to_string(peer.port());
  RecordingHttps h;
  if (c.setup) c.setup(h);
  h.onRedirect = [&, own = h.onRedirect](HTTPSRedirectEventParams* e) {
    h.events.push_back("connections " + std::to_string(peer.connectionCount()));
    if (own) own(e);
  };
  EXPECT_EQ((h.*c.call)(("http://" + *host + c.path).c_str()), c.code);
  EXPECT_STREQ(h.GetLastError(), c.error);
  if (!c.url.empty()) { EXPECT_EQ(h.GetText(https_prop::URL), filled(c.url, *host)); }
  if (!c.events.empty()) {
    std::vector<std::string> seen, want;
    for (const std::string& e : h.events) {
      if (e.rfind("Status ", 0) == 0 || e.rfind("Redirect ", 0) == 0 ||
          e.rfind("connections ", 0) == 0) {
        seen.push_back(e);
      }
    }
    for (const std::string& e : c.events) want.push_back(filled(e, *host));
    EXPECT_EQ(seen, want);
  }
  ASSERT_TRUE(peer.waitDone());
  EXPECT_EQ(peer.connectionCount(), c.replies.size());
  for (size_t i = 0; i < c.requests.size(); ++i) {
    EXPECT_EQ(peer.received(i), filled(c.requests[i], *host)) << "request " << i;
  }
  if (c.check) c.check(h);
}

// A loop between /a and /b of n answers; the requests it gets.
RedirectCase loop(const char* what, int maxAttempts, int answers) {
  RedirectCase c{.what = what, .path = "/a", .code = 310,
                 .error = "There were too many redirects."};
  if (maxAttempts >= 0) {
    c.setup = [maxAttempts](RecordingHttps& h) {
      h.SetInteger(https_prop::FollowRedirects, 1);
      h.Config("MaxRedirectAttempts=" + std::to_string(maxAttempts));
    };
  } else {
    c.setup = [](RecordingHttps& h) { h.SetInteger(https_prop::FollowRedirects, 1); };
  }
  for (int i = 0; i < answers; ++i) {
    c.replies.push_back(moved("302 Found", i % 2 == 0 ? "/b" : "/a"));
    c.requests.push_back(plainGet("{host}", i % 2 == 0 ? "/a" : "/b"));
  }
  return c;
}

}  // namespace

TEST_F(TransferTest, Redirects) {
  auto follow = [](int mode, std::function<void(RecordingHttps&)> more = nullptr) {
    return [mode, more](RecordingHttps& h) {
      h.SetInteger(https_prop::FollowRedirects, mode);
      h.SetText(https_prop::PostData, "hello");
      if (more) more(h);
    };
  };
  const std::string done = withLength("200 OK", "done");
  const std::string get = plainGet("{host}");
  auto withBearer = [](std::string request) {
    return request.insert(request.find("{agent}"), "Authorization: Bearer t\r\n");
  };
  const std::vector<RedirectCase> cases = {
      {.what = "followed: Redirect fires before the new request goes out",
       .setup = follow(1), .replies = {moved("302 Found", "http://{host}/next"), done},
       .requests = {get, plainGet("{host}", "/next")}, .url = "http://{host}/next",
       .events = {"Status HTTP/1.1|302|Found", "Redirect http://{host}/next|1", "connections 1",
                  "Status HTTP/1.1|200|OK"},
       .check = [](RecordingHttps& h) {
         EXPECT_EQ(h.GetText(https_prop::TransferredData), "done");
       }},
      {.what = "POST answered by 303 is repeated as GET", .setup = follow(1),
       .call = &HTTPS::Post, .replies = {moved("303 See Other", "/done"), done},
       .requests = {post("/"), plainGet("{host}", "/done")}},
      {.what = "POST answered by 307 is repeated with its body", .setup = follow(1),
       .call = &HTTPS::Post, .replies = {moved("307 Temporary Redirect", "/again"), done},
       .requests = {post("/"), post("/again")}},
      {.what = "POST answered by 302 becomes GET with GetOn302Redirect",
       .setup = follow(1, [](RecordingHttps& h) { h.Config("GetOn302Redirect=true"); }),
       .call = &HTTPS::Post, .replies = {moved("302 Found", "/again"), done},
       .requests = {post("/"), plainGet("{host}", "/again")}},
      {.what = "mode 1 repeats a PUT", .setup = follow(1), .call = &HTTPS::Put,
       .replies = {moved("301 Moved Permanently", "/p"), done},
       .requests = {"PUT" + post("/").substr(4), "PUT" + post("/p").substr(4)}},
      {.what = "mode 2 does not redirect a PUT", .setup = follow(2), .call = &HTTPS::Put,
       .replies = {moved("301 Moved Permanently", "/p")}, .code = 151,
       .error = "HTTP protocol error. 301 Moved Permanently.",
       .events = {"Status HTTP/1.1|301|Moved Permanently"}},
      {.what = "304 is not followed and has no body", .setup = follow(1),
       .replies = {withLength("304 Not Modified", "body")}, .code = 151,
       .error = "HTTP protocol error. 304 Not Modified.",
       .check = [](RecordingHttps& h) { EXPECT_EQ(h.GetText(https_prop::TransferredData), ""); }},
      {.what = "300 is followed; a cookie it sets goes to the next host", .setup = follow(1),
       .replies = {moved("300 Multiple Choices\r\nSet-Cookie: a=1",
                         "http://localhost:{port}/x"), done},
       .requests = {get, "GET /x HTTP/1.1\r\nHost: localhost:{port}\r\n{agent}Cookie: a=1\r\n"
                         "Connection: close\r\n\r\n"},
       .check = [](RecordingHttps& h) {  // the 300's own body was dropped unseen
         EXPECT_EQ(std::count(h.events.begin(), h.events.end(), "StartTransfer 1"), 1);
       }},
      {.what = "a 3xx without Location is not followed", .setup = follow(1),
       .replies = {withLength("302 Found", "here")}, .code = 151,
       .error = "HTTP protocol error. 302 Found.", .events = {"Status HTTP/1.1|302|Found"},
       .check = [](RecordingHttps& h) {
         EXPECT_EQ(h.GetText(https_prop::TransferredData), "here");
       }},
      {.what = "mode 2: the location's credentials replace User and Password",
       .setup = follow(2, [](RecordingHttps& h) {
         h.SetText(https_prop::User, "old");
         h.SetText(https_prop::Authorization, "Bearer t");
       }),
       .replies = {moved("302 Found", "http://u:pw@{host}/x"), moved("302 Found", "/y"), done},
       .requests = {withBearer(get), withBearer(plainGet("{host}", "/x")),
                    withBearer(plainGet("{host}", "/y"))},
       .url = "/y",
       .events = {"Status HTTP/1.1|302|Found", "Redirect http://u:pw@{host}/x|1", "connections 1",
                  "Status HTTP/1.1|302|Found", "Redirect /y|1", "connections 2",
                  "Status HTTP/1.1|200|OK"},
       .check = [](RecordingHttps& h) {
         EXPECT_EQ(h.GetText(https_prop::User), "");  // the last location had none
         EXPECT_EQ(h.GetText(https_prop::Password), "");
       }},
      {.what = "mode 2 offers another scheme with accept 0; left so, URL holds it",
       .setup = follow(2), .replies = {moved("302 Found", "https://{host}/secure")},
       .code = 151, .error = "HTTP protocol error. 302 Found.", .url = "https://{host}/secure",
       .events = {"Status HTTP/1.1|302|Found", "Redirect https://{host}/secure|0",
                  "connections 1"}},
      {.what = "the handler refuses in mode 1",
       .setup = follow(1, [](RecordingHttps& h) {
         h.onRedirect = [](HTTPSRedirectEventParams* e) { e->Accept = 0; };
       }),
       .replies = {moved("307 Temporary Redirect", "/elsewhere")}, .code = 151,
       .error = "HTTP protocol error. 307 Temporary Redirect.", .url = "/elsewhere"},
      {.what = "a location equal to the URL", .setup = follow(1),
       .replies = {moved("302 Found", "http://{host}/")}, .code = 151,
       .error = "Attempting to redirect to identical URL.  Aborting connection.",
       .url = "http://{host}/"},
      {.what = "a location equal to the URL with AllowIdenticalRedirectURL",
       .setup = follow(1, [](RecordingHttps& h) { h.Config("AllowIdenticalRedirectURL=true"); }),
       .replies = {moved("302 Found", "http://{host}/"), done}, .requests = {get, get}},
      loop("MaxRedirectAttempts 0: the first 3xx fails", 0, 1),
      loop("MaxRedirectAttempts 3", 3, 4),
      loop("MaxRedirectAttempts 20 by default", -1, 21),
  };
  for (const RedirectCase& c : cases) playRedirects(c);
}

TEST_F(TransferTest, RelativeRedirectLocations) {
  struct Relative {
    const char* location;
    const char* target;  // of the repeated request
    bool encode = false;
  };
  const Relative table[] = {
      {"b.html", "/dir/b.html"},        {"./c/d", "/dir/c/d"},
      {"/top?x=1", "/top?x=1"},         {"//{host}/auth", "/auth"},
      {"http://{host}", "/"},           {"sp ace", "/dir/sp%20ace", true},
  };
  for (const Relative& r : table) {
    playRedirects({.what = r.location,
                   .setup = [r](RecordingHttps& h) {
                     h.SetInteger(https_prop::FollowRedirects, 1);
                     if (r.encode) h.Config("EncodeRedirectLocation=true");
                   },
                   .path = "/dir/a.html?q=1",
                   .replies = {moved("302 Found", r.location), withLength("200 OK", "")},
                   .requests = {plainGet("{host}", "/dir/a.html?q=1"),
                                plainGet("{host}", r.target)},
                   .url = r.location});
  }
}

namespace {

// Authentication through the peer as proxy (no request names its port), request by request.
struct AuthCase {
  const char* what = "";
  int scheme = 0;
  bool proxy = false;  // ProxyAuthScheme, ProxyUser and ProxyPassword
  const char* user = "u";
  const char* password = "p";
  const char* post = "";  // PostData of a POST; "": a GET
  std::vector<std::vector<std::pair<std::string, std::string>>> connections = {};  // request, reply
  const char* error = "";  // non-empty: the call fails with 151 and this text
};

void playAuth(const AuthCase& c) {
  SCOPED_TRACE(c.what);
  std::vector<tw_test::PeerScript> scripts(c.connections.size());
  std::vector<std::string> sent(c.connections.size());
  for (size_t i = 0; i < c.connections.size(); ++i) {
    for (const auto& [request, reply] : c.connections[i]) {
      sent[i] += filled(request, "");
      scripts[i].push_back(PeerStep::waitForCount(sent[i].size()));
      scripts[i].push_back(PeerStep::send(reply));
    }
    // A server that announces its close takes a moment to make it.
    if (c.connections[i].back().second.find("Connection: close") != std::string::npos) {
      scripts[i].push_back(PeerStep::delay(300));
    }
    scripts[i].push_back(PeerStep::close());
  }
  ScriptedPeer peer(scripts);
  RecordingHttps h;
  h.SetText(https_prop::ProxyServer, "127.0.0.1");
  h.SetInteger(https_prop::ProxyPort, peer.port());
  h.SetInteger(c.proxy ? https_prop::ProxyAuthScheme : https_prop::AuthScheme, c.scheme);
  h.SetText(c.proxy ? https_prop::ProxyUser : https_prop::User, c.user);
  h.SetText(c.proxy ? https_prop::ProxyPassword : https_prop::Password, c.password);
  h.SetText(https_prop::PostData, c.post);
  EXPECT_EQ(*c.post ? h.Post("http://h.test/x") : h.Get("http://h.test/x"), *c.error ? 151 : 0);
  EXPECT_STREQ(h.GetLastError(), c.error);
  ASSERT_TRUE(peer.waitDone());
  ASSERT_EQ(peer.connectionCount(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(peer.received(i), sent[i]) << i;
}

// A request to the proxy with these header lines, ending with tail.
std::string proxied(const std::string& headers, bool close = true, const char* method = "GET",
                    const std::string& tail = "\r\n") {
  return std::string(method) + " http://h.test/x HTTP/1.1\r\nHost: h.test\r\n" + headers +
         "{agent}" + (close ? "Connection: close\r\n" : "") + tail;
}

}  // namespace

TEST_F(TransferTest, Authentication) {
  const std::string ok = withLength("200 OK", "");
  const std::string type2 = "TlRMTVNTUAACAAAAAAAAACgAAAABAggAASNFZ4mrze8AAAAAAAAAAA==";
  auth::setRandomSourceForTesting([](uint8_t* out, size_t n) { std::fill_n(out, n, 0xaa); });
  auto type3 = [&](const char* user, const char* password) {  // its bytes: auth_test.cpp
    auth::NtlmClient ntlm;
    ntlm.setCredentials(user, password);
    EXPECT_TRUE(ntlm.readType2(type2));
    return auth::base64Encode(ntlm.type3());
  };
  const std::string type1 = "TlRMTVNTUAABAAAAB4IIogAAAAAoAAAAAAAAACgAAAAAAAAAAAAADw==\r\n";
  const std::string proxyType1 = "Proxy-Authorization: NTLM " + type1;
  const std::string refused = "407 Proxy Authentication Required\r\nProxy-Authenticate: ";
  const std::vector<AuthCase> cases = {
      {.what = "Basic with an empty password", .password = "",
       .connections = {{{proxied("Authorization: Basic dTo=\r\n"), ok}}}},
      {.what = "Digest: the challenge answered on a new connection", .scheme = 1,
       .connections = {{{proxied(""), withLength("401 Unauthorized\r\nWWW-Authenticate: Digest "
                                                  "realm=\"r\", nonce=\"n\", qop=\"auth\"", "")}},
                       {{proxied("Authorization: Digest username=\"u\", realm=\"r\", nonce=\"n\", "
                                 "uri=\"/x\", algorithm=\"md5\", qop=\"auth\", nc=00000001, "
                                 "cnonce=\"aaaaaaaa\", response=\"9c26c1f1062d6d5e952fb062a16838e8\"\r\n"),
                         ok}}}},
      {.what = "NTLM on one connection; the domain goes into the type 1",
       .scheme = 4, .user = "Domain\\User", .password = "Password",
       .connections = {{{proxied("Authorization: NTLM TlRMTVNTUAABAAAAB5IIogYABgAoAAAAAAAAAC4"
                                 "AAAAAAAAAAAAAD0RvbWFpbg==\r\n", false),
                         withLength("401 Unauthorized\r\nWWW-Authenticate: ntlm " + type2, "")},
                        {proxied("Authorization: NTLM " + type3("Domain\\User", "Password") +
                                 "\r\n", false), ok}}}},
      {.what = "NTLM: a challenge that announces the close is answered on a new connection",
       .scheme = 4,
       .connections = {{{proxied("Authorization: NTLM " + type1, false),
                         withLength("401 Unauthorized\r\nConnection: close\r\nWWW-Authenticate: "
                                    "NTLM " + type2, "")}},
                       {{proxied("Authorization: NTLM " + type3("u", "p") + "\r\n", false), ok}}}},
      {.what = "Negotiate POST: no body until the challenge is answered", .scheme = 5,
       .post = "hello",
       .connections = {{{proxied("Authorization: Negotiate " + type1, false,
                                 "POST", "Content-Length: 0\r\n\r\n"),
                         withLength("401 Unauthorized\r\nWWW-Authenticate: Negotiate " + type2, "")},
                        {proxied("Authorization: Negotiate " + type3("u", "p") + "\r\n", false,
                                 "POST", "Content-Length: 5\r\n\r\nhello"), ok}}}},
      {.what = "a proxy's lower-case ntlm is no challenge", .scheme = 4, .proxy = true,
       .connections = {{{proxied(proxyType1, false), withLength(refused + "ntlm " + type2, "")},
                        {proxied(proxyType1, false), withLength(refused + "NTLM " + type2, "")}}},
       .error = "HTTP protocol error. 407 Proxy Authentication Required."},
  };
  for (const AuthCase& c : cases) playAuth(c);
  auth::setRandomSourceForTesting(nullptr);
}
