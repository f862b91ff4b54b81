// The wildcard matcher and the file search around it.
#include <gtest/gtest.h>

#include <string>

#include "checks/PatternSearch.h"
#include "platform/files.h"
#include "tests/registry/registry_env.h"

using velmora::checks::searchFileForPattern;
using velmora::checks::wildcardMatch;

namespace {

constexpr uint32_t kLimit = 8388608;

TEST(WildcardMatch, AStarMatchesAnythingAndTheEmptyPatternOnlyNothing) {
  EXPECT_TRUE(wildcardMatch("", "*"));
  EXPECT_TRUE(wildcardMatch("any text at all", "*"));
  EXPECT_TRUE(wildcardMatch("x", "***"));
  EXPECT_TRUE(wildcardMatch("", ""));
  EXPECT_FALSE(wildcardMatch("a", ""));
}

TEST(WildcardMatch, IsAnchoredAtBothEnds) {
  EXPECT_TRUE(wildcardMatch("abc", "abc"));
  EXPECT_TRUE(wildcardMatch("AbC", "abc"));
  EXPECT_FALSE(wildcardMatch("abcd", "abc"));
  EXPECT_FALSE(wildcardMatch("xabc", "abc"));
  EXPECT_TRUE(wildcardMatch("abc and more", "abc*"));
  EXPECT_FALSE(wildcardMatch("more abc", "abc*"));
  EXPECT_TRUE(wildcardMatch("index.html", "*.html"));
  EXPECT_FALSE(wildcardMatch("index.html\n", "*.html"));
  EXPECT_FALSE(wildcardMatch("index.html.bak", "*.html"));
  // The last segment slides to the very end, past earlier partial fits.
  EXPECT_TRUE(wildcardMatch("a.html.html", "*.html"));
  EXPECT_TRUE(wildcardMatch("xxabab", "*ab"));
}

TEST(WildcardMatch, IgnoresLetterCaseForAsciiOnly) {
  EXPECT_TRUE(wildcardMatch("xx ABC yy", "*abc*"));
  EXPECT_TRUE(wildcardMatch("xx aBc yy", "*abc*"));
  EXPECT_FALSE(wildcardMatch("xx ab yy", "*abc*"));
  EXPECT_FALSE(wildcardMatch("\xc3\x84", "*\xc3\xa4*"));  // A and a umlaut differ
}

TEST(WildcardMatch, QuestionMarkIsNeverAFullStopNorTheEnd) {
  EXPECT_TRUE(wildcardMatch("xabcx", "*a?c*"));
  EXPECT_TRUE(wildcardMatch("a-c", "*a?c*"));
  EXPECT_FALSE(wildcardMatch("a.c", "*a?c*"));
  EXPECT_TRUE(wildcardMatch("a.c a-c", "*a?c*"));
  EXPECT_FALSE(wildcardMatch("ab", "ab?"));
  EXPECT_FALSE(wildcardMatch("ab", "*ab?"));
  EXPECT_TRUE(wildcardMatch("ab!", "ab?"));
  EXPECT_TRUE(wildcardMatch("?", "?"));
  EXPECT_FALSE(wildcardMatch(".", "?"));
  // A full stop in the pattern matches itself.
  EXPECT_TRUE(wildcardMatch("a.c", "a.c"));
}

TEST(WildcardMatch, SegmentsAreFoundInOrder) {
  EXPECT_TRUE(wildcardMatch("xaybzcwd", "*a*b*c*d*"));
  EXPECT_FALSE(wildcardMatch("dcba", "*a*b*c*d*"));
  EXPECT_TRUE(wildcardMatch("<title>Status: OK</title>", "*<title>*ok*</title>"));
  EXPECT_FALSE(wildcardMatch("<title>Status: KO</title>", "*<title>*ok*</title>"));
  // The first segment is fixed at the start; later ones float.
  EXPECT_TRUE(wildcardMatch("abXcd", "ab*cd"));
  EXPECT_FALSE(wildcardMatch("XabXcd", "ab*cd"));
}

class PatternSearch : public RegistryEnv {
 protected:
  uint32_t search(const std::string& content, const char* pattern, uint32_t limit = kLimit) {
    const std::string path = dir.file("page");
    tw_test::writeFile(path, content);
    return searchFileForPattern(path, pattern, limit);
  }
};

TEST_F(PatternSearch, FindsTextAnywhereWithStars) {
  EXPECT_EQ(search("<html>Hello World</html>", "*WORLD*"), 1u);
  EXPECT_EQ(search("<html>Hello World</html>", "*planet*"), 0u);
  EXPECT_EQ(search("", "*"), 1u);
  EXPECT_EQ(search("", ""), 1u);
  EXPECT_EQ(search("x", ""), 0u);
}

TEST_F(PatternSearch, AMissingOrLockedFileReadsAsNotFound) {
  EXPECT_EQ(searchFileForPattern(dir.file("missing"), "*", kLimit), 0u);
  const std::string path = dir.file("locked");
  tw_test::writeFile(path, "content");
  HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(searchFileForPattern(path, "*", kLimit), 0u);
  CloseHandle(other);
  EXPECT_EQ(searchFileForPattern(path, "*", kLimit), 1u);
}

TEST_F(PatternSearch, SizeLimitIsInclusive) {
  std::string page(kLimit, 'a');
  page.replace(kLimit - 3, 3, "END");
  EXPECT_EQ(search(page, "*end"), 1u);
  page += 'x';  // 8,388,609 bytes
  EXPECT_EQ(search(page, "*"), 0u);
  EXPECT_EQ(search("four", "*", 3), 0u);
  EXPECT_EQ(search("four", "*", 4), 1u);
}

TEST_F(PatternSearch, ANulDropsTheRestOfItsBlockOnly) {
  // Block one: "abc", a NUL, then "hidden" and filler up to 4,095 bytes.
  std::string page = std::string("abc") + '\0' + "hidden";
  page.resize(4095, '-');
  page += "tail";  // block two
  EXPECT_EQ(search(page, "*hidden*"), 0u);
  EXPECT_EQ(search(page, "*tail"), 1u);
  // What is left is exactly the bytes before the NUL and the next block.
  EXPECT_EQ(search(page, "abctail"), 1u);

  // A NUL in a later block cuts only that block.
  std::string two(4095, 'x');
  two += std::string("mid") + '\0' + "gone";
  two.resize(2 * 4095, 'y');
  two += "last";
  EXPECT_EQ(search(two, "*gone*"), 0u);
  EXPECT_EQ(search(two, "*xmidlast"), 1u);
}

TEST_F(PatternSearch, PatternIsCutTo511CharactersAndLowered) {
  // 2 + 509 stars + "q": 512 characters, so the "q" is cut off.
  std::string pattern = "AB" + std::string(509, '*') + "q";
  EXPECT_EQ(search("ab", pattern.c_str()), 1u);
  std::string kept = "AB" + std::string(508, '*') + "q";  // 511: the "q" stays
  EXPECT_EQ(search("ab", kept.c_str()), 0u);
  EXPECT_EQ(search("abq", kept.c_str()), 1u);
}

TEST_F(PatternSearch, PathologicalPatternOnALargePageEnds) {
  // Many segments that almost match: each is tried once along the text.
  std::string page(1 << 20, 'a');
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "*aaaaaaaaab";
  pattern += "*";
  EXPECT_EQ(search(page, pattern.c_str()), 0u);
  page.back() = 'b';
  EXPECT_EQ(search(page, "*aaaaaaaaab"), 1u);
}

}  // namespace
