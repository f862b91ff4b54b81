// The component as an embedding program uses it: setting texts and queries,
// indexed properties, the last error after each call, the set rules that
// protect the application from stale credentials, schemes and cookies, and
// event delivery to the wrapper's event functions. (Each setting's default
// is stated once, in the setting table.)
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "httpclient/protocol/HttpComponent.h"
#include "platform/text.h"
#include "tests/support/component_fixture.h"
#include "tests/support/recording_https.h"
#include "tests/support/scripted_peer.h"

namespace {

using velmora::network::component::componentFromHandle;
namespace p = https_prop;

// --- settings ---------------------------------------------------------------------------

// A set answers the empty text with its code and error text, then a query of
// the same name (or of the one given) answers.
TEST_F(ComponentTest, ParsingOfSettingTexts) {
  const char* unknown = "Unknown config setting.";
  const char* readOnly = "The config setting is read-only.";
  struct Case {
    std::string set;
    const char* answer;
    const char* query = nullptr;  // nullptr: the name before "="
    const char* error = "";       // not empty: the set fails with -1
  };
  std::vector<Case> cases = {
      // Blanks and one pair of double quotes around the value are dropped.
      {"KeepAlive=  \"True\"  ", "True"}, {"UserAgent= \"Agent 7\" ", "Agent 7"},
      {"UserAgent=\"\"quoted\"\"", "\"quoted\""}, {"UserAgent=", ""},
      // Integers: decimal, or hexadecimal after 0x.
      {"MaxRedirectAttempts=0x10", "16"}, {"MaxRedirectAttempts=0X1f", "31"},
      {"MaxRedirectAttempts=42", "42"}, {"MaxRedirectAttempts=-3", "-3"},
      {"MaxRedirectAttempts=12abc", "12"}, {"MaxTransferRate=0x100000000", "4294967296"},
      {"SSLSecurityFlags=0x80000000", "2147483648"},
      // Names compare without case and may carry an index nobody uses.
      {"keepalive=yes", "True", "KEEPALIVE"}, {"KeepAlive[3]=yes", "True", "KeepAlive(1)"},
      // Traffic types by name, in any case, or by number.
      {"QOSTrafficType=Voice", "4"}, {"QOSTrafficType=control", "5"}, {"QOSTrafficType=7", "7"},
      // The size of the (decrypted) line buffer is at least 1.
      {"MaxLineLength=8000", "8000"}, {"MaxLineLength=100000", "100000"}, {"MaxLineLength=0", "1"},
      // "TransferredRequest" takes "on"; its query answers the kept text.
      {"TransferredRequest=on", ""}, {"WinsockStatus=0", "0", "CodePage", readOnly},
      {"BytesTransferred=5", "0", nullptr, readOnly},
  };
  // Booleans: "TRUE", "yes" and "1" in any case; everything else is false.
  for (std::string v : {"yes", "YES", "true", "1"}) cases.push_back({"KeepAlive=" + v, "True"});
  for (std::string v : {"on", "2", ""}) cases.push_back({"KeepAlive=" + v, "False"});
  // Not trimmed: a blank makes another name.
  for (const char* set : {" KeepAlive=yes", "Keep Alive", "NoSuchSetting=1", "NoSuchSetting", "",
                          "=5"}) {
    cases.push_back({set, "False", "KeepAlive", unknown});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    HTTPS https;
    EXPECT_EQ(https.Config(c.set), "");
    EXPECT_EQ(https.GetLastErrorCode(), *c.error == '\0' ? 0 : -1);
    EXPECT_STREQ(https.GetLastError(), c.error);
    EXPECT_EQ(https.Config(c.query != nullptr ? c.query : c.set.substr(0, c.set.find('='))),
              c.answer);
  }
}

// The flat interface's own forms: the Config answer slot is only written
// when the caller gave one; id + 10000 takes and answers UTF-16 (stored in
// the process code page, UTF-8); id + 20000 takes bytes with their length,
// zeros included.
TEST_F(ComponentTest, FlatInterfaceSlotsAndWideAndRawForms) {
  HTTPS https;
  const char* text = "HTTPVersion";
  void* one[1] = {const_cast<char*>(text)};
  EXPECT_EQ(TessilonSSL_HTTPS_Do(https.handle(), https_method::Config, 1, one, nullptr), 0);
  EXPECT_EQ(one[0], text);
  void* two[2] = {const_cast<char*>(text), nullptr};
  EXPECT_EQ(TessilonSSL_HTTPS_Do(https.handle(), https_method::Config, 2, two, nullptr), 0);
  ASSERT_NE(two[1], nullptr);
  EXPECT_STREQ(static_cast<const char*>(two[1]), "1.1");
  const int wide = https_method::WideOffset;
  void* set[2] = {const_cast<char16_t*>(u"UserAgent=Agent \u00e9"), nullptr};
  int lengths[2] = {0, 0};
  ASSERT_EQ(TessilonSSL_HTTPS_Do(https.handle(), https_method::Config + wide, 2, set, lengths), 0);
  EXPECT_EQ(https.Config("UserAgent"), "Agent \xC3\xA9");
  void* query[2] = {const_cast<char16_t*>(u"UserAgent"), nullptr};
  ASSERT_EQ(TessilonSSL_HTTPS_Do(https.handle(), https_method::Config + wide, 2, query, lengths),
            0);
  ASSERT_NE(query[1], nullptr);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(query[1]), static_cast<size_t>(lengths[1])),
            u"Agent \u00e9");
  void* cookie[2] = {const_cast<char16_t*>(u"n\u00e9"), const_cast<char16_t*>(u"v")};
  const int addCookie = https_method::AddCookie + wide;
  ASSERT_EQ(TessilonSSL_HTTPS_Do(https.handle(), addCookie, 2, cookie, nullptr), 0);
  EXPECT_EQ(https.GetText(p::CookieName, 0), "n\xC3\xA9");
  ASSERT_EQ(https.SetBytes(p::PostData, "a\0b", 3), 0);
  EXPECT_EQ(https.GetText(p::PostData), std::string("a\0b", 3));
}

// --- indexed properties -----------------------------------------------------------------
// The index is checked first: out of range gives 432 from Set, the empty text
// (with last error 432) from Get, and 280 from CheckIndex.

// A cookie index is valid from 0 to CookieCount - 1.
TEST_F(ComponentTest, CookieIndexBounds) {
  const std::pair<int, int> cases[] = {{0, 0}, {0, -1}, {2, 0},    {2, 1},
                                       {2, 2}, {2, -1}, {2, 1000}, {3, 2}};
  for (const auto& [cookies, index] : cases) {
    SCOPED_TRACE(std::to_string(cookies) + " cookies, index " + std::to_string(index));
    const bool valid = index >= 0 && index < cookies;
    HTTPS https;
    ASSERT_EQ(https.SetInteger(p::CookieCount, cookies), 0);
    for (int id : {p::CookieDomain, p::CookieExpiration, p::CookieName, p::CookiePath,
                   p::CookieSecure, p::CookieValue}) {
      SCOPED_TRACE(id);
      EXPECT_EQ(https.CheckIndex(id, index), valid ? 0 : 280);
      https.SetText(p::Accept, "clear the last error");
      if (id == p::CookieSecure) {
        EXPECT_EQ(https.GetInteger(id, index), 0);
      } else {
        EXPECT_NE(TessilonSSL_HTTPS_Get(https.handle(), id, index, nullptr), nullptr);
        EXPECT_EQ(https.GetText(id, index), "");
      }
      EXPECT_EQ(https.GetLastErrorCode(), valid ? 0 : 432);
      EXPECT_STREQ(https.GetLastError(), valid ? "" : "Invalid cookie index (out of range).");
    }
    for (int id : {p::CookieName, p::CookieValue}) {
      EXPECT_EQ(https.SetText(id, "v", index), valid ? 0 : 432);
      EXPECT_EQ(https.GetLastErrorCode(), valid ? 0 : 432);
      EXPECT_EQ(https.GetText(id, index), valid ? "v" : "");
    }
  }
}

// A parsed-header index equal to the count is out of range; parsed headers
// and some cookie fields are read-only; shrinking CookieCount drops the last
// records.
TEST_F(ComponentTest, OtherIndexAndReadOnlyRules) {
  HTTPS https;
  ASSERT_EQ(https.GetInteger(p::ParsedHeaderCount), 0);
  for (int id : {p::ParsedHeaderField, p::ParsedHeaderValue}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(https.GetText(id, 0), "");
    EXPECT_EQ(https.GetLastErrorCode(), 432);
    EXPECT_EQ(https.GetWideText(id, 0), u"");
    EXPECT_EQ(https.GetLastErrorCode(), 432);
    EXPECT_EQ(https.CheckIndex(id, 0), 280);
    EXPECT_EQ(https.SetText(id, "x", 0), -1);
  }
  https.SetInteger(p::CookieCount, 1);
  for (int id : {p::CookieDomain, p::CookieExpiration, p::CookiePath, p::CookieSecure}) {
    EXPECT_EQ(https.SetText(id, "x", 0), -1) << id;
    EXPECT_STREQ(https.GetLastError(), "The property is read-only.");
  }
  https.AddCookie("a", "1");
  https.SetInteger(p::CookieCount, 1);
  EXPECT_EQ(https.GetText(p::CookieName, 0), "");
  EXPECT_EQ(https.CheckIndex(p::CookieName, 1), 280);
}

// --- last error -------------------------------------------------------------------------

// Each call's result becomes the last error, starting from a failure so that
// clearing is seen too; a call without a text of its own gets the
// transport's text for its code. The Internet-library path checks the URL
// on its worker before it needs the library. Every call
// leaves the handle idle.
TEST_F(ComponentTest, CompletionAfterSetAndDo) {
  struct Case {
    const char* what;
    std::function<int(HTTPS&)> call;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"unknown property", [](HTTPS& h) { return h.SetText(77, "x"); }, -1,
       "[-1] (no description available)"},
      {"unknown method",
       [](HTTPS& h) { return TessilonSSL_HTTPS_Do(h.handle(), 42, 0, nullptr, nullptr); }, -1,
       "[-1] (no description available)"},
      {"read-only property", [](HTTPS& h) { return h.SetText(p::StatusLine, "x"); }, -1,
       "The property is read-only."},
      {"successful set", [](HTTPS& h) { return h.SetText(p::Accept, "*/*"); }, 0, ""},
      {"add cookie", [](HTTPS& h) { return h.AddCookie("n", "v"); }, 0, ""},
      {"reset", [](HTTPS& h) { return h.Reset(); }, 0, ""},
      {"interrupt while idle", [](HTTPS& h) { return h.Interrupt(); }, 0, ""},
      {"Connected = 1 without a host", [](HTTPS& h) { return h.SetInteger(p::Connected, 1); },
       102, "The RemoteHost address is invalid (0.0.0.0)."},
      {"Internet-library path without a server",
       [](HTTPS& h) {
         h.Config("UseWinInet=true");
         return h.Post("");
       },
       152, "No server specified in URL"},
      {"SSLAcceptServerCert that is no PEM",
       [](HTTPS& h) { return h.SetText(p::SSLAcceptServerCert, "-----BEGIN"); }, 280,
       "Failed to decode PEM file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HTTPS https;
    ASSERT_EQ(https.Config("Nope"), "");
    ASSERT_EQ(https.GetLastErrorCode(), -1);
    EXPECT_EQ(c.call(https), c.code);
    EXPECT_EQ(https.GetLastErrorCode(), c.code);
    ASSERT_NE(https.GetLastError(), nullptr);
    EXPECT_STREQ(https.GetLastError(), c.text);
    EXPECT_EQ(https.GetInteger(p::Idle), 1);
  }
}

// --- set rules --------------------------------------------------------------------------

// Changing AuthScheme clears User, Password and Authorization (which only
// schemes 2 and 6 keep when it is set); setting the same value keeps them; 4
// and 5 switch KeepAlive on. For the proxy, a change to 3 clears ProxyUser
// and ProxyPassword, any change clears ProxyAuthorization, and 4 switches
// KeepAlive on.
TEST_F(ComponentTest, SchemeChangeClearsCredentials) {
  struct Case {
    bool proxy;
    int from, to;
    bool withAuthorization;  // set before the change
    bool credentialsCleared, authorizationCleared;
    const char* keepAlive = "False";
  };
  const Case cases[] = {
      {false, 0, 1, false, true, true},   {false, 0, 0, false, false, true},
      {false, 1, 1, false, false, true},  {false, 0, 3, false, true, true},
      {false, 0, 4, false, true, true, "True"}, {false, 0, 5, false, true, true, "True"},
      {false, 4, 4, false, false, true, "True"}, {false, 2, 2, true, false, false},
      {false, 2, 0, true, true, true},    {false, 6, 6, true, false, false},
      {false, 6, 1, true, true, true},    {false, 2, 5, true, true, true, "True"},
      {true, 0, 3, true, true, true},     {true, 0, 1, true, false, true},
      {true, 0, 0, true, false, false},   {true, 3, 3, true, false, false},
      {true, 0, 4, true, false, true, "True"}, {true, 1, 5, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.proxy ? "proxy " : "") + std::to_string(c.from) + " -> " +
                 std::to_string(c.to));
    HTTPS https;
    const int scheme = c.proxy ? p::ProxyAuthScheme : p::AuthScheme;
    const int user = c.proxy ? p::ProxyUser : p::User;
    const int password = c.proxy ? p::ProxyPassword : p::Password;
    auto authorization = [&] {
      return c.proxy ? https.Config("ProxyAuthorization") : https.GetText(p::Authorization);
    };
    ASSERT_EQ(https.SetInteger(scheme, c.from), 0);
    if (!c.proxy) https.Config("KeepAlive=False");
    ASSERT_EQ(https.SetText(user, "alice"), 0);
    ASSERT_EQ(https.SetText(password, "secret"), 0);
    if (c.withAuthorization && c.proxy) https.Config("ProxyAuthorization=Basic cHU6cHA=");
    if (c.withAuthorization && !c.proxy) {
      ASSERT_EQ(https.SetText(p::Authorization, "Basic cHU6cHA="), 0);
    }
    ASSERT_EQ(https.GetInteger(scheme), c.from);
    ASSERT_EQ(https.SetInteger(scheme, c.to), 0);
    EXPECT_EQ(https.GetInteger(scheme), c.to);
    EXPECT_EQ(https.GetText(user), c.credentialsCleared ? "" : "alice");
    EXPECT_EQ(https.GetText(password), c.credentialsCleared ? "" : "secret");
    EXPECT_EQ(authorization(), c.authorizationCleared ? "" : "Basic cHU6cHA=");
    EXPECT_EQ(https.Config("KeepAlive"), c.keepAlive);
  }
}

// A new server or port drops the received cookies and keeps the ones the
// application added, unless DontClearCookiesOnUrlChange is on. Records made
// by growing CookieCount count as received ones. AddCookie updates the
// record with the same name, ignoring case.
TEST_F(ComponentTest, NewServerOrPortDropsReceivedCookies) {
  const std::vector<std::string> all = {"mine", "got1", "got2"}, added = {"mine"};
  struct Case {
    const char* what;
    const char* server;  // nullptr: the port changes
    int port;
    bool dontClear;
    std::vector<std::string> namesAfter;
  };
  const Case cases[] = {
      {"other server", "b.example", 0, false, added},
      {"same server, other case", "A.EXAMPLE", 0, false, all},
      {"other port", nullptr, 8443, false, added},
      {"same port", nullptr, 443, false, all},
      {"other server, kept", "b.example", 0, true, all},
      {"other port, kept", nullptr, 81, true, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HTTPS https;
    ASSERT_EQ(https.SetText(p::URLServer, "a.example"), 0);
    ASSERT_EQ(https.AddCookie("mine", "0"), 0);
    ASSERT_EQ(https.SetInteger(p::CookieCount, 3), 0);
    ASSERT_EQ(https.SetText(p::CookieName, "got1", 1), 0);
    ASSERT_EQ(https.SetText(p::CookieName, "got2", 2), 0);
    ASSERT_EQ(https.AddCookie("MINE", "1"), 0);
    if (c.dontClear) https.Config("DontClearCookiesOnUrlChange=true");
    if (c.server != nullptr) {
      ASSERT_EQ(https.SetText(p::URLServer, c.server), 0);
    } else {
      ASSERT_EQ(https.SetInteger(p::URLPort, c.port), 0);
    }
    std::vector<std::string> names;
    for (int i = 0; i < https.GetInteger(p::CookieCount); ++i) {
      names.push_back(https.GetText(p::CookieName, i));
    }
    EXPECT_EQ(names, c.namesAfter);
    EXPECT_EQ(https.GetText(p::CookieValue, 0), "1");
    EXPECT_EQ(https.GetText(p::CookieDomain, 0), "");
    EXPECT_EQ(https.GetInteger(p::CookieSecure, 0), 0);
  }
}

// As a property or a setting: FirewallType installs its default port, so a
// port set before is lost; Authorization moves AuthScheme to 2 unless it is
// 2 or 6, and keeps the credentials.
TEST_F(ComponentTest, FirewallTypeAndAuthorizationMoveAnotherField) {
  const int ports[] = {0, 80, 1080, 1080, 80, 80, 80, 0};
  for (bool asSetting : {false, true}) {
    for (int value = 0; value < 8; ++value) {
      SCOPED_TRACE(std::to_string(value) + (asSetting ? " setting" : " property"));
      HTTPS https;
      https.SetInteger(p::FirewallPort, 3128);
      https.SetInteger(p::AuthScheme, value % 7);
      https.SetText(p::User, "bob");
      if (asSetting) {
        EXPECT_EQ(https.Config("FirewallType=" + std::to_string(value)), "");
        EXPECT_EQ(https.Config("Authorization=Token xyz"), "");
      } else {
        ASSERT_EQ(https.SetInteger(p::FirewallType, value), 0);
        ASSERT_EQ(https.SetText(p::Authorization, "Token xyz"), 0);
      }
      EXPECT_EQ(https.GetInteger(p::FirewallPort), ports[value]);
      https.SetInteger(p::FirewallPort, 3128);
      EXPECT_EQ(https.GetInteger(p::FirewallPort), 3128);
      EXPECT_EQ(https.GetInteger(p::AuthScheme), value % 7 == 6 ? 6 : 2);
      EXPECT_EQ(https.GetText(p::Authorization), "Token xyz");
      EXPECT_EQ(https.GetText(p::User), "bob");
    }
  }
}

// A property and a setting of one field. Timeout is given in seconds and kept
// in milliseconds: a huge number of seconds saturates instead of wrapping
// into a negative (connect-only) timeout.
TEST_F(ComponentTest, PropertyAndSettingShareTheirField) {
  HTTPS https;
  ASSERT_EQ(https.SetLong(p::TransferredDataLimit, 5000000000LL), 0);
  EXPECT_EQ(https.Config("MaxTransferredData"), "5000000000");
  https.Config("TransferredDataLimit=0x10");
  EXPECT_EQ(https.GetLong(p::TransferredDataLimit), 16);
  https.Config("FollowRedirects=2");
  EXPECT_EQ(https.GetInteger(p::FollowRedirects), 2);
  https.SetText(p::LocalFile, "/tmp/page");
  EXPECT_EQ(https.Config("LocalFile"), "/tmp/page");
  https.Config("ProxyPort=3128");
  EXPECT_EQ(https.GetInteger(p::ProxyPort), 3128);
  ASSERT_EQ(https.SetInteger(p::Timeout, 30), 0);
  EXPECT_EQ(https.GetInteger(p::Timeout), 30);
  https.SetInteger(p::Timeout, 3000000);
  EXPECT_GT(https.GetInteger(p::Timeout), 0);
  https.SetInteger(p::Timeout, -1);
  EXPECT_EQ(https.GetInteger(p::Timeout), -1);
}

// Reset empties the request properties, the credentials and the cookies and
// returns URLScheme and URLPort to https and 443 (an empty URL resets the URL
// properties: the URL table); the Internet-library path's Reset keeps
// GetOn302Redirect.
TEST_F(ComponentTest, ResetClearsRequestState) {
  const int cleared[] = {p::PostData, p::ContentType,  p::User,          p::Password,
                         p::ProxyUser, p::ProxyPassword, p::Accept,      p::From,
                         p::IfModifiedSince, p::Referer, p::Pragma,     p::OtherHeaders,
                         p::AttachedFile, p::LocalFile,  p::URLServer,   p::URLPath};
  for (bool winInet : {false, true}) {
    SCOPED_TRACE(winInet);
    HTTPS https;
    if (winInet) https.Config("UseWinInet=true");
    for (int id : cleared) ASSERT_EQ(https.SetText(id, "value"), 0) << id;
    https.SetText(p::Authorization, "A");
    https.Config("ProxyAuthorization=P");
    https.Config("GetOn302Redirect=true");
    https.SetText(p::URLScheme, "http");
    https.SetInteger(p::URLPort, 8080);
    https.AddCookie("c", "1");
    https.SetText(p::Range, "100-");  // not part of Reset
    ASSERT_EQ(https.Reset(), 0);
    for (int id : cleared) EXPECT_EQ(https.GetText(id), "") << id;
    EXPECT_EQ(https.GetText(p::Authorization), "");
    EXPECT_EQ(https.Config("ProxyAuthorization"), "");
    EXPECT_EQ(https.Config("GetOn302Redirect"), winInet ? "True" : "False");
    EXPECT_EQ(https.GetInteger(p::CookieCount), 0);
    EXPECT_EQ(https.GetText(p::Range), "100-");
    EXPECT_EQ(https.GetInteger(p::Idle), 1);
    EXPECT_EQ(https.GetText(p::URLScheme), "https");
    EXPECT_EQ(https.GetInteger(p::URLPort), 443);
  }
}

// --- events ---------------------------------------------------------------------------
// Raised through the component object's delivery operations, as the layers
// raise them, or by a connect through the Connected property. A handler
// answering -10000 gets the event again in UTF-16 through the wide-text
// dispatcher.

// The shared recorder, and the events only these tests raise. Handlers
// answer -10000 for the ids in refire and, when acceptAnswer >= 0, write it
// into Accept (also of a wide event).
class RecordingHttps : public tw_test::RecordingHttps {
 public:
  std::vector<int> refire;
  int acceptAnswer = -1;

  int again(int id) const {
    return std::count(refire.begin(), refire.end(), id) ? https_event::RefireWide : 0;
  }
  int note(int id, const std::string& text) {
    events.push_back(text);
    return again(id);
  }
  int note(const char* event, int code, const char* text) {
    return note(0, std::string(event) + " " + std::to_string(code) + " " + text);
  }
  int FireConnected(HTTPSConnectedEventParams* e) override {
    return note("Connected", e->StatusCode, e->Description);
  }
  int FireConnectionStatus(HTTPSConnectionStatusEventParams* e) override {
    return note(e->ConnectionEvent, e->StatusCode, e->Description);
  }
  int FireDisconnected(HTTPSDisconnectedEventParams* e) override {
    return note("Disconnected", e->StatusCode, e->Description);
  }
  int FireHeader(HTTPSHeaderEventParams* e) override {
    EXPECT_EQ(e->reserved, 0);
    tw_test::RecordingHttps::FireHeader(e);
    return again(https_event::Header);
  }
  int FireRedirect(HTTPSRedirectEventParams* e) override {
    if (acceptAnswer >= 0) e->Accept = acceptAnswer;
    return note(https_event::Redirect, std::string("Redirect ") + e->Location);
  }
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override {
    if (acceptAnswer >= 0) e->Accept = acceptAnswer;
    return note(https_event::SSLServerAuthentication,
                "Cert " + std::string(e->CertEncoded, static_cast<size_t>(e->lenCertEncoded)) +
                    " " + e->CertSubject + " " + e->Status);
  }
  // "Wide <id> <argc>" and the texts (as UTF-8) of the events refired here.
  int FireWideEvent(int id, int argc, void* argv[], int lengths[]) override {
    std::string text = "Wide " + std::to_string(id) + " " + std::to_string(argc);
    const std::vector<int> slots = id == 10006   ? std::vector{0, 1}
                                   : id == 10007 ? std::vector{0}
                                                 : std::vector{1, 2, 3};
    for (int slot : slots) {
      const auto* wide = static_cast<const char16_t*>(argv[slot]);
      text += "|" + tw_platform::utf16ToUtf8({wide, static_cast<size_t>(lengths[slot])});
    }
    if (acceptAnswer >= 0 && id != 10006) {
      argv[id == 10007 ? 1 : 4] = reinterpret_cast<void*>(static_cast<intptr_t>(acceptAnswer));
    }
    return note(0, text);
  }
};

// The UTF-16 forms use the code page: a property set and read in UTF-16, and
// a Header event given again in UTF-16 to a handler answering -10000.
TEST_F(ComponentTest, Utf16FormsUseTheCodePage) {
  struct Case {
    int codePage;
    std::u16string wide;
    std::string narrow;
  };
  const Case cases[] = {
      {0, u"caf\u00e9 \u20ac", "caf\xC3\xA9 \xE2\x82\xAC"}, {65001, u"\u00fc", "\xC3\xBC"},
      {28591, u"caf\u00e9", "caf\xE9"}, {1252, u"\u20ac 5", "\x80 5"},
      {28591, u"\u20ac", "?"},  // not in Latin-1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    RecordingHttps https;
    https.Config("CodePage=" + std::to_string(c.codePage));
    ASSERT_EQ(https.SetWideText(p::Referer, c.wide), 0);
    EXPECT_EQ(https.GetText(p::Referer), c.narrow);
    const std::u16string back = c.narrow == "?" ? u"?" : c.wide;
    EXPECT_EQ(https.GetWideText(p::Referer), back);
    https.refire = {https_event::Header};
    componentFromHandle(https.handle())->fireHeader("X-Name", c.narrow);
    const std::vector<std::string> expected = {"Header X-Name|" + c.narrow,
                                               "Wide 10006 2|X-Name|" + tw_platform::utf16ToUtf8(back)};
    EXPECT_EQ(https.events, expected);
  }
}

// The Redirect and SSLServerAuthentication handlers' Accept is taken back;
// without a callback nothing is delivered and Accept keeps its preset.
TEST_F(ComponentTest, AcceptIsCopiedBackFromTheNarrowAndTheWideHandler) {
  struct Case {
    bool refire;
    int answer;
    bool preset;
    bool expected;
  };
  const Case cases[] = {
      {false, 1, false, true}, {false, 0, true, false}, {true, 1, false, true},
      {true, 0, true, false},  {false, -1, true, true}, {false, -1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.refire) + " " + std::to_string(c.answer));
    RecordingHttps https;
    https.acceptAnswer = c.answer;
    if (c.refire) https.refire = {https_event::Redirect, https_event::SSLServerAuthentication};
    auto* comp = componentFromHandle(https.handle());
    const std::string cert("D\0R", 3);  // DER bytes, NULs included
    EXPECT_EQ(comp->fireRedirect("http://127.0.0.1/next", c.preset), c.expected);
    EXPECT_EQ(comp->fireSSLServerAuthentication(cert, "CN=a", "CN=b", "OK", c.preset) != 0,
              c.expected);
    ASSERT_EQ(https.events.size(), c.refire ? 4u : 2u);
    EXPECT_EQ(https.events[0], "Redirect http://127.0.0.1/next");
    EXPECT_EQ(https.events[c.refire ? 2 : 1], "Cert " + cert + " CN=a OK");
  }
  std::unique_ptr<void, decltype(&TessilonSSL_HTTPS_Destroy)> handle(
      TessilonSSL_HTTPS_Create(nullptr, nullptr), &TessilonSSL_HTTPS_Destroy);
  auto* c = componentFromHandle(handle.get());
  c->fireHeader("A", "B");
  EXPECT_FALSE(c->fireRedirect("x", false));
  EXPECT_EQ(c->fireSSLServerAuthentication("", "", "", "", true), 1);
}

// Refused connects and the target checks are tested on the engine itself.
TEST_F(ComponentTest, ConnectedPropertyConnectsAndDisconnectsPlainHttp) {
  tw_test::ScriptedPeer peer(tw_test::PeerScript{tw_test::PeerStep::waitFor("never", 3000)});
  RecordingHttps https;
  ASSERT_EQ(https.SetText(p::URLScheme, "http"), 0);
  ASSERT_EQ(https.SetText(p::URLServer, "127.0.0.1"), 0);
  ASSERT_EQ(https.SetInteger(p::URLPort, peer.port()), 0);
  EXPECT_EQ(https.SetInteger(p::Connected, 1), 0);
  EXPECT_EQ(https.GetInteger(p::Connected), 1);
  EXPECT_EQ(https.DoEvents(), 0);
  EXPECT_NE(https.Config("SocketHandle"), "-1");
  EXPECT_EQ(https.GetText(p::LocalHost), "127.0.0.1");
  EXPECT_EQ(https.SetInteger(p::Connected, 0), 0);
  EXPECT_EQ(https.GetInteger(p::Connected), 0);
  EXPECT_EQ(https.Config("SocketHandle"), "-1");
  EXPECT_EQ(https.events, (std::vector<std::string>{"Remote host connection complete. 0 OK",
                                                 "Connected 0 OK",
                                                 "Remote host disconnected. 0 OK",
                                                 "Disconnected 0 OK"}));
}

}  // namespace
