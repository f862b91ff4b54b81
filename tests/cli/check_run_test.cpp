// The check run of a tarnwick whose fetcher is a test double: defaulting
// notices, pattern adaptation, the failure line, and console control signals.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/process.h"

using tw_test::ProcessResult;
using tw_test::TempDir;

namespace {

class CheckRun : public ::testing::Test {
 protected:
  tw_test::ProcessOptions options(const std::string& page = "hello world") {
    tw_test::ProcessOptions opts;
    opts.env["TARNWICK_ROOT"] = root.path();
    opts.env["TMPDIR"] = root.path();
    opts.env["TW_FAKE_PAGE"] = page;
    opts.env["TW_FAKE_MARKERS"] = "1";
    return opts;
  }
  ProcessResult run(std::vector<std::string> args, const tw_test::ProcessOptions& opts) {
    args.insert(args.begin(), bin);
    return tw_test::runProcess(args, opts);
  }
  ProcessResult run(std::vector<std::string> args) { return run(std::move(args), options()); }

  std::string bin = tw_test::programPath("TARNWICK_FAKEFETCH_BIN");
  TempDir root;
};

const char kChecksumNotice[] =
    "Neither checksum nor text search option specified, defaulting to checksum.\n";
const char kConsoleNotice[] =
    "Neither console nor event log logging option specified, defaulting to console.\n";

std::string adaptedWarning(const std::string& pattern) {
  return "-- Warning: Pattern does not contain wildcards, automatically adapted to: \"" + pattern +
         "\" --\n\n";
}

}  // namespace

TEST_F(CheckRun, OnlyUrlPrintsBothNoticesFirst) {
  ProcessResult r = run({"http://a/"});
  const std::string head = std::string(kChecksumNotice) + kConsoleNotice;
  EXPECT_EQ(r.out.substr(0, head.size()), head) << r.out;
}

TEST_F(CheckRun, ConsoleOptionSilencesItsNotice) {
  ProcessResult r = run({"/lc", "/checksum", "http://a/"});
  EXPECT_EQ(r.out.find("Neither"), std::string::npos) << r.out;
}

TEST_F(CheckRun, PatternAdaptation) {
  struct Case {
    std::string given;
    std::string adapted;
    bool warned;
  } cases[] = {
      {"abc", "*abc*", true},   {"?abc", "?abc*", true}, {"abc?", "*abc?", true},
      {"?abc?", "?abc?", false}, {"a*c", "a*c", false},  {"*", "*", false},
      {"?", "?", false},        {"a", "*a*", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    ProcessResult r = run({"/lc", "/t", c.given, "http://a/"});
    const std::string warning = adaptedWarning(c.adapted);
    if (c.warned) {
      EXPECT_EQ(r.out.substr(0, warning.size()), warning) << r.out;
    } else {
      EXPECT_EQ(r.out.find("-- Warning"), std::string::npos) << r.out;
    }
    // The pattern line of the run names the adapted pattern.
    EXPECT_NE(r.out.find("Pattern \"" + c.adapted + "\" was"), std::string::npos) << r.out;
  }
}

TEST_F(CheckRun, WarningFollowsDefaultedConsole) {
  // No output option: console is defaulted first, so the warning shows.
  ProcessResult r = run({"/t", "abc", "http://a/"});
  EXPECT_EQ(r.out.substr(0, std::string(kConsoleNotice).size() + 0), kConsoleNotice);
  EXPECT_NE(r.out.find(adaptedWarning("*abc*")), std::string::npos) << r.out;
}

TEST_F(CheckRun, EventLogOnlyAdaptsWithoutWarning) {
  ProcessResult r = run({"/le", "/t", "abc", "http://a/"});
  EXPECT_EQ(r.out.find("-- Warning"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Pattern"), std::string::npos) << r.out;  // no console result lines
}

TEST_F(CheckRun, FailedFetchPrintsLineAndExitsTwo) {
  for (auto args : {std::vector<std::string>{"/lc", "http://a/x"},
                    std::vector<std::string>{"/le", "/t", "x", "http://a/x"}}) {
    auto opts = options();
    opts.env["TW_FAKE_FAILURE"] = "Timeout.";
    ProcessResult r = run(args, opts);
    EXPECT_EQ(r.exitCode, 2);
    const std::string line = "Unable to connect or retrieve \"http://a/x\" due to error "
                             "\"Timeout.\" (301)\n";
    ASSERT_GE(r.out.size(), line.size());
    EXPECT_EQ(r.out.substr(r.out.size() - line.size()), line) << r.out;
  }
}

TEST_F(CheckRun, TemporaryFileIsRemoved) {
  ProcessResult r = run({"/lc", "/t", "hello", "http://a/"});
  EXPECT_EQ(r.termSignal, 0);
  for (const auto& name : tw_test::listDir(root.path())) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
}

TEST_F(CheckRun, CtrlCDoesNotEndARunningCheck) {
  for (int sig : {SIGINT, SIGQUIT}) {
    auto opts = options();
    opts.env["TW_FAKE_DELAY_MS"] = "1500";
    tw_test::BackgroundProcess p({bin, "/lc", "/t", "hello", "http://a/"}, opts);
    ASSERT_TRUE(p.waitForErr("[fake fetch started]", 20000)) << p.peekErr();
    p.signal(sig);
    ProcessResult r = p.wait(30);
    EXPECT_EQ(r.termSignal, 0) << "ended by signal " << r.termSignal;
    EXPECT_NE(r.exitCode, -1);
    EXPECT_NE(r.err.find("[fake fetch done]"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Pattern \"*hello*\" was"), std::string::npos) << r.out;
  }
}

TEST_F(CheckRun, TerminationSignalsEndTheProcess) {
  for (int sig : {SIGTERM, SIGHUP}) {
    auto opts = options();
    opts.env["TW_FAKE_DELAY_MS"] = "5000";
    tw_test::BackgroundProcess p({bin, "/lc", "/t", "hello", "http://a/"}, opts);
    ASSERT_TRUE(p.waitForErr("[fake fetch started]", 20000)) << p.peekErr();
    p.signal(sig);
    ProcessResult r = p.wait(30);
    EXPECT_EQ(r.termSignal, sig);
    EXPECT_EQ(r.err.find("[fake fetch done]"), std::string::npos) << r.err;
  }
}

namespace {
// The upper-case SHA-256 of a text, computed by the system's sha256sum.
std::string sha256Upper(const std::string& text) {
  TempDir dir;
  tw_test::writeFile(dir.file("page"), text);
  ProcessResult r = tw_test::runProcess({"/usr/bin/sha256sum", dir.file("page")});
  std::string hex = r.out.substr(0, 64);
  for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}
}  // namespace

TEST_F(CheckRun, ChecksumSequenceAcrossRuns) {
  const std::string url = "http://example.test/page";
  ProcessResult first = run({"/lc", "/checksum", url}, options("version one"));
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out, "Checksum initialized.\n");

  ProcessResult same = run({"/lc", "/checksum", url}, options("version one"));
  EXPECT_EQ(same.exitCode, 0);
  EXPECT_EQ(same.out, "The checksum of URL \"" + url + "\" did not change.\n");

  ProcessResult changed = run({"/lc", "/checksum", url}, options("version two"));
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_EQ(changed.out, "The checksum of URL \"" + url + "\" changed to \"" +
                             sha256Upper("version two") + "\".\n");

  // A URL that differs only by a trailing slash is a different page.
  ProcessResult other = run({"/lc", "/checksum", url + "/"}, options("version two"));
  EXPECT_EQ(other.out, "Checksum initialized.\n");

  ProcessResult clear = run({"/lc", "/checksums_clear", url}, options());
  EXPECT_EQ(clear.exitCode, 0);
  EXPECT_EQ(clear.out, "Neither checksum nor text search option specified, defaulting to "
                       "checksum.\nAll stored checksums have been removed\n");
  ProcessResult again = run({"/lc", "/checksum", url}, options("version two"));
  EXPECT_EQ(again.out, "Checksum initialized.\n");
}

TEST_F(CheckRun, PatternAndChecksumExitCodes) {
  const std::string url = "http://example.test/both";
  struct Step {
    std::string page;
    std::string pattern;
    int exitCode;
  } steps[] = {
      {"alpha beta", "beta", 0},   // found, checksum initialised
      {"alpha beta", "gamma", 1},  // not found, checksum equal
      {"alpha beta", "ALPHA", 0},  // found (case-insensitive), equal
      {"alpha delta", "alpha", 1}, // found, checksum changed
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.page + " / " + s.pattern);
    ProcessResult r = run({"/lc", "/checksum", "/t", s.pattern, url}, options(s.page));
    EXPECT_EQ(r.exitCode, s.exitCode) << r.out;
  }
}

TEST_F(CheckRun, EmptyPageHasNoPattern) {
  auto opts = options();
  opts.env.erase("TW_FAKE_PAGE");
  ProcessResult r = run({"/lc", "/t", "hello", "http://a/"}, opts);  // empty page
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("Pattern \"*hello*\" was not found in URL \"http://a/\".\n"),
            std::string::npos);
}
