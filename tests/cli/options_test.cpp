// The /evt severities list and the string splitter behind it.
#include <gtest/gtest.h>

#include "fetch/ProxySettings.h"
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
  EXPECT_EQ(parseSeverity("Ignore"), -1);
  EXPECT_EQ(parseSeverity("IGNORE"), -1);
  EXPECT_EQ(parseSeverity("information"), 0);
  EXPECT_EQ(parseSeverity("Warning"), 1);
  EXPECT_EQ(parseSeverity("eRRoR"), 2);
  EXPECT_EQ(parseSeverity("fatal"), 1);
  EXPECT_EQ(parseSeverity(" Error"), 1);  // blanks make it an unknown word
  EXPECT_EQ(parseSeverity(""), 1);
}

TEST(ParseResultSeverities, DefaultsAndOverrides) {
  auto d = parseResultSeverities("");
  EXPECT_EQ(d[velmora::TXT_FOUND], 0);
  EXPECT_EQ(d[velmora::TXT_NOTFOUND], 1);
  EXPECT_EQ(d[velmora::CHECKSUM_CHANGE], 1);
  EXPECT_EQ(d[velmora::CHECKSUM_EQUAL], 0);

  auto opt = parseResultSeverities("TXT_NOTFOUND=Error,CHECKSUM_CHANGE=Warning");
  EXPECT_EQ(opt[velmora::TXT_NOTFOUND], 2);
  EXPECT_EQ(opt[velmora::CHECKSUM_CHANGE], 1);
  EXPECT_EQ(opt[velmora::TXT_FOUND], 0);

  // Later items override earlier ones.
  EXPECT_EQ(parseResultSeverities("TXT_FOUND=error,TXT_FOUND=Ignore")[velmora::TXT_FOUND], -1);
  // An unknown word gives Warning.
  EXPECT_EQ(parseResultSeverities("TXT_FOUND=loud")[velmora::TXT_FOUND], 1);
  EXPECT_EQ(parseResultSeverities("CHECKSUM_EQUAL=Error")[velmora::CHECKSUM_EQUAL], 2);
}

TEST(ParseResultSeverities, UnknownAndMalformedItemsAreIgnored) {
  auto s = parseResultSeverities("txt_found=Error,FOO=Error,TXT_NOTFOUND,CHECKSUM_EQUAL=,=Error");
  EXPECT_EQ(s[velmora::TXT_FOUND], 0);  // names compare with case
  EXPECT_EQ(s[velmora::TXT_NOTFOUND], 1);
  EXPECT_EQ(s[velmora::CHECKSUM_CHANGE], 1);
  EXPECT_EQ(s[velmora::CHECKSUM_EQUAL], 0);
}

TEST(ParseResultSeverities, BlanksAroundItemsDoNotMatch) {
  auto s = parseResultSeverities("TXT_FOUND=Error, TXT_NOTFOUND=Ignore");
  EXPECT_EQ(s[velmora::TXT_FOUND], 2);
  EXPECT_EQ(s[velmora::TXT_NOTFOUND], 1);  // " TXT_NOTFOUND" is not a result name
}

TEST(ProxySettings, Tests) {
  velmora::ProxySettings p;
  EXPECT_FALSE(p.isSet());
  p.host = "proxy";
  EXPECT_TRUE(p.isSet());
  p.port = 0;
  EXPECT_FALSE(p.isSet());
  p.user = "u";
  p.password = "p";
  EXPECT_FALSE(p.hasCredentials());  // scheme 3 means none
  p.authScheme = 0;
  EXPECT_TRUE(p.hasCredentials());
  p.password.clear();
  EXPECT_FALSE(p.hasCredentials());
}
