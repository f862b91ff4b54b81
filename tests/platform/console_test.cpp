// Console control handlers: signals arrive as control events on the
// handler thread; the most recent handler is asked first.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/console.h"

namespace {

std::atomic<int> g_calls[2];
std::atomic<DWORD> g_lastType{99};

// The first handler takes every event, the second only CTRL_BREAK_EVENT.
BOOL first(DWORD type) {
  g_lastType = type;
  ++g_calls[0];
  return TRUE;
}
BOOL second(DWORD type) {
  g_lastType = type;
  ++g_calls[1];
  return type == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// Raises the signal and waits until the handler has had its n-th call.
bool raiseAndWait(int sig, int handler, int n) {
  kill(getpid(), sig);
  for (int i = 0; i < 500 && g_calls[handler].load() < n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return g_calls[handler].load() >= n;
}

TEST(ConsoleControl, SignalsBecomeControlEvents) {
  ASSERT_TRUE(SetConsoleCtrlHandler(first, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(second, TRUE));
  ASSERT_TRUE(raiseAndWait(SIGINT, 0, 1));  // second declines, first takes it
  EXPECT_EQ(g_calls[1].load(), 1);
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_C_EVENT));
  ASSERT_TRUE(raiseAndWait(SIGQUIT, 1, 2));  // second takes it, first is not asked
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_calls[0].load(), 1);
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_BREAK_EVENT));

  ASSERT_TRUE(SetConsoleCtrlHandler(second, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(second, FALSE));  // no longer registered
  ASSERT_TRUE(raiseAndWait(SIGHUP, 0, 2));
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_CLOSE_EVENT));
  ASSERT_TRUE(raiseAndWait(SIGTERM, 0, 3));
  EXPECT_EQ(g_lastType.load(), static_cast<DWORD>(CTRL_SHUTDOWN_EVENT));
  SetConsoleCtrlHandler(first, FALSE);
}

}  // namespace
