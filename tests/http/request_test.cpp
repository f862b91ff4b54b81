// The request text, byte for byte, from the component state: header order,
// the Host rules, OtherHeaders, the proxy request line, and the headers of
// request bodies.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/http/http_fixture.h"

using namespace velmora::network::component;

namespace {

class RequestTest : public ComponentTest {
 protected:
  // The header text of a request without body for the URL now set.
  static std::string headerText(RecordingHttps& h, const char* method = "GET") {
    return h.component().requestHeaderText(method, nullptr);
  }
  static std::string bodyHeaderText(RecordingHttps& h, int* code = nullptr) {
    RequestBodyPlan plan;
    int r = h.component().planRequestBody(plan);
    if (code != nullptr) *code = r;
    if (plan.file != nullptr) CloseHandle(plan.file);
    if (r != 0) return std::string();
    return h.component().requestHeaderText("POST", &plan);
  }
};

const std::string kAgent = "User-Agent: TessilonSSL HTTPS Component/1.0\r\n";

}  // namespace

TEST_F(RequestTest, MinimalGet) {
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h/x?y=1");
  EXPECT_EQ(headerText(h), "GET /x?y=1 HTTP/1.1\r\nHost: h\r\n" + kAgent +
                               "Connection: close\r\n\r\n");
}

TEST_F(RequestTest, EveryHeaderInItsOrder) {
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h/p");
  h.SetText(https_prop::OtherHeaders, "X-One: 1\r\nX-Two: 2");
  h.Config("KeepAlive=true");
  h.AddCookie("a", "1");
  h.AddCookie("b", "2");
  h.SetText(https_prop::Range, "100-");
  h.SetText(https_prop::Pragma, "no-cache");
  h.SetText(https_prop::Referer, "http://r/");
  h.SetText(https_prop::IfModifiedSince, "Sat, 01 Jan 2000 00:00:00 GMT");
  h.SetText(https_prop::From, "me@example.test");
  h.SetInteger(https_prop::AllowHTTPCompression, 1);
  h.SetText(https_prop::Accept, "text/html");
  h.Config("ProxyAuthorization=Basic cHJveHk6cHc=");
  h.SetText(https_prop::Authorization, "Bearer token");
  EXPECT_EQ(headerText(h, "HEAD"),
            "HEAD /p HTTP/1.1\r\n"
            "Host: h\r\n"
            "Authorization: Bearer token\r\n"
            "Proxy-Authorization: Basic cHJveHk6cHc=\r\n"
            "Accept: text/html\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "From: me@example.test\r\n" +
                kAgent +
                "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\n"
                "Referer: http://r/\r\n"
                "Pragma: no-cache\r\n"
                "Range: bytes=100-\r\n"
                "Cookie: a=1; b=2\r\n"
                "X-One: 1\r\nX-Two: 2\r\n"
                "\r\n");
}

TEST_F(RequestTest, SettingsShapeTheRequestLineAndHeaders) {
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h/p");
  h.Config("HTTPVersion=1.0");
  h.Config("UserAgent=");
  h.Config("AcceptEncoding=");
  h.SetInteger(https_prop::AllowHTTPCompression, 1);
  EXPECT_EQ(headerText(h), "GET /p HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n");
  // HttpCookies replaces the cookie list as the whole Cookie value.
  h.AddCookie("a", "1");
  h.Config("HttpCookies=x=y; z=w");
  EXPECT_EQ(headerText(h), "GET /p HTTP/1.0\r\nHost: h\r\nCookie: x=y; z=w\r\n"
                           "Connection: close\r\n\r\n");
  // HTTPMethod replaces the verb of every transfer kind.
  HttpComponent& c = h.component();
  EXPECT_EQ(c.requestMethod(TransferKind::Head), "HEAD");
  EXPECT_EQ(c.requestMethod(TransferKind::Delete), "DELETE");
  h.SetText(https_prop::HTTPMethod, "PROPFIND");
  EXPECT_EQ(c.requestMethod(TransferKind::Get), "PROPFIND");
}

TEST_F(RequestTest, HostLineRules) {
  struct Case {
    const char* url;
    const char* host;  // nullptr: no Host line
    const char* otherHeaders;
  };
  const Case cases[] = {
      {"http://h/", "h", ""},
      {"http://h:80/", "h", ""},
      {"http://h:443/", "h:443", ""},
      {"https://h/", "h", ""},
      {"https://h:8443/", "h:8443", ""},
      {"http://[::1]/", "[::1]", ""},
      {"http://[fe80::1%4]:81/", "[fe80::1]:81", ""},
      {"http://h/", nullptr, "Host: other"},
      {"http://h/", "h", "X-First: 1\r\nHost: other"},
      {"http://h/", "h", "host: other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " / " + c.otherHeaders);
    RecordingHttps h;
    h.SetText(https_prop::URL, c.url);
    h.SetText(https_prop::OtherHeaders, c.otherHeaders);
    std::string text = headerText(h);
    std::string line0 = text.substr(0, text.find("\r\n"));
    EXPECT_EQ(line0, "GET / HTTP/1.1");
    std::string expected = "GET / HTTP/1.1\r\n";
    if (c.host != nullptr) expected += std::string("Host: ") + c.host + "\r\n";
    expected += kAgent + "Connection: close\r\n";
    if (*c.otherHeaders != 0) expected += std::string(c.otherHeaders) + "\r\n";
    expected += "\r\n";
    EXPECT_EQ(text, expected);
  }
}

TEST_F(RequestTest, OtherHeadersEndInExactlyOneLineEnd) {
  const char* inputs[] = {"X-A: 1\r\n\r\n", "X-A: 1\n\n", "X-A: 1\r\n", "X-A: 1",
                          "X-A: 1\r\n\n\r\n"};
  for (const char* in : inputs) {
    SCOPED_TRACE(in);
    RecordingHttps h;
    h.SetText(https_prop::URL, "http://h/");
    h.SetText(https_prop::OtherHeaders, in);
    EXPECT_EQ(headerText(h), "GET / HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                 "Connection: close\r\nX-A: 1\r\n\r\n");
  }
}

TEST_F(RequestTest, ProxyRequestLine) {
  RecordingHttps h;
  h.SetText(https_prop::ProxyServer, "proxy.test");
  h.SetText(https_prop::URL, "http://h:8080/x?y");
  EXPECT_EQ(headerText(h), "GET http://h:8080/x?y HTTP/1.1\r\nHost: h:8080\r\n" + kAgent +
                               "Connection: close\r\n\r\n");
  h.SetText(https_prop::URL, "http://h/x");
  EXPECT_EQ(headerText(h), "GET http://h/x HTTP/1.1\r\nHost: h\r\n" + kAgent +
                               "Connection: close\r\n\r\n");
  // A tunnel (ProxySSL 3) carries the path only.
  h.SetInteger(https_prop::ProxySSL, 3);
  EXPECT_EQ(headerText(h), "GET /x HTTP/1.1\r\nHost: h\r\n" + kAgent +
                               "Connection: close\r\n\r\n");
}

TEST_F(RequestTest, AbsoluteUriCarriesTheUrlAndNoHost) {
  RecordingHttps h;
  h.Config("AbsoluteURI=true");
  h.SetText(https_prop::URL, "http://h:81/x y");
  EXPECT_EQ(headerText(h), "GET http://h:81/x y HTTP/1.1\r\n" + kAgent +
                               "Connection: close\r\n\r\n");
}

TEST_F(RequestTest, BodyHeaders) {
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h/form");
  h.SetText(https_prop::PostData, "a=1&b=2");
  h.SetText(https_prop::ContentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(bodyHeaderText(h), "POST /form HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                   "Connection: close\r\n"
                                   "Content-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: 7\r\n\r\n");
  h.Config("UseChunkedEncoding=true");
  EXPECT_EQ(bodyHeaderText(h), "POST /form HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                   "Connection: close\r\n"
                                   "Content-Type: application/x-www-form-urlencoded\r\n"
                                   "Transfer-Encoding: chunked\r\n\r\n");
}

TEST_F(RequestTest, AttachedFileAddsItsSize) {
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h/up");
  h.SetText(https_prop::PostData, "12345");
  std::string path = dir_->file("upload.bin");
  tw_test::writeFile(path, std::string(1000, 'u'));
  h.SetText(https_prop::AttachedFile, path.c_str());
  EXPECT_EQ(bodyHeaderText(h), "POST /up HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                   "Connection: close\r\nContent-Length: 1005\r\n\r\n");

  h.SetText(https_prop::AttachedFile, dir_->file("missing.bin").c_str());
  int code = 0;
  EXPECT_EQ(bodyHeaderText(h, &code), "");
  EXPECT_EQ(code, 302);
  EXPECT_EQ(h.component().lastErrorText(), "Can't open AttachedFile.");
}

TEST_F(RequestTest, ChallengeResponseSchemesSendTheBodyWithTheRetry) {
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h/p");
  h.SetInteger(https_prop::AuthScheme, 4);  // NTLM: also switches KeepAlive on
  h.SetText(https_prop::PostData, "data");
  h.Config("UseChunkedEncoding=true");
  EXPECT_EQ(bodyHeaderText(h), "POST /p HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                   "Content-Length: 0\r\n\r\n");
  h.Config("PostDataAfterNegotiate=false");
  EXPECT_EQ(bodyHeaderText(h), "POST /p HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                   "Transfer-Encoding: chunked\r\n\r\n");
}

TEST(ChunkFrameTest, SizeInHexThenDataThenLineEnd) {
  EXPECT_EQ(chunkFrame("hello", 5), "5\r\nhello\r\n");
  std::string big(300, 'x');
  EXPECT_EQ(chunkFrame(big.data(), big.size()), "12c\r\n" + big + "\r\n");
}
