// CliHandler in this process with the parser's exception handling off:
// accepted command lines fill the fields and print the defaulting notices
// and the pattern warning as the program would. (Rejected ones, help and
// version are run as a process in command_line_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CliHandler.h"

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
  };
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
  }
  // The proxy settings are taken as given.
  const std::vector<const char*> proxy = {"tarnwick", "/proxyhost", "p", "/proxyport", "3128",
                                          "http://a/", nullptr};
  testing::internal::CaptureStdout();
  CliHandler h(6, proxy.data(), false);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(h.proxy.host, "p");
  EXPECT_EQ(h.proxy.port, 3128);
  EXPECT_EQ(h.proxy.authScheme, 0u);
}
