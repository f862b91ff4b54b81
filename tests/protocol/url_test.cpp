// URL application: splitting into the URL properties, credentials, IPv6
// hosts, relative references, percent-encoding, and the failures of the
// connection decision that need no connection.
#include <gtest/gtest.h>

#include "httpclient/protocol/Url.h"
#include "tests/protocol/http_fixture.h"

using namespace velmora::network::component;

namespace {

class UrlTest : public ComponentTest {};

// The URLs are set in order; the last one's split is checked (nullptr: not
// checked).
struct UrlCase {
  std::vector<const char*> urls = {};
  const char* scheme = nullptr;
  const char* server = nullptr;
  int port = 0;
  const char* path = nullptr;
  const char* user = nullptr;
  const char* password = nullptr;
};

void expectText(RecordingHttps& h, int id, const char* want) {
  if (want != nullptr) { EXPECT_EQ(h.GetText(id), want) << id; }
}

}  // namespace

TEST_F(UrlTest, SplittingIntoTheUrlProperties) {
  const UrlCase cases[] = {
      {{"http://h/x"}, "http", "h", 80, "/x", "", ""},
      {{"https://h/x"}, "https", "h", 443, "/x", "", ""},
      {{"HTTP://Host.Example:8080/A/b?c=D"}, "HTTP", "Host.Example", 8080, "/A/b?c=D", "", ""},
      {{"http://user:pw@h:8080/x?y"}, "http", "h", 8080, "/x?y", "user", "pw"},
      {{"http://user@h/"}, "http", "h", 80, "/", "user", ""},
      {{"http://u:p:q@h:81/"}, "http", "h", 81, "/", "u", "p:q"},
      {{"http://h?q=1"}, "http", "h", 80, "/?q=1", "", ""},
      {{"http://h"}, "http", "h", 80, "/", "", ""},
      {{"http://h:8080"}, "http", "h", 8080, "/", "", ""},
      {{"http://[::1]:8080/v6"}, "http", "::1", 8080, "/v6", "", ""},
      {{"http://[fe80::1%4]:81/"}, "http", "fe80::1%4", 81, "/", "", ""},
      {{"http://u:p@[::1]/"}, "http", "::1", 80, "/", "u", "p"},
      {{"//h2/only-authority"}, "https", "h2", 443, "/only-authority", "", ""},
      {{"ftp://files/x"}, "ftp", "files", 443, "/x", "", ""},
      {{"b.html"}, "https", "", 443, "/b.html", "", ""},
      {{"./b.html"}, "https", "", 443, "/b.html", "", ""},
      {{"/abs/path"}, "https", "", 443, "/abs/path", "", ""},
      // A URL without host keeps the server; its port is the scheme default.
      {{"http://h:81/dir/a.html", "b.html"}, nullptr, "h", 80, "/b.html", nullptr, nullptr},
      // The empty URL resets the URL state; the port is the last scheme's default.
      {{"http://u:p@h:81/x", ""}, "https", "", 80, "", nullptr, nullptr},
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
  }
}

TEST_F(UrlTest, RelativeReferencesOfRedirects) {
  // A redirect location is resolved against the current URL.
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://h:81/dir/a.html");
  HttpComponent& c = h.component();
  ASSERT_EQ(c.applyUrl("b.html", true), 0);
  EXPECT_EQ(h.GetText(https_prop::URLPath), "/dir/b.html");
  EXPECT_EQ(h.GetInteger(https_prop::URLPort), 81);
  ASSERT_EQ(c.applyUrl("./c.html?x=1", true), 0);
  EXPECT_EQ(h.GetText(https_prop::URLPath), "/dir/c.html?x=1");
  ASSERT_EQ(c.applyUrl("//other/z", true), 0);
  EXPECT_EQ(h.GetText(https_prop::URLServer), "other");
  EXPECT_EQ(h.GetText(https_prop::URLScheme), "http");
  EXPECT_EQ(h.GetText(https_prop::URLPath), "/z");
}

TEST_F(UrlTest, PercentEncoding) {
  struct Case {
    const char* url;
    const char* encodeUrl;
    const char* encodeQuery;
    const char* path;
  };
  const Case cases[] = {
      {"http://h/a b", "false", "true", "/a b"},
      {"http://h/a b", "true", "true", "/a%20b"},
      {"http://h/a b?c d&e=f", "true", "true", "/a%20b?c%20d&e%3Df"},
      {"http://h/a b?c d&e=f", "true", "false", "/a%20b?c d&e=f"},
      {"http://h/&*-./@_AZaz09~+%", "true", "true", "/&*-./@_AZaz09%7E%2B%25"},
      {"http://h/\x01\x7f\xc3\xa9", "true", "true", "/%01%7F%C3%A9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " EncodeURL=" + c.encodeUrl +
                 " EncodeQueryString=" + c.encodeQuery);
    RecordingHttps h;
    h.Config(std::string("EncodeURL=") + c.encodeUrl);
    h.Config(std::string("EncodeQueryString=") + c.encodeQuery);
    ASSERT_EQ(h.SetText(https_prop::URL, c.url), 0);
    EXPECT_EQ(h.GetText(https_prop::URLPath), c.path);
    EXPECT_EQ(h.GetText(https_prop::URL), c.url);  // kept as given
  }
  // Redirect locations follow EncodeRedirectLocation, not EncodeURL.
  RecordingHttps h;
  h.Config("EncodeURL=true");
  h.SetText(https_prop::URL, "http://h/d/a");
  ASSERT_EQ(h.component().applyUrl("x y", true), 0);
  EXPECT_EQ(h.GetText(https_prop::URLPath), "/d/x y");
  h.Config("EncodeRedirectLocation=true");
  ASSERT_EQ(h.component().applyUrl("x y", true), 0);
  EXPECT_EQ(h.GetText(https_prop::URLPath), "/d/x%20y");
}

TEST_F(UrlTest, BracketedHostSwitchesTheTransportToIpv6) {
  RecordingHttps h;
  EXPECT_EQ(h.Config("UseIPv6"), "False");
  h.SetText(https_prop::URL, "http://127.0.0.1/");
  EXPECT_EQ(h.Config("UseIPv6"), "False");
  h.SetText(https_prop::URL, "http://[::1]/");
  EXPECT_EQ(h.Config("UseIPv6"), "True");
}

TEST_F(UrlTest, ConnectionDecisionFailuresSendNothing) {
  struct Case {
    const char* what;
    const char* url;
    int proxyAuthScheme;
    const char* proxy;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"no server", "/only/a/path", 0, "", 152, "No server specified in URL"},
      {"unknown scheme", "ftp://files/x", 0, "", 153, "Specified URLScheme (ftp) is invalid."},
      {"tunnel with a custom proxy scheme", "https://h/", 2, "proxy.test", 153,
       "Unknown proxy authentication scheme."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingHttps h;
    h.SetInteger(https_prop::ProxyAuthScheme, c.proxyAuthScheme);
    h.SetText(https_prop::ProxyServer, c.proxy);
    EXPECT_EQ(h.Get(c.url), c.code);
    EXPECT_EQ(h.GetLastErrorCode(), c.code);
    EXPECT_STREQ(h.GetLastError(), c.text);
    EXPECT_EQ(h.GetInteger(https_prop::Idle), 1);
    EXPECT_TRUE(h.events.empty());
  }
}
