// The checksum store across processes: a sequence of runs, many processes
// at once, a process killed while writing, a user without rights, and the
// check run's clear path.
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

#include "tests/registry/registry_env.h"

namespace {

const char kStoreKey[] = "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick";
const char kNotices[] =
    "Neither checksum nor text search option specified, defaulting to checksum.\n"
    "Neither console nor event log logging option specified, defaulting to console.\n";

std::string sum(char c, int n = 0) {
  std::string s(64, c);
  const char* hex = "0123456789ABCDEF";
  s[0] = hex[n & 15];
  s[1] = hex[(n >> 4) & 15];
  return s;
}

bool wellFormed(const std::string& s) {
  return s.size() == 64 && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class StoreProcesses : public RegistryEnv {
 protected:
  tw_test::ProcessOptions env() const {
    tw_test::ProcessOptions o;
    o.env["TARNWICK_ROOT"] = dir.path();
    o.env["TMPDIR"] = dir.path();
    return o;
  }
  tw_test::ProcessResult helper(std::vector<std::string> args) {
    args.insert(args.begin(), tw_test::programPath("TW_STORE_HELPER"));
    return tw_test::runProcess(args, env());
  }
  tw_test::ProcessResult tarnwick(std::vector<std::string> args) {
    args.insert(args.begin(), tw_test::programPath("TARNWICK_BIN"));
    return tw_test::runProcess(args, env());
  }
  // The stored value for url, or "<none>".
  std::string stored(const std::string& url) {
    auto r = tw_test::runProcess({tw_test::programPath("TARNWICK_REG"), "query", kStoreKey,
                                  "--value", url, "--data-only"},
                                 env());
    return r.exitCode == 0 ? r.out.substr(0, r.out.size() - 1) : "<none>";
  }
  std::string integrity() {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(userHive().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW) {
        result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
  }
};

TEST_F(StoreProcesses, FirstEqualChangedClearedAcrossRuns) {
  auto r = helper({"http://site/", sum('A')});
  EXPECT_EQ(r.out, "Checksum initialized.\nresult=1\n");
  EXPECT_EQ(helper({"http://site/", sum('A')}).out, "result=3\n");
  EXPECT_EQ(helper({"http://site/", sum('B')}).out, "result=2\n");
  EXPECT_EQ(helper({"http://site/", sum('B')}).out, "result=3\n");
  EXPECT_EQ(stored("http://site/"), sum('B'));

  auto clear = tarnwick({"/checksums_clear", "http://127.0.0.1:9/"});
  EXPECT_EQ(clear.exitCode, 0);
  EXPECT_EQ(clear.out, std::string(kNotices) + "All stored checksums have been removed\n");
  EXPECT_EQ(stored("http://site/"), "<none>");
  // The family key stays.
  EXPECT_EQ(tw_test::runProcess({tw_test::programPath("TARNWICK_REG"), "query",
                                 "HKCU\\Software\\velmora.net\\Loomcraft"},
                                env())
                .exitCode,
            0);

  EXPECT_EQ(helper({"--quiet", "http://site/", sum('B')}).out, "result=1\n");
}

TEST_F(StoreProcesses, ClearWithNothingStored) {
  auto clear = tarnwick({"/checksums_clear", "http://127.0.0.1:9/"});
  EXPECT_EQ(clear.exitCode, 0);
  EXPECT_EQ(clear.out, std::string(kNotices) + "Unable to remove stored checksums from registry\n");
  EXPECT_EQ(clear.err, "");
}

TEST_F(StoreProcesses, ClearOnAHiveThatIsNotADatabase) {
  tw_test::writeFile(userHive(), "garbage\n");
  auto clear = tarnwick({"/checksums_clear", "http://127.0.0.1:9/"});
  EXPECT_EQ(clear.exitCode, 0);
  EXPECT_EQ(clear.termSignal, 0);
  EXPECT_EQ(clear.out, std::string(kNotices) + "Unable to remove stored checksums from registry\n");
  auto store = helper({"http://site/", sum('A')});
  EXPECT_EQ(store.exitCode, 0);
  EXPECT_EQ(store.out,
            "ERROR: Unable to record checksum (The configuration registry database is corrupt. ) "
            "in registry\nresult=0\n");
  EXPECT_EQ(tw_test::readFile(userHive()), "garbage\n");
}

TEST_F(StoreProcesses, ManyProcessesAtOnceLoseNothing) {
  constexpr int kOwnUrls = 16, kSameUrl = 8;
  const std::string go = dir.file("go");
  std::vector<std::unique_ptr<tw_test::BackgroundProcess>> procs;
  const std::string helperPath = tw_test::programPath("TW_STORE_HELPER");
  for (int i = 0; i < kOwnUrls; ++i) {
    // Each owns its URL: first use, no change, a change.
    procs.push_back(std::make_unique<tw_test::BackgroundProcess>(
        std::vector<std::string>{helperPath, "--go", go, "--quiet",
                                 "http://site/" + std::to_string(i), sum('C', i), sum('C', i),
                                 sum('D', i)},
        env()));
  }
  for (int i = 0; i < kSameUrl; ++i) {
    procs.push_back(std::make_unique<tw_test::BackgroundProcess>(
        std::vector<std::string>{helperPath, "--go", go, "--quiet", "http://shared/", sum('E'),
                                 sum('E')},
        env()));
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
      EXPECT_TRUE(r.out == "result=1\nresult=3\n" || r.out == "result=3\nresult=3\n")
          << r.out;
      if (r.out.rfind("result=1", 0) == 0) ++sharedInitialized;
    }
  }
  EXPECT_GE(sharedInitialized, 1);
  for (int i = 0; i < kOwnUrls; ++i) {
    std::string v = stored("http://site/" + std::to_string(i));
    EXPECT_TRUE(wellFormed(v)) << v;
    EXPECT_EQ(v, sum('D', i));
  }
  EXPECT_EQ(stored("http://shared/"), sum('E'));
  EXPECT_EQ(integrity(), "ok");
}

TEST_F(StoreProcesses, KillDuringWritesLeavesEarlierValuesIntact) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(helper({"--quiet", "http://keep/" + std::to_string(i), sum('F', i)}).out,
              "result=1\n");
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
    auto r = churn.wait(30);
    EXPECT_EQ(r.termSignal, SIGKILL);

    const std::string busy = stored("http://busy/");
    EXPECT_TRUE(busy == sum('A') || busy == sum('B')) << busy;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(stored("http://keep/" + std::to_string(i)), sum('F', i)) << "round " << round;
    }
    EXPECT_EQ(integrity(), "ok");
  }
  // The store still takes new values.
  EXPECT_EQ(helper({"--quiet", "http://after/", sum('A')}).out, "result=1\n");
}

TEST_F(StoreProcesses, UserWithoutWriteRights) {
  ASSERT_EQ(helper({"--quiet", "http://same/", sum('A')}).out, "result=1\n");
  ASSERT_EQ(helper({"--quiet", "http://moved/", sum('A')}).out, "result=1\n");
  openDirectoryToAll();
  ASSERT_EQ(chmod(userHive().c_str(), 0644), 0);
  const std::string before = tw_test::readFile(userHive());
  const std::string helperPath = tw_test::programPath("TW_STORE_HELPER");

  auto fresh = runAsNobody({helperPath, "http://new/", sum('A')}, dir.path());
  EXPECT_EQ(fresh.exitCode, 0) << fresh.err;
  EXPECT_EQ(fresh.out, "ERROR: Unable to record checksum (Access is denied. ) in registry\nresult=0\n");
  auto same = runAsNobody({helperPath, "http://same/", sum('A')}, dir.path());
  EXPECT_EQ(same.out, "result=3\n");
  // The change is reported; the write fails quietly and the old value stays.
  auto moved = runAsNobody({helperPath, "http://moved/", sum('B')}, dir.path());
  EXPECT_EQ(moved.out, "result=2\n");

  auto clear = runAsNobody({tw_test::programPath("TARNWICK_BIN"), "/checksums_clear", "http://x/"},
                           dir.path());
  EXPECT_EQ(clear.exitCode, 0) << clear.err;
  EXPECT_EQ(clear.out, std::string(kNotices) + "Unable to remove stored checksums from registry\n");

  EXPECT_EQ(tw_test::readFile(userHive()), before);
  EXPECT_EQ(stored("http://moved/"), sum('A'));
}

TEST_F(StoreProcesses, UserWhoCannotReadTheStore) {
  ASSERT_EQ(helper({"--quiet", "http://same/", sum('A')}).out, "result=1\n");
  openDirectoryToAll();
  ASSERT_EQ(chmod(userHive().c_str(), 0600), 0);
  auto r = runAsNobody({tw_test::programPath("TW_STORE_HELPER"), "http://same/", sum('A')},
                       dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ERROR: Unable to record checksum (Access is denied. ) in registry\nresult=0\n");
}

}  // namespace
