// Many checks at once sharing one state directory, as a scheduler starts
// them: 50 checks of different pages of nginx (every kind of result: equal,
// changed, found, not found, not retrieved) and 10 of one page, all running
// together. Each run must end with its own exit code and lines, the checksum
// store must hold a well-formed value for every page afterwards, and the
// event log must hold every run's events exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/runs.h"

using tw_test::ProcessResult;
namespace line = tw_test::line;

namespace {

const char kStoreKey[] = "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick";
const char kStaleChecksum[] =
    "0000000000000000000000000000000000000000000000000000000000000000";

// One event as the viewer shows it: id and insertion strings.
using Event = std::pair<int, std::vector<std::string>>;

struct PlannedRun {
  std::string url;
  std::vector<std::string> args;
  int exitCode = 0;
  std::string out;            // expected console output ("" for the same-URL runs)
  std::vector<Event> events;  // expected events ("" for the same-URL runs)
};

class ParallelChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(peers["TW_NGINX_PORT"].empty())
        << "nginx is not running: the peers fixture (tests/support/peers.sh) did not start";
    dir = "/change/parallel_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
          "_" + std::to_string(reinterpret_cast<uintptr_t>(this) & 0xFFFFFF);
    std::filesystem::create_directories(peers.at("TW_NGINX_ROOT") + dir);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(peers.at("TW_NGINX_ROOT") + dir, ec);
  }

  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + peers.at("TW_NGINX_PORT") + dir + "/" + name;
  }
  std::string page(const std::string& name, const std::string& content) {
    tw_test::writeFile(peers.at("TW_NGINX_ROOT") + dir + "/" + name, content);
    return url(name);
  }
  tw_test::ProcessOptions options() const { return tw_test::inState(root.path()); }
  void seed(const std::string& u, const std::string& checksum) {
    ProcessResult r = tw_test::runProcess({tw_test::programPath("TARNWICK_REG_BIN"), "add",
                                           kStoreKey, "--value", u, "--data", checksum},
                                          options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  // Stored checksums by URL, as the registry tool lists them.
  std::map<std::string, std::string> stored() {
    ProcessResult r =
        tw_test::runProcess({tw_test::programPath("TARNWICK_REG_BIN"), "query", kStoreKey}, options());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> values;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const std::string marker = "    REG_SZ    ";
      const size_t at = line.find(marker);
      if (line.rfind("    ", 0) != 0 || at == std::string::npos) continue;
      values[line.substr(4, at - 4)] = line.substr(at + marker.size());
    }
    return values;
  }
  std::map<std::string, std::string> peers = tw_test::readPeersEnv();
  std::string dir;
  tw_test::TempDir root;
};

bool wellFormedChecksum(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

TEST_F(ParallelChecks, SixtyChecksShareOneStateDirectory) {
  const std::string bin = tw_test::programPath("TARNWICK_BIN");
  std::vector<PlannedRun> plan;
  std::map<std::string, std::string> expectedStore;

  for (int i = 0; i < 50; ++i) {
    const std::string name = "page" + std::to_string(i) + ".html";
    const std::string content =
        "<html><body><p>Parallel page " + std::to_string(i) + "</p></body></html>\n";
    const std::string sum = tw_test::sha256Hex(content);
    const int kind = i % 5;
    PlannedRun r;
    r.url = kind == 4 ? url("missing" + std::to_string(i) + ".html") : page(name, content);
    const std::string pattern =
        kind == 2 ? "*Parallel page " + std::to_string(i) + "<*" : "*Closed on Sundays*";
    r.args = {"/lc", "/le", "/checksum", r.url};
    if (kind != 4) expectedStore[r.url] = sum;
    switch (kind) {
      case 0:  // stored before and unchanged
        seed(r.url, sum);
        r.out = line::equal(r.url);
        r.events = {{1003, {r.url}}};
        break;
      case 1:  // stored before with another value: changed
        seed(r.url, kStaleChecksum);
        r.out = line::changed(r.url, sum);
        r.exitCode = 1;
        r.events = {{1002, {r.url, sum}}};
        break;
      case 2:  // first run, the pattern is there
      case 3:  // first run, the pattern is not there (given before /checksum)
        r.args.insert(r.args.begin() + (kind == 2 ? 3 : 2), {"/t", pattern});
        r.out = line::initialized + line::pattern(pattern, r.url, kind == 2);
        r.exitCode = kind == 2 ? 0 : 1;
        r.events = {{kind == 2 ? 1010 : 1011, {pattern, r.url}}, {1001, {r.url, sum}}};
        break;
      case 4:  // a page nobody serves
        r.out = line::failure(r.url, "HTTP protocol error. 404 Not Found.", 151);
        r.exitCode = 2;
        r.events = {{1000, {r.url, "HTTP protocol error. 404 Not Found.", "151"}}};
        break;
    }
    plan.push_back(r);
  }
  const std::string sameContent = "<html><body><p>The page everyone checks</p></body></html>\n";
  const std::string same = page("same.html", sameContent);
  const std::string sameSum = tw_test::sha256Hex(sameContent);
  expectedStore[same] = sameSum;
  for (int i = 0; i < 10; ++i) {
    PlannedRun r;
    r.url = same;
    r.args = {"/lc", "/le", "/checksum", "/timeout", "60", same};
    plan.push_back(r);
  }

  // All at once.
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<tw_test::BackgroundProcess>> running;
  for (const PlannedRun& r : plan) {
    std::vector<std::string> argv = r.args;
    argv.insert(argv.begin(), bin);
    running.push_back(std::make_unique<tw_test::BackgroundProcess>(argv, options()));
  }
  std::vector<ProcessResult> results;
  for (auto& p : running) results.push_back(p->wait(240));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  int sameInitialized = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    SCOPED_TRACE(plan[i].url);
    const ProcessResult& r = results[i];
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.err, "");
    if (plan[i].url == same) {
      // Whoever stores first initialises; the others find it equal (two
      // that read before either wrote both initialise). Both end with 0.
      const bool init = r.out == line::initialized;
      sameInitialized += init ? 1 : 0;
      if (!init) {
        EXPECT_EQ(r.out, line::equal(same));
      }
      EXPECT_EQ(r.exitCode, 0);
    } else {
      EXPECT_EQ(r.out, plan[i].out);
      EXPECT_EQ(r.exitCode, plan[i].exitCode);
    }
  }
  EXPECT_GE(sameInitialized, 1);

  // Every stored value is a whole checksum, the right one, and nothing else
  // is stored.
  const std::map<std::string, std::string> values = stored();
  for (const auto& [u, v] : values) EXPECT_TRUE(wellFormedChecksum(v)) << u << " = " << v;
  EXPECT_EQ(values, expectedStore);

  // Every event exactly once: the planned ones as a multiset, and for the
  // same page one event per run that matches what the run printed.
  std::multiset<Event> expected;
  for (const PlannedRun& r : plan) {
    for (const Event& e : r.events) expected.insert(e);
  }
  for (int i = 0; i < 10; ++i) {
    if (i < sameInitialized) {
      expected.insert({1001, {same, sameSum}});
    } else {
      expected.insert({1003, {same}});
    }
  }
  std::multiset<Event> logged;
  std::set<int64_t> records;
  for (const auto& e : tw_test::readEvents(root.path())) {
    EXPECT_EQ(e["source"], "Harrowlights");
    EXPECT_TRUE(records.insert(e["record"].get<int64_t>()).second) << e.dump();
    logged.insert({e["event_id"].get<int>(), e["strings"].get<std::vector<std::string>>()});
  }
  std::printf("[parallel] %zu runs in %.2f s, %zu events logged, the shared page initialised by %d "
              "of its 10 runs\n",
              plan.size(), seconds, logged.size(), sameInitialized);
  EXPECT_EQ(logged.size(), expected.size());
  EXPECT_TRUE(logged == expected);
  for (const Event& e : expected) {
    EXPECT_EQ(logged.count(e), expected.count(e)) << e.first << " " << e.second.front();
  }
  tw_test::expectNoTempFiles(root.path());
}

}  // namespace
