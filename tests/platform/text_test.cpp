// UTF-8 <-> UTF-16 conversion at the platform boundary (registry string
// data, paths, names): bad input becomes U+FFFD and never takes what
// follows it along. ASCII letter case.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

using tw_platform::utf16ToUtf8;
using tw_platform::utf8ToUtf16;
using namespace std::string_literals;

TEST(Utf8ToUtf16, WellFormedTextRoundTrips) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  EXPECT_EQ(utf8ToUtf16(text), u"a\u00E9\u20AC\U0001F600z");
  EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(text)), text);
  EXPECT_EQ(utf8ToUtf16("x\0y"s), u"x\0y"s);
}

TEST(Utf8ToUtf16, ACutSequenceKeepsWhatFollows) {
  // Found by the checksum-store fuzz target: a lead byte just before the
  // terminating NUL dropped the NUL, and the registry stored a string
  // without its terminator.
  EXPECT_EQ(utf8ToUtf16(" \xEA\0"s), u" \uFFFD\0"s);
  EXPECT_EQ(utf8ToUtf16("\xE2\x82"s), u"\uFFFD\uFFFD");
  EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x98"s + "ok"), u"\uFFFD\uFFFD\uFFFDok");
}

TEST(Utf8ToUtf16, MalformedFormsBecomeReplacementCharacters) {
  EXPECT_EQ(utf8ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");          // overlong NUL
  EXPECT_EQ(utf8ToUtf16("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");  // overlong "/"
  EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(utf8ToUtf16("\x80\xFF" "a"), u"\uFFFD\uFFFDa");
}

TEST(Utf16ToUtf8, UnpairedSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(utf16ToUtf8(u"x\xDC00"), "x\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(u"\xDC00\xD800"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(AsciiCase, OnlyAsciiLettersChange) {
  using tw_platform::asciiLower;
  using tw_platform::asciiUpper;
  EXPECT_EQ(asciiLower("HTTP/1.1 Content-Type @[`{"s), "http/1.1 content-type @[`{");
  EXPECT_EQ(asciiUpper("hkcu\\Software z@[`{"s), "HKCU\\SOFTWARE Z@[`{");
  // Bytes of UTF-8 sequences and non-ASCII UTF-16 units stay as they are.
  EXPECT_EQ(asciiLower("\xC3\x84\xC3\xA4"s), "\xC3\x84\xC3\xA4");
  EXPECT_EQ(asciiLower(u'\u00C4'), u'\u00C4');
  EXPECT_EQ(asciiLower(u'Q'), u'q');
}

TEST(AsciiCase, EqualityIgnoresOnlyAsciiLetterCase) {
  using tw_platform::equalsNoCase;
  EXPECT_TRUE(equalsNoCase(std::string("Content-Length"), "content-LENGTH"));
  EXPECT_FALSE(equalsNoCase(std::string("Content-Length"), "Content-Lengt"));
  EXPECT_FALSE(equalsNoCase("a", "a\0"s));
  EXPECT_TRUE(equalsNoCase("", ""));
  EXPECT_FALSE(equalsNoCase("\xC3\x84", "\xC3\xA4"));  // Ä and ä are not ASCII
  EXPECT_TRUE(equalsNoCase(u"StringFileInfo", u"STRINGFILEINFO"));
  EXPECT_FALSE(equalsNoCase(u"\u00C4", u"\u00E4"));
}
