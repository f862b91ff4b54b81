// Config: parsing of setting texts, queries, unknown names, and settings of
// every layer stored and read back. (Each setting's default is stated once,
// in the component's setting table.)
#include <string>
#include <vector>

#include "tests/support/component_fixture.h"

namespace {

class ConfigTest : public ComponentTest {};

// A set, then a query of the same (or another) name, and the answer.
struct SetCase {
  const char* set;
  int code;
  const char* queryName;
  const char* answer;
};

TEST_F(ConfigTest, ParsingOfSettingTexts) {
  const std::vector<SetCase> cases = {
      // Booleans: "TRUE", "yes" and "1" in any case; everything else is false.
      {"KeepAlive=yes", 0, "KeepAlive", "True"},
      {"KeepAlive=YES", 0, "KeepAlive", "True"},
      {"KeepAlive=true", 0, "KeepAlive", "True"},
      {"KeepAlive=1", 0, "KeepAlive", "True"},
      {"KeepAlive=on", 0, "KeepAlive", "False"},
      {"KeepAlive=2", 0, "KeepAlive", "False"},
      {"KeepAlive=", 0, "KeepAlive", "False"},
      // Blanks and one pair of double quotes around the value are dropped.
      {"KeepAlive=  \"True\"  ", 0, "KeepAlive", "True"},
      {"UserAgent= \"Agent 7\" ", 0, "UserAgent", "Agent 7"},
      {"UserAgent=\"\"quoted\"\"", 0, "UserAgent", "\"quoted\""},
      {"UserAgent=", 0, "UserAgent", ""},
      // Integers: decimal, or hexadecimal after 0x.
      {"MaxRedirectAttempts=0x10", 0, "MaxRedirectAttempts", "16"},
      {"MaxRedirectAttempts=0X1f", 0, "MaxRedirectAttempts", "31"},
      {"MaxRedirectAttempts=42", 0, "MaxRedirectAttempts", "42"},
      {"MaxRedirectAttempts=-3", 0, "MaxRedirectAttempts", "-3"},
      {"MaxRedirectAttempts=12abc", 0, "MaxRedirectAttempts", "12"},
      {"MaxTransferRate=0x100000000", 0, "MaxTransferRate", "4294967296"},
      {"SSLSecurityFlags=0x80000000", 0, "SSLSecurityFlags", "2147483648"},
      // Names compare without case and may carry an index nobody uses.
      {"keepalive=yes", 0, "KEEPALIVE", "True"},
      {"KeepAlive[3]=yes", 0, "KeepAlive(1)", "True"},
      // Not trimmed: a blank makes another name.
      {" KeepAlive=yes", -1, "KeepAlive", "False"},
      // Unknown names.
      {"NoSuchSetting=1", -1, "KeepAlive", "False"},
      // Settings of layers whose mechanics come later are stored.
      {"SSLEnabledProtocols=0x2800", 0, "SSLEnabledProtocols", "10240"},
      {"UseWinInet=true", 0, "UseWinInet", "True"},
      {"RecordToFile=/tmp/session.txt", 0, "RecordToFile", "/tmp/session.txt"},
      {"FirewallData=opaque", 0, "FirewallData", "opaque"},
      {"FirewallType=3", 0, "FirewallPort", "1080"},
      {"KerberosSPN=HTTP/host", 0, "KerberosSPN", "HTTP/host"},
      {"QOSTrafficType=Voice", 0, "QOSTrafficType", "4"},
      {"QOSTrafficType=control", 0, "QOSTrafficType", "5"},
      {"QOSTrafficType=7", 0, "QOSTrafficType", "7"},
      {"SelectWaitMillis=5", 0, "SelectWaitMillis", "5"},
      {"MaxLineLength=8000", 0, "MaxLineLength", "8000"},
      {"CodePage=1252", 0, "CodePage", "1252"},
      // "TransferredRequest" takes "on"; its query answers the kept text.
      {"TransferredRequest=on", 0, "TransferredRequest", ""},
      // Read-only settings.
      {"WinsockStatus=0", -1, "CodePage", "0"},
      {"BytesTransferred=5", -1, "BytesTransferred", "0"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.set);
    HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
    std::string answer;
    EXPECT_EQ(config(g.h, c.set, &answer), c.code);
    EXPECT_EQ(answer, "");  // a set answers the empty text
    EXPECT_EQ(TessilonSSL_HTTPS_GetLastErrorCode(g.h), c.code);
    EXPECT_EQ(query(g.h, c.queryName), c.answer);
  }
}

TEST_F(ConfigTest, UnknownNameGivesMinusOneWithItsText) {
  HTTPS https;
  for (const char* text : {"NoSuchSetting=1", "NoSuchSetting", "", "=5", "Keep Alive"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(https.Config(text), "");
    EXPECT_EQ(https.GetLastErrorCode(), -1);
    EXPECT_STREQ(https.GetLastError(), "Unknown config setting.");
  }
  EXPECT_EQ(https.Config("WinsockStatus=1"), "");
  EXPECT_EQ(https.GetLastErrorCode(), -1);
  EXPECT_STREQ(https.GetLastError(), "The config setting is read-only.");
}

TEST_F(ConfigTest, AnswerSlotIsOnlyWrittenWhenTheCallerGaveOne) {
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  const char* text = "HTTPVersion";
  void* one[1] = {const_cast<char*>(text)};
  EXPECT_EQ(TessilonSSL_HTTPS_Do(g.h, https_method::Config, 1, one, nullptr), 0);
  EXPECT_EQ(one[0], text);
  void* two[2] = {const_cast<char*>(text), nullptr};
  EXPECT_EQ(TessilonSSL_HTTPS_Do(g.h, https_method::Config, 2, two, nullptr), 0);
  ASSERT_NE(two[1], nullptr);
  EXPECT_STREQ(static_cast<const char*>(two[1]), "1.1");
}

TEST_F(ConfigTest, WideConfigTakesAndAnswersUtf16) {
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  const char16_t* set = u"UserAgent=Agent \u00e9";
  void* argv[2] = {const_cast<char16_t*>(set), nullptr};
  int lengths[2] = {0, 0};
  ASSERT_EQ(TessilonSSL_HTTPS_Do(g.h, https_method::Config + https_method::WideOffset, 2, argv,
                                 lengths),
            0);
  // Stored in the process code page (UTF-8).
  EXPECT_EQ(query(g.h, "UserAgent"), "Agent \xC3\xA9");
  const char16_t* q = u"UserAgent";
  void* argq[2] = {const_cast<char16_t*>(q), nullptr};
  ASSERT_EQ(TessilonSSL_HTTPS_Do(g.h, https_method::Config + https_method::WideOffset, 2, argq,
                                 lengths),
            0);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(argq[1]),
                           static_cast<size_t>(lengths[1])),
            u"Agent \u00e9");
}

}  // namespace
