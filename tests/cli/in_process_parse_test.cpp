// CliHandler in this process with the parser's exception handling off:
// accepted command lines fill the fields and print the defaulting notices
// and the pattern warning as the program would. (Rejected ones, help and
// version are run as a process in command_line_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CliHandler.h"

namespace {

std::vector<const char*> argv(std::initializer_list<const char*> args) {
  std::vector<const char*> v{"tarnwick"};
  v.insert(v.end(), args);
  v.push_back(nullptr);
  return v;
}

int argc(const std::vector<const char*>& v) { return static_cast<int>(v.size()) - 1; }

}  // namespace

TEST(InProcessParse, AcceptedCommandLineFillsTheFields) {
  auto v = argv({"/lc", "/t", "abc", "/proxyhost", "p", "/proxyport", "3128", "http://h/"});
  testing::internal::CaptureStdout();
  CliHandler h(argc(v), v.data(), false);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(h.url, "http://h/");
  EXPECT_EQ(h.textPattern, "*abc*");
  EXPECT_TRUE(h.consoleOutput);
  EXPECT_EQ(h.proxy.host, "p");
  EXPECT_EQ(h.proxy.port, 3128);
  EXPECT_EQ(h.proxy.authScheme, 0u);
  EXPECT_EQ(out, "-- Warning: Pattern does not contain wildcards, automatically adapted to: "
                 "\"*abc*\" --\n\n");
}

TEST(InProcessParse, DefaultingNoticesAndPatternAdaptation) {
  const std::string checksumNotice =
      "Neither checksum nor text search option specified, defaulting to checksum.\n";
  const std::string consoleNotice =
      "Neither console nor event log logging option specified, defaulting to console.\n";
  const auto warning = [](const std::string& pattern) {
    return "-- Warning: Pattern does not contain wildcards, automatically adapted to: \"" +
           pattern + "\" --\n\n";
  };
  struct Case {
    std::vector<const char*> args;
    std::string out;
    std::string pattern;
  };
  const Case cases[] = {
      {{"http://a/"}, checksumNotice + consoleNotice, ""},
      {{"/lc", "/checksum", "http://a/"}, "", ""},
      {{"/lc", "/t", "abc", "http://a/"}, warning("*abc*"), "*abc*"},
      {{"/lc", "/t", "?abc", "http://a/"}, warning("?abc*"), "?abc*"},
      {{"/lc", "/t", "abc?", "http://a/"}, warning("*abc?"), "*abc?"},
      {{"/lc", "/t", "a", "http://a/"}, warning("*a*"), "*a*"},
      {{"/lc", "/t", "?abc?", "http://a/"}, "", "?abc?"},
      {{"/lc", "/t", "a*c", "http://a/"}, "", "a*c"},
      {{"/lc", "/t", "*", "http://a/"}, "", "*"},
      {{"/lc", "/t", "?", "http://a/"}, "", "?"},
      // Console output defaulted first, so the warning shows; with event-log
      // output only, the pattern is adapted without a warning.
      {{"/t", "abc", "http://a/"}, consoleNotice + warning("*abc*"), "*abc*"},
      {{"/le", "/t", "abc", "http://a/"}, "", "*abc*"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> v{"tarnwick"};
    v.insert(v.end(), c.args.begin(), c.args.end());
    v.push_back(nullptr);
    SCOPED_TRACE(v[v.size() - 3]);
    testing::internal::CaptureStdout();
    CliHandler h(argc(v), v.data(), false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(h.textPattern, c.pattern);
  }
}
