// A fresh TARNWICK_ROOT (and TMPDIR) for every test of the registry.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tests/support/process.h"

class RegistryEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    hadTmp = tmp != nullptr;
    if (hadTmp) savedTmp = tmp;
    setenv("TARNWICK_ROOT", dir.path().c_str(), 1);
    setenv("TMPDIR", dir.path().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TARNWICK_ROOT");
    if (hadTmp) {
      setenv("TMPDIR", savedTmp.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  std::string userHive() const { return dir.file("user.db"); }
  std::string machineHive() const { return dir.file("machine.db"); }

  // Lets an unprivileged user reach the directory.
  void openDirectoryToAll() const { ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); }

  tw_test::TempDir dir;
  bool hadTmp = false;
  std::string savedTmp;
};

// Runs a command as the unprivileged user "nobody" (the tests run as root,
// for whom file modes decide nothing).
inline tw_test::ProcessResult runAsNobody(const std::vector<std::string>& argv,
                                          const std::string& root) {
  std::vector<std::string> full = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                   "--clear-groups"};
  full.insert(full.end(), argv.begin(), argv.end());
  tw_test::ProcessOptions opts;
  opts.env["TARNWICK_ROOT"] = root;
  opts.env["TMPDIR"] = root;
  opts.env["HOME"] = root;
  return tw_test::runProcess(full, opts);
}
