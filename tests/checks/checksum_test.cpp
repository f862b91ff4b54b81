// The checksum store: in this process, sequences of calls, each with its
// result, its console line and the value it leaves in the registry; across
// processes, a process killed while writing, users without rights and the
// check run's clear path (many processes at once: the parallel checks). The
// checksum itself, SHA-256 as upper-case hex, is compared with the pages
// nginx serves in CheckRunE2E.PagesAsServed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "checks/ChecksumStore.h"
#include "tests/support/registry_env.h"
#include "winsupport/CRegistry.h"

using namespace velmora::checks;
using namespace std::string_literals;

namespace {

const char kStoreKey[] = "Software\\velmora.net\\Loomcraft\\Tarnwick";
const std::string kSumA(64, 'A');
const std::string kSumB = std::string(63, 'A') + "B";
const char kInitialized[] = "Checksum initialized.\n";
const char kCorrupt[] =
    "ERROR: Unable to record checksum (The configuration registry database is corrupt. ) "
    "in registry\n";

std::string stored(const std::string& url, DWORD* type = nullptr) {
  return tw_test::registryValue(HKEY_CURRENT_USER, kStoreKey, url, type);
}
std::string sz(const std::string& text) { return text + '\0'; }
// Writes the stored value of http://h/ with this type and data.
void storeRaw(DWORD type, const std::string& data) {
  ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, kStoreKey, "http://h/", type, data),
            ERROR_SUCCESS);
}

struct Step {
  std::string url = "http://h/";
  std::string checksum{};
  bool console = true;
  ChecksumStoreResult result = Initialized;
  std::string printed{};          // what the call prints
  const char* stored = nullptr;  // the stored data afterwards, when given
};

struct Sequence {
  const char* name = "";
  std::function<void(const std::string& hive)> setUp = [](const std::string&) {};
  std::vector<Step> steps{};
  bool hiveKept = false;  // failed steps leave the hive's bytes alone
};

const Sequence kSequences[] = {
    {.name = "first, equal, changed, equal, clear, first again",
     .steps = {{.checksum = kSumA, .printed = kInitialized},
               {.checksum = kSumA, .result = Equal},
               {.checksum = kSumB, .result = Changed},
               {.checksum = kSumB, .result = Equal},
               {.url = "ignored", .checksum = "clear", .result = Cleared},
               {.checksum = kSumB, .printed = kInitialized}}},
    {.name = "clear without a store fails; only \"clear\" clears",
     .steps = {{.checksum = "clear", .result = Error},
               {.checksum = "CLEAR", .printed = kInitialized}}},
    {.name = "URLs differing by a trailing slash or letter case are separate",
     .steps = {{.url = "http://example.com", .checksum = kSumA, .printed = kInitialized},
               {.url = "http://example.com/", .checksum = kSumB, .printed = kInitialized},
               {.url = "HTTP://EXAMPLE.COM", .checksum = kSumA, .printed = kInitialized},
               {.url = "http://example.com", .checksum = kSumA, .result = Equal}}},
    {.name = "a value too long for the buffer counts as absent",
     .setUp = [](const std::string&) { storeRaw(REG_SZ, std::string(65, 'C') + '\0'); },
     .steps = {{.checksum = kSumA, .printed = kInitialized},
               {.checksum = kSumA, .result = Equal}}},
    {.name = "65 bytes without a NUL are compared within the buffer",
     .setUp = [](const std::string&) { storeRaw(REG_BINARY, std::string(65, 'D')); },
     .steps = {{.checksum = kSumA, .result = Changed}}},
    // Found by the checksum-store fuzz target: a cut sequence at the end
    // took the NUL with it and the value was stored without its terminator.
    // An overlong NUL must not end the stored text early either.
    {.name = "checksum bytes that are not UTF-8 stay a well-formed string",
     .steps = {{.url = "Soft\x01", .checksum = " \xEA", .console = false,
                .stored = " \xEF\xBF\xBD"},
               {.url = "Soft\x01", .checksum = kSumA, .console = false, .result = Changed},
               {.url = "Soft\x01", .checksum = kSumA, .console = false, .result = Equal},
               {.url = "u", .checksum = "\xC0\x80" "AB", .console = false,
                .stored = "\xEF\xBF\xBD\xEF\xBF\xBD" "AB"}}},
    {.name = "a hive that is not a database gives the error line and stays",
     .setUp = [](const std::string& hive) { tw_test::writeFile(hive, std::string(3000, '\x01')); },
     .steps = {{.checksum = kSumA, .result = Error, .printed = kCorrupt},
               {.checksum = kSumA, .console = false, .result = Error, .printed = kCorrupt},
               {.checksum = "clear", .result = Error}},
     .hiveKept = true},
};

class Store : public tw_test::RegistryEnv {};

TEST_F(Store, Sequences) {
  int i = 0;
  for (const Sequence& s : kSequences) {
    SCOPED_TRACE(s.name);
    freshRoot("case" + std::to_string(i++));
    s.setUp(userHive());
    const std::string hive = hiveBytes();
    for (const Step& step : s.steps) {
      SCOPED_TRACE(step.url + " " + step.checksum);
      testing::internal::CaptureStdout();
      EXPECT_EQ(storeChecksum(step.url, step.checksum.c_str(), step.console), step.result);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), step.printed);
      DWORD type = 0;
      const std::string data = stored(step.url, &type);
      if (step.stored) {
        EXPECT_EQ(data, sz(step.stored));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
      } else if (step.result == Initialized || step.result == Changed) {
        EXPECT_EQ(data, sz(step.checksum));  // written as given, with its NUL
      } else if (step.result == Cleared) {
        EXPECT_EQ(data, "<none>");
        CRegistry reg(HKEY_CURRENT_USER);
        EXPECT_TRUE(reg.keyExists("Software\\velmora.net\\Loomcraft"));  // parents stay
        EXPECT_FALSE(reg.keyExists(kStoreKey));
      } else if (s.hiveKept) {
        EXPECT_EQ(hiveBytes(), hive);
      }
    }
  }
}

const char kNotices[] =
    "Neither checksum nor text search option specified, defaulting to checksum.\n"
    "Neither console nor event log logging option specified, defaulting to console.\n";
const std::string kClearFailed =
    std::string(kNotices) + "Unable to remove stored checksums from registry\n";
const char kDenied[] = "ERROR: Unable to record checksum (Access is denied. ) in registry\nresult=0\n";

// A checksum of letter c, distinct for each n below 256.
std::string sum(char c, int n = 0) {
  char head[3];
  std::snprintf(head, sizeof head, "%02X", n & 255);
  return head + std::string(62, c);
}

class StoreProcesses : public tw_test::RegistryEnv {
 protected:
  std::string helper(std::vector<std::string> args, bool asNobody = false) {
    return run("TW_STORE_HELPER", std::move(args), asNobody).out;
  }
  // Stores a first checksum for url in this process.
  void seed(const std::string& url, const std::string& checksum) {
    ASSERT_EQ(storeChecksum(url, checksum.c_str(), false), Initialized);
  }
  tw_test::ProcessResult clear(bool asNobody = false) {
    return run("TARNWICK_BIN", {"/checksums_clear", "http://127.0.0.1:9/"}, asNobody);
  }
  // The first line of the hive's integrity check ("ok" when sound).
  std::string integrity() {
    std::string result = "cannot open";
    sqlite3* db = nullptr;
    sqlite3_open_v2(userHive().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db, "PRAGMA integrity_check", [](void* out, int, char** row, char**) {
      auto& text = *static_cast<std::string*>(out);
      if (text == "cannot open") text = row[0];
      return 0;
    }, &result, nullptr);
    sqlite3_close(db);
    return result;
  }
};

TEST_F(StoreProcesses, KillDuringWritesLeavesEarlierValuesIntact) {
  for (int i = 0; i < 5; ++i) {
    seed("http://keep/" + std::to_string(i), sum('F', i));
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 6; ++round) {
    tw_test::BackgroundProcess churn(
        {tw_test::programPath("TW_STORE_HELPER"), "--churn", "http://busy/", sum('A'), sum('B')},
        options());
    // Wait until it has written once, then kill it at some point of its loop.
    for (int i = 0; i < 2000 && churn.peekOut().find("ready") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(churn.peekOut().find("ready"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
    churn.signal(SIGKILL);
    EXPECT_EQ(churn.wait(30).termSignal, SIGKILL);

    const std::string busy = stored("http://busy/");
    EXPECT_TRUE(busy == sz(sum('A')) || busy == sz(sum('B'))) << busy;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(stored("http://keep/" + std::to_string(i)), sz(sum('F', i))) << "round " << round;
    }
    EXPECT_EQ(integrity(), "ok");
  }
  // The store still takes new values.
  EXPECT_EQ(storeChecksum("http://after/", sum('A').c_str(), false), Initialized);
}

TEST_F(StoreProcesses, UsersWithoutWriteOrReadRights) {
  seed("http://same/", sum('A'));
  seed("http://moved/", sum('A'));
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
  EXPECT_EQ(stored("http://moved/"), sz(sum('A')));

  // A user who cannot read the store cannot record either.
  ASSERT_EQ(chmod(userHive().c_str(), 0600), 0);
  EXPECT_EQ(helper({"http://same/", sum('A')}, true), kDenied);
  // The owner clears it through the check run.
  r = clear();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string(kNotices) + "All stored checksums have been removed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(stored("http://moved/"), "<none>");
}

}  // namespace
