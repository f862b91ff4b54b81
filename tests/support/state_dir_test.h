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
    for (const char* name : {"TARNWICK_ROOT", "TMPDIR"}) {
      const char* old = std::getenv(name);
      savedEnv_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
      setenv(name, dir_->path().c_str(), 1);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : savedEnv_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    dir_.reset();
  }

  std::unique_ptr<TempDir> dir_;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
};

}  // namespace tw_test
