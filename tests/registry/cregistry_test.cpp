// CRegistry: its operations, their error texts and the recursive delete.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/registry/registry_env.h"
#include "winsupport/CRegistry.h"

namespace {

class CRegistryTest : public RegistryEnv {
 protected:
  std::unique_ptr<CRegistry> reg = std::make_unique<CRegistry>(HKEY_CURRENT_USER);
};

TEST_F(CRegistryTest, CreateOnAnExistingKeyChangesNothing) {
  ASSERT_TRUE(reg->createKey("Software\\Maker\\Product"));
  ASSERT_TRUE(reg->writeString("Software\\Maker\\Product", "v", "kept"));
  EXPECT_TRUE(reg->createKey("software\\maker\\PRODUCT"));
  char buf[16] = {0};
  ASSERT_TRUE(reg->readString("Software\\Maker\\Product", "v", buf, sizeof buf));
  EXPECT_STREQ(buf, "kept");
  EXPECT_EQ(reg->countSubkeys("Software\\Maker"), 1u);
  EXPECT_TRUE(reg->keyExists("SOFTWARE\\MAKER"));
  EXPECT_FALSE(reg->keyExists("Software\\Other"));
  EXPECT_STREQ(reg->lastErrorText, "The system cannot find the file specified. ");
}

TEST_F(CRegistryTest, ReadIntoAShortBufferFailsWithAnEmptyBuffer) {
  ASSERT_TRUE(reg->createKey("Software\\R"));
  ASSERT_TRUE(reg->writeString("Software\\R", "long", std::string(70, 'A').c_str()));
  char buf[65];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_FALSE(reg->readString("Software\\R", "long", buf, sizeof buf));
  EXPECT_EQ(buf[0], '\0');
  EXPECT_STREQ(reg->lastErrorText, "More data is available. ");

  // 64 characters and the NUL fit exactly.
  ASSERT_TRUE(reg->writeString("Software\\R", "fits", std::string(64, 'B').c_str()));
  std::memset(buf, 'x', sizeof buf);
  EXPECT_TRUE(reg->readString("Software\\R", "fits", buf, sizeof buf));
  EXPECT_EQ(std::string(buf), std::string(64, 'B'));
  EXPECT_STREQ(reg->lastErrorText, "");  // emptied by the successful operation

  EXPECT_FALSE(reg->readString("Software\\R", "absent", buf, sizeof buf));
  EXPECT_STREQ(reg->lastErrorText, "The system cannot find the file specified. ");
  EXPECT_FALSE(reg->readString("Software\\None", "v", buf, sizeof buf));
}

TEST_F(CRegistryTest, DeleteKeyTreeRemovesAThreeLevelSubtree) {
  const char* keys[] = {"Software\\Top\\Store\\A\\A1\\A1x", "Software\\Top\\Store\\A\\A2",
                        "Software\\Top\\Store\\B\\B1\\B1x", "Software\\Top\\Store\\C",
                        "Software\\Top\\Sibling"};
  for (const char* k : keys) ASSERT_TRUE(reg->createKey(k)) << k;
  ASSERT_TRUE(reg->writeString("Software\\Top\\Store", "url", "X"));
  ASSERT_TRUE(reg->writeString("Software\\Top\\Store\\A\\A1\\A1x", "deep", "Y"));
  ASSERT_TRUE(reg->writeString("Software\\Top\\Sibling", "keep", "Z"));

  EXPECT_TRUE(reg->deleteKeyTree("Software\\Top\\Store"));
  EXPECT_FALSE(reg->keyExists("Software\\Top\\Store"));
  EXPECT_FALSE(reg->keyExists("Software\\Top\\Store\\A\\A1\\A1x"));
  EXPECT_TRUE(reg->keyExists("Software\\Top"));
  char buf[8] = {0};
  EXPECT_TRUE(reg->readString("Software\\Top\\Sibling", "keep", buf, sizeof buf));
  EXPECT_STREQ(buf, "Z");
  // Recreated, the key has none of its old values.
  ASSERT_TRUE(reg->createKey("Software\\Top\\Store"));
  EXPECT_FALSE(reg->readString("Software\\Top\\Store", "url", buf, sizeof buf));
}

TEST_F(CRegistryTest, DeleteKeyTreeOnAMissingKeyFails) {
  EXPECT_FALSE(reg->deleteKeyTree("Software\\Nowhere"));
  EXPECT_STREQ(reg->lastErrorText, "The system cannot find the file specified. ");
  ASSERT_TRUE(reg->createKey("Software\\Leaf"));
  EXPECT_TRUE(reg->deleteKeyTree("Software\\Leaf"));
  EXPECT_FALSE(reg->deleteKeyTree("Software\\Leaf"));
}

TEST_F(CRegistryTest, CountSubkeys) {
  ASSERT_TRUE(reg->createKey("Software\\Empty"));
  EXPECT_EQ(reg->countSubkeys("Software\\Empty"), 0u);
  EXPECT_STREQ(reg->lastErrorText, "No more data is available. ");
  EXPECT_EQ(reg->countSubkeys("Software\\Missing"), 0u);
  EXPECT_STREQ(reg->lastErrorText, "The system cannot find the file specified. ");
  for (const char* k : {"Software\\Three\\a", "Software\\Three\\b", "Software\\Three\\c\\deep"}) {
    ASSERT_TRUE(reg->createKey(k));
  }
  EXPECT_EQ(reg->countSubkeys("Software\\Three"), 3u);
}

TEST_F(CRegistryTest, EnumerateSubkeysStopsAtItsCount) {
  ASSERT_TRUE(reg->createKey("Software\\Many"));
  for (int i = 0; i < 40; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Software\\Many\\k%02d", i);
    ASSERT_TRUE(reg->createKey(name));
  }
  std::vector<std::string> names = reg->enumerateSubkeys("Software\\Many", 32);
  ASSERT_EQ(names.size(), 32u);
  for (int i = 0; i < 32; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "k%02d", i);
    EXPECT_EQ(names[i], name);
  }
  EXPECT_EQ(reg->enumerateSubkeys("Software\\Many", 100).size(), 40u);
  EXPECT_TRUE(reg->enumerateSubkeys("Software\\NotThere", 32).empty());
}

TEST_F(CRegistryTest, WideWritesAndDwordsAreReadable) {
  CRegistry machine;  // HKEY_LOCAL_MACHINE
  const char16_t* key = u"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Src";
  ASSERT_TRUE(machine.createKey(key));
  ASSERT_TRUE(machine.writeString(key, u"EventMessageFile", u"/opt/tarnwick/bin/tarnwick"));
  ASSERT_TRUE(machine.writeDword(key, u"CategoryCount", 2));
  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "system\\currentcontrolset\\services\\eventlog\\application\\src", 0,
                          KEY_READ, &h),
            ERROR_SUCCESS);
  char buf[64] = {0};
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExA(h, "EventMessageFile", nullptr, &type,
                             reinterpret_cast<LPBYTE>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(buf, "/opt/tarnwick/bin/tarnwick");
  DWORD count = 0;
  size = sizeof count;
  ASSERT_EQ(RegQueryValueExA(h, "CategoryCount", nullptr, &type, reinterpret_cast<LPBYTE>(&count),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(count, 2u);
  RegCloseKey(h);

  EXPECT_FALSE(machine.writeDword(u"SYSTEM\\Nope", u"x", 1));
  EXPECT_EQ(std::u16string(machine.lastErrorTextW), u"The system cannot find the file specified. ");
  EXPECT_STREQ(machine.lastErrorText, "");
}

TEST_F(CRegistryTest, NotADatabaseGivesTheCorruptRegistryText) {
  tw_test::writeFile(userHive(), std::string(4096, '#'));
  EXPECT_FALSE(reg->createKey("Software\\X"));
  EXPECT_STREQ(reg->lastErrorText, "The configuration registry database is corrupt. ");
  char buf[65];
  EXPECT_FALSE(reg->readString("Software\\X", "v", buf, sizeof buf));
  EXPECT_STREQ(reg->lastErrorText, "The configuration registry database is corrupt. ");
  EXPECT_FALSE(reg->deleteKeyTree("Software"));
  EXPECT_EQ(tw_test::readFile(userHive()), std::string(4096, '#'));
}

}  // namespace
