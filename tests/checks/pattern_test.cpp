// The wildcard matcher and the file search around it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "checks/PatternSearch.h"
#include "platform/files.h"
#include "tests/registry/registry_env.h"

using velmora::checks::searchFileForPattern;
using velmora::checks::wildcardMatch;

namespace {

constexpr uint32_t kLimit = 8388608;

// The matcher written the plain way, one text position after another, to
// compare the program's matcher with: a segment is tried at t; a mismatch
// after a star moves it one byte on; the last segment slides until it ends
// with the text; an earlier segment is never moved again.
bool referenceMatch(const char* text, const char* pattern) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
  size_t t = 0, p = 0;
  for (;;) {
    bool star = false;
    if (pattern[p] == '*') {
      star = true;
      while (pattern[p] == '*') ++p;
    }
    for (;;) {
      size_t i = 0;
      bool slide = false;
      for (;;) {
        const char c = pattern[p + i];
        if (c == '\0' || c == '*') break;
        const char x = text[t + i];
        if (lower(x) == c) {
          ++i;
        } else if (x == '\0') {
          return false;
        } else if (c == '?' && lower(x) != '.') {
          ++i;
        } else if (star) {
          slide = true;
          break;
        } else {
          return false;
        }
      }
      if (slide) {
        ++t;
        continue;
      }
      if (pattern[p + i] == '*') {
        t += i;
        p += i;
        break;
      }
      if (text[t + i] == '\0') return true;
      if (!star) return false;
      ++t;
    }
  }
}

// Random bytes from an alphabet.
std::string randomText(std::mt19937& rng, const std::string& alphabet, size_t length) {
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (size_t i = 0; i < length; ++i) s += alphabet[pick(rng)];
  return s;
}

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

TEST(WildcardMatch, AgreesWithThePlainScanOnRandomTextsAndPatterns) {
  std::mt19937 rng(20240611);
  // Few letters, both cases, full stops, the wildcard characters themselves
  // and a byte above 127, so that fits, near fits and slides are frequent.
  const std::string textBytes = "abAB.?*x\xe4-";
  const std::string patternBytes = "ab??**.xA\xe4";
  std::uniform_int_distribution<size_t> textLength(0, 40);
  std::uniform_int_distribution<size_t> patternLength(0, 9);
  int matched = 0;
  for (int round = 0; round < 200000; ++round) {
    const std::string text = randomText(rng, textBytes, textLength(rng));
    const std::string pattern = randomText(rng, patternBytes, patternLength(rng));
    const bool expected = referenceMatch(text.c_str(), pattern.c_str());
    ASSERT_EQ(wildcardMatch(text.c_str(), pattern.c_str()), expected)
        << "text \"" << text << "\" pattern \"" << pattern << "\"";
    matched += expected ? 1 : 0;
  }
  // Both outcomes were exercised often.
  EXPECT_GT(matched, 10000);
  EXPECT_LT(matched, 190000);
}

TEST(WildcardMatch, AgreesWithThePlainScanOnLongTexts) {
  std::mt19937 rng(77);
  const std::string textBytes = "abcdeABCDE. \n?";
  const std::string patternBytes = "abcde??.*";
  std::uniform_int_distribution<size_t> textLength(0, 3000);
  std::uniform_int_distribution<size_t> patternLength(1, 14);
  int matched = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string text = randomText(rng, textBytes, textLength(rng));
    std::string pattern = randomText(rng, patternBytes, patternLength(rng));
    // Mostly the search form: stars at both ends or one.
    if (round % 3 != 0) pattern = "*" + pattern;
    if (round % 3 == 1) pattern += "*";
    const bool expected = referenceMatch(text.c_str(), pattern.c_str());
    ASSERT_EQ(wildcardMatch(text.c_str(), pattern.c_str()), expected)
        << "pattern \"" << pattern << "\" on a text of " << text.size() << " bytes";
    matched += expected ? 1 : 0;
  }
  EXPECT_GT(matched, 300);
  EXPECT_LT(matched, 2700);
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

// The text built the plain way: one read of 4,095 bytes after another, each
// block cut at its first NUL, the whole bounded by the file size.
std::string referenceText(const std::string& content) {
  std::string text;
  for (size_t at = 0; at < content.size(); at += 4095) {
    const std::string block = content.substr(at, 4095);
    text += block.substr(0, block.find('\0'));
  }
  return text;
}

// The search of a file against the plain scan over the text made the plain
// way. Pages span several reads, with NULs at and around block edges, and
// the patterns are random or cut from the text around read and block edges,
// so that fits lie across them.
TEST_F(PatternSearch, FileSearchAgreesWithThePlainScanOverTheBlockText) {
  std::mt19937 rng(4095);
  const std::string path = dir.file("page");
  auto lower = [](std::string p) {
    for (char& c : p) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return p;
  };
  // Around one block, one read (64 blocks) and several reads.
  const size_t sizes[] = {0, 1, 4094, 4095, 4096, 262079, 262080, 262081, 600000};
  int found = 0, cases = 0;
  for (size_t size : sizes) {
    for (int variant = 0; variant < 3; ++variant) {
      std::string content = randomText(rng, "abAB.-", size);
      std::uniform_int_distribution<size_t> where(0, size == 0 ? 0 : size - 1);
      for (int k = 0; k < variant * 4 && size > 0; ++k) content[where(rng)] = '\0';
      for (size_t edge = 0; variant == 2 && edge < size; edge += 4095 * 5) content[edge] = '\0';
      tw_test::writeFile(path, content);
      const std::string text = referenceText(content);

      std::vector<std::string> patterns = {"*", "", "*a", "a*", "*?", "*.*", "*??????*"};
      // Pieces of the text itself, around the places where reads and
      // blocks meet, with some bytes turned into '?'.
      for (size_t edge : {size_t(4095), size_t(262080), size_t(524160), text.size() / 2,
                          text.size()}) {
        for (int k = 0; k < 4; ++k) {
          std::uniform_int_distribution<size_t> back(0, 40), len(1, 30);
          const size_t from = edge > back(rng) ? edge - back(rng) : 0;
          if (from >= text.size()) continue;
          std::string piece = text.substr(from, len(rng));
          if (k % 2 == 1) piece[piece.size() / 2] = '?';
          patterns.push_back("*" + piece + "*");
          patterns.push_back("*" + piece);
          patterns.push_back("*" + piece + "*" + piece.substr(0, 2) + "*");
        }
      }
      for (int k = 0; k < 15; ++k) {
        std::uniform_int_distribution<size_t> len(0, 8);
        patterns.push_back(randomText(rng, "ab??**.A-", len(rng)));
      }
      patterns.push_back(text.substr(0, 20) + "*");
      patterns.push_back(text);  // the whole text (cut to 511 by the search)
      for (const std::string& pattern : patterns) {
        const std::string used = lower(pattern.substr(0, 511));
        const bool expected = referenceMatch(text.c_str(), used.c_str());
        ASSERT_EQ(searchFileForPattern(path, pattern.c_str(), kLimit), expected ? 1u : 0u)
            << "size " << size << " variant " << variant << " pattern \"" << pattern.substr(0, 80)
            << "\"";
        found += expected ? 1 : 0;
        ++cases;
      }
    }
  }
  EXPECT_GT(found, cases / 4);
  EXPECT_LT(found, cases);
}

}  // namespace
