// The file search and its wildcard matcher, against hand-picked cases and
// the plain matcher of tests/support/wildcard_reference.h on random pages
// and patterns (the fuzz targets compare the two as well).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "checks/PatternSearch.h"
#include "tests/support/registry_env.h"
#include "tests/support/wildcard_reference.h"

using velmora::checks::searchFileForPattern;
using namespace std::string_literals;

namespace {

constexpr uint32_t kLimit = 8388608;

std::string randomText(std::mt19937& rng, const std::string& alphabet, size_t length) {
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (size_t i = 0; i < length; ++i) s += alphabet[pick(rng)];
  return s;
}

class PatternSearch : public tw_test::RegistryEnv {
 protected:
  uint32_t search(const std::string& content, const std::string& pattern, uint32_t limit = kLimit) {
    tw_test::writeFile(dir_->file("page"), content);
    return searchFileForPattern(dir_->file("page"), pattern.c_str(), limit);
  }
};

struct SearchCase {
  std::string content{};
  std::string pattern{};
  uint32_t limit = kLimit;
  uint32_t found = 0;
};

TEST_F(PatternSearch, Cases) {
  // A NUL drops the rest of its block of 4,095 bytes only; what is left is
  // the bytes before it and the next block.
  const std::string nulInFirst = "abc\0hidden"s + std::string(4085, '-') + "tail";
  const std::string nulInSecond = std::string(4095, 'x') + "mid\0gone"s + std::string(4087, 'y') + "last";
  // The pattern is cut to 511 characters: 2 + 509 stars + "q" loses the "q".
  const std::string cut = "AB" + std::string(509, '*') + "q";
  const std::string kept = "AB" + std::string(508, '*') + "q";
  // Many segments that almost match: each is tried once along the text.
  std::string nearMatches;
  for (int i = 0; i < 40; ++i) nearMatches += "*aaaaaaaaab";
  const std::string as(1 << 20, 'a'), asAndB = std::string((1 << 20) - 1, 'a') + "b";
  const SearchCase cases[] = {
      {"<html>Hello World</html>", "*WORLD*", kLimit, 1},
      {"<html>Hello World</html>", "*planet*", kLimit, 0},
      // Letter case is ignored for ASCII only; the last segment ends the page.
      {"\xc3\x84", "*\xc3\xa4*", kLimit, 0}, {"index.html\n", "*.html", kLimit, 0},
      // "?" is never a full stop, also in a run of them.
      {"a.b", "*??*", kLimit, 0}, {"a.bc", "*??*", kLimit, 1}, {"a.c", "a?c", kLimit, 0},
      {"", "*", kLimit, 1}, {"", "", kLimit, 1}, {"x", "", kLimit, 0},
      {"four", "*", 3, 0}, {"four", "*", 4, 1},
      {nulInFirst, "*hidden*", kLimit, 0}, {nulInFirst, "*tail", kLimit, 1},
      {nulInFirst, "abctail", kLimit, 1},
      {nulInSecond, "*gone*", kLimit, 0}, {nulInSecond, "*xmidlast", kLimit, 1},
      {"ab", cut, kLimit, 1}, {"ab", kept, kLimit, 0}, {"abq", kept, kLimit, 1},
      {as, nearMatches + "*", kLimit, 0}, {asAndB, "*aaaaaaaaab", kLimit, 1},
  };
  for (const SearchCase& c : cases) {
    EXPECT_EQ(search(c.content, c.pattern, c.limit), c.found)
        << c.pattern.substr(0, 40) << " in " << c.content.substr(0, 40);
  }
  EXPECT_EQ(searchFileForPattern(dir_->file("missing"), "*", kLimit), 0u);
}

// Pages around one block, one read (64 blocks) and several reads, with NULs
// at and around block edges; patterns random or cut from the text around
// read and block edges, so that fits lie across them.
TEST_F(PatternSearch, FileSearchAgreesWithThePlainSearch) {
  std::mt19937 rng(4095);
  auto upTo = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
  int found = 0, cases = 0;
  for (size_t size : {0, 1, 4094, 4095, 4096, 262079, 262080, 262081, 600000}) {
    for (int variant = 0; variant < 3; ++variant) {
      std::string content = randomText(rng, "abAB.-", size);
      for (int k = 0; k < variant * 4 && size > 0; ++k) content[upTo(size - 1)] = '\0';
      for (size_t edge = 0; variant == 2 && edge < size; edge += 4095 * 5) content[edge] = '\0';
      tw_test::writeFile(dir_->file("page"), content);
      const std::string text = tw_test::blockText(content);

      std::vector<std::string> patterns = {"*", "", "*a", "a*", "*?", "*.*", "*??????*",
                                           text.substr(0, 20) + "*", text};
      for (size_t edge : {size_t(4095), size_t(262080), size_t(524160), text.size() / 2,
                          text.size()}) {
        for (int k = 0; k < 4; ++k) {
          const size_t from = edge - std::min(edge, upTo(40));
          if (from >= text.size()) continue;
          std::string piece = text.substr(from, 1 + upTo(29));
          if (k % 2 == 1) piece[piece.size() / 2] = '?';
          patterns.insert(patterns.end(), {"*" + piece + "*", "*" + piece,
                                           "*" + piece + "*" + piece.substr(0, 2) + "*"});
        }
      }
      for (int k = 0; k < 15; ++k) patterns.push_back(randomText(rng, "ab??**.A-", upTo(8)));
      for (const std::string& pattern : patterns) {
        const bool expected = tw_test::referenceSearch(content, pattern);
        ASSERT_EQ(searchFileForPattern(dir_->file("page"), pattern.c_str(), kLimit), expected ? 1u : 0u)
            << "size " << size << " variant " << variant << " pattern \"" << pattern.substr(0, 80)
            << "\"";
        found += expected;
        ++cases;
      }
    }
  }
  EXPECT_GT(found, cases / 4);
  EXPECT_LT(found, cases);
}

}  // namespace
