// storeChecksum in this process: sequences of calls, each with its result,
// its console line and the value it leaves in the registry.
#include <gtest/gtest.h>

#include <functional>
#include <string>
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

// The raw data of a stored value as a narrow reader gets it, its NUL
// included; "<none>" when it cannot be read.
std::string stored(const std::string& url, DWORD* type = nullptr) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "<none>";
  }
  char buf[256];
  DWORD size = sizeof buf;
  LONG rc = RegQueryValueExA(key, url.c_str(), nullptr, type, reinterpret_cast<LPBYTE>(buf), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::string(buf, size) : "<none>";
}
std::string sz(const std::string& text) { return text + '\0'; }

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

std::vector<Sequence> sequences() {
  return {
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
      {.name = "letter case of the checksum counts",
       .steps = {{.checksum = kSumA, .console = false},
                 {.checksum = std::string(64, 'a'), .result = Changed}}},
      {.name = "a value too long for the buffer counts as absent",
       .setUp =
           [](const std::string&) {
             CRegistry r(HKEY_CURRENT_USER);
             ASSERT_TRUE(r.createKey(kStoreKey));
             ASSERT_TRUE(r.writeString(kStoreKey, "http://h/", std::string(65, 'C').c_str()));
           },
       .steps = {{.checksum = kSumA, .printed = kInitialized},
                 {.checksum = kSumA, .result = Equal}}},
      {.name = "65 bytes without a NUL are compared within the buffer",
       .setUp =
           [](const std::string&) {
             HKEY key;
             ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                       nullptr, &key, nullptr),
                       ERROR_SUCCESS);
             ASSERT_EQ(RegSetValueExA(key, "http://h/", 0, REG_BINARY,
                                      reinterpret_cast<const BYTE*>(std::string(65, 'D').data()), 65),
                       ERROR_SUCCESS);
             RegCloseKey(key);
           },
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
}

class Store : public tw_test::RegistryEnv {};

TEST_F(Store, Sequences) {
  int i = 0;
  for (const Sequence& s : sequences()) {
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

}  // namespace
