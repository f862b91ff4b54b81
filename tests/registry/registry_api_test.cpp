// The registry calls of the platform layer: keys, values, enumeration,
// error codes, hive files and their locations.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/registry/registry_env.h"

namespace {

class RegistryApi : public RegistryEnv {
 protected:
  HKEY create(HKEY root, const char* path, REGSAM access = KEY_ALL_ACCESS,
              DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    DWORD disp = 0;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                              &key, &disp),
              ERROR_SUCCESS)
        << path;
    if (disposition) *disposition = disp;
    return key;
  }
  LONG open(HKEY root, const char* path, REGSAM access, HKEY& key) {
    return RegOpenKeyExA(root, path, 0, access, &key);
  }
  void setSz(HKEY key, const std::string& name, const std::string& text) {
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
  }
  // The value's data as the narrow calls return it, or the error code.
  LONG query(HKEY key, const std::string& name, std::string& data, DWORD* type = nullptr) {
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name.c_str(), nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<BYTE> buf(size);
    rc = RegQueryValueExA(key, name.c_str(), nullptr, type, buf.data(), &size);
    data.assign(reinterpret_cast<const char*>(buf.data()), size);
    return rc;
  }
  std::vector<std::string> subkeys(HKEY key, LONG* endCode = nullptr) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD size = sizeof name;
      LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) {
        if (endCode) *endCode = rc;
        break;
      }
      EXPECT_EQ(size, std::strlen(name));
      names.push_back(name);
    }
    return names;
  }
};

TEST_F(RegistryApi, KeyPathsCompareInAnyLetterCaseAndKeepTheirFirstSpelling) {
  DWORD disp = 0;
  HKEY a = create(HKEY_CURRENT_USER, "Software\\Velmora.Net\\Store", KEY_ALL_ACCESS, &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY b = create(HKEY_CURRENT_USER, "SOFTWARE\\velmora.net\\store", KEY_ALL_ACCESS, &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  setSz(a, "v", "one");
  std::string data;
  ASSERT_EQ(query(b, "v", data), ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("one", 4));

  HKEY soft;
  ASSERT_EQ(open(HKEY_CURRENT_USER, "software", KEY_READ, soft), ERROR_SUCCESS);
  EXPECT_EQ(subkeys(soft), std::vector<std::string>{"Velmora.Net"});
  for (HKEY k : {a, b, soft}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryApi, ValueNamesCompareByteForByte) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\Names");
  setSz(key, "http://example.com", "A");
  setSz(key, "http://example.com/", "B");
  setSz(key, "HTTP://EXAMPLE.COM", "C");
  std::string data;
  ASSERT_EQ(query(key, "http://example.com", data), ERROR_SUCCESS);
  EXPECT_STREQ(data.c_str(), "A");
  ASSERT_EQ(query(key, "http://example.com/", data), ERROR_SUCCESS);
  EXPECT_STREQ(data.c_str(), "B");
  ASSERT_EQ(query(key, "HTTP://EXAMPLE.COM", data), ERROR_SUCCESS);
  EXPECT_STREQ(data.c_str(), "C");
  EXPECT_EQ(query(key, "http://Example.com", data), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryApi, QueryReportsSizesAndRefusesShortBuffers) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\Q");
  setSz(key, "v", "0123456789");
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 11u);

  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'x'));  // untouched

  EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  HKEY none;
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software\\Q\\Missing", KEY_READ, none), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryApi, DwordAndBinaryValuesKeepTheirBytes) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\T");
  DWORD v = 0xA1B2C3D4;
  ASSERT_EQ(RegSetValueExA(key, "d", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
            ERROR_SUCCESS);
  const BYTE bin[] = {0, 1, 0xFF, 0, 0x80};
  ASSERT_EQ(RegSetValueExA(key, "b", 0, REG_BINARY, bin, sizeof bin), ERROR_SUCCESS);
  std::string data;
  DWORD type = 0;
  ASSERT_EQ(query(key, "d", data, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(data.size(), 4u);
  DWORD back;
  std::memcpy(&back, data.data(), 4);
  EXPECT_EQ(back, v);
  ASSERT_EQ(query(key, "b", data, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(data, std::string(reinterpret_cast<const char*>(bin), sizeof bin));
  RegCloseKey(key);
}

TEST_F(RegistryApi, WideStringsReadBackThroughTheNarrowCalls) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Wide\\Gr\u00fc\u00dfe", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::u16string text = u"/usr/bin/caf\u00e9";
  ASSERT_EQ(RegSetValueExW(key, u"EventMessageFile", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * 2)),
            ERROR_SUCCESS);
  std::string data;
  ASSERT_EQ(query(key, "EventMessageFile", data), ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("/usr/bin/caf\xc3\xa9", 15));
  RegCloseKey(key);

  HKEY parent;
  ASSERT_EQ(open(HKEY_LOCAL_MACHINE, "system\\wide", KEY_READ, parent), ERROR_SUCCESS);
  char name[16];
  DWORD size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, size), "Gr\xc3\xbc\xc3\x9f" "e");
  RegCloseKey(parent);
  EXPECT_TRUE(tw_test::fileExists(machineHive()));
  EXPECT_FALSE(tw_test::fileExists(userHive()));
}

TEST_F(RegistryApi, EnumerationIsCaseInsensitiveOrderThenNoMoreItems) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\E");
  for (const char* n : {"beta", "Alpha", "gamma", "Delta", "_under"}) {
    RegCloseKey(create(key, n));
  }
  LONG end = 0;
  EXPECT_EQ(subkeys(key, &end),
            (std::vector<std::string>{"Alpha", "beta", "Delta", "gamma", "_under"}));
  EXPECT_EQ(end, ERROR_NO_MORE_ITEMS);
  char small[5];
  DWORD size = sizeof small;  // "Alpha" needs 6
  EXPECT_EQ(RegEnumKeyExA(key, 0, small, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST_F(RegistryApi, DeleteRefusesKeysWithSubkeysAndRemovesValues) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\D\\Child");
  setSz(key, "v", "x");
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\D"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\D\\Nope"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "software\\d\\CHILD"), ERROR_SUCCESS);
  key = create(HKEY_CURRENT_USER, "Software\\D\\Child");
  std::string data;
  EXPECT_EQ(query(key, "v", data), ERROR_FILE_NOT_FOUND);  // the old value went with the key
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);  // the root stays
}

TEST_F(RegistryApi, HandleOfAKeyDeletedElsewhereFails) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\Gone");
  ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Gone"), ERROR_SUCCESS);
  const char v[] = "x";
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), 2),
            ERROR_KEY_DELETED);
  // Creating the key anew does not revive the old handle.
  RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Gone"));
  std::string data;
  EXPECT_EQ(query(key, "v", data), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApi, HandleAccessIsChecked) {
  RegCloseKey(create(HKEY_CURRENT_USER, "Software\\A\\Sub"));
  HKEY key;
  ASSERT_EQ(open(HKEY_CURRENT_USER, "Software\\A", KEY_QUERY_VALUE, key), ERROR_SUCCESS);
  const char v[] = "x";
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), 2),
            ERROR_ACCESS_DENIED);
  char name[64];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  ASSERT_EQ(open(HKEY_CURRENT_USER, "Software\\A", KEY_SET_VALUE, key), ERROR_SUCCESS);
  std::string data;
  EXPECT_EQ(query(key, "v", data), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_F(RegistryApi, ReadsDoNotCreateTheHive) {
  HKEY key;
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software\\Nothing", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(open(HKEY_CURRENT_USER, "", KEY_READ, key), ERROR_SUCCESS);
  LONG end = 0;
  EXPECT_TRUE(subkeys(key, &end).empty());
  EXPECT_EQ(end, ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  EXPECT_FALSE(tw_test::fileExists(userHive()));

  // Nor the directory it would live in.
  const std::string nested = dir.file("not/yet");
  setenv("TARNWICK_ROOT", nested.c_str(), 1);
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(tw_test::fileExists(dir.file("not")));
}

TEST_F(RegistryApi, BadKeyNamesAreRefused) {
  HKEY key;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\\\Double", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, std::string(256, 'k').c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\V", 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(open(HKEY_CURRENT_USER, "\\Software", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "x", 0, KEY_READ, &key),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApi, AFileThatIsNotADatabaseIsRefusedAndLeftAlone) {
  const std::string junk = "this is a page of text, not a registry hive\n" + std::string(5000, 'z');
  tw_test::writeFile(userHive(), junk);
  HKEY key;
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software", KEY_READ, key), ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_BADDB);
  const char v[] = "x";
  EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), 2),
            ERROR_BADDB);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software"), ERROR_BADDB);
  EXPECT_EQ(tw_test::readFile(userHive()), junk);
  EXPECT_FALSE(tw_test::fileExists(userHive() + "-journal"));
}

TEST_F(RegistryApi, SomeOtherDatabaseIsRefusedAndLeftAlone) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(userHive().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('mine');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string before = tw_test::readFile(userHive());
  HKEY key;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_BADDB);
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software", KEY_READ, key), ERROR_BADDB);
  EXPECT_EQ(tw_test::readFile(userHive()), before);
}

TEST_F(RegistryApi, AnEmptyFileBecomesAHive) {
  tw_test::writeFile(userHive(), "");
  HKEY key = create(HKEY_CURRENT_USER, "Software\\Fresh");
  setSz(key, "v", "ok");
  RegCloseKey(key);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(userHive().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "delete");
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(RegistryApi, RootDirectoryIsCreatedOnFirstWrite) {
  const std::string nested = dir.file("a/b/state");
  setenv("TARNWICK_ROOT", nested.c_str(), 1);
  RegCloseKey(create(HKEY_CURRENT_USER, "Software"));
  EXPECT_TRUE(tw_test::fileExists(nested + "/user.db"));
}

TEST_F(RegistryApi, RootThatIsAFileFailsWithoutCrashing) {
  const std::string file = dir.file("plain");
  tw_test::writeFile(file, "x");
  setenv("TARNWICK_ROOT", file.c_str(), 1);
  HKEY key;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(tw_test::readFile(file), "x");
}

TEST_F(RegistryApi, UserHiveFollowsTheStateDirectoryWithoutRoot) {
  unsetenv("TARNWICK_ROOT");
  const std::string state = dir.file("xdg");
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  RegCloseKey(create(HKEY_CURRENT_USER, "Software"));
  unsetenv("XDG_STATE_HOME");
  EXPECT_TRUE(tw_test::fileExists(state + "/tarnwick/user.db"));
  struct stat st;
  ASSERT_EQ(stat((state + "/tarnwick").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Without XDG_STATE_HOME the home directory's .local/state is used.
  const char* oldHome = getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", dir.file("home").c_str(), 1);
  RegCloseKey(create(HKEY_CURRENT_USER, "Software"));
  if (oldHome) setenv("HOME", savedHome.c_str(), 1);
  EXPECT_TRUE(tw_test::fileExists(dir.file("home/.local/state/tarnwick/user.db")));
}

TEST_F(RegistryApi, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 6, kWrites = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kWrites; ++i) {
        HKEY key;
        std::string path = "Software\\Threads\\T" + std::to_string(t);
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
          ++failures;
          continue;
        }
        std::string name = "v" + std::to_string(i);
        if (RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(name.c_str()),
                           static_cast<DWORD>(name.size() + 1)) != ERROR_SUCCESS) {
          ++failures;
        }
        RegCloseKey(key);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    HKEY key;
    std::string path = "Software\\Threads\\T" + std::to_string(t);
    ASSERT_EQ(open(HKEY_CURRENT_USER, path.c_str(), KEY_READ, key), ERROR_SUCCESS);
    for (int i = 0; i < kWrites; ++i) {
      std::string data, name = "v" + std::to_string(i);
      ASSERT_EQ(query(key, name, data), ERROR_SUCCESS) << path << " " << name;
      EXPECT_STREQ(data.c_str(), name.c_str());
    }
    RegCloseKey(key);
  }
}

}  // namespace
