// Shared set-up of the component tests: a fresh state directory per test and
// the process start-up of the component, and what a test of the flat
// interface needs on top of the HTTPS wrapper.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "httpclient/HTTPS.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "tests/support/process.h"
#include "tests/support/state_dir_test.h"

class ComponentTest : public tw_test::StateDirTest {
 protected:
  void SetUp() override {
    StateDirTest::SetUp();
    TessilonSSL_HTTPS_StaticInit(nullptr);
  }
  void TearDown() override {
    TessilonSSL_HTTPS_StaticDestroy();
    StateDirTest::TearDown();
  }
};

// A text property read through the flat interface; "<null>" when Get gives
// no text at all.
inline std::string getText(void* h, int id, int index = 0) {
  int length = -1;
  const char* p = static_cast<const char*>(TessilonSSL_HTTPS_Get(h, id, index, &length));
  if (p == nullptr) return "<null>";
  return std::string(p, static_cast<size_t>(length));
}

struct HandleGuard {
  explicit HandleGuard(void* handle) : h(handle) {}
  ~HandleGuard() { TessilonSSL_HTTPS_Destroy(h); }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  void* h;
};
