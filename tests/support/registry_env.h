// A fresh TARNWICK_ROOT (and TMPDIR) for every test that touches the
// registry or the checksum store, and runs of the built programs in it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/state_dir_test.h"

namespace tw_test {

class RegistryEnv : public StateDirTest {
 protected:
  void SetUp() override {
    StateDirTest::SetUp();
    root = StateDirTest::root();
  }
  // Points TARNWICK_ROOT and TMPDIR at path, which need not exist.
  void useRoot(const std::string& path) {
    root = path;
    setEnv("TARNWICK_ROOT", path);
    setEnv("TMPDIR", path);
  }
  // A new empty root below the test's directory, made current.
  void freshRoot(const std::string& name) {
    ASSERT_EQ(mkdir(dir_->file(name).c_str(), 0700), 0);
    useRoot(dir_->file(name));
  }
  std::string userHive() const { return root + "/user.db"; }
  // The user hive's bytes, or "<none>".
  std::string hiveBytes() const {
    return fileExists(userHive()) ? readFile(userHive()) : "<none>";
  }

  // Lets an unprivileged user reach the root directory.
  void openDirectoryToAll() const {
    for (const std::string& d : {dir_->path(), root}) ASSERT_EQ(chmod(d.c_str(), 0755), 0);
  }

  // Runs the built program named by envName (TARNWICK_BIN, TARNWICK_REG,
  // TW_STORE_HELPER) in this root; asNobody runs it as the unprivileged user
  // "nobody" (the tests run as root, for whom file modes decide nothing).
  ProcessResult run(const char* envName, std::vector<std::string> args,
                    bool asNobody = false) const {
    args.insert(args.begin(), programPath(envName));
    ProcessOptions opts = options();
    if (asNobody) {
      args.insert(args.begin(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
      opts.env["HOME"] = root;
    }
    return runProcess(args, opts);
  }

  std::string root;  // the current one
};

// The raw data of a value as a narrow reader gets it (a text with its NUL),
// and its type; "<none>" when it cannot be read.
inline std::string registryValue(HKEY root, const std::string& key, const std::string& name,
                                 DWORD* type = nullptr) {
  HKEY h;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return "<none>";
  char buf[4096];
  DWORD size = sizeof buf;
  LONG rc = RegQueryValueExA(h, name.c_str(), nullptr, type, reinterpret_cast<LPBYTE>(buf), &size);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS ? std::string(buf, size) : "<none>";
}

// Writes a value of this type and raw data, creating its key; the code.
inline LONG writeRegistryValue(HKEY root, const std::string& key, const std::string& name,
                               DWORD type, const std::string& data) {
  HKEY h;
  LONG rc = RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                      static_cast<DWORD>(data.size()));
  RegCloseKey(h);
  return rc;
}

}  // namespace tw_test
