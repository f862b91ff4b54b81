// The built tarnwick as a user runs it: usage, version, parse errors,
// defaulting notices and the start-up failure without a version block.
#include <gtest/gtest.h>

#include "tests/support/runs.h"

using tw_test::ProcessResult;
using tw_test::runProcess;
using tw_test::TempDir;

namespace {

const char kBanner[] =
    "Tarnwick Web Page Monitor (Tarnwick) v2.1.0.0\n"
    "Copyright (C) 2026 Tarnwick Project\n"
    "------------------------------------------\n";

class CommandLine : public ::testing::Test {
 protected:
  ProcessResult run(std::vector<std::string> args) { return tw_test::tarnwick(root.path(), args); }
  std::string bin = tw_test::programPath("TARNWICK_BIN");
  TempDir root;
};

}  // namespace

// /version prints the banner alone; /? and /help the usage without it.
TEST_F(CommandLine, VersionAndHelp) {
  ProcessResult r = run({"/version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "");
  const std::string parts[] = {
      "\n\n\nWhere: \n\n",
      "   /?,  /help\n     Displays usage information and exits.\n",
      "   /version\n     Displays version information and exits.\n",
      "   //,  /ignore_rest\n",
      "   /t <text or pattern>,  /textpattern <text or pattern>\n     Search for this text in page "
      "(wildcards * and ? are supported)\n",
      "   /evt <event log options>\n     A comma-separated list of RESULT=SEVERITY pairs",
      "   <url>\n     (required)  url to retrieve (e.g. "};
  for (const char* help : {"/?", "/help"}) {
    r = run({help});
    EXPECT_EQ(r.exitCode, 0) << help;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("Tarnwick Web Page Monitor"), std::string::npos) << "banner printed";
    EXPECT_EQ(r.out.rfind("\nUSAGE: \n\n   " + bin + " ", 0), 0u) << r.out;
    for (const std::string& part : parts) EXPECT_NE(r.out.find(part), std::string::npos) << part;
    EXPECT_TRUE(r.out.ends_with(
        "\n\n   Monitors web pages by looking for a string and/or verifying checksums\n\n"))
        << r.out;
  }
}

TEST_F(CommandLine, RejectedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string argText;
    std::string error;
  } cases[] = {
      {{}, " ", "Required argument missing: url"},
      {{"/lc", "/checksums_clear"}, " ", "Required argument missing: url"},
      {{"http://a/", "/nosuch"}, "Argument: /nosuch", "Couldn't find match for argument"},
      // The unlabelled URL takes the first argument that no option claims.
      {{"/nosuch", "http://a/"}, "Argument: http://a/", "Couldn't find match for argument"},
      {{"http://a/", "http://b/"}, "Argument: http://b/", "Couldn't find match for argument"},
      {{"/t", "x", "/t", "y", "http://a/"}, "Argument: /t (/textpattern)",
       "Argument already set!"},
      {{"/t", "x", "/textpattern", "y", "http://a/"}, "Argument: /t (/textpattern)",
       "Argument already set!"},
      {{"/lc", "/lc", "http://a/"}, "Argument: (/lc)", "Argument already set!"},
      {{"/timeout", "abc", "http://a/"}, "Argument: (/timeout)",
       "Couldn't read argument value from string 'abc'"},
      {{"/proxyport", "70000", "http://a/"}, "Argument: (/proxyport)",
       "Couldn't read argument value from string '70000'"},
      {{"/proxyport", "80x", "http://a/"}, "Argument: (/proxyport)",
       "Couldn't read argument value from string '80x'"},
      {{"http://a/", "/t"}, "Argument: /t (/textpattern)", "Missing a value for this argument!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error + (c.args.empty() ? "" : ": " + c.args[0] + " ... " + c.args.back()));
    // The banner, then TCLAP's parse error text on stderr.
    const ProcessResult r = run(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, std::string(kBanner) + "\n");
    const std::string head = "PARSE ERROR: " + c.argText + "\n             " + c.error + "\n\n";
    EXPECT_TRUE(r.err.starts_with(head)) << r.err;
    EXPECT_NE(r.err.find("\nBrief USAGE: \n   " + bin + " "), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nFor complete USAGE and HELP type: \n   " + bin + " /help\n\n"))
        << r.err;
  }
}

TEST_F(CommandLine, IgnoreRestEndsOptionProcessing) {
  // After "//" the labelled options are not parsed; the unlabelled URL is
  // still taken, so the run goes on to the clear path.
  ProcessResult r = run({"/checksums_clear", "http://a/", "//", "/nosuch"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err.find("PARSE ERROR"), std::string::npos) << r.err;
}

TEST_F(CommandLine, MissingVersionBlockEndsStartUp) {
  const std::string copy = root.file("tarnwick-nover");
  ProcessResult strip =
      runProcess({"/usr/bin/objcopy", "--remove-section", ".tw_version", bin, copy});
  ASSERT_EQ(strip.exitCode, 0) << strip.err;
  ProcessResult r = runProcess({copy, "/version"}, tw_test::inState(root.path()));
  EXPECT_EQ(r.exitCode, 10);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Unknown error: The specified resource type cannot be found in the image file. "
            "(0x715)");
}
