// The built tarnwick as a user runs it, against nginx on loopback (started
// by the peers fixture): the check sequence with the checksum store, pages
// in the forms a web server sends them, the pattern search limits, failures,
// events, signals and memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/support/message_texts.h"
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
  // A page of this test alone under change/, removed at the end; its URL.
  std::string ownPage(const std::string& content, const std::string& ext = ".html") {
    const std::string path = std::string("/change/") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ext;
    tw_test::writeFile(peers.at("TW_NGINX_ROOT") + path, content);
    ownPages.push_back(peers.at("TW_NGINX_ROOT") + path);
    return url(path);
  }

  std::map<std::string, std::string> peers = tw_test::readPeersEnv();
  std::string bin = tw_test::programPath("TARNWICK_BIN");
  tw_test::TempDir root;
  std::vector<std::string> ownPages;
};

// One page through a sequence of checks with the store: each run's lines,
// exit code and events (pattern and checksum in one run are negative when
// either is; event-log output alone prints no lines but a failure's), then
// the events in each of the viewer's forms (the category name comes from the
// message file tarnwick registers for its source).
TEST_F(CheckRunE2E, ResultsLinesExitCodesAndEvents) {
  const std::string one = "<p>Version one</p>\n", two = "<p>Version two</p>\n",
                    three = "<p>Version three</p>\n";
  const std::string u = ownPage(one), s1 = tw_test::sha256Hex(one), s2 = tw_test::sha256Hex(two),
                    s3 = tw_test::sha256Hex(three), missing = url("/missing.html");
  const std::string notFound = "HTTP protocol error. 404 Not Found.";
  struct Event {
    int id;
    const char* type;
    std::vector<std::string> strings;
  };
  struct Step {
    const std::string* page = nullptr;  // the page from this step on (nullptr: unchanged)
    std::vector<std::string> args{};  // the URL follows
    std::string out{};
    int exitCode = 0;
    std::vector<Event> events{};
    std::string url{};  // "": the page's
  };
  const Event equal = {1003, "information", {u}};
  const std::vector<Step> steps = {
      {.args = {"/lc", "/le", "/checksum"}, .out = line::initialized,
       .events = {{1001, "warning", {u, s1}}}},
      {.args = {"/lc", "/le", "/checksum"}, .out = line::equal(u), .events = {equal}},
      {.page = &two, .args = {"/lc", "/checksum"}, .out = line::changed(u, s2), .exitCode = 1},
      {.args = {"/lc", "/le", "/checksum", "/t", "*VERSION two*"},
       .out = line::pattern("*VERSION two*", u, true) + line::equal(u),
       .events = {{1010, "information", {"*VERSION two*", u}}, equal}},
      {.args = {"/lc", "/le", "/checksum", "/t", "*gamma*"},
       .out = line::pattern("*gamma*", u, false) + line::equal(u), .exitCode = 1,
       .events = {{1011, "error", {"*gamma*", u}}, equal}},
      {.page = &three, .args = {"/le", "/checksum", "/t", "*Version*"}, .exitCode = 1,
       .events = {{1010, "information", {"*Version*", u}}, {1002, "warning", {u, s3}}}},
      {.args = {"/le", "/checksum"}, .out = line::failure(missing, notFound, 151), .exitCode = 2,
       .events = {{1000, "error", {missing, notFound, "151"}}}, .url = missing},
  };
  std::vector<Event> expected;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.out);
    if (s.page != nullptr) ownPage(*s.page);
    std::vector<std::string> args = s.args;
    args.push_back(s.url.empty() ? u : s.url);
    ProcessResult r = tw_test::tarnwick(root.path(), args);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, s.exitCode);
    expected.insert(expected.end(), s.events.begin(), s.events.end());
  }
  tw_test::expectNoTempFiles(root.path());

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
                                              "type", "uid", "strings", "message"}));
    EXPECT_EQ(e["uid"], 0);
    EXPECT_EQ(e["record"], i + 1);
    const std::string time = e["time"];
    EXPECT_TRUE(std::regex_match(time, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
    EXPECT_EQ(e["source"], "Harrowlights");
    EXPECT_EQ(e["category"], 1);
    EXPECT_EQ(e["event_id"], expected[i].id);
    EXPECT_EQ(e["type"], expected[i].type);
    EXPECT_EQ(e["strings"].get<std::vector<std::string>>(), expected[i].strings);
    EXPECT_EQ(e["message"], tw_test::messageText(expected[i].id, false, expected[i].strings));
    std::string type = expected[i].type;
    type[0] = static_cast<char>(type[0] - 'a' + 'A');
    const std::string head = "Record:   " + std::to_string(i + 1) + "\nTime:     " + time +
                             "\nSource:   Harrowlights\nCategory: Tarnwick\nEvent ID: " +
                             std::to_string(expected[i].id) + "\nType:     " + type + "\nUser:     0\n";
    wantEn += head + tw_test::messageText(expected[i].id, false, expected[i].strings) + "\n\n";
    wantDe += head + tw_test::messageText(expected[i].id, true, expected[i].strings) + "\n\n";
  }
  EXPECT_EQ(viewer({}).out, wantEn);
  EXPECT_EQ(viewer({"--lang", "de"}).out, wantDe);
  // Filters: source without case, event ID.
  const auto filtered =
      tw_test::readEvents(root.path(), {"--id", "1010", "--source", "HARROWLIGHTS"});
  ASSERT_EQ(filtered.size(), 2u);
  EXPECT_EQ(filtered[0]["record"], 3);
  EXPECT_EQ(filtered[1]["record"], 7);
  EXPECT_EQ(viewer({"--source", "Other"}).out, "");
}

// A full page, the same URL cut short three ways (a reset after a quarter of
// the body, a close before the Content-Length, a chunked body without its
// last chunk), a reason phrase full of control characters, then the full
// page again: each bad run fails with its own line and event and stores
// nothing, so the last run finds the page unchanged. Server text reaches the
// console and the viewer with its control characters replaced.
TEST_F(CheckRunE2E, CutPagesAndServerTextFailCleanly) {
  using tw_test::PeerStep;
  const std::string page(1 << 20, 'p'), quarter(page, 0, 256 * 1024);
  const std::string full = "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\nConnection: close\r\n\r\n";
  const auto answered = [](std::vector<PeerStep> steps) {
    steps.insert(steps.begin(), PeerStep::waitFor("\r\n\r\n"));
    return steps;
  };
  // Each run: the header probe, then the GET.
  std::vector<tw_test::PeerScript> scripts;
  const auto run = [&](std::vector<PeerStep> get) {
    scripts.push_back(answered({PeerStep::send(full), PeerStep::close()}));
    scripts.push_back(answered(std::move(get)));
  };
  run({PeerStep::send(full + page), PeerStep::close()});
  run({PeerStep::send(full + quarter), PeerStep::delay(1000), PeerStep::reset()});
  run({PeerStep::send(full + quarter), PeerStep::close()});
  run({PeerStep::send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40000\r\n" + quarter +
                      "\r\n"),
       PeerStep::close()});
  run({PeerStep::send("HTTP/1.1 500 Bad \x1b[31mThing\x07\r\t\x7f Gr\xc3\xbc\xc3\x9f" "e \xc2\x9b\r\n"
                      "Content-Length: 0\r\n\r\n"),
       PeerStep::close()});
  run({PeerStep::send(full + page), PeerStep::close()});
  tw_test::ScriptedPeer peer(scripts);
  const std::string u = tw_test::urlOf(peer);
  const std::string cut = "HTTP protocol error. The connection closed before the whole page arrived.";
  const std::string reset = "[10054] Connection reset by peer";
  const std::string reason = "HTTP protocol error. 500 Bad ?[31mThing??\t? Gr\xc3\xbc\xc3\x9f" "e ?.";
  const std::vector<std::pair<std::string, int>> failures = {
      {reset, 10054}, {cut, 151}, {cut, 151}, {reason, 151}};

  std::vector<std::string> expected = {line::initialized};
  for (const auto& [text, code] : failures) expected.push_back(line::failure(u, text, code));
  expected.push_back(line::equal(u));
  for (const std::string& want : expected) {
    ProcessResult r = tw_test::tarnwick(root.path(), {"/lc", "/le", "/checksum", "/timeout", "10", u});
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.exitCode, want == line::initialized || want == line::equal(u) ? 0 : 2);
  }
  tw_test::expectNoTempFiles(root.path());

  const auto events = tw_test::readEvents(root.path(), {"--id", "1000"});
  ASSERT_EQ(events.size(), failures.size());
  for (size_t i = 0; i < failures.size(); ++i) {
    const std::vector<std::string> strings = {u, failures[i].first,
                                              std::to_string(failures[i].second)};
    EXPECT_EQ(events[i]["strings"].get<std::vector<std::string>>(), strings);
    EXPECT_EQ(events[i]["message"], tw_test::messageText(1000, false, strings));
  }
  // The viewer's own form holds no control character but line ends and tabs.
  const std::string shown =
      tw_test::runProcess({tw_test::programPath("TARNWICK_EVENTLOG_BIN"), "--id", "1000"},
                          tw_test::inState(root.path()))
          .out;
  EXPECT_NE(shown.find(reason), std::string::npos) << shown;
  for (unsigned char c : shown) EXPECT_TRUE(c >= 0x20 || c == '\n' || c == '\t') << int(c);
}

// https as a user meets it, against nginx: a page over TLS 1.2 and 1.3, on
// each loopback address, trusted through SSL_CERT_FILE or a hashed
// directory; a 404; the certificates a check refuses, each accepted with /i;
// a server that speaks only TLS 1.0, and https to a plain port, which /i
// cannot help. Each failure is also event 1000 with the same text.
TEST_F(CheckRunE2E, HttpsPagesAndRefusals) {
  const std::string ca = peers.at("TW_TEST_CA");
  const std::map<std::string, std::string> file = {{"SSL_CERT_FILE", ca + "/root.pem"}};
  const std::map<std::string, std::string> dir = {{"SSL_CERT_DIR", ca + "/trust"}};
  const auto at = [&](const std::string& kind, const std::string& host = "localhost",
                      const std::string& path = "/plain.html") {
    return "https://" + host + ":" + peers.at("TW_NGINX_TLS_" + kind) + path;
  };
  struct Case {
    std::string url;
    std::string failure{};  // "": the page is stored
    int code = 276;
    bool acceptedWithI = false;  // a failure that /i turns into a stored page
    std::map<std::string, std::string> trust{};
  };
  const auto refused = [&](const std::string& kind, const std::string& status) {
    return Case{at(kind), "error verifying server certificate: " + status, 276, true, file};
  };
  const std::vector<Case> cases = {
      {.url = at("VALID"), .trust = file},
      {.url = at("VALID", "127.0.0.1"), .trust = dir},
      {.url = at("TLS12", "[::1]"), .trust = file},
      {.url = at("VALID", "localhost", "/missing.html"),
       .failure = "HTTP protocol error. 404 Not Found.", .code = 151, .trust = file},
      refused("NOCHAIN", "0x800b0109"),
      refused("SELFSIGNED", "0x800b0109"),
      refused("UNTRUSTED", "0x800b0109"),
      refused("EXPIRED", "0x800b0101"),
      refused("WRONGHOST", "0x800b010f"),
      refused("NOSERVERAUTH", "0x800b0110"),
      {.url = at("TLS10"), .failure = "error during handshake[2]: 0x80090331", .trust = file},
      {.url = "https://127.0.0.1:" + peers.at("TW_NGINX_PORT") + "/plain.html",
       .failure = "error during handshake[2]: 0x80090330", .trust = file},
  };
  const std::string plain = tw_test::readFile(peers.at("TW_NGINX_ROOT") + "/plain.html");
  const auto check = [&](const Case& c, std::vector<std::string> args) {
    tw_test::ProcessOptions options = tw_test::inState(root.path());
    options.env.insert(c.trust.begin(), c.trust.end());
    args.insert(args.begin(), bin);
    args.push_back(c.url);
    return tw_test::runProcess(args, options);
  };
  std::vector<std::vector<std::string>> failures;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const std::string pattern = "*Plain text here*";
    ProcessResult r = check(c, {"/lc", "/le", "/checksum", "/t", pattern, "/timeout", "10"});
    if (c.failure.empty()) {
      EXPECT_EQ(r.out, line::initialized + line::pattern(pattern, c.url, true));
      EXPECT_EQ(check(c, {"/lc", "/checksum"}).out, line::equal(c.url));
      continue;
    }
    EXPECT_EQ(r.out, line::failure(c.url, c.failure, c.code));
    EXPECT_EQ(r.exitCode, 2);
    failures.push_back({c.url, c.failure, std::to_string(c.code)});
    r = check(c, {"/lc", "/i", "/checksum", "/timeout", "10"});
    EXPECT_EQ(r.out, c.acceptedWithI ? line::initialized : line::failure(c.url, c.failure, c.code));
  }
  tw_test::expectNoTempFiles(root.path());
  const auto events = tw_test::readEvents(root.path());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[1]["strings"][1], tw_test::sha256Hex(plain));  // the first page's 1001
  const auto refusals = tw_test::readEvents(root.path(), {"--id", "1000"});
  ASSERT_EQ(refusals.size(), failures.size());
  for (size_t i = 0; i < failures.size(); ++i) {
    EXPECT_EQ(refusals[i]["strings"].get<std::vector<std::string>>(), failures[i]);
  }
}

// The TLS module beside a copy of tarnwick: missing, a link, or a file that
// group or others may change, it is not loaded and an https check fails
// cleanly; a copy of mode 0644 serves the page.
TEST_F(CheckRunE2E, HttpsLoadsOnlyATrustedModule) {
  namespace fs = std::filesystem;
  const fs::path module = fs::path(bin).parent_path() / "tarnwick-tls.so";
  const std::string u = "https://localhost:" + peers.at("TW_NGINX_TLS_VALID") + "/plain.html";
  const std::string unloaded = line::failure(u, "The security library could not be loaded", 270);
  struct Case { int mode; bool link; std::string out; };  // mode 0: no module
  const std::vector<Case> cases = {{0, false, unloaded},
                                   {0644, false, line::initialized},
                                   {0664, false, unloaded},
                                   {0646, false, unloaded},
                                   {0644, true, unloaded}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + (c.link ? " link" : ""));
    tw_test::TempDir dir;
    fs::copy_file(bin, dir.path() + "/tarnwick");
    const std::string file = dir.path() + (c.link ? "/real.so" : "/tarnwick-tls.so");
    if (c.mode != 0) fs::copy_file(module, file);
    if (c.mode != 0) fs::permissions(file, fs::perms(c.mode));
    if (c.link) fs::create_symlink(file, dir.path() + "/tarnwick-tls.so");
    tw_test::ProcessOptions options = tw_test::inState(dir.path());
    options.env["SSL_CERT_FILE"] = peers.at("TW_TEST_CA") + "/root.pem";
    const ProcessResult r =
        tw_test::runProcess({dir.path() + "/tarnwick", "/lc", "/checksum", u}, options);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exitCode, c.out == unloaded ? 2 : 0);
  }
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string u = url(c.path);
    tw_test::TempDir own;
    ProcessResult r =
        tw_test::tarnwick(own.path(), {"/lc", "/le", "/checksum", "/t", c.pattern, u});
    tw_test::expectNoTempFiles(own.path());
    EXPECT_EQ(r.out, line::initialized + line::pattern(c.pattern, u, c.found)) << r.err;
    EXPECT_EQ(r.exitCode, c.found ? 0 : 1);
    if (c.storedFile != nullptr) {
      const auto events = tw_test::readEvents(own.path());
      ASSERT_EQ(events.size(), 2u);
      EXPECT_EQ(events[1]["event_id"], 1001);
      const std::string stored = tw_test::readFile(peers.at("TW_NGINX_ROOT") + c.storedFile);
      EXPECT_EQ(events[1]["strings"][1], tw_test::sha256Hex(stored));
    }
    EXPECT_EQ(tw_test::tarnwick(own.path(), {"/lc", "/checksum", u}).out, line::equal(u));
  }
}

// Credentials from the command line against nginx asking Basic and apache
// asking Digest (the server credentials go out as Basic only, and only when
// both are given), and a page through each squid with the proxy options,
// which try Basic, then Digest, then NTLM: the requests squid logged. An
// https page goes through squid's tunnel: a wrong password ends with the last
// refusal's status line; no credentials end at the first refusal, whose whole
// reply is the text (a retry would have shown a status line alone).
TEST_F(CheckRunE2E, CredentialsForServersAndProxies) {
  const std::string basic = url("/basic/"), digest = "http://127.0.0.1:" +
                            peers.at("TW_APACHE_PORT") + "/digest/";
  const std::string https = "https://localhost:" + peers.at("TW_NGINX_TLS_VALID") + "/plain.html";
  const std::string e401 = "HTTP protocol error. 401 Unauthorized.",
                    e407 = "HTTP/1.1 407 Proxy Authentication Required";
  // The proxy options for that squid, with these credentials ("": none).
  const auto via = [&](const std::string& kind, const std::string& user = "tw",
                       const std::string& password = "tw-secret") {
    std::vector<std::string> args = {"/proxyhost", "127.0.0.1", "/proxyport",
                                     peers.at("TW_SQUID_" + kind + "_PORT")};
    if (!user.empty()) args.insert(args.end(), {"/proxyuser", user, "/proxypass", password});
    return args;
  };
  const auto library = [](std::vector<std::string> args) {
    args.push_back("/usewininet");
    return args;
  };
  struct Case {
    std::string url;
    std::vector<std::string> args;
    std::string failure{};  // "": the page is stored
    std::map<std::string, std::string> env{};
    const char* squid = nullptr;  // the proxy whose log counts the requests
    std::vector<std::string> logged{};
    int code = 151;
    bool replyFollows = false;  // the failure line goes on with the rest of the reply
  };
  const std::vector<Case> cases = {
      {basic, {"/u", "tw", "/p", "tw-secret"}},
      {basic, {"/u", "tw-utf8", "/p", peers.at("TW_HTTP_UTF8_PASSWORD")}},
      {basic, {"/u", "tw", "/p", "wrong"}, e401},
      {basic, {"/u", "tw"}, e401},
      {basic, {"/u", "tw"}, "", {{"TARNWICK_PASSWORD", "tw-secret"}}},
      {digest, {"/u", "tw", "/p", "tw-secret"}, e401},
      {url("/plain.html"), via("BASIC"), "", {}, "basic", {"200"}},
      {url("/plain.html"), via("DIGEST"), "", {}, "digest", {"407", "407", "200"}},
      {url("/plain.html"), via("NTLM"), "", {}, "ntlm", {"407", "407", "407", "407", "200"}},
      // Through the Internet library, which answers the 407 itself and
      // follows a same-scheme redirect.
      {url("/plain.html"), library(via("BASIC")), "", {}, "basic", {"407", "200"}},
      {url("/rel/up"), library(via("PLAIN", "")), "", {}, "plain", {"302", "200"}},
      {https, via("PLAIN", "")},
      {https, via("BASIC")},
      {https, via("DIGEST")},
      {https, via("NTLM", "someone", "any")},
      {.url = https, .args = via("BASIC", "tw", "wrong"), .failure = e407, .code = 118},
      {.url = https, .args = via("DIGEST", "tw", "wrong"), .failure = e407, .code = 118},
      {.url = https, .args = via("BASIC", ""), .failure = e407 + "??Server: squid/", .code = 118,
       .replyFollows = true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string tag = "e2e" + std::to_string(getpid()) + "-" + std::to_string(i);
    const std::string u = c.url + "?" + tag;
    SCOPED_TRACE(u);
    tw_test::TempDir own;
    tw_test::ProcessOptions options = tw_test::inState(own.path());
    options.env.insert(c.env.begin(), c.env.end());
    std::vector<std::string> args = {bin, "/lc", "/checksum", "/timeout", "10"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(u);
    ProcessResult r = tw_test::runProcess(args, options);
    std::string want = c.failure.empty() ? line::initialized : line::failure(u, c.failure, c.code);
    if (c.replyFollows) want.resize(want.find(c.failure) + c.failure.size());
    EXPECT_EQ(c.replyFollows ? r.out.substr(0, want.size()) : r.out, want);
    EXPECT_EQ(r.exitCode, c.failure.empty() ? 0 : 2);
    if (c.squid == nullptr) continue;
    std::vector<std::string> statuses;
    for (const std::string& s : tw_test::loggedGets(
             peers.at("TW_PEERS_DIR") + "/squid-" + c.squid + "/access.log", tag, c.logged.size())) {
      statuses.push_back(s.substr(0, 3));
    }
    EXPECT_EQ(statuses, c.logged);
  }
}

// Waits until the running check has created its page file, which it does
// right before the fetch (the body itself is written in large blocks, so the
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

// Ctrl+C and Ctrl+Break (SIGINT, SIGQUIT) do not end the check, which goes
// on to fetch the whole page; SIGTERM and SIGHUP end it at once, silently.
TEST_F(CheckRunE2E, SignalsDuringASlowDownload) {
  // nginx sends this page at 64 KiB/s: about four seconds.
  const std::string u = url("/slow/page.txt");
  struct Case {
    std::vector<int> signals;
    int termSignal;
  };
  for (const Case& c : {Case{{SIGINT, SIGQUIT, SIGINT}, 0}, Case{{SIGTERM}, SIGTERM},
                        Case{{SIGHUP}, SIGHUP}}) {
    SCOPED_TRACE(c.signals[0]);
    tw_test::TempDir own;
    tw_test::BackgroundProcess p({bin, "/lc", "/checksum", u}, tw_test::inState(own.path()));
    ASSERT_TRUE(downloadStarted(own, 10000));
    const auto start = std::chrono::steady_clock::now();
    for (int sig : c.signals) {
      p.signal(sig);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ProcessResult r = p.wait(60);
    EXPECT_EQ(r.termSignal, c.termSignal);
    if (c.termSignal != 0) {
      EXPECT_EQ(r.out, "");
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    } else {
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.out, line::initialized);
      // The whole page arrived: the next run finds it unchanged.
      EXPECT_EQ(tw_test::tarnwick(own.path(), {"/lc", "/checksum", u}).out, line::equal(u));
    }
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
