// Many checks at once sharing one state directory, as a scheduler starts
// them: 50 checks of different pages of nginx (every kind of result: equal,
// changed, found, not found, not retrieved) and 10 of one page, all running
// together. Each run must end with its own exit code and lines, the checksum
// store must hold the right value for every page afterwards, and the
// event log must hold every run's events exactly once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
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
  std::string out{};            // expected console output ("" for the same-URL runs)
  std::vector<Event> events{};  // expected events (none for the same-URL runs)
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
  // Stores a checksum for a URL, as an earlier run would have.
  void seed(const std::string& u, const std::string& checksum) {
    ProcessResult r = tw_test::runProcess({tw_test::programPath("TARNWICK_REG_BIN"), "add",
                                           kStoreKey, "--value", u, "--data", checksum},
                                          options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  std::map<std::string, std::string> peers = tw_test::readPeersEnv();
  std::string dir;
  tw_test::TempDir root;
};

TEST_F(ParallelChecks, SixtyChecksShareOneStateDirectory) {
  const std::string bin = tw_test::programPath("TARNWICK_BIN");
  const std::string notFound = "HTTP protocol error. 404 Not Found.";
  std::vector<PlannedRun> plan;
  std::map<std::string, std::string> expectedStore;
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(i);
    const std::string content = "<html><body><p>Parallel page " + n + "</p></body></html>\n";
    const std::string sum = tw_test::sha256Hex(content);
    const int kind = i % 5;
    const std::string u =
        kind == 4 ? url("missing" + n + ".html") : page("page" + n + ".html", content);
    const std::string pattern = kind == 2 ? "*Parallel page " + n + "<*" : "*Closed on Sundays*";
    PlannedRun r{.url = u, .args = {"/lc", "/le", "/checksum", u}};
    if (kind != 4) expectedStore[u] = sum;
    if (kind == 0) {  // stored before and unchanged
      seed(u, sum);
      r.out = line::equal(u);
      r.events = {{1003, {u}}};
    } else if (kind == 1) {  // stored before with another value: changed
      seed(u, kStaleChecksum);
      r = {u, r.args, 1, line::changed(u, sum), {{1002, {u, sum}}}};
    } else if (kind == 2 || kind == 3) {  // first run, the pattern there or not (given first)
      r.args.insert(r.args.begin() + (kind == 2 ? 3 : 2), {"/t", pattern});
      r.out = line::initialized + line::pattern(pattern, u, kind == 2);
      r.exitCode = kind == 2 ? 0 : 1;
      r.events = {{kind == 2 ? 1010 : 1011, {pattern, u}}, {1001, {u, sum}}};
    } else {  // a page nobody serves
      r = {u, r.args, 2, line::failure(u, notFound, 151), {{1000, {u, notFound, "151"}}}};
    }
    plan.push_back(r);
  }
  const std::string sameContent = "<html><body><p>The page everyone checks</p></body></html>\n";
  const std::string same = page("same.html", sameContent);
  const std::string sameSum = tw_test::sha256Hex(sameContent);
  expectedStore[same] = sameSum;
  for (int i = 0; i < 10; ++i) {
    plan.push_back({.url = same, .args = {"/lc", "/le", "/checksum", "/timeout", "60", same}});
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

  // Whoever stores the shared page first initialises it; the others find it
  // equal (two that read before either wrote both initialise). Both end with 0.
  int sameInitialized = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    SCOPED_TRACE(plan[i].url);
    const ProcessResult& r = results[i];
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.err, "");
    if (plan[i].url == same) {
      sameInitialized += r.out == line::initialized ? 1 : 0;
      if (r.out != line::initialized) {
        EXPECT_EQ(r.out, line::equal(same));
      }
    } else {
      EXPECT_EQ(r.out, plan[i].out);
    }
    EXPECT_EQ(r.exitCode, plan[i].exitCode);
  }
  EXPECT_GE(sameInitialized, 1);
  // The right checksum for every page, and nothing else, is stored.
  EXPECT_EQ(tw_test::storedChecksums(root.path()), expectedStore);

  // Every event exactly once: the planned ones, and for the shared page one
  // event per run that matches what the run printed; records 1 to N, none
  // twice and no gap.
  std::multiset<Event> expected, logged;
  for (const PlannedRun& r : plan) expected.insert(r.events.begin(), r.events.end());
  for (int i = 0; i < 10; ++i) {
    expected.insert(i < sameInitialized ? Event{1001, {same, sameSum}} : Event{1003, {same}});
  }
  std::set<int64_t> records;
  for (const auto& e : tw_test::readEvents(root.path())) {
    EXPECT_EQ(e["source"], "Harrowlights");
    EXPECT_TRUE(records.insert(e["record"].get<int64_t>()).second) << e.dump();
    logged.insert({e["event_id"].get<int>(), e["strings"].get<std::vector<std::string>>()});
  }
  std::printf("[parallel] %zu runs in %.2f s, %zu events logged, the shared page initialised by %d "
              "of its 10 runs\n",
              plan.size(), seconds, logged.size(), sameInitialized);
  EXPECT_EQ(logged, expected);
  EXPECT_EQ(records.empty() ? 0 : *records.rbegin(), static_cast<int64_t>(records.size()));
  tw_test::expectNoTempFiles(root.path());
}

}  // namespace
