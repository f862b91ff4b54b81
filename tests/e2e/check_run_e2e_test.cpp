// The built tarnwick as a user runs it, against nginx on loopback (started
// by the peers fixture): the check sequence with the checksum store, pages
// in the forms a web server sends them, the pattern search limits, failures,
// events, signals and memory.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <sstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/support/process.h"

using tw_test::ProcessResult;

namespace {

class CheckRunE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(peers["TW_NGINX_PORT"].empty())
        << "nginx is not running: the peers fixture (tests/support/peers.sh) did not start";
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + peers.at("TW_NGINX_PORT") + path;
  }
  std::string served(const std::string& path) const {
    return tw_test::readFile(peers.at("TW_NGINX_ROOT") + path);
  }
  // A page of this test alone under change/, removed at the end.
  std::string ownPage(const std::string& content, const std::string& ext = ".html") {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string path = std::string("/change/") + info->name() + ext;
    tw_test::writeFile(peers.at("TW_NGINX_ROOT") + path, content);
    ownPages.push_back(peers.at("TW_NGINX_ROOT") + path);
    return path;
  }
  void TearDown() override {
    for (const auto& p : ownPages) std::remove(p.c_str());
  }

  tw_test::ProcessOptions options() const {
    tw_test::ProcessOptions opts;
    opts.env["TARNWICK_ROOT"] = root.path();
    opts.env["TMPDIR"] = root.path();
    opts.timeoutSeconds = 120;
    return opts;
  }
  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), bin);
    return tw_test::runProcess(args, options());
  }
  // The checksum tarnwick computes for the page, read from the event of a
  // first run in a state directory of its own.
  std::string checksumOf(const std::string& u) {
    tw_test::TempDir own;
    auto opts = options();
    opts.env["TARNWICK_ROOT"] = own.path();
    ProcessResult r = tw_test::runProcess({bin, "/le", "/checksum", u}, opts);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const nlohmann::json& e : events(own)) {
      if (e["event_id"] == 1001) return e["strings"][1].get<std::string>();
    }
    ADD_FAILURE() << "no event 1001 for " << u;
    return "";
  }
  // The events of a state directory, oldest first.
  std::vector<nlohmann::json> events(const tw_test::TempDir& dir) {
    auto opts = options();
    opts.env["TARNWICK_ROOT"] = dir.path();
    ProcessResult viewer =
        tw_test::runProcess({tw_test::programPath("TARNWICK_EVENTLOG_BIN"), "--json"}, opts);
    EXPECT_EQ(viewer.exitCode, 0) << viewer.err;
    std::vector<nlohmann::json> out;
    std::istringstream lines(viewer.out);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    }
    return out;
  }

  // No temporary page file is left behind.
  void expectNoTempFiles() {
    for (const auto& name : tw_test::listDir(root.path())) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
  }

  std::map<std::string, std::string> peers = tw_e2e::readPeersEnv();
  std::string bin = tw_test::programPath("TARNWICK_BIN");
  tw_test::TempDir root;
  std::vector<std::string> ownPages;
};

std::string changedLine(const std::string& u, const std::string& sum) {
  return "The checksum of URL \"" + u + "\" changed to \"" + sum + "\".\n";
}
std::string equalLine(const std::string& u) {
  return "The checksum of URL \"" + u + "\" did not change.\n";
}
std::string foundLine(const std::string& pattern, const std::string& u, bool found) {
  return "Pattern \"" + pattern + "\" was " + (found ? "found" : "not found") + " in URL \"" + u +
         "\".\n";
}

TEST_F(CheckRunE2E, ChecksumSequenceWithTheStore) {
  const std::string u = url(ownPage("<p>Version one</p>\n"));

  ProcessResult first = run({"/lc", "/checksum", u});
  EXPECT_EQ(first.out, "Checksum initialized.\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.exitCode, 0);

  ProcessResult same = run({"/lc", "/checksum", u});
  EXPECT_EQ(same.out, equalLine(u));
  EXPECT_EQ(same.exitCode, 0);

  ownPage("<p>Version two</p>\n");
  ProcessResult changed = run({"/lc", "/checksum", u});
  EXPECT_EQ(changed.out, changedLine(u, tw_e2e::sha256Hex("<p>Version two</p>\n")));
  EXPECT_EQ(changed.exitCode, 1);

  ProcessResult again = run({"/lc", "/checksum", u});
  EXPECT_EQ(again.out, equalLine(u));
  EXPECT_EQ(again.exitCode, 0);

  // Pattern and checksum in one run: found and equal is 0.
  ProcessResult both = run({"/lc", "/checksum", "/t", "*Version two*", u});
  EXPECT_EQ(both.out, foundLine("*Version two*", u, true) + equalLine(u));
  EXPECT_EQ(both.exitCode, 0);
  expectNoTempFiles();

  // Another state directory knows nothing of this page.
  tw_test::TempDir other;
  auto opts = options();
  opts.env["TARNWICK_ROOT"] = other.path();
  ProcessResult fresh = tw_test::runProcess({bin, "/lc", "/checksum", u}, opts);
  EXPECT_EQ(fresh.out, "Checksum initialized.\n");
}

TEST_F(CheckRunE2E, PlainGzipAndChunkedPagesArriveAsServed) {
  struct Case {
    const char* path;
    const char* pattern;
  };
  // nginx compresses /gzip/ only for clients that ask; tarnwick does not ask.
  // /chunked/ is sent with chunked transfer coding.
  for (const Case& c : {Case{"/plain.html", "*Plain text here*"},
                        Case{"/gzip/page.html", "*End of the gzip page*"},
                        Case{"/chunked/page.html", "*End of the chunked page*"}}) {
    SCOPED_TRACE(c.path);
    const std::string u = url(c.path);
    EXPECT_EQ(checksumOf(u), tw_e2e::sha256Hex(served(c.path)));
    ProcessResult r = run({"/lc", "/checksum", "/t", c.pattern, u});
    EXPECT_EQ(r.out, "Checksum initialized.\n" + foundLine(c.pattern, u, true)) << r.err;
    EXPECT_EQ(r.exitCode, 0);
    ProcessResult again = run({"/lc", "/checksum", u});
    EXPECT_EQ(again.out, equalLine(u));
  }
}

TEST_F(CheckRunE2E, CompressedBodyIsKeptAsSent) {
  // gzip_static always: the body comes gzip-coded although nobody asked; the
  // fetcher does not turn decoding on, so the file holds the gzip bytes.
  const std::string u = url("/gzstatic/page.html");
  EXPECT_EQ(checksumOf(u), tw_e2e::sha256Hex(served("/gzstatic/page.html.gz")));
  ProcessResult r = run({"/lc", "/t", "*End of the gzip page*", u});
  EXPECT_EQ(r.out, foundLine("*End of the gzip page*", u, false));
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(CheckRunE2E, PatternBehindANulByte) {
  // The NUL hides the rest of its read block only.
  const std::string near = url("/nul/near.txt");
  ProcessResult r1 = run({"/lc", "/t", "*BEHIND-THE-NUL*", near});
  EXPECT_EQ(r1.out, foundLine("*BEHIND-THE-NUL*", near, false));
  EXPECT_EQ(r1.exitCode, 1);
  const std::string far = url("/nul/far.txt");
  ProcessResult r2 = run({"/lc", "/t", "*BEHIND-THE-NUL*", far});
  EXPECT_EQ(r2.out, foundLine("*BEHIND-THE-NUL*", far, true));
  EXPECT_EQ(r2.exitCode, 0);
}

TEST_F(CheckRunE2E, PagesAroundTheEightMebibyteSearchLimit) {
  // Exactly 8 MiB is searched; one byte more is not, though it is fetched
  // whole (its checksum is still computed and stored).
  const std::string exact = url("/big/exact.txt");
  ProcessResult r1 = run({"/lc", "/checksum", "/t", "*NEEDLE-AT-THE-END", exact});
  EXPECT_EQ(r1.out, "Checksum initialized.\n" + foundLine("*NEEDLE-AT-THE-END", exact, true));
  EXPECT_EQ(r1.exitCode, 0);

  const std::string over = url("/big/over.txt");
  ProcessResult r2 = run({"/lc", "/checksum", "/t", "*NEEDLE-AT-THE-END", over});
  EXPECT_EQ(r2.out, "Checksum initialized.\n" + foundLine("*NEEDLE-AT-THE-END", over, false));
  EXPECT_EQ(r2.exitCode, 1);
  ProcessResult r3 = run({"/lc", "/checksum", over});
  EXPECT_EQ(r3.out, equalLine(over));
  EXPECT_EQ(checksumOf(over), tw_e2e::sha256Hex(served("/big/over.txt")));
  expectNoTempFiles();
}

TEST_F(CheckRunE2E, ErrorStatusAndRedirectAreFailures) {
  struct Case {
    const char* path;
    const char* text;
  };
  for (const Case& c : {Case{"/missing.html", "HTTP protocol error. 404 Not Found."},
                        Case{"/moved", "HTTP protocol error. 301 Moved Permanently."}}) {
    SCOPED_TRACE(c.path);
    const std::string u = url(c.path);
    ProcessResult r = run({"/lc", "/checksum", u});
    EXPECT_EQ(r.out, "Unable to connect or retrieve \"" + u + "\" due to error \"" + c.text +
                         "\" (151)\n");
    EXPECT_EQ(r.exitCode, 2);
  }
  expectNoTempFiles();
}

TEST_F(CheckRunE2E, EventsOfAChecksumSequenceAndAFailure) {
  const std::string u = url(ownPage("<p>Event page</p>\n"));
  ASSERT_EQ(run({"/le", "/checksum", u}).exitCode, 0);
  ProcessResult second = run({"/le", "/lc", "/checksum", "/t", "*Event page*", u});
  EXPECT_EQ(second.exitCode, 0);
  ownPage("<p>Event page, changed</p>\n");
  EXPECT_EQ(run({"/le", "/checksum", u}).exitCode, 1);
  const std::string missing = url("/missing.html");
  ProcessResult failed = run({"/le", "/checksum", missing});
  EXPECT_EQ(failed.exitCode, 2);
  // The failure line is printed even with event-log output only.
  EXPECT_NE(failed.out.find("Unable to connect or retrieve"), std::string::npos);

  const std::vector<nlohmann::json> events = this->events(root);
  ASSERT_EQ(events.size(), 5u);
  const std::string first = tw_e2e::sha256Hex("<p>Event page</p>\n");
  const std::string changed = tw_e2e::sha256Hex("<p>Event page, changed</p>\n");
  struct Expected {
    int id;
    const char* type;
    std::vector<std::string> strings;
  };
  const std::vector<Expected> expected = {
      {1001, "warning", {u, first}},
      {1010, "information", {"*Event page*", u}},
      {1003, "information", {u}},
      {1002, "warning", {u, changed}},
      {1000, "error", {missing, "HTTP protocol error. 404 Not Found.", "151"}},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i]["source"], "Harrowlights");
    EXPECT_EQ(events[i]["category"], 1);
    EXPECT_EQ(events[i]["event_id"], expected[i].id);
    EXPECT_EQ(events[i]["type"], expected[i].type);
    EXPECT_EQ(events[i]["strings"].get<std::vector<std::string>>(), expected[i].strings);
  }
}

// Waits until the running check has started writing its page file.
bool downloadStarted(const tw_test::TempDir& dir, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& name : tw_test::listDir(dir.path())) {
      if (name.find(".tmp") != std::string::npos &&
          !tw_test::readFile(dir.file(name)).empty()) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST_F(CheckRunE2E, CtrlCDuringASlowDownloadDoesNotEndTheCheck) {
  // nginx sends this page at 64 KiB/s: about four seconds.
  const std::string u = url("/slow/page.txt");
  tw_test::BackgroundProcess p({bin, "/lc", "/checksum", u}, options());
  ASSERT_TRUE(downloadStarted(root, 10000));
  p.signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  p.signal(SIGINT);
  ProcessResult r = p.wait(60);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Checksum initialized.\n");
  // The whole page arrived: the next run finds it unchanged.
  EXPECT_EQ(run({"/lc", "/checksum", u}).out, equalLine(u));
}

TEST_F(CheckRunE2E, SigtermDuringASlowDownloadEndsTheCheck) {
  const std::string u = url("/slow/page.txt");
  tw_test::BackgroundProcess p({bin, "/lc", "/checksum", u}, options());
  ASSERT_TRUE(downloadStarted(root, 10000));
  const auto start = std::chrono::steady_clock::now();
  p.signal(SIGTERM);
  ProcessResult r = p.wait(60);
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_EQ(r.out, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(CheckRunE2E, PeakMemoryDoesNotGrowWithThePage) {
  // 1 MiB and 48 MiB pages, checksum only (the pattern search holds the
  // page in memory by design). The component keeps no copy of the body.
  const std::string small = url(ownPage(std::string(1 << 20, 's'), ".bin"));
  std::string bigContent(48 << 20, 'b');
  const std::string big = url(ownPage(bigContent, ".big"));
  bigContent.clear();
  bigContent.shrink_to_fit();

  std::map<std::string, std::string> env = {{"TARNWICK_ROOT", root.path()},
                                            {"TMPDIR", root.path()}};
  tw_e2e::MeasuredRun a = tw_e2e::runMeasured({bin, "/lc", "/checksum", small}, env, 120);
  tw_e2e::MeasuredRun b = tw_e2e::runMeasured({bin, "/lc", "/checksum", big}, env, 120);
  ASSERT_EQ(a.result.exitCode, 0) << a.result.out;
  ASSERT_EQ(b.result.exitCode, 0) << b.result.out;
  EXPECT_EQ(b.result.out, "Checksum initialized.\n");
  // A body kept in memory would add 47 MiB; allow 8 MiB of noise.
  EXPECT_LT(b.maxRssKb - a.maxRssKb, 8 * 1024)
      << "1 MiB page: " << a.maxRssKb << " KiB, 48 MiB page: " << b.maxRssKb << " KiB";
}

}  // namespace
