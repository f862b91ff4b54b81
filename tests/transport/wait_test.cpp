// The wait step: deadline and its wrap, idleness versus absolute time,
// interrupts from handlers, WM_QUIT and WM_CLOSE, and waking for input.
#include <chrono>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "tests/transport/engine_fixture.h"

namespace engine_test {
namespace {

using tw_test::PeerStep;
using tw_test::ScriptedPeer;

class WaitTest : public EngineTest {
 protected:
  void TearDown() override {
    tw_platform::setTickCountBiasForTests(0);
    EngineTest::TearDown();
  }
};

long long millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

TEST_F(WaitTest, SilentPeerEndsTheWaitWithTimeout) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(3000)});
  RecordingEngine e;
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_EQ(e.config("TimeoutInMilliseconds=true"), 0);
  e.setTimeout(300);
  e.armDeadline();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(e.waitUntil([] { return false; }));
  EXPECT_GE(millisSince(start), 290);
  EXPECT_EQ(e.lastErrorCode(), 301);
  EXPECT_EQ(e.lastErrorText(), "Timeout.");
  EXPECT_FALSE(e.interrupted());
}

TEST_F(WaitTest, TimeoutZeroHasNoDeadline) {
  RecordingEngine e;
  e.setTimeout(0);
  e.armDeadline();
  EXPECT_FALSE(e.deadlineSet());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(e.waitStep(1));
}

TEST_F(WaitTest, DeadlineHoldsAcrossTheTickCounterWrap) {
  // The counter wraps 100 ms from now; the deadline lies after the wrap.
  tw_platform::setTickCountBiasForTests(0);
  DWORD now = GetTickCount();
  tw_platform::setTickCountBiasForTests(static_cast<DWORD>(0xFFFFFFFFu - 100u - now));
  RecordingEngine e;
  ASSERT_EQ(e.config("TimeoutInMilliseconds=true"), 0);
  e.setTimeout(300);
  e.armDeadline();
  EXPECT_FALSE(e.deadlinePassed());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(e.waitUntil([] { return false; }));
  EXPECT_GE(millisSince(start), 290);
  EXPECT_EQ(e.lastErrorText(), "Timeout.");
}

TEST_F(WaitTest, InterruptFromADataHandlerEndsTheWait) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::send("first\n"), PeerStep::delay(2000)});
  RecordingEngine e;
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_EQ(e.setEol("\n"), 0);
  e.onData = [&](const Piece&) {
    e.requestInterrupt();
    return 0;
  };
  EXPECT_FALSE(e.waitUntil([] { return false; }));
  EXPECT_EQ(e.lastErrorCode(), 301);
  EXPECT_EQ(e.lastErrorText(), "Interrupted.");
  EXPECT_TRUE(e.interrupted());
  EXPECT_EQ(e.pieces, (std::vector<Piece>{{"first", true}}));
  // The request was consumed: the next step goes on.
  EXPECT_TRUE(e.waitStep(1));
}

// The peer sends a piece every 100 ms for about a second; the timeout is
// 400 ms. Counted as idleness it never passes; counted from the start it does.
TEST_F(WaitTest, SlowTransferTimesOutOnlyWithAbsoluteTimeout) {
  auto script = [] {
    tw_test::PeerScript s;
    for (int i = 0; i < 10; ++i) {
      s.push_back(PeerStep::send("piece\n"));
      s.push_back(PeerStep::delay(100));
    }
    s.push_back(PeerStep::close());
    return s;
  };
  for (bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute" : "idleness");
    ScriptedPeer peer(script());
    RecordingEngine e;
    ASSERT_EQ(e.config(absolute ? "AbsoluteTimeout=true" : "AbsoluteTimeout=false"), 0);
    ASSERT_EQ(e.config("TimeoutInMilliseconds=true"), 0);
    e.setTimeout(400);
    e.armDeadline();
    ASSERT_EQ(connectTo(e, peer), 0);
    ASSERT_EQ(e.setEol("\n"), 0);
    bool ended = e.waitUntil([&] { return !e.socketExists(); });
    if (absolute) {
      EXPECT_FALSE(ended);
      EXPECT_EQ(e.lastErrorText(), "Timeout.");
      EXPECT_LT(e.pieces.size(), 10u);
    } else {
      EXPECT_TRUE(ended) << e.lastErrorText();
      EXPECT_EQ(e.pieces.size(), 10u);
      EXPECT_EQ(e.events.back(), "Disconnected 0 OK");
    }
  }
}

// A long SelectWaitMillis bounds only idle sleeps: input wakes the wait.
TEST_F(WaitTest, InputWakesTheWaitAtOnce) {
  tw_test::PeerScript s;
  for (int i = 0; i < 20; ++i) {
    s.push_back(PeerStep::send("x"));
    s.push_back(PeerStep::delay(5));
  }
  s.push_back(PeerStep::close());
  ScriptedPeer peer(s);
  RecordingEngine e;
  ASSERT_EQ(e.config("SelectWaitMillis=10000"), 0);
  e.setTimeout(0);
  ASSERT_EQ(connectTo(e, peer), 0);
  // Twenty 10-second sleeps would pass the 5-second limit many times over.
  EXPECT_TRUE(e.waitUntil([&] { return !e.socketExists(); }, 5000));
  EXPECT_EQ(e.joined(), std::string(20, 'x'));
}

TEST_F(WaitTest, QuitIsPostedAgainAndEndsTheWait) {
  RecordingEngine e;
  PostQuitMessage(7);
  EXPECT_FALSE(e.waitStep(1));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(WaitTest, CloseOfTheHiddenWindowEndsTheWait) {
  RecordingEngine e;
  ASSERT_NE(e.window(), nullptr);
  ASSERT_TRUE(PostMessageA(e.window(), WM_CLOSE, 0, 0));
  EXPECT_FALSE(e.waitStep(1));
  EXPECT_FALSE(IsWindow(e.window()));
}

// With IgnoreExternalEvents a message reaching the window from the
// application's own loop is dropped; inside the wait step it is handled.
TEST_F(WaitTest, ExternalEventsAreDroppedOutsideTheComponentsWait) {
  RecordingEngine e;
  ASSERT_EQ(e.config("IgnoreExternalEvents=true"), 0);
  ASSERT_TRUE(PostMessageA(e.window(), WM_CLOSE, 0, 0));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DispatchMessageA(&msg);
  EXPECT_TRUE(IsWindow(e.window()));
  ASSERT_TRUE(PostMessageA(e.window(), WM_CLOSE, 0, 0));
  EXPECT_FALSE(e.waitStep(1));
  EXPECT_FALSE(IsWindow(e.window()));
}

TEST_F(WaitTest, TimeoutUnitSwitchKeepsTheNumber) {
  RecordingEngine e;
  e.setTimeout(60);
  EXPECT_EQ(e.timeoutMillis(), 60000);
  ASSERT_EQ(e.config("TimeoutInMilliseconds=true"), 0);
  EXPECT_EQ(e.timeout(), 60);
  EXPECT_EQ(e.timeoutMillis(), 60);
}

}  // namespace
}  // namespace engine_test
