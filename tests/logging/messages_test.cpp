// The message table the executables carry, and the formatting rules.
#include "platform/errors.h"
#include "platform/message_table.h"
#include "platform/text.h"
#include "tests/logging/support.h"

using tw_logging_test::u8;

namespace {

struct Expected {
  DWORD id;
  const char* english;
  const char* german;
};

// The texts exactly as the program must carry them (CR LF is added by the build).
const Expected kTable[] = {
    {1, "Tarnwick", "Tarnwick"},
    {2, "Kestrelby", "Kestrelby"},
    {1000, "Unable to connect to \"%1\" due to error \"%2\" (%3).",
     "Eine Verbindung zu \"%1\" konnte wegen Fehler \"%2\" (%3) nicht aufgebaut werden."},
    {1001, "The checksum of URL \"%1\" was initialized to \"%2\".",
     "Die Pruefsumme der URL \"%1\" wurde auf \"%2\" initialisiert."},
    {1002, "The checksum of URL \"%1\" changed to \"%2\".",
     "Die Pruefsumme der URL \"%1\" aenderte sich auf \"%2\"."},
    {1003, "The checksum of URL \"%1\" did not change.",
     "Die Pruefsumme der URL \"%1\" hat sich nicht geaendert."},
    {1010, "Pattern \"%1\" was found in URL \"%2\".", "Suchmuster \"%1\" wurde in URL \"%2\" gefunden."},
    {1011, "Pattern \"%1\" was not found in URL \"%2\".",
     "Suchmuster \"%1\" wurde nicht in URL \"%2\" gefunden."},
    {1100, "Connection:%tOK%nDatabase Type:%t%1%nTime Elapsed:%t%2%n",
     "Verbindung:%tOK%nDatabase Typ:%t%1%nAbgelaufene Zeit:%t%2%n"},
    {1101, "Connection:%tOK%nDatabase Type:%t%1%nTime Elapsed:%t%2%nSQL Query:%t\"%3\"%n",
     "Verbindung:%tOK%nDatabase Typ:%t%1%nAbgelaufene Zeit:%t%2%nSQL Befehl:%t\"%3\"%n"},
    {1102, "Connection:%tERROR%nReason:%t%t%1%n", "Verbindung:%tFEHLER%nFehlerursache:%t%1%n"},
    {1103,
     "Connection:%tOK%nDatabase Type:%t%1%nTime Elapsed:%t%2%nSQL Query:%t\"%3\" -> "
     "ERROR%nFailure Reason:%t%4%n",
     "Verbindung:%tOK%nDatabase Typ:%t%1%nAbgelaufene Zeit:%t%2%nSQL Befehl:%t\"%3\" -> "
     "ERROR%nFehlerursache:%t%4%n"},
};

TEST(MessageTable, ProgramCarriesExactlyTheEnglishAndGermanTexts) {
  tw_platform::MessageTable table;
  const std::u16string exe = tw_platform::utf8ToUtf16(tw_test::programPath("TARNWICK_BIN"));
  ASSERT_TRUE(tw_platform::loadModuleMessageTable(exe, table)) << GetLastError();
  ASSERT_EQ(table.size(), 2u);
  for (WORD lang : {WORD{0x409}, WORD{0x407}}) {
    ASSERT_EQ(table[lang].size(), std::size(kTable));
    for (const Expected& e : kTable) {
      const std::string want = std::string(lang == 0x409 ? e.english : e.german) + "\r\n";
      EXPECT_EQ(u8(table[lang][e.id]), want) << e.id << " " << lang;
    }
  }
}

TEST(MessageTable, FormatsWithInsertsTabsAndLineBreaks) {
  tw_platform::MessageTable table;
  ASSERT_TRUE(tw_platform::loadModuleMessageTable(
      tw_platform::utf8ToUtf16(tw_test::programPath("TARNWICK_BIN")), table));
  std::u16string out;
  ASSERT_TRUE(tw_platform::formatTableMessage(table, 1000, 0x409, {u"http://h/", u"Timeout.", u"7"},
                                              out));
  EXPECT_EQ(u8(out), "Unable to connect to \"http://h/\" due to error \"Timeout.\" (7).\r\n");
  ASSERT_TRUE(tw_platform::formatTableMessage(table, 1102, 0x407, {u"kein Netz"}, out));
  EXPECT_EQ(u8(out), "Verbindung:\tFEHLER\r\nFehlerursache:\tkein Netz\r\n\r\n");
  ASSERT_TRUE(tw_platform::formatTableMessage(table, 2, 0, {}, out));
  EXPECT_EQ(u8(out), "Kestrelby\r\n");

  EXPECT_FALSE(tw_platform::formatTableMessage(table, 1004, 0x409, {}, out));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_FALSE(tw_platform::formatTableMessage(table, 1000, 0x40C, {}, out));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(MessageFormatting, EscapesFollowTheMessageRules) {
  std::vector<std::u16string> inserts;
  for (int i = 1; i <= 12; ++i) inserts.push_back(u"s" + tw_platform::utf8ToUtf16(std::to_string(i)));
  EXPECT_EQ(u8(tw_platform::expandMessage(u"%12|%1%2|%123", inserts)), "s12|s1s2|s123");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"a%tb%nc%rd", {})), "a\tb\r\nc\rd");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"100%% %. %! % x", {})), "100% . !  x");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"%1!s! and %2!d!", {u"one", u"two"})), "one and two");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"cut%0 here\r\n", {})), "cut");
  // A missing insertion string leaves its escape; an inserted string is not
  // read again for escapes.
  EXPECT_EQ(u8(tw_platform::expandMessage(u"%1 %3", {u"%2", u"x"})), "%2 %3");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"end%", {})), "end%");
}

TEST(MessageTableData, RoundTripsAndRejectsDamagedData) {
  tw_platform::MessageTable table;
  table[0x409] = {{1, u"a\r\n"}, {2, u"bb\r\n"}, {5, u"ccc\r\n"}, {0xFFFFFFFF, u"\r\n"}};
  table[0x407] = {{7, u"\u00e4\r\n"}};
  const std::vector<BYTE> blob = tw_platform::serializeMessageTable(table);
  tw_platform::MessageTable back;
  ASSERT_TRUE(tw_platform::parseMessageTable(blob, back));
  EXPECT_EQ(back, table);

  // Every cut of the data and every flipped offset byte is refused or read
  // within bounds (the sanitizers catch an overrun).
  for (size_t len = 0; len < blob.size(); ++len) {
    std::vector<BYTE> cut(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(len));
    tw_platform::MessageTable t;
    EXPECT_FALSE(tw_platform::parseMessageTable(cut, t)) << len;
  }
  for (size_t i = 0; i < blob.size(); ++i) {
    std::vector<BYTE> bad = blob;
    bad[i] ^= 0xFF;
    tw_platform::MessageTable t;
    tw_platform::parseMessageTable(bad, t);
  }
}

TEST(MessageTableData, FileWithoutATableFailsLikeAMissingResource) {
  tw_platform::MessageTable table;
  // A system executable has no message table section.
  EXPECT_FALSE(tw_platform::loadModuleMessageTable(u"/bin/true", table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_FALSE(tw_platform::loadModuleMessageTable(u"/nonexistent/file", table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
