// Last error code and text: null handles, completion after Set and Do,
// clearing on success, and the methods whose mechanics are not built yet.
#include <string>
#include <vector>

#include "tests/support/component_fixture.h"

namespace {

class LastErrorTest : public ComponentTest {};

TEST_F(LastErrorTest, NullHandleRules) {
  void* argv[1] = {nullptr};
  EXPECT_EQ(TessilonSSL_HTTPS_Set(nullptr, https_prop::URL, 0, "x", 0), 200);
  EXPECT_EQ(TessilonSSL_HTTPS_Do(nullptr, https_method::Get, 1, argv, nullptr), 200);
  EXPECT_EQ(TessilonSSL_HTTPS_Do(nullptr, 999, 0, nullptr, nullptr), 200);
  EXPECT_EQ(TessilonSSL_HTTPS_CheckIndex(nullptr, https_prop::CookieName, 0), 200);
  EXPECT_EQ(TessilonSSL_HTTPS_GetLastErrorCode(nullptr), 200);
  EXPECT_EQ(TessilonSSL_HTTPS_Get(nullptr, https_prop::URLPort, 0, nullptr), nullptr);
  EXPECT_EQ(TessilonSSL_HTTPS_GetLastError(nullptr), nullptr);
  EXPECT_EQ(TessilonSSL_HTTPS_Destroy(nullptr), 0);
}

// Each call's result becomes the last error; a call without a text of its
// own gets the transport's text for its code.
TEST_F(LastErrorTest, CompletionAfterSetAndDo) {
  struct Case {
    const char* what;
    int (*call)(void* h);
    int code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"unknown property", [](void* h) { return setText(h, 77, "x"); }, -1,
       "[-1] (no description available)"},
      {"unknown method",
       [](void* h) { return TessilonSSL_HTTPS_Do(h, 42, 0, nullptr, nullptr); }, -1,
       "[-1] (no description available)"},
      {"read-only property", [](void* h) { return setText(h, https_prop::StatusLine, "x"); }, -1,
       "The property is read-only."},
      {"unknown setting", [](void* h) { return config(h, "Nope=1"); }, -1,
       "Unknown config setting."},
      {"bad cookie index",
       [](void* h) { return setText(h, https_prop::CookieValue, "v", 3); }, 432,
       "Invalid cookie index (out of range)."},
      {"successful set", [](void* h) { return setText(h, https_prop::Accept, "*/*"); }, 0, ""},
      {"successful query", [](void* h) { return config(h, "KeepAlive"); }, 0, ""},
      {"add cookie",
       [](void* h) {
         void* argv[2] = {const_cast<char*>("n"), const_cast<char*>("v")};
         return TessilonSSL_HTTPS_Do(h, https_method::AddCookie, 2, argv, nullptr);
       },
       0, ""},
      {"reset", [](void* h) { return TessilonSSL_HTTPS_Do(h, https_method::Reset, 0, nullptr, nullptr); },
       0, ""},
      {"interrupt while idle",
       [](void* h) { return TessilonSSL_HTTPS_Do(h, https_method::Interrupt, 0, nullptr, nullptr); },
       0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
    // Start from a failure, so that clearing is seen too.
    ASSERT_EQ(config(g.h, "Nope"), -1);
    EXPECT_EQ(c.call(g.h), c.code);
    EXPECT_EQ(TessilonSSL_HTTPS_GetLastErrorCode(g.h), c.code);
    const char* text = TessilonSSL_HTTPS_GetLastError(g.h);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
  }
}

// Operations that need parts of the component built later fail with a code
// and a text naming the missing part, and leave the handle idle.
TEST_F(LastErrorTest, OperationsOfPartsNotBuiltYetSayWhatIsMissing) {
  struct Case {
    const char* what;
    int (*call)(HTTPS& https);
    const char* text;
  };
  const std::vector<Case> cases = {
      {"Internet-library path", [](HTTPS& h) {
         h.Config("UseWinInet=true");
         return h.Post("");
       },
       "The Internet-library transfer path is not built yet: the transfer is not available."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HTTPS https;
    EXPECT_EQ(c.call(https), 50);
    EXPECT_EQ(https.GetLastErrorCode(), 50);
    EXPECT_STREQ(https.GetLastError(), c.text);
    EXPECT_EQ(https.GetInteger(https_prop::Idle), 1);
  }
}

TEST_F(LastErrorTest, InternetLibraryPathHasNoDelete) {
  HTTPS https;
  https.Config("UseWinInet=true");
  EXPECT_EQ(https.Delete(""), 0);
  EXPECT_EQ(https.GetLastErrorCode(), 0);
  // Its Reset clears the request properties but keeps GetOn302Redirect.
  https.Config("GetOn302Redirect=true");
  https.SetText(https_prop::User, "u");
  EXPECT_EQ(https.Reset(), 0);
  EXPECT_EQ(https.GetText(https_prop::User), "");
  EXPECT_EQ(https.Config("GetOn302Redirect"), "True");
}

TEST_F(LastErrorTest, EmptyUrlResetsTheUrlState) {
  HTTPS https;
  https.SetText(https_prop::URLServer, "h");
  https.SetText(https_prop::URLPath, "/p");
  https.SetText(https_prop::URLScheme, "http");
  https.SetInteger(https_prop::URLPort, 8080);
  EXPECT_EQ(https.SetText(https_prop::URL, ""), 0);
  EXPECT_EQ(https.GetText(https_prop::URLServer), "");
  EXPECT_EQ(https.GetText(https_prop::URLPath), "");
  EXPECT_EQ(https.GetText(https_prop::URLScheme), "https");
  EXPECT_EQ(https.GetInteger(https_prop::URLPort), 443);
}

TEST_F(LastErrorTest, Utf16PropertyValuesUseTheCodePage) {
  struct Case {
    int codePage;
    std::u16string wide;
    std::string narrow;
  };
  const std::vector<Case> cases = {
      {0, u"caf\u00e9 \u20ac", "caf\xC3\xA9 \xE2\x82\xAC"},
      {65001, u"\u00fc", "\xC3\xBC"},
      {28591, u"caf\u00e9", "caf\xE9"},
      {1252, u"\u20ac", "\x80"},
      {28591, u"\u20ac", "?"},  // not in Latin-1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    HTTPS https;
    https.Config("CodePage=" + std::to_string(c.codePage));
    ASSERT_EQ(https.SetWideText(https_prop::Referer, c.wide), 0);
    EXPECT_EQ(https.GetText(https_prop::Referer), c.narrow);
    if (c.narrow != "?") {
      EXPECT_EQ(https.GetWideText(https_prop::Referer), c.wide);
    }
  }
  HTTPS https;
  https.Config("CodePage=99999");
  EXPECT_EQ(https.SetWideText(https_prop::Referer, u"x"), 87);
  EXPECT_STREQ(https.GetLastError(), "The code page 99999 is not supported.");
}

TEST_F(LastErrorTest, WideMethodArgumentsAndRawBytes) {
  HTTPS https;
  void* argv[2] = {const_cast<char16_t*>(u"n\u00e9"), const_cast<char16_t*>(u"v")};
  ASSERT_EQ(TessilonSSL_HTTPS_Do(https.handle(), https_method::AddCookie + https_method::WideOffset,
                                 2, argv, nullptr),
            0);
  EXPECT_EQ(https.GetText(https_prop::CookieName, 0), "n\xC3\xA9");
  // id + 20000 takes bytes with their length, zeros included.
  ASSERT_EQ(https.SetBytes(https_prop::PostData, "a\0b", 3), 0);
  EXPECT_EQ(https.GetText(https_prop::PostData), std::string("a\0b", 3));
}

}  // namespace
