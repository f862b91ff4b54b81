// URL application: splitting into the URL properties, credentials, IPv6
// hosts, relative references, and the failures of the connection decision
// that need no connection. (Percent-encoding: the URL fuzz target.)
#include <gtest/gtest.h>

#include "httpclient/protocol/Url.h"
#include "tests/protocol/http_fixture.h"

using namespace velmora::network::component;

namespace {

class UrlTest : public ComponentTest {};

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
  }
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
