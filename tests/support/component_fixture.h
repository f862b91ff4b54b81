// Shared set-up of the component tests: a fresh state directory per test and
// the process start-up of the component.
#pragma once

#include "httpclient/HTTPS.h"
#include "httpclient/TessilonSSL_HTTPS.h"
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
