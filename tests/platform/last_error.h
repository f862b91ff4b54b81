// A failing platform call: its result, then the code GetLastError() gives.
#pragma once

#include <gtest/gtest.h>

#include "platform/errors.h"

#define EXPECT_FAILS(call, result, code)                \
  do {                                                  \
    EXPECT_EQ(call, result);                            \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(code)); \
  } while (0)
