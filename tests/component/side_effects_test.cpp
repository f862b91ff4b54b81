// Property set rules that protect the application from stale credentials,
// schemes and cookies.
#include <string>
#include <vector>

#include "tests/support/component_fixture.h"

namespace {

class SideEffectsTest : public ComponentTest {};

// Changing AuthScheme clears User, Password and Authorization; setting the
// same value keeps them. 4 and 5 switch KeepAlive on.
TEST_F(SideEffectsTest, AuthSchemeChangeClearsServerCredentials) {
  struct Case {
    int from;
    int to;
    bool withAuthorization;  // only kept by schemes 2 and 6
    bool cleared;
    const char* keepAlive;
  };
  const std::vector<Case> cases = {
      {0, 1, false, true, "False"},  {0, 0, false, false, "False"}, {1, 1, false, false, "False"},
      {0, 3, false, true, "False"},  {0, 4, false, true, "True"},   {0, 5, false, true, "True"},
      {4, 4, false, false, "True"},  {2, 2, true, false, "False"},  {2, 0, true, true, "False"},
      {6, 6, true, false, "False"},  {6, 1, true, true, "False"},   {2, 5, true, true, "True"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    HTTPS https;
    ASSERT_EQ(https.SetInteger(https_prop::AuthScheme, c.from), 0);
    https.Config("KeepAlive=False");
    ASSERT_EQ(https.SetText(https_prop::User, "alice"), 0);
    ASSERT_EQ(https.SetText(https_prop::Password, "secret"), 0);
    if (c.withAuthorization) {
      ASSERT_EQ(https.SetText(https_prop::Authorization, "Bearer abc"), 0);
    }
    ASSERT_EQ(https.GetInteger(https_prop::AuthScheme), c.from);
    ASSERT_EQ(https.SetInteger(https_prop::AuthScheme, c.to), 0);
    EXPECT_EQ(https.GetInteger(https_prop::AuthScheme), c.to);
    EXPECT_EQ(https.GetText(https_prop::User), c.cleared ? "" : "alice");
    EXPECT_EQ(https.GetText(https_prop::Password), c.cleared ? "" : "secret");
    EXPECT_EQ(https.GetText(https_prop::Authorization),
              c.cleared || !c.withAuthorization ? "" : "Bearer abc");
    EXPECT_EQ(https.Config("KeepAlive"), c.keepAlive);
  }
}

// Setting Authorization moves AuthScheme to 2, unless it is 2 or 6, and
// keeps the credentials.
TEST_F(SideEffectsTest, SettingAuthorizationMovesAuthSchemeToCustom) {
  struct Case {
    int scheme;
    int after;
  };
  const std::vector<Case> cases = {{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    HTTPS https;
    https.SetInteger(https_prop::AuthScheme, c.scheme);
    https.SetText(https_prop::User, "bob");
    ASSERT_EQ(https.SetText(https_prop::Authorization, "Token xyz"), 0);
    EXPECT_EQ(https.GetInteger(https_prop::AuthScheme), c.after);
    EXPECT_EQ(https.GetText(https_prop::Authorization), "Token xyz");
    EXPECT_EQ(https.GetText(https_prop::User), "bob");
  }
}

// ProxyAuthScheme: a change to 3 clears ProxyUser and ProxyPassword; any
// change clears ProxyAuthorization; 4 switches KeepAlive on.
TEST_F(SideEffectsTest, ProxyAuthSchemeChangeClearsProxyCredentials) {
  struct Case {
    int from;
    int to;
    bool credentialsCleared;
    bool authorizationCleared;
    const char* keepAlive;
  };
  const std::vector<Case> cases = {
      {0, 3, true, true, "False"},  {0, 1, false, true, "False"}, {0, 0, false, false, "False"},
      {3, 3, false, false, "False"}, {0, 4, false, true, "True"},  {1, 5, false, true, "False"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    HTTPS https;
    https.SetInteger(https_prop::ProxyAuthScheme, c.from);
    https.SetText(https_prop::ProxyUser, "pu");
    https.SetText(https_prop::ProxyPassword, "pp");
    https.Config("ProxyAuthorization=Basic cHU6cHA=");
    ASSERT_EQ(https.SetInteger(https_prop::ProxyAuthScheme, c.to), 0);
    EXPECT_EQ(https.GetText(https_prop::ProxyUser).empty(), c.credentialsCleared);
    EXPECT_EQ(https.GetText(https_prop::ProxyPassword).empty(), c.credentialsCleared);
    EXPECT_EQ(https.Config("ProxyAuthorization").empty(), c.authorizationCleared);
    EXPECT_EQ(https.Config("KeepAlive"), c.keepAlive);
  }
}

// A new server or port drops the received cookies and keeps the ones the
// application added, unless DontClearCookiesOnUrlChange is on. Records made
// by growing CookieCount count as received ones.
TEST_F(SideEffectsTest, NewServerOrPortDropsReceivedCookies) {
  struct Case {
    const char* what;
    int property;
    const char* text;  // for URLServer
    int port;          // for URLPort
    bool dontClear;
    std::vector<std::string> namesAfter;
  };
  const std::vector<Case> cases = {
      {"other server", https_prop::URLServer, "b.example", 0, false, {"mine"}},
      {"same server, other case", https_prop::URLServer, "A.EXAMPLE", 0, false,
       {"mine", "got1", "got2"}},
      {"other port", https_prop::URLPort, nullptr, 8443, false, {"mine"}},
      {"same port", https_prop::URLPort, nullptr, 443, false, {"mine", "got1", "got2"}},
      {"other server, kept", https_prop::URLServer, "b.example", 0, true,
       {"mine", "got1", "got2"}},
      {"other port, kept", https_prop::URLPort, nullptr, 81, true, {"mine", "got1", "got2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HTTPS https;
    ASSERT_EQ(https.SetText(https_prop::URLServer, "a.example"), 0);
    ASSERT_EQ(https.AddCookie("mine", "1"), 0);
    ASSERT_EQ(https.SetInteger(https_prop::CookieCount, 3), 0);
    ASSERT_EQ(https.SetText(https_prop::CookieName, "got1", 1), 0);
    ASSERT_EQ(https.SetText(https_prop::CookieName, "got2", 2), 0);
    if (c.dontClear) https.Config("DontClearCookiesOnUrlChange=true");
    if (c.text != nullptr) {
      ASSERT_EQ(https.SetText(c.property, c.text), 0);
    } else {
      ASSERT_EQ(https.SetInteger(c.property, c.port), 0);
    }
    std::vector<std::string> names;
    for (int i = 0; i < https.GetInteger(https_prop::CookieCount); ++i) {
      names.push_back(https.GetText(https_prop::CookieName, i));
    }
    EXPECT_EQ(names, c.namesAfter);
  }
}

TEST_F(SideEffectsTest, AddCookieUpdatesTheRecordWithTheSameNameIgnoringCase) {
  HTTPS https;
  ASSERT_EQ(https.AddCookie("Session", "1"), 0);
  ASSERT_EQ(https.AddCookie("other", "x"), 0);
  ASSERT_EQ(https.AddCookie("SESSION", "2"), 0);
  ASSERT_EQ(https.GetInteger(https_prop::CookieCount), 2);
  EXPECT_EQ(https.GetText(https_prop::CookieName, 0), "Session");
  EXPECT_EQ(https.GetText(https_prop::CookieValue, 0), "2");
  EXPECT_EQ(https.GetText(https_prop::CookieDomain, 0), "");
  EXPECT_EQ(https.GetInteger(https_prop::CookieSecure, 0), 0);
}

// Timeout is kept in milliseconds: seconds unless TimeoutInMilliseconds, and
// switching the unit keeps the number.
TEST_F(SideEffectsTest, TimeoutUnits) {
  HTTPS https;
  ASSERT_EQ(https.SetInteger(https_prop::Timeout, 30), 0);
  EXPECT_EQ(https.GetInteger(https_prop::Timeout), 30);
  https.Config("TimeoutInMilliseconds=true");
  EXPECT_EQ(https.GetInteger(https_prop::Timeout), 30);
  https.SetInteger(https_prop::Timeout, 1500);
  https.Config("TimeoutInMilliseconds=false");
  EXPECT_EQ(https.GetInteger(https_prop::Timeout), 1500);
  // A huge number of seconds saturates instead of wrapping into a negative
  // (connect-only) timeout.
  https.SetInteger(https_prop::Timeout, 3000000);
  EXPECT_GT(https.GetInteger(https_prop::Timeout), 0);
  https.SetInteger(https_prop::Timeout, -1);
  EXPECT_EQ(https.GetInteger(https_prop::Timeout), -1);
}

// FirewallType installs its default port, so a port set before is lost.
TEST_F(SideEffectsTest, FirewallTypeInstallsItsDefaultPort) {
  struct Case {
    int type;
    int port;
  };
  const std::vector<Case> cases = {{0, 0}, {1, 80}, {2, 1080}, {3, 1080},
                                   {4, 80}, {5, 80}, {6, 80},   {7, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    HTTPS https;
    https.SetInteger(https_prop::FirewallPort, 3128);
    ASSERT_EQ(https.SetInteger(https_prop::FirewallType, c.type), 0);
    EXPECT_EQ(https.GetInteger(https_prop::FirewallPort), c.port);
    https.SetInteger(https_prop::FirewallPort, 3128);
    EXPECT_EQ(https.GetInteger(https_prop::FirewallPort), 3128);
  }
}

TEST_F(SideEffectsTest, PropertyAndSettingShareTheirField) {
  HTTPS https;
  ASSERT_EQ(https.SetLong(https_prop::TransferredDataLimit, 5000000000LL), 0);
  EXPECT_EQ(https.Config("MaxTransferredData"), "5000000000");
  https.Config("TransferredDataLimit=0x10");
  EXPECT_EQ(https.GetLong(https_prop::TransferredDataLimit), 16);
  https.Config("FollowRedirects=2");
  EXPECT_EQ(https.GetInteger(https_prop::FollowRedirects), 2);
  https.SetText(https_prop::LocalFile, "/tmp/page");
  EXPECT_EQ(https.Config("LocalFile"), "/tmp/page");
  https.Config("ProxyPort=3128");
  EXPECT_EQ(https.GetInteger(https_prop::ProxyPort), 3128);
  https.Config("FirewallType=2");
  EXPECT_EQ(https.GetInteger(https_prop::FirewallPort), 1080);
  // Authorization set through Config moves AuthScheme like the property.
  https.Config("Authorization=X");
  EXPECT_EQ(https.GetInteger(https_prop::AuthScheme), 2);
}

// Reset empties the request properties, the credentials and the cookies and
// returns URLScheme and URLPort to https and 443.
TEST_F(SideEffectsTest, ResetClearsRequestState) {
  HTTPS https;
  const int cleared[] = {https_prop::PostData,  https_prop::ContentType,  https_prop::User,
                         https_prop::Password,  https_prop::ProxyUser,    https_prop::ProxyPassword,
                         https_prop::Accept,    https_prop::From,         https_prop::IfModifiedSince,
                         https_prop::Referer,   https_prop::Pragma,       https_prop::OtherHeaders,
                         https_prop::AttachedFile, https_prop::LocalFile, https_prop::URLServer,
                         https_prop::URLPath};
  for (int id : cleared) ASSERT_EQ(https.SetText(id, "value"), 0) << id;
  https.SetText(https_prop::Authorization, "A");
  https.Config("ProxyAuthorization=P");
  https.Config("GetOn302Redirect=true");
  https.SetText(https_prop::URLScheme, "http");
  https.SetInteger(https_prop::URLPort, 8080);
  https.AddCookie("c", "1");
  https.SetText(https_prop::Range, "100-");  // not part of Reset

  ASSERT_EQ(https.Reset(), 0);
  for (int id : cleared) EXPECT_EQ(https.GetText(id), "") << id;
  EXPECT_EQ(https.GetText(https_prop::Authorization), "");
  EXPECT_EQ(https.Config("ProxyAuthorization"), "");
  EXPECT_EQ(https.Config("GetOn302Redirect"), "False");
  EXPECT_EQ(https.GetText(https_prop::URLScheme), "https");
  EXPECT_EQ(https.GetInteger(https_prop::URLPort), 443);
  EXPECT_EQ(https.GetInteger(https_prop::CookieCount), 0);
  EXPECT_EQ(https.GetText(https_prop::Range), "100-");
  EXPECT_EQ(https.GetInteger(https_prop::Idle), 1);
}

TEST_F(SideEffectsTest, KeepAliveTimesSwitchTcpKeepAlive) {
  HTTPS https;
  https.Config("KeepAliveTime=1000");
  EXPECT_EQ(https.Config("TCPKeepAlive"), "True");
  https.Config("KeepAliveTime=0");
  EXPECT_EQ(https.Config("TCPKeepAlive"), "True");  // already on stays on
  https.Config("TCPKeepAlive=false");
  https.Config("KeepAliveInterval=0");
  EXPECT_EQ(https.Config("TCPKeepAlive"), "False");
}

}  // namespace
