// The built tarnwick as a user runs it, against nginx on loopback (started
// by the peers fixture): the check sequence with the checksum store, pages
// in the forms a web server sends them, the pattern search limits, failures,
// events, signals and memory.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <thread>

#include "tests/support/runs.h"

using tw_test::ProcessResult;
namespace line = tw_test::line;

namespace {

class CheckRunE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(peers["TW_NGINX_PORT"].empty())
        << "nginx is not running: the peers fixture (tests/support/peers.sh) did not start";
  }
  void TearDown() override {
    for (const auto& p : ownPages) std::remove(p.c_str());
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + peers.at("TW_NGINX_PORT") + path;
  }
  std::string served(const std::string& path) const {
    return tw_test::readFile(peers.at("TW_NGINX_ROOT") + path);
  }
  // A page of this test alone under change/, removed at the end; its URL.
  std::string ownPage(const std::string& content, const std::string& ext = ".html") {
    const std::string path = std::string("/change/") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ext;
    tw_test::writeFile(peers.at("TW_NGINX_ROOT") + path, content);
    ownPages.push_back(peers.at("TW_NGINX_ROOT") + path);
    return url(path);
  }
  ProcessResult run(std::vector<std::string> args) { return tw_test::tarnwick(root.path(), args); }

  std::map<std::string, std::string> peers = tw_test::readPeersEnv();
  std::string bin = tw_test::programPath("TARNWICK_BIN");
  tw_test::TempDir root;
  std::vector<std::string> ownPages;
};

TEST_F(CheckRunE2E, ChecksumAndPatternSequenceWithTheStore) {
  const std::string one = "<p>Version one</p>\n", two = "<p>Version two</p>\n",
                    three = "<p>Version three</p>\n";
  const std::string u = ownPage(one);
  struct Step {
    const std::string* page;  // the page from this step on (nullptr: unchanged)
    std::vector<std::string> args;
    std::string out;
    int exitCode;
  };
  const std::vector<Step> steps = {
      {nullptr, {"/lc", "/checksum"}, line::initialized, 0},
      {nullptr, {"/lc", "/checksum"}, line::equal(u), 0},
      {&two, {"/lc", "/checksum"}, line::changed(u, tw_test::sha256Hex(two)), 1},
      {nullptr, {"/lc", "/checksum"}, line::equal(u), 0},
      // Pattern and checksum in one run: negative when either is.
      {nullptr, {"/lc", "/checksum", "/t", "*VERSION two*"},
       line::pattern("*VERSION two*", u, true) + line::equal(u), 0},
      {nullptr, {"/lc", "/checksum", "/t", "*gamma*"},
       line::pattern("*gamma*", u, false) + line::equal(u), 1},
      {&three, {"/lc", "/checksum", "/t", "*Version*"},
       line::pattern("*Version*", u, true) + line::changed(u, tw_test::sha256Hex(three)), 1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.out);
    if (s.page != nullptr) ownPage(*s.page);
    std::vector<std::string> args = s.args;
    args.push_back(u);
    ProcessResult r = run(args);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, s.exitCode);
  }
  tw_test::expectNoTempFiles(root.path());

  // Another state directory knows nothing of this page.
  tw_test::TempDir other;
  EXPECT_EQ(tw_test::tarnwick(other.path(), {"/lc", "/checksum", u}).out, line::initialized);
  // An empty page holds no pattern.
  ownPage("");
  ProcessResult empty = run({"/lc", "/t", "*hello*", u});
  EXPECT_EQ(empty.out, line::pattern("*hello*", u, false));
  EXPECT_EQ(empty.exitCode, 1);
}

// Each page checked in a state directory of its own, first run: its lines and
// exit code, the stored checksum (from the event) against the bytes nginx
// serves, and a second run that finds it unchanged.
TEST_F(CheckRunE2E, PagesAsServed) {
  struct Case {
    const char* path = "";
    const char* pattern = "";
    bool found = true;
    const char* storedFile = nullptr;  // the file whose bytes are the stored page
    const char* error = nullptr;       // the failure text of a page not retrieved
  };
  const Case cases[] = {
      {.path = "/plain.html", .pattern = "*Plain text here*", .storedFile = "/plain.html"},
      // nginx compresses /gzip/ only for clients that ask; tarnwick does not ask.
      {.path = "/gzip/page.html", .pattern = "*End of the gzip page*",
       .storedFile = "/gzip/page.html"},
      // Chunked transfer coding.
      {.path = "/chunked/page.html", .pattern = "*End of the chunked page*",
       .storedFile = "/chunked/page.html"},
      // gzip_static always: the body comes gzip-coded although nobody asked,
      // and the file holds the gzip bytes.
      {.path = "/gzstatic/page.html", .pattern = "*End of the gzip page*", .found = false,
       .storedFile = "/gzstatic/page.html.gz"},
      // A NUL hides the rest of its read block only.
      {.path = "/nul/near.txt", .pattern = "*BEHIND-THE-NUL*", .found = false},
      {.path = "/nul/far.txt", .pattern = "*BEHIND-THE-NUL*"},
      // Exactly 8 MiB is searched; one byte more is not, though it is fetched
      // whole (its checksum is still computed and stored).
      {.path = "/big/exact.txt", .pattern = "*NEEDLE-AT-THE-END"},
      {.path = "/big/over.txt", .pattern = "*NEEDLE-AT-THE-END", .found = false,
       .storedFile = "/big/over.txt"},
      {.path = "/missing.html", .error = "HTTP protocol error. 404 Not Found."},
      {.path = "/moved", .error = "HTTP protocol error. 301 Moved Permanently."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string u = url(c.path);
    tw_test::TempDir own;
    std::vector<std::string> args = {"/lc", "/le", "/checksum", u};
    if (*c.pattern != '\0') args.insert(args.begin() + 3, {"/t", c.pattern});
    ProcessResult r = tw_test::tarnwick(own.path(), args);
    tw_test::expectNoTempFiles(own.path());
    if (c.error != nullptr) {
      EXPECT_EQ(r.out, line::failure(u, c.error, 151));
      EXPECT_EQ(r.exitCode, 2);
      continue;
    }
    EXPECT_EQ(r.out, line::initialized + line::pattern(c.pattern, u, c.found)) << r.err;
    EXPECT_EQ(r.exitCode, c.found ? 0 : 1);
    if (c.storedFile != nullptr) {
      const auto events = tw_test::readEvents(own.path());
      ASSERT_EQ(events.size(), 2u);
      EXPECT_EQ(events[1]["event_id"], 1001);
      EXPECT_EQ(events[1]["strings"][1], tw_test::sha256Hex(served(c.storedFile)));
    }
    EXPECT_EQ(tw_test::tarnwick(own.path(), {"/lc", "/checksum", u}).out, line::equal(u));
  }
}

// One event per result kind, read back through the viewer in each of its
// forms, and the event source registered with tarnwick as its message file.
TEST_F(CheckRunE2E, EventsOfEveryResult) {
  const std::string page1 = "<html>a needle in a page</html>", page2 = "<html>nothing to see</html>";
  const std::string u = ownPage(page1), sum1 = tw_test::sha256Hex(page1),
                    sum2 = tw_test::sha256Hex(page2), missing = url("/missing.html");
  const std::string notFound = "HTTP protocol error. 404 Not Found.";
  const std::vector<std::string> args = {"/le", "/checksum", "/t", "*needle*", u};
  EXPECT_EQ(run(args).exitCode, 0);
  EXPECT_EQ(run(args).exitCode, 0);
  ownPage(page2);
  ProcessResult changed = run(args);
  EXPECT_EQ(changed.exitCode, 1);
  // Event-log output only: no console lines but the failure's.
  EXPECT_EQ(changed.out, "");
  ProcessResult failed = run({"/le", "/checksum", missing});
  EXPECT_EQ(failed.exitCode, 2);
  EXPECT_EQ(failed.out, line::failure(missing, notFound, 151));

  struct Expected {
    int id;
    const char* type;
    std::vector<std::string> strings;
    std::string english, german;
  };
  const Expected found = {1010, "information", {"*needle*", u},
                          "Pattern \"*needle*\" was found in URL \"" + u + "\".",
                          "Suchmuster \"*needle*\" wurde in URL \"" + u + "\" gefunden."};
  const std::vector<Expected> expected = {
      found,
      {1001, "warning", {u, sum1}, "The checksum of URL \"" + u + "\" was initialized to \"" + sum1 + "\".",
       "Die Pruefsumme der URL \"" + u + "\" wurde auf \"" + sum1 + "\" initialisiert."},
      found,
      {1003, "information", {u}, "The checksum of URL \"" + u + "\" did not change.",
       "Die Pruefsumme der URL \"" + u + "\" hat sich nicht geaendert."},
      {1011, "error", {"*needle*", u}, "Pattern \"*needle*\" was not found in URL \"" + u + "\".",
       "Suchmuster \"*needle*\" wurde nicht in URL \"" + u + "\" gefunden."},
      {1002, "warning", {u, sum2}, "The checksum of URL \"" + u + "\" changed to \"" + sum2 + "\".",
       "Die Pruefsumme der URL \"" + u + "\" aenderte sich auf \"" + sum2 + "\"."},
      {1000, "error", {missing, notFound, "151"},
       "Unable to connect to \"" + missing + "\" due to error \"" + notFound + "\" (151).",
       "Eine Verbindung zu \"" + missing + "\" konnte wegen Fehler \"" + notFound +
           "\" (151) nicht aufgebaut werden."},
  };
  const auto events = tw_test::readEvents(root.path());
  ASSERT_EQ(events.size(), expected.size());
  const auto viewer = [&](std::vector<std::string> a) {
    a.insert(a.begin(), tw_test::programPath("TARNWICK_EVENTLOG_BIN"));
    return tw_test::runProcess(a, tw_test::inState(root.path()));
  };
  std::string wantEn, wantDe;
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& e = events[i];
    std::vector<std::string> keys;
    for (auto it = e.begin(); it != e.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"record", "time", "source", "category", "event_id",
                                              "type", "strings", "message"}));
    EXPECT_EQ(e["record"], i + 1);
    const std::string time = e["time"];
    EXPECT_TRUE(std::regex_match(time, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
    EXPECT_EQ(e["source"], "Harrowlights");
    EXPECT_EQ(e["category"], 1);
    EXPECT_EQ(e["event_id"], expected[i].id);
    EXPECT_EQ(e["type"], expected[i].type);
    EXPECT_EQ(e["strings"].get<std::vector<std::string>>(), expected[i].strings);
    EXPECT_EQ(e["message"], expected[i].english);
    std::string type = expected[i].type;
    type[0] = static_cast<char>(type[0] - 'a' + 'A');
    const std::string head = "Record:   " + std::to_string(i + 1) + "\nTime:     " + time +
                             "\nSource:   Harrowlights\nCategory: Tarnwick\nEvent ID: " +
                             std::to_string(expected[i].id) + "\nType:     " + type + "\n";
    wantEn += head + expected[i].english + "\n\n";
    wantDe += head + expected[i].german + "\n\n";
  }
  EXPECT_EQ(viewer({}).out, wantEn);
  EXPECT_EQ(viewer({"--lang", "de"}).out, wantDe);
  // Filters: source without case, event ID.
  const auto filtered = tw_test::readEvents(root.path(), {"--id", "1010", "--source", "HARROWLIGHTS"});
  ASSERT_EQ(filtered.size(), 2u);
  EXPECT_EQ(filtered[0]["record"], 1);
  EXPECT_EQ(filtered[1]["record"], 3);
  EXPECT_EQ(viewer({"--source", "Other"}).out, "");

  const ProcessResult source = tw_test::runProcess(
      {tw_test::programPath("TARNWICK_REG_BIN"), "query",
       "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Harrowlights", "--value",
       "EventMessageFile", "--data-only"},
      tw_test::inState(root.path()));
  EXPECT_EQ(source.out, bin + "\n");
}

// Waits until the running check has opened its page file, which it does
// right before the GET (the body itself is written in large blocks, so the
// file may stay empty until the end of a slow page).
bool downloadStarted(const tw_test::TempDir& dir, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& name : tw_test::listDir(dir.path())) {
      if (name.find(".tmp") != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST_F(CheckRunE2E, CtrlCAndCtrlBreakDuringASlowDownloadDoNotEndTheCheck) {
  // nginx sends this page at 64 KiB/s: about four seconds.
  const std::string u = url("/slow/page.txt");
  tw_test::BackgroundProcess p({bin, "/lc", "/checksum", u}, tw_test::inState(root.path()));
  ASSERT_TRUE(downloadStarted(root, 10000));
  for (int sig : {SIGINT, SIGQUIT, SIGINT}) {
    p.signal(sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ProcessResult r = p.wait(60);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, line::initialized);
  // The whole page arrived: the next run finds it unchanged.
  EXPECT_EQ(run({"/lc", "/checksum", u}).out, line::equal(u));
}

TEST_F(CheckRunE2E, TerminationSignalsDuringASlowDownloadEndTheCheck) {
  const std::string u = url("/slow/page.txt");
  for (int sig : {SIGTERM, SIGHUP}) {
    tw_test::BackgroundProcess p({bin, "/lc", "/checksum", u}, tw_test::inState(root.path()));
    ASSERT_TRUE(downloadStarted(root, 10000));
    const auto start = std::chrono::steady_clock::now();
    p.signal(sig);
    ProcessResult r = p.wait(60);
    EXPECT_EQ(r.termSignal, sig);
    EXPECT_EQ(r.out, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    for (const auto& name : tw_test::listDir(root.path())) std::remove(root.file(name).c_str());
  }
}

TEST_F(CheckRunE2E, PeakMemoryDoesNotGrowWithThePage) {
  // 1 MiB and 48 MiB pages, checksum only (the pattern search holds the
  // page in memory by design). The component keeps no copy of the body.
  const std::string small = ownPage(std::string(1 << 20, 's'), ".bin");
  const std::string big = ownPage(std::string(48 << 20, 'b'), ".big");
  tw_test::MeasuredRun a = tw_test::runMeasured({bin, "/lc", "/checksum", small}, root.path(), 120);
  tw_test::MeasuredRun b = tw_test::runMeasured({bin, "/lc", "/checksum", big}, root.path(), 120);
  ASSERT_EQ(a.result.exitCode, 0) << a.result.out;
  ASSERT_EQ(b.result.exitCode, 0) << b.result.out;
  EXPECT_EQ(b.result.out, line::initialized);
  EXPECT_EQ(tw_test::sanitizerReports(root.path()), "");
  // A body kept in memory would add 47 MiB; allow 8 MiB of noise.
  EXPECT_LT(b.maxRssKb - a.maxRssKb, 8 * 1024)
      << "1 MiB page: " << a.maxRssKb << " KiB, 48 MiB page: " << b.maxRssKb << " KiB";
}

}  // namespace
