// Registration of the event source in the machine hive.
#include <unistd.h>

#include <cstring>

#include "logging/Logging.h"
#include "platform/registry.h"
#include "tests/logging/support.h"
#include "winsupport/CRegistry.h"

namespace {

const std::string kEventlog = "SYSTEM\\CurrentControlSet\\Services\\Eventlog";

class RegistrationTest : public tw_logging_test::StateDirTest {
 protected:
  static std::string selfPath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  static bool keyExists(const std::string& key) {
    CRegistry reg(HKEY_LOCAL_MACHINE);
    return reg.keyExists(key.c_str()) != 0;
  }
  static std::string readString(const std::string& key, const char* name) {
    CRegistry reg(HKEY_LOCAL_MACHINE);
    char buf[4096] = {0};
    if (!reg.readString(key.c_str(), name, buf, sizeof buf - 1)) return "<missing>";
    return buf;
  }
  static bool readDword(const std::string& key, const char* name, DWORD& value, DWORD& type) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) {
      return false;
    }
    DWORD size = sizeof value;
    const LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                     &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && size == 4;
  }
  static void createKey(const std::string& key) {
    CRegistry reg(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.createKey(key.c_str())) << reg.lastErrorText;
  }
};

TEST_F(RegistrationTest, RegistersUnderApplicationWithThisExecutableAsMessageFile) {
  velmora::logging::Logging log("Harrowlights", 2);
  log.ensureEventSource(2);
  const std::string key = kEventlog + "\\Application\\Harrowlights";
  ASSERT_TRUE(keyExists(key));
  EXPECT_EQ(readString(key, "EventMessageFile"), selfPath());
  EXPECT_EQ(readString(key, "CategoryMessageFile"), selfPath());
  DWORD value = 0, type = 0;
  ASSERT_TRUE(readDword(key, "CategoryCount", value, type));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 2u);

  // A second call finds it and writes nothing: a changed value survives.
  CRegistry reg(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.writeString(key.c_str(), "EventMessageFile", "/elsewhere"));
  log.ensureEventSource(5);
  EXPECT_EQ(readString(key, "EventMessageFile"), "/elsewhere");
  ASSERT_TRUE(readDword(key, "CategoryCount", value, type));
  EXPECT_EQ(value, 2u);
}

TEST_F(RegistrationTest, SourceKnownUnderAnotherLogRegistersNothingNew) {
  createKey(kEventlog + "\\System\\harrowlights");  // key names ignore case
  createKey(kEventlog + "\\Application\\Other");
  velmora::logging::Logging log("Harrowlights", 2);
  log.ensureEventSource(2);
  EXPECT_FALSE(keyExists(kEventlog + "\\Application\\Harrowlights"));
  EXPECT_EQ(readString(kEventlog + "\\System\\Harrowlights", "EventMessageFile"), "<missing>");
}

// The source sits under the last of 32 or 33 logs in enumeration order:
// only the first 32 are searched, so with 33 it is registered anew.
TEST_F(RegistrationTest, OnlyTheFirstThirtyTwoLogsAreSearched) {
  for (int logs : {32, 33}) {
    SCOPED_TRACE(logs);
    for (int i = 0; i < logs; ++i) {
      createKey(kEventlog + (i < 10 ? "\\Log0" : "\\Log") + std::to_string(i));
    }
    createKey(kEventlog + "\\Log" + std::to_string(logs - 1) + "\\Harrowlights");
    velmora::logging::Logging log("Harrowlights", 2);
    log.ensureEventSource(2);
    EXPECT_EQ(keyExists(kEventlog + "\\Application\\Harrowlights"), logs == 33);
    ASSERT_TRUE(CRegistry(HKEY_LOCAL_MACHINE).deleteKeyTree(kEventlog.c_str()));
  }
}

}  // namespace
