// Windows, message queues and the tick counter.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "tests/platform/last_error.h"

namespace {

struct Seen {
  UINT message;
  WPARAM wParam;
};

std::vector<Seen>* g_seen = nullptr;

LRESULT recordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_seen) g_seen->push_back({message, wParam});
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = &seen;
    WNDCLASSA wc{};
    wc.lpfnWndProc = recordingProc;
    wc.cbWndExtra = 12;
    wc.lpszClassName = "tw_test_window";
    ASSERT_NE(RegisterClassA(&wc), 0);
    hwnd = CreateWindowExA(0, "tw_test_window", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                           wc.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);
  }
  void TearDown() override {
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
    UnregisterClassA("tw_test_window", nullptr);
    g_seen = nullptr;
  }
  std::vector<UINT> messages() const {
    std::vector<UINT> out;
    for (const Seen& s : seen) out.push_back(s.message);
    return out;
  }
  // The next queued message, removed; 0 when the queue is empty.
  UINT next() {
    return PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) ? msg.message : 0;
  }
  std::vector<Seen> seen;
  HWND hwnd = nullptr;
  MSG msg{};
};

// The window keeps the caller's data (the previous value comes back); its
// creation and destruction reach the procedure, and the handle stays invalid.
TEST_F(MessagesTest, WindowDataCreationAndDestruction) {
  EXPECT_EQ(messages(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
  int object = 0;
  LONG_PTR ptr = reinterpret_cast<LONG_PTR>(&object);
  EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, ptr), 0);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), ptr);
  EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, 5), ptr);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), 5);
  seen.clear();
  EXPECT_TRUE(IsWindow(hwnd));
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(messages(), (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
  EXPECT_FAILS(PostMessageA(hwnd, WM_USER, 0, 0), FALSE, ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(MessagesTest, PostPeekDispatchAndClose) {
  EXPECT_EQ(next(), 0u);
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 1, 11, 12));
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 2, 21, 22));
  ASSERT_EQ(next(), static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(msg.hwnd, hwnd);
  seen.clear();
  EXPECT_EQ(DispatchMessageA(&msg), 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].wParam, 11u);
  ASSERT_EQ(next(), static_cast<UINT>(WM_USER + 2));
  EXPECT_EQ(msg.wParam, 21u);
  EXPECT_EQ(msg.lParam, 22);
  EXPECT_EQ(next(), 0u);
  // Close destroys the window, which discards the messages still queued.
  ASSERT_TRUE(PostMessageA(hwnd, WM_CLOSE, 0, 0));
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));
  ASSERT_EQ(next(), static_cast<UINT>(WM_CLOSE));
  DispatchMessageA(&msg);  // the default procedure destroys the window
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(next(), 0u);
}

TEST_F(MessagesTest, QuitComesAfterPostedMessagesAndWaitsEndWithInput) {
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(next(), static_cast<UINT>(WM_USER));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_EQ(next(), static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(next(), 0u);
  // A wait times out without input and ends with input from another thread.
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_ALLINPUT), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessageA(hwnd, WM_USER + 3, 1, 2);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20000, QS_ALLINPUT), WAIT_OBJECT_0);
  poster.join();
  EXPECT_EQ(next(), static_cast<UINT>(WM_USER + 3));
  EXPECT_EQ(msg.hwnd, hwnd);
}

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
