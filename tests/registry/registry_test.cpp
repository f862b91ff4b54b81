// The registry: the platform calls, CRegistry and tarnwick-reg. The error
// codes of the calls, the error texts of CRegistry and the tool's runs are
// tables; each case runs in an empty root of its own.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/registry_env.h"
#include "winsupport/CRegistry.h"

namespace {

const HKEY HKCU = HKEY_CURRENT_USER;

HKEY create(HKEY root, const char* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
            ERROR_SUCCESS)
      << path;
  return key;
}
// The code of a create (or, with create false, an open); the key is closed.
LONG keyCode(const std::string& path, bool create = true) {
  HKEY key;
  LONG rc = create ? RegCreateKeyExA(HKCU, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     &key, nullptr)
                   : RegOpenKeyExA(HKCU, path.c_str(), 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc;
}
HKEY open(const char* path, REGSAM access, HKEY root = HKCU) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(root, path, 0, access, &key), ERROR_SUCCESS) << path;
  return key;
}
// The subkey names; the code that ended the enumeration goes to *endCode.
std::vector<std::string> subkeys(HKEY key, LONG* endCode = nullptr) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      if (endCode) *endCode = rc;
      return names;
    }
    EXPECT_EQ(size, std::strlen(name));
    names.push_back(name);
  }
}
std::string inRoot(const char* name) { return std::string(getenv("TARNWICK_ROOT")) + name; }
void writeJunkHive() {
  tw_test::writeFile(inRoot("/user.db"), "a page of text, not a hive\n" + std::string(5000, 'z'));
}

// One call of the registry interface and the code it must give. setUp may
// leave a key in `key` for the call (closed afterwards); the user hive must
// keep its bytes (or stay absent) through the call.
struct CodeCase {
  const char* name = "";
  std::function<void(HKEY&)> setUp = [](HKEY&) {};
  std::function<LONG(HKEY)> call{};
  LONG code = ERROR_SUCCESS;
};

const CodeCase kCodeCases[] = {
    {.name = "an open in a root not made yet makes no directory",
     .setUp = [](HKEY&) { setenv("TARNWICK_ROOT", inRoot("/not/yet").c_str(), 1); },
     .call =
         [](HKEY) {
           LONG rc = keyCode("Software", false);
           EXPECT_FALSE(tw_test::fileExists(std::string(getenv("TMPDIR")) + "/not"));
           return rc;
         },
     .code = ERROR_FILE_NOT_FOUND},
    {.name = "the root of an empty hive has no subkeys",
     .call =
         [](HKEY) {
           HKEY k = open("", KEY_READ);
           LONG end = 0;
           EXPECT_TRUE(subkeys(k, &end).empty());
           RegCloseKey(k);
           return end;
         },
     .code = ERROR_NO_MORE_ITEMS},
    {.name = "a subkey name longer than the buffer",
     .setUp = [](HKEY& k) { k = create(HKCU, "Software\\E"), RegCloseKey(create(k, "Alpha")); },
     .call =
         [](HKEY k) {
           char small[5];
           DWORD size = sizeof small;
           return RegEnumKeyExA(k, 0, small, &size, nullptr, nullptr, nullptr, nullptr);
         },
     .code = ERROR_MORE_DATA},
    {.name = "delete of a key with subkeys",
     .setUp = [](HKEY&) { RegCloseKey(create(HKCU, "Software\\D\\Child")); },
     .call = [](HKEY) { return RegDeleteKeyA(HKCU, "Software\\D"); }, .code = ERROR_ACCESS_DENIED},
    {.name = "delete of the root", .call = [](HKEY) { return RegDeleteKeyA(HKCU, ""); },
     .code = ERROR_ACCESS_DENIED},
    {.name = "write through the handle of a key deleted elsewhere",
     .setUp = [](HKEY& k) { k = create(HKCU, "Software\\Gone"), RegDeleteKeyA(HKCU, "Software\\Gone"); },
     .call = [](HKEY k) { return RegSetValueExA(k, "v", 0, REG_SZ, nullptr, 0); },
     .code = ERROR_KEY_DELETED},
    {.name = "a key created anew does not revive the old handle",
     .setUp =
         [](HKEY& k) {
           k = create(HKCU, "Software\\Gone");
           EXPECT_EQ(RegDeleteKeyA(HKCU, "Software\\Gone"), ERROR_SUCCESS);
           RegCloseKey(create(HKCU, "Software\\Gone"));
         },
     .call = [](HKEY k) { return RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, nullptr); },
     .code = ERROR_KEY_DELETED},
    {.name = "a hive replaced between two calls is read anew",
     .setUp =
         [](HKEY& k) {
           k = create(HKCU, "Software\\R");
           tw_test::writeFile(inRoot("/copy.db"), tw_test::readFile(inRoot("/user.db")));
           EXPECT_EQ(RegSetValueExA(k, "v", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
           EXPECT_EQ(rename(inRoot("/copy.db").c_str(), inRoot("/user.db").c_str()), 0);
         },
     .call = [](HKEY k) { return RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, nullptr); },
     .code = ERROR_FILE_NOT_FOUND},
    {.name = "an empty key name", .call = [](HKEY) { return keyCode("Software\\\\Double"); },
     .code = ERROR_INVALID_PARAMETER},
    {.name = "a key name of 256 characters",
     .call = [](HKEY) { return keyCode(std::string(256, 'k')); }, .code = ERROR_INVALID_PARAMETER},
    {.name = "a path with one trailing backslash",
     .setUp = [](HKEY&) { RegCloseKey(create(HKCU, "Software")); },
     .call = [](HKEY) { return keyCode("Software\\", false); }},
    {.name = "a path with a leading backslash", .call = [](HKEY) { return keyCode("\\Software", false); },
     .code = ERROR_FILE_NOT_FOUND},
    {.name = "delete in a hive that is not a database", .setUp = [](HKEY&) { writeJunkHive(); },
     .call =
         [](HKEY) {
           LONG rc = RegDeleteKeyA(HKCU, "Software");
           EXPECT_FALSE(tw_test::fileExists(inRoot("/user.db-journal")));
           return rc;
         },
     .code = ERROR_BADDB},
    {.name = "create in some other database",
     .setUp =
         [](HKEY&) {
           sqlite3* db = nullptr;
           ASSERT_EQ(sqlite3_open(inRoot("/user.db").c_str(), &db), SQLITE_OK);
           ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(t);", nullptr, nullptr, nullptr), SQLITE_OK);
           sqlite3_close(db);
         },
     .call = [](HKEY) { return keyCode("Software"); }, .code = ERROR_BADDB},
    {.name = "a root that is a file",
     .setUp =
         [](HKEY&) {
           tw_test::writeFile(inRoot("/plain"), "x");
           setenv("TARNWICK_ROOT", inRoot("/plain").c_str(), 1);
         },
     .call =
         [](HKEY) {
           LONG rc = keyCode("Software");
           EXPECT_EQ(tw_test::readFile(getenv("TARNWICK_ROOT")), "x");
           return rc;
         },
     .code = ERROR_PATH_NOT_FOUND},
};

class RegistryApi : public tw_test::RegistryEnv {};

TEST_F(RegistryApi, ErrorCodes) {
  int i = 0;
  for (const CodeCase& c : kCodeCases) {
    SCOPED_TRACE(c.name);
    freshRoot("case" + std::to_string(i++));
    HKEY key = nullptr;
    c.setUp(key);
    const std::string before = hiveBytes();
    EXPECT_EQ(c.call(key), c.code);
    EXPECT_EQ(hiveBytes(), before);
    if (key) RegCloseKey(key);
  }
}

TEST_F(RegistryApi, NamesAndTheirLetterCase) {
  // Key paths compare in any letter case and keep their first spelling (value
  // names compare byte for byte: the store's sequences).
  DWORD disp = 0;
  HKEY a = create(HKCU, "Software\\Velmora.Net\\Store", &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY b = create(HKCU, "SOFTWARE\\velmora.net\\store", &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  HKEY soft = open("software", KEY_READ);
  EXPECT_EQ(subkeys(soft), std::vector<std::string>{"Velmora.Net"});
  for (HKEY k : {a, b, soft}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  // Enumeration runs in case-insensitive order.
  HKEY e = create(HKCU, "Software\\E");
  for (const char* n : {"beta", "Alpha", "gamma", "Delta", "_under"}) RegCloseKey(create(e, n));
  EXPECT_EQ(subkeys(e), (std::vector<std::string>{"Alpha", "beta", "Delta", "gamma", "_under"}));
  RegCloseKey(e);
}

TEST_F(RegistryApi, HiveFilesAndTheirPlaces) {
  // An empty file becomes a hive.
  tw_test::writeFile(userHive(), "");
  RegCloseKey(create(HKCU, "Software\\Fresh"));

  // The root directory is made on the first write.
  useRoot(dir_->file("a/b/state"));
  RegCloseKey(create(HKCU, "Software"));
  EXPECT_TRUE(tw_test::fileExists(dir_->file("a/b/state/user.db")));

  // Without a root, the user hive follows the state directory...
  unsetenv("TARNWICK_ROOT");
  setEnv("XDG_STATE_HOME", dir_->file("xdg"));
  RegCloseKey(create(HKCU, "Software"));
  unsetenv("XDG_STATE_HOME");
  EXPECT_TRUE(tw_test::fileExists(dir_->file("xdg/tarnwick/user.db")));
  struct stat sb;
  ASSERT_EQ(stat(dir_->file("xdg/tarnwick").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0700u);
  // ...and without XDG_STATE_HOME the home directory's .local/state.
  setEnv("HOME", dir_->file("home"));
  RegCloseKey(create(HKCU, "Software"));
  EXPECT_TRUE(tw_test::fileExists(dir_->file("home/.local/state/tarnwick/user.db")));
}

// CRegistry: a failed operation leaves the system's text of its error.
const char kNotFound[] = "The system cannot find the file specified. ";

struct TextCase {
  const char* name = "";
  std::function<void(CRegistry&)> setUp = [](CRegistry&) {};
  std::function<BOOL(CRegistry&)> call{};
  BOOL result = FALSE;
  const char* text = "";
};

char g_buf[65];

const TextCase kTextCases[] = {
    {.name = "a missing key", .call = [](CRegistry& r) { return r.keyExists("Software\\Other"); }, .text = kNotFound},
    {.name = "a value longer than the buffer",
     .setUp = [](CRegistry& r) { r.createKey("Software\\R"), r.writeString("Software\\R", "long", std::string(70, 'A').c_str()); },
     .call =
         [](CRegistry& r) {
           std::memset(g_buf, 'x', sizeof g_buf);
           BOOL ok = r.readString("Software\\R", "long", g_buf, sizeof g_buf);
           EXPECT_EQ(g_buf[0], '\0');
           return ok;
         },
     .text = "More data is available. "},
    {.name = "64 characters and the NUL fit exactly",
     .setUp = [](CRegistry& r) { r.createKey("Software\\R"), r.writeString("Software\\R", "fits", std::string(64, 'B').c_str()); },
     .call =
         [](CRegistry& r) {
           r.readString("Software\\R", "long", g_buf, sizeof g_buf);  // fails, and leaves a text
           std::memset(g_buf, 'x', sizeof g_buf);
           BOOL ok = r.readString("Software\\R", "fits", g_buf, sizeof g_buf);
           EXPECT_EQ(std::string(g_buf), std::string(64, 'B'));
           return ok;
         },
     .result = TRUE},
    {.name = "a missing value", .setUp = [](CRegistry& r) { r.createKey("Software\\R"); },
     .call = [](CRegistry& r) { return r.readString("Software\\R", "absent", g_buf, sizeof g_buf); },
     .text = kNotFound},
    {.name = "delete of a missing tree",
     .call = [](CRegistry& r) { return r.deleteKeyTree("Software\\Nowhere"); }, .text = kNotFound},
    {.name = "delete in a hive that is not a database",
     .setUp = [](CRegistry&) { writeJunkHive(); },
     .call = [](CRegistry& r) { return r.deleteKeyTree("Software"); },
     .text = "The configuration registry database is corrupt. "},
};

class CRegistryTest : public tw_test::RegistryEnv {};

TEST_F(CRegistryTest, ResultsAndErrorTexts) {
  int i = 0;
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.name);
    freshRoot("case" + std::to_string(i++));
    CRegistry reg(HKCU);
    c.setUp(reg);
    const std::string before = hiveBytes();
    EXPECT_EQ(c.call(reg), c.result);
    EXPECT_STREQ(reg.lastErrorText, c.text);
    if (!c.result) { EXPECT_EQ(hiveBytes(), before); }
  }
}

TEST_F(CRegistryTest, CreateKeepsAndDeleteKeyTreeRemovesASubtree) {
  CRegistry reg(HKCU);
  for (const char* k : {"Software\\Top\\Store\\A\\A1\\A1x", "Software\\Top\\Store\\A\\A2",
                        "Software\\Top\\Store\\B\\B1\\B1x", "Software\\Top\\Sibling"}) {
    ASSERT_TRUE(reg.createKey(k)) << k;
  }
  ASSERT_TRUE(reg.writeString("Software\\Top\\Store", "url", "X"));
  ASSERT_TRUE(reg.writeString("Software\\Top\\Sibling", "keep", "Z"));
  char buf[8] = {0};
  EXPECT_TRUE(reg.deleteKeyTree("Software\\Top\\Store"));
  EXPECT_FALSE(reg.keyExists("Software\\Top\\Store"));
  EXPECT_FALSE(reg.keyExists("Software\\Top\\Store\\A\\A1\\A1x"));
  EXPECT_TRUE(reg.readString("Software\\Top\\Sibling", "keep", buf, sizeof buf));
  EXPECT_STREQ(buf, "Z");
  // Recreated, the key has none of its old values.
  ASSERT_TRUE(reg.createKey("Software\\Top\\Store"));
  EXPECT_FALSE(reg.readString("Software\\Top\\Store", "url", buf, sizeof buf));
}

// tarnwick-reg: runs as root in an empty root (seed), or a root with a hive
// file of some text; then the run checked, as root or as "nobody".
struct ToolCase {
  const char* name = "";
  std::vector<std::vector<std::string>> seed{};  // tarnwick-reg runs as root first
  const char* hiveText = nullptr;  // or a hive file of this text
  int nobody = 0;  // run as "nobody", the root opened to all and the hive in this mode
  std::vector<std::string> args{};
  int exitCode = 0;
  const char* out = nullptr;  // the whole output, when given
  const char* err = "";       // a part of the error output
};

const std::vector<std::vector<std::string>> kSeedShared = {
    {"add", "HKCU\\Software\\Shared", "--value", "v", "--data", "root's"}};
const std::vector<std::vector<std::string>> kSeedTree = {
    {"add", "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick", "--value", "http://h/", "--data",
     "ABCDEF"},
    {"add", "HKLM\\SYSTEM\\Settings", "--value", "Auto", "--type", "REG_DWORD", "--data", "0x2a"},
    {"add", "HKLM\\SYSTEM\\Settings", "--value", "Blob", "--type", "REG_BINARY", "--data", "00ff10"}};
const char kDenied[] = "Access is denied.";

const ToolCase kToolCases[] = {
    {.name = "an unknown root key", .args = {"query", "HKXX\\Software"}, .exitCode = 2, .err = "HKCU or HKLM"},
    {.name = "an unknown command", .args = {"frobnicate", "HKCU\\Software"}, .exitCode = 2},
    {.name = "a bad DWORD",
     .args = {"add", "HKCU\\S", "--value", "d", "--type", "REG_DWORD", "--data", "12x"},
     .exitCode = 2},
    {.name = "a hive that is not a database", .hiveText = "not a database\n",
     .args = {"add", "HKCU\\Software\\X", "--value", "v", "--data", "1"}, .exitCode = 1,
     .err = "The configuration registry database is corrupt."},
    {.name = "a value's data only, the key in any letter case", .seed = kSeedTree,
     .args = {"query", "HKCU\\software\\VELMORA.NET\\loomcraft\\tarnwick", "--value", "http://h/",
              "--data-only"},
     .out = "ABCDEF\n"},
    {.name = "a key's values", .seed = kSeedTree, .args = {"query", "HKLM\\SYSTEM\\Settings"},
     .out = "HKEY_LOCAL_MACHINE\\SYSTEM\\Settings\n"
            "    Auto    REG_DWORD    0x2a\n"
            "    Blob    REG_BINARY    00FF10\n"},
    {.name = "a key's subkeys", .seed = kSeedTree, .args = {"query", "HKCU\\Software\\velmora.net"},
     .out = "HKEY_CURRENT_USER\\Software\\velmora.net\n"
            "HKEY_CURRENT_USER\\Software\\velmora.net\\Loomcraft\n"},
    {.name = "a deleted value",
     .seed = {kSeedTree[1], {"delete", "HKLM\\SYSTEM\\Settings", "--value", "Auto"}},
     .args = {"query", "HKLM\\SYSTEM\\Settings", "--value", "Auto"}, .exitCode = 1,
     .err = "The system cannot find the file specified."},
    {.name = "a deleted key takes its subtree along",
     .seed = {kSeedTree[0], {"delete", "HKCU\\Software\\velmora.net"}},
     .args = {"query", "HKCU\\Software"}, .out = "HKEY_CURRENT_USER\\Software\n"},
    // Another user reads a readable hive but changes nothing in it (values:
    // the store's process tests), not even a new key.
    {.name = "another user cannot create a key", .seed = kSeedShared, .nobody = 0644,
     .args = {"add", "HKCU\\Software\\New"}, .exitCode = 1, .err = kDenied},
    {.name = "a foreign directory without a hive is read as empty", .nobody = 0755,
     .args = {"query", "HKCU\\Software"}, .exitCode = 1,
     .err = "The system cannot find the file specified."},
    {.name = "and gets no hive of another user", .nobody = 0755,
     .args = {"add", "HKCU\\Software\\X", "--value", "v", "--data", "1"}, .exitCode = 1,
     .err = kDenied},
};

class RegTool : public tw_test::RegistryEnv {};

TEST_F(RegTool, Runs) {
  int i = 0;
  for (const ToolCase& c : kToolCases) {
    SCOPED_TRACE(c.name);
    freshRoot("case" + std::to_string(i++));
    for (const auto& args : c.seed) ASSERT_EQ(run("TARNWICK_REG", args).exitCode, 0);
    if (c.hiveText) tw_test::writeFile(userHive(), c.hiveText);
    if (c.nobody) {
      openDirectoryToAll();
      if (tw_test::fileExists(userHive())) { ASSERT_EQ(chmod(userHive().c_str(), c.nobody), 0); }
    }
    const std::string before = hiveBytes();
    auto r = run("TARNWICK_REG", c.args, c.nobody != 0);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (c.out) { EXPECT_EQ(r.out, c.out); }
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(hiveBytes(), before);
  }
  auto help = run("TARNWICK_REG", {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.find("Usage: tarnwick-reg query"), 0u);
  EXPECT_NE(help.out.find("TARNWICK_ROOT"), std::string::npos);
}

}  // namespace
