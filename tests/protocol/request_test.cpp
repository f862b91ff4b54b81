// The request text, byte for byte, from the component state, one table:
// header order, the Host rules and the proxy request line.
#include <gtest/gtest.h>

#include <functional>

#include "tests/protocol/http_fixture.h"

using namespace velmora::network::component;

namespace {

class RequestTest : public ComponentTest {};

struct RequestCase {
  const char* url = "http://h/";
  const char* other = "";                 // OtherHeaders
  std::vector<std::string> settings = {}; // Config texts
  std::function<void(RecordingHttps&)> setup = nullptr;
  const char* method = "GET";
  std::string expected = "";              // "{agent}" stands for the User-Agent line
};

const std::string kAgent = "User-Agent: TessilonSSL HTTPS Component/1.0\r\n";

// A GET of "/" with the given Host line.
std::string plainGet(const std::string& host) {
  return "GET / HTTP/1.1\r\nHost: " + host + "\r\n{agent}Connection: close\r\n\r\n";
}

}  // namespace

TEST_F(RequestTest, RequestTexts) {
  auto proxy = [](int proxySsl) {
    return [proxySsl](RecordingHttps& h) {
      h.SetText(https_prop::ProxyServer, "proxy.test");
      h.SetInteger(https_prop::ProxySSL, proxySsl);
    };
  };
  const std::vector<RequestCase> cases = {
      {.url = "http://h/x?y=1",
       .expected = "GET /x?y=1 HTTP/1.1\r\nHost: h\r\n{agent}Connection: close\r\n\r\n"},
      {.url = "http://h/p", .other = "X-One: 1\r\nX-Two: 2",
       .settings = {"KeepAlive=true", "ProxyAuthorization=Basic cHJveHk6cHc="},
       .setup = [](RecordingHttps& h) {
         h.AddCookie("a", "1");
         h.AddCookie("b", "2");
         h.SetText(https_prop::Range, "100-");
         h.SetText(https_prop::Pragma, "no-cache");
         h.SetText(https_prop::Referer, "http://r/");
         h.SetText(https_prop::IfModifiedSince, "Sat, 01 Jan 2000 00:00:00 GMT");
         h.SetText(https_prop::From, "me@example.test");
         h.SetInteger(https_prop::AllowHTTPCompression, 1);
         h.SetText(https_prop::Accept, "text/html");
         h.SetText(https_prop::Authorization, "Bearer token");
       },
       .method = "HEAD",
       .expected = "HEAD /p HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer token\r\n"
                   "Proxy-Authorization: Basic cHJveHk6cHc=\r\nAccept: text/html\r\n"
                   "Accept-Encoding: gzip, deflate\r\nFrom: me@example.test\r\n{agent}"
                   "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\nReferer: http://r/\r\n"
                   "Pragma: no-cache\r\nRange: bytes=100-\r\nCookie: a=1; b=2\r\n"
                   "X-One: 1\r\nX-Two: 2\r\n\r\n"},
      {.url = "http://h/p", .settings = {"HTTPVersion=1.0", "UserAgent=", "AcceptEncoding="},
       .setup = [](RecordingHttps& h) { h.SetInteger(https_prop::AllowHTTPCompression, 1); },
       .expected = "GET /p HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n"},
      // The Host line.
      {.expected = plainGet("h")},
      {.url = "http://h:80/", .expected = plainGet("h")},
      {.url = "http://h:443/", .expected = plainGet("h:443")},
      {.url = "https://h/", .expected = plainGet("h")},
      {.url = "https://h:8443/", .expected = plainGet("h:8443")},
      {.url = "http://[::1]/", .expected = plainGet("[::1]")},
      {.url = "http://[fe80::1%4]:81/", .expected = plainGet("[fe80::1]:81")},
      // Through a proxy the request line carries the URL; a tunnel (ProxySSL 3) the path.
      {.url = "http://h:8080/x?y", .setup = proxy(0),
       .expected = "GET http://h:8080/x?y HTTP/1.1\r\nHost: h:8080\r\n{agent}"
                   "Connection: close\r\n\r\n"},
      {.url = "http://h/x", .setup = proxy(0),
       .expected = "GET http://h/x HTTP/1.1\r\nHost: h\r\n{agent}Connection: close\r\n\r\n"},
      {.url = "http://h/x", .setup = proxy(3),
       .expected = "GET /x HTTP/1.1\r\nHost: h\r\n{agent}Connection: close\r\n\r\n"},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " / " + c.other);
    RecordingHttps h;
    h.SetText(https_prop::URL, c.url);
    h.SetText(https_prop::OtherHeaders, c.other);
    for (const std::string& s : c.settings) h.Config(s);
    if (c.setup) c.setup(h);
    std::string expected = c.expected;
    if (size_t at = expected.find("{agent}"); at != std::string::npos) {
      expected.replace(at, 7, kAgent);
    }
    EXPECT_EQ(h.component().requestHeaderText(c.method, nullptr), expected);
  }
}
