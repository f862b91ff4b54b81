// The /evt severities list and the string splitter behind it.
#include <gtest/gtest.h>

#include "cli/ResultSeverities.h"

using velmora::parseResultSeverities;
using velmora::parseSeverity;
using velmora::splitString;
using Tokens = std::vector<std::string>;

TEST(SplitString, Cases) {
  struct Case {
    std::string text;
    char delim;
    Tokens expected;
  } cases[] = {
      {"a,b,c", ',', {"a", "b", "c"}},
      {",,a,,b", ',', {"a", "b"}},           // leading and repeated delimiters
      {"a,b,", ',', {"a", "b"}},             // trailing delimiter
      {"", ',', {}},
      {",", ',', {}},
      {"a\\,b,c", ',', {"a,b", "c"}},        // escaped delimiter stays in its token
      {"\\,ab,c", ',', {"ab", "c"}},         // leading escaped pair is dropped
      {"ab,c\\,", ',', {"ab", "c"}},         // trailing escaped pair is dropped
      {"\\,", ',', {","}},                   // too short for the drop rule
      {" a , b ", ',', {" a ", " b "}},      // blanks are not trimmed
      {"K=V=W", '=', {"K", "V", "W"}},
      {"a\\b,c", ',', {"a\\b", "c"}},        // a backslash before anything else stays
  };
  for (const auto& c : cases) {
    EXPECT_EQ(splitString(c.text, c.delim), c.expected) << "text: " << c.text;
  }
}

TEST(ParseSeverity, WordsInAnyCase) {
  const std::pair<const char*, int> cases[] = {
      {"Ignore", -1}, {"IGNORE", -1}, {"information", 0}, {"Warning", 1}, {"eRRoR", 2},
      {"fatal", 1},   {" Error", 1},  // blanks make it an unknown word
      {"", 1}};
  for (const auto& [word, severity] : cases) EXPECT_EQ(parseSeverity(word), severity) << word;
}

// The severities of TXT_FOUND, TXT_NOTFOUND, CHECKSUM_CHANGE, CHECKSUM_EQUAL.
TEST(ParseResultSeverities, DefaultsOverridesAndIgnoredItems) {
  const std::pair<const char*, std::vector<int>> cases[] = {
      {"", {0, 1, 1, 0}},
      {"TXT_NOTFOUND=Error,CHECKSUM_CHANGE=Warning", {0, 2, 1, 0}},
      {"CHECKSUM_EQUAL=Error", {0, 1, 1, 2}},
      // Later items override earlier ones; an unknown word gives Warning.
      {"TXT_FOUND=error,TXT_FOUND=Ignore", {-1, 1, 1, 0}},
      {"TXT_FOUND=loud", {1, 1, 1, 0}},
      // Names compare with case; malformed items are ignored.
      {"txt_found=Error,FOO=Error,TXT_NOTFOUND,CHECKSUM_EQUAL=,=Error", {0, 1, 1, 0}},
      // " TXT_NOTFOUND" is not a result name.
      {"TXT_FOUND=Error, TXT_NOTFOUND=Ignore", {2, 1, 1, 0}},
  };
  for (const auto& [text, expected] : cases) {
    const velmora::ResultSeverities s = parseResultSeverities(text);
    EXPECT_EQ((std::vector<int>{s[velmora::TXT_FOUND], s[velmora::TXT_NOTFOUND],
                                s[velmora::CHECKSUM_CHANGE], s[velmora::CHECKSUM_EQUAL]}),
              expected)
        << text;
  }
}
