// The tick counter and the system time. (The thread's message queue is read
// in winsock_test.cpp, through the window of its socket events.)
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/messages.h"

namespace {

TEST(TickCount, MonotonicAndWrapsLikeWindows) {
  DWORD t0 = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  DWORD t1 = GetTickCount();
  EXPECT_GE(static_cast<DWORD>(t1 - t0), 20u);
  EXPECT_LT(static_cast<DWORD>(t1 - t0), 60000u);
  // Moved close to the 32-bit wrap, the counter wraps and differences stay right.
  tw_platform::setTickCountBiasForTests(0);
  DWORD now = GetTickCount();
  tw_platform::setTickCountBiasForTests(static_cast<DWORD>(0xFFFFFFFFu - now - 5));
  DWORD before = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  DWORD after = GetTickCount();
  tw_platform::setTickCountBiasForTests(0);
  EXPECT_GT(before, 0xFFFF0000u);
  EXPECT_LT(after, before);  // wrapped
  EXPECT_GE(static_cast<DWORD>(after - before), 30u);
}

TEST(SystemTime, FileTimeMatchesTheClock) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  long long unixSeconds = static_cast<long long>(t / 10000000ULL) - 11644473600LL;
  EXPECT_LE(std::llabs(unixSeconds - static_cast<long long>(std::time(nullptr))), 2);
}

}  // namespace
