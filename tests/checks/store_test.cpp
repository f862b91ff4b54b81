// storeChecksum in this process: results, console lines and the registry
// values it leaves.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "checks/ChecksumStore.h"
#include "tests/registry/registry_env.h"
#include "winsupport/CRegistry.h"

using namespace velmora::checks;

namespace {

const char kStoreKey[] = "Software\\velmora.net\\Loomcraft\\Tarnwick";
const std::string kSumA(64, 'A');
const std::string kSumB = std::string(63, 'A') + "B";

class Store : public RegistryEnv {
 protected:
  // Runs storeChecksum and keeps what it printed.
  ChecksumStoreResult store(const std::string& url, const std::string& checksum,
                            bool console = true) {
    testing::internal::CaptureStdout();
    ChecksumStoreResult r = storeChecksum(url, checksum.c_str(), console);
    printed = testing::internal::GetCapturedStdout();
    return r;
  }
  // The stored value, or "<none>".
  std::string stored(const std::string& url) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return "<none>";
    }
    char buf[256] = {0};
    DWORD size = sizeof buf - 1;
    LONG rc = RegQueryValueExA(key, url.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(buf),
                               &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(buf) : "<none>";
  }
  std::string printed;
};

TEST_F(Store, FirstEqualChangedEqualThenClear) {
  EXPECT_EQ(store("http://h/", kSumA), Initialized);
  EXPECT_EQ(printed, "Checksum initialized.\n");
  EXPECT_EQ(stored("http://h/"), kSumA);
  EXPECT_EQ(store("http://h/", kSumA), Equal);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(store("http://h/", kSumB), Changed);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(stored("http://h/"), kSumB);
  EXPECT_EQ(store("http://h/", kSumB), Equal);

  EXPECT_EQ(store("ignored", "clear"), Cleared);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(stored("http://h/"), "<none>");
  CRegistry reg(HKEY_CURRENT_USER);
  EXPECT_TRUE(reg.keyExists("Software\\velmora.net\\Loomcraft"));  // parents stay
  EXPECT_FALSE(reg.keyExists(kStoreKey));

  EXPECT_EQ(store("http://h/", kSumB), Initialized);
}

TEST_F(Store, ClearWithoutAStoreFails) {
  EXPECT_EQ(store("http://h/", "clear"), Error);
  EXPECT_EQ(printed, "");
  // "clear" is matched exactly; anything else is a checksum.
  EXPECT_EQ(store("http://h/", "CLEAR"), Initialized);
  EXPECT_EQ(stored("http://h/"), "CLEAR");
}

TEST_F(Store, UrlsDifferingOnlyByATrailingSlashAreSeparate) {
  EXPECT_EQ(store("http://example.com", kSumA), Initialized);
  EXPECT_EQ(store("http://example.com/", kSumB), Initialized);
  EXPECT_EQ(stored("http://example.com"), kSumA);
  EXPECT_EQ(stored("http://example.com/"), kSumB);
  EXPECT_EQ(store("HTTP://EXAMPLE.COM", kSumA), Initialized);
  EXPECT_EQ(store("http://example.com", kSumA), Equal);
}

TEST_F(Store, LetterCaseOfTheChecksumCounts) {
  std::string lower(64, 'a');
  EXPECT_EQ(store("u", kSumA), Initialized);
  EXPECT_EQ(store("u", lower), Changed);
  EXPECT_EQ(stored("u"), lower);
}

TEST_F(Store, QuietRunPrintsNothingOnFirstUse) {
  EXPECT_EQ(store("http://q/", kSumA, false), Initialized);
  EXPECT_EQ(printed, "");
}

TEST_F(Store, AValueTooLongForTheBufferCountsAsAbsent) {
  CRegistry reg(HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.createKey(kStoreKey));
  ASSERT_TRUE(reg.writeString(kStoreKey, "http://long/", std::string(65, 'C').c_str()));
  EXPECT_EQ(store("http://long/", kSumA), Initialized);
  EXPECT_EQ(printed, "Checksum initialized.\n");
  EXPECT_EQ(stored("http://long/"), kSumA);

  // 64 characters and the NUL fit: read and compared.
  EXPECT_EQ(store("http://long/", kSumA), Equal);
}

TEST_F(Store, AStoredValueWithoutItsNulIsComparedWithinTheBuffer) {
  // Exactly 65 bytes of data and no NUL: it fits the buffer but is not a
  // string; the comparison stays inside the buffer.
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const std::string raw(65, 'D');
  ASSERT_EQ(RegSetValueExA(key, "u", 0, REG_BINARY, reinterpret_cast<const BYTE*>(raw.data()), 65),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(store("u", kSumA), Changed);
  EXPECT_EQ(stored("u"), kSumA);
}

// The raw data of a stored value as a narrow reader gets it, its NUL
// included; "<none>" when it cannot be read.
std::string rawStored(const std::string& url, DWORD* type) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "<none>";
  }
  char buf[256];
  DWORD size = sizeof buf;
  LONG rc = RegQueryValueExA(key, url.c_str(), nullptr, type, reinterpret_cast<LPBYTE>(buf),
                             &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::string(buf, size) : "<none>";
}

TEST_F(Store, ChecksumBytesThatAreNotUtf8StayAWellFormedString) {
  // Found by the checksum-store fuzz target (URL "Soft\x01", checksum
  // " \xEA"): the cut sequence at the end took the NUL with it and the
  // value was stored without its terminator.
  DWORD type = 0;
  EXPECT_EQ(store("Soft\x01", " \xEA", false), Initialized);
  EXPECT_EQ(rawStored("Soft\x01", &type), std::string(" \xEF\xBF\xBD\0", 5));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(store("Soft\x01", kSumA, false), Changed);
  EXPECT_EQ(store("Soft\x01", kSumA, false), Equal);

  // An overlong NUL must not end the stored text early.
  EXPECT_EQ(store("u", "\xC0\x80" "AB", false), Initialized);
  EXPECT_EQ(rawStored("u", &type), std::string("\xEF\xBF\xBD\xEF\xBF\xBD" "AB\0", 9));
}

TEST_F(Store, NotADatabaseGivesTheErrorLineAndLeavesTheFile) {
  const std::string junk(3000, '\x01');
  tw_test::writeFile(userHive(), junk);
  for (bool console : {true, false}) {
    EXPECT_EQ(store("http://h/", kSumA, console), Error);
    EXPECT_EQ(printed,
              "ERROR: Unable to record checksum (The configuration registry database is corrupt. ) "
              "in registry\n");
  }
  EXPECT_EQ(store("http://h/", "clear"), Error);
  EXPECT_EQ(tw_test::readFile(userHive()), junk);
}

}  // namespace
