// Console control handlers: signals arrive as control events on the
// handler thread; the most recent handler is asked first.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/console.h"

namespace {
std::atomic<int> g_firstCalls{0};
std::atomic<int> g_secondCalls{0};
std::atomic<DWORD> g_lastType{99};

BOOL first(DWORD type) {
  g_lastType = type;
  ++g_firstCalls;
  return TRUE;
}
BOOL second(DWORD type) {
  g_lastType = type;
  ++g_secondCalls;
  return type == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

bool waitFor(const std::atomic<int>& counter, int value) {
  for (int i = 0; i < 500 && counter.load() < value; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return counter.load() >= value;
}
}  // namespace

TEST(ConsoleControl, SignalsBecomeControlEvents) {
  ASSERT_TRUE(SetConsoleCtrlHandler(first, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(second, TRUE));

  kill(getpid(), SIGINT);  // second declines, first takes it
  ASSERT_TRUE(waitFor(g_firstCalls, 1));
  EXPECT_EQ(g_secondCalls.load(), 1);
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_C_EVENT));

  kill(getpid(), SIGQUIT);  // second takes it, first is not asked
  ASSERT_TRUE(waitFor(g_secondCalls, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_firstCalls.load(), 1);
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_BREAK_EVENT));

  ASSERT_TRUE(SetConsoleCtrlHandler(second, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(second, FALSE));  // no longer registered
  kill(getpid(), SIGHUP);
  ASSERT_TRUE(waitFor(g_firstCalls, 2));
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_CLOSE_EVENT));
  kill(getpid(), SIGTERM);
  ASSERT_TRUE(waitFor(g_firstCalls, 3));
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_SHUTDOWN_EVENT));
  SetConsoleCtrlHandler(first, FALSE);
}
