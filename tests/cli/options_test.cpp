// CliHandler in this process with the parser's exception handling off:
// accepted command lines fill the fields and print the defaulting notices
// and the pattern warning as the program would (rejected ones, help and
// version are run as a process in command_line_test.cpp); the /evt
// severities list and the string splitter behind it. Passwords come from
// the environment where the options are absent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CliHandler.h"
#include "cli/ResultSeverities.h"

using velmora::parseResultSeverities;
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

// The severities of TXT_FOUND, TXT_NOTFOUND, CHECKSUM_CHANGE, CHECKSUM_EQUAL.
TEST(ParseResultSeverities, DefaultsOverridesAndIgnoredItems) {
  const std::pair<const char*, std::vector<int>> cases[] = {
      {"", {0, 1, 1, 0}},
      {"TXT_NOTFOUND=Error,CHECKSUM_CHANGE=Warning", {0, 2, 1, 0}},
      {"CHECKSUM_EQUAL=Error", {0, 1, 1, 2}},
      // Later items override earlier ones; an unknown word gives Warning.
      {"TXT_FOUND=error,TXT_FOUND=Ignore", {-1, 1, 1, 0}},
      {"TXT_FOUND=loud", {1, 1, 1, 0}},
      // Severity words in any case; blanks make a word unknown.
      {"TXT_FOUND=IGNORE,TXT_NOTFOUND=information,CHECKSUM_CHANGE=eRRoR", {-1, 0, 2, 0}},
      {"TXT_FOUND= Error,CHECKSUM_EQUAL=Warning", {1, 1, 1, 1}},
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

TEST(InProcessParse, AcceptedCommandLines) {
  const std::string checksumNotice =
      "Neither checksum nor text search option specified, defaulting to checksum.\n";
  const std::string consoleNotice =
      "Neither console nor event log logging option specified, defaulting to console.\n";
  const auto warning = [](const std::string& pattern) {
    return "-- Warning: Pattern does not contain wildcards, automatically adapted to: \"" +
           pattern + "\" --\n\n";
  };
  struct Case {
    std::vector<const char*> args;  // the URL http://a/ follows
    std::string out;
    std::string pattern;
    bool console = true;
    std::string proxyHost = "";
    int proxyPort = 8080;
    std::string password = "env-1";  // TARNWICK_PASSWORD stands in for /p
    std::string proxyPassword = "";  // and TARNWICK_PROXY_PASSWORD for /proxypass
  };
  const Case cases[] = {
      {{}, checksumNotice + consoleNotice, ""},
      {{"/lc", "/checksum"}, "", ""},
      {{"/lc", "/t", "abc"}, warning("*abc*"), "*abc*"},
      {{"/lc", "/t", "?abc"}, warning("?abc*"), "?abc*"},
      {{"/lc", "/t", "abc?"}, warning("*abc?"), "*abc?"},
      {{"/lc", "/t", "a"}, warning("*a*"), "*a*"},
      {{"/lc", "/t", "?abc?"}, "", "?abc?"},
      {{"/lc", "/t", "a*c"}, "", "a*c"},
      {{"/lc", "/t", "*"}, "", "*"},
      {{"/lc", "/t", "?"}, "", "?"},
      // Console output defaulted first, so the warning shows; with event-log
      // output only, the pattern is adapted without a warning.
      {{"/t", "abc"}, consoleNotice + warning("*abc*"), "*abc*"},
      {{"/le", "/t", "abc"}, "", "*abc*", false},
      // The proxy settings are taken as given.
      {{"/lc", "/checksum", "/proxyhost", "p", "/proxyport", "3128"}, "", "", true, "p", 3128,
       "env-1", "env-2"},
      {{"/lc", "/checksum", "/p", "", "/proxyhost", "p", "/proxypass", "cmd-2"}, "", "", true, "p",
       8080, "", "cmd-2"},
  };
  setenv("TARNWICK_PASSWORD", "env-1", 1);
  setenv("TARNWICK_PROXY_PASSWORD", "env-2", 1);
  for (const Case& c : cases) {
    std::vector<const char*> v{"tarnwick"};
    v.insert(v.end(), c.args.begin(), c.args.end());
    v.insert(v.end(), {"http://a/", nullptr});
    SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
    testing::internal::CaptureStdout();
    CliHandler h(static_cast<int>(v.size()) - 1, v.data(), false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(h.textPattern, c.pattern);
    EXPECT_EQ(h.url, "http://a/");
    EXPECT_EQ(h.consoleOutput, c.console);
    EXPECT_EQ(h.proxy.host, c.proxyHost);
    EXPECT_EQ(h.proxy.port, c.proxyPort);
    EXPECT_EQ(h.proxy.authScheme, c.proxyHost.empty() ? velmora::ProxySettings::None : 0u);
    EXPECT_EQ(h.password, c.password);
    EXPECT_EQ(h.proxy.password, c.proxyPassword);
  }
  unsetenv("TARNWICK_PASSWORD");
  unsetenv("TARNWICK_PROXY_PASSWORD");
}
