// CliHandler in this process with the parser's exception handling off:
// rejected command lines, help and version throw instead of ending the
// process, and accepted ones fill the fields as the program would.
#include <gtest/gtest.h>
#include <tclap/ArgException.h>

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

TEST(InProcessParse, RejectedCommandLinesThrowWithoutOutput) {
  for (auto v : {argv({}), argv({"/timeout", "abc", "http://h/"}), argv({"/lc", "/lc", "u"}),
                 argv({"/proxyport", "99999", "u"}), argv({"/nosuch", "u"})}) {
    testing::internal::CaptureStdout();
    EXPECT_THROW(CliHandler(argc(v), v.data(), false), TCLAP::ArgException);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

TEST(InProcessParse, HelpAndVersionThrowAfterPrinting) {
  for (auto v : {argv({"/?"}), argv({"/help"}), argv({"/version"})}) {
    testing::internal::CaptureStdout();
    try {
      CliHandler h(argc(v), v.data(), false);
      ADD_FAILURE() << "no exception for " << v[1];
    } catch (TCLAP::ExitException& e) {
      EXPECT_EQ(e.getExitStatus(), 0);
    }
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
  }
}
