// A gtest fixture whose every test runs with its own TARNWICK_ROOT and TMPDIR
// (one fresh directory), restoring the previous values afterwards so that the
// next test of the process starts where this one did.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"

namespace tw_test {

class StateDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    setEnv("TARNWICK_ROOT", root());
    setEnv("TMPDIR", root());
  }
  void TearDown() override {
    for (auto it = savedEnv_.rbegin(); it != savedEnv_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
    dir_.reset();
  }
  // Sets a variable for this test; children started with options() get it too.
  void setEnv(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    savedEnv_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    setenv(name.c_str(), value.c_str(), 1);
    options_.env[name] = value;
  }
  std::string root() const { return dir_->path(); }
  const ProcessOptions& options() const { return options_; }

  std::unique_ptr<TempDir> dir_;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
  ProcessOptions options_;
};

}  // namespace tw_test
