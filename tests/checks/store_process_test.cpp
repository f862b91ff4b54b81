// The checksum store across processes: the check run's clear path, many
// processes at once, a process killed while writing, a user without rights.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/registry_env.h"

namespace {

const char kNotices[] =
    "Neither checksum nor text search option specified, defaulting to checksum.\n"
    "Neither console nor event log logging option specified, defaulting to console.\n";
const std::string kClearFailed =
    std::string(kNotices) + "Unable to remove stored checksums from registry\n";
const char kDenied[] = "ERROR: Unable to record checksum (Access is denied. ) in registry\nresult=0\n";

std::string sum(char c, int n = 0) {
  std::string s(64, c);
  const char* hex = "0123456789ABCDEF";
  s[0] = hex[n & 15];
  s[1] = hex[(n >> 4) & 15];
  return s;
}

class StoreProcesses : public tw_test::RegistryEnv {
 protected:
  std::string helper(std::vector<std::string> args, bool asNobody = false) {
    return run("TW_STORE_HELPER", std::move(args), asNobody).out;
  }
  tw_test::ProcessResult clear(bool asNobody = false) {
    return run("TARNWICK_BIN", {"/checksums_clear", "http://127.0.0.1:9/"}, asNobody);
  }
  // The stored value for url, or "<none>".
  std::string stored(const std::string& url) {
    auto r = run("TARNWICK_REG", {"query", "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick",
                                  "--value", url, "--data-only"});
    return r.exitCode == 0 ? r.out.substr(0, r.out.size() - 1) : "<none>";
  }
  std::string integrity() {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_open_v2(userHive().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return result;
  }
};

// The check run's clear path: the notices, its line, and the values gone.
TEST_F(StoreProcesses, ClearThroughTheCheckRun) {
  ASSERT_EQ(helper({"--quiet", "http://site/", sum('A')}), "result=1\n");
  auto r = clear();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string(kNotices) + "All stored checksums have been removed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(stored("http://site/"), "<none>");
}

TEST_F(StoreProcesses, ManyProcessesAtOnceLoseNothing) {
  constexpr int kOwnUrls = 16, kSameUrl = 8;
  const std::string go = dir.file("go");
  const std::string helperPath = tw_test::programPath("TW_STORE_HELPER");
  std::vector<std::unique_ptr<tw_test::BackgroundProcess>> procs;
  for (int i = 0; i < kOwnUrls + kSameUrl; ++i) {
    // Each of the first owns its URL: first use, no change, a change.
    std::vector<std::string> args = {helperPath, "--go", go, "--quiet"};
    if (i < kOwnUrls) {
      args.insert(args.end(), {"http://site/" + std::to_string(i), sum('C', i), sum('C', i), sum('D', i)});
    } else {
      args.insert(args.end(), {"http://shared/", sum('E'), sum('E')});
    }
    procs.push_back(std::make_unique<tw_test::BackgroundProcess>(args, env()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let them all start
  tw_test::writeFile(go, "");

  int sharedInitialized = 0;
  for (int i = 0; i < kOwnUrls + kSameUrl; ++i) {
    auto r = procs[i]->wait(120);
    ASSERT_EQ(r.termSignal, 0) << "process " << i << " " << r.err;
    ASSERT_EQ(r.exitCode, 0) << "process " << i << " " << r.err;
    if (i < kOwnUrls) {
      EXPECT_EQ(r.out, "result=1\nresult=3\nresult=2\n") << "process " << i;
    } else {
      // Another process may record the value between this one's read and
      // its write, so a first use can be reported more than once.
      EXPECT_TRUE(r.out == "result=1\nresult=3\n" || r.out == "result=3\nresult=3\n") << r.out;
      sharedInitialized += r.out.rfind("result=1", 0) == 0;
    }
  }
  EXPECT_GE(sharedInitialized, 1);
  for (int i = 0; i < kOwnUrls; ++i) EXPECT_EQ(stored("http://site/" + std::to_string(i)), sum('D', i));
  EXPECT_EQ(stored("http://shared/"), sum('E'));
  EXPECT_EQ(integrity(), "ok");
}

TEST_F(StoreProcesses, KillDuringWritesLeavesEarlierValuesIntact) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(helper({"--quiet", "http://keep/" + std::to_string(i), sum('F', i)}), "result=1\n");
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 6; ++round) {
    tw_test::BackgroundProcess churn(
        {tw_test::programPath("TW_STORE_HELPER"), "--churn", "http://busy/", sum('A'), sum('B')},
        env());
    // Wait until it has written once, then kill it at some point of its loop.
    for (int i = 0; i < 2000 && churn.peekOut().find("ready") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(churn.peekOut().find("ready"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
    churn.signal(SIGKILL);
    EXPECT_EQ(churn.wait(30).termSignal, SIGKILL);

    const std::string busy = stored("http://busy/");
    EXPECT_TRUE(busy == sum('A') || busy == sum('B')) << busy;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(stored("http://keep/" + std::to_string(i)), sum('F', i)) << "round " << round;
    }
    EXPECT_EQ(integrity(), "ok");
  }
  // The store still takes new values.
  EXPECT_EQ(helper({"--quiet", "http://after/", sum('A')}), "result=1\n");
}

TEST_F(StoreProcesses, UsersWithoutWriteOrReadRights) {
  ASSERT_EQ(helper({"--quiet", "http://same/", sum('A')}), "result=1\n");
  ASSERT_EQ(helper({"--quiet", "http://moved/", sum('A')}), "result=1\n");
  openDirectoryToAll();
  ASSERT_EQ(chmod(userHive().c_str(), 0644), 0);
  const std::string before = tw_test::readFile(userHive());

  EXPECT_EQ(helper({"http://new/", sum('A')}, true), kDenied);
  EXPECT_EQ(helper({"http://same/", sum('A')}, true), "result=3\n");
  // The change is reported; the write fails quietly and the old value stays.
  EXPECT_EQ(helper({"http://moved/", sum('B')}, true), "result=2\n");
  auto r = clear(true);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kClearFailed);
  EXPECT_EQ(tw_test::readFile(userHive()), before);
  EXPECT_EQ(stored("http://moved/"), sum('A'));

  // A user who cannot read the store cannot record either.
  ASSERT_EQ(chmod(userHive().c_str(), 0600), 0);
  EXPECT_EQ(helper({"http://same/", sum('A')}, true), kDenied);
}

}  // namespace
