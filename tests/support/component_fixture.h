// Shared set-up of the component tests: a fresh state directory per test and
// a handle (or wrapper) used as an embedding program would use it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// Flat-interface helpers.
inline void* asValue(intptr_t v) { return reinterpret_cast<void*>(v); }

inline std::string getText(void* h, int id, int index = 0) {
  int length = -1;
  const char* p = static_cast<const char*>(TessilonSSL_HTTPS_Get(h, id, index, &length));
  if (p == nullptr) return "<null>";
  return std::string(p, static_cast<size_t>(length));
}

inline intptr_t getInt(void* h, int id, int index = 0) {
  return reinterpret_cast<intptr_t>(TessilonSSL_HTTPS_Get(h, id, index, nullptr));
}

inline int setText(void* h, int id, const char* text, int index = 0) {
  return TessilonSSL_HTTPS_Set(h, id, index, text, -1);
}

inline int setInt(void* h, int id, intptr_t v, int index = 0) {
  return TessilonSSL_HTTPS_Set(h, id, index, asValue(v), 0);
}

// Config through the flat interface: the answer comes back in slot 1.
inline int config(void* h, const std::string& text, std::string* answer = nullptr) {
  void* argv[2] = {const_cast<char*>(text.c_str()), nullptr};
  int lengths[2] = {0, -1};
  int code = TessilonSSL_HTTPS_Do(h, https_method::Config, 2, argv, lengths);
  if (answer != nullptr) {
    *answer = argv[1] == nullptr ? "<null>"
                                 : std::string(static_cast<const char*>(argv[1]),
                                               static_cast<size_t>(lengths[1]));
  }
  return code;
}

inline std::string query(void* h, const std::string& name) {
  std::string answer;
  config(h, name, &answer);
  return answer;
}

struct HandleGuard {
  explicit HandleGuard(void* handle) : h(handle) {}
  ~HandleGuard() { TessilonSSL_HTTPS_Destroy(h); }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  void* h;
};
