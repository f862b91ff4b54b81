// The send paths: not connected, the blocking send of more than the socket
// takes at once, the transfer-rate cap on a test clock, and the transcript.
#include <string>
#include <vector>

#include "httpclient/transport/SessionTranscript.h"
#include "platform/winsock.h"
#include "tests/transport/engine_fixture.h"
#include "tests/support/process.h"

namespace engine_test {
namespace {

using velmora::network::component::SessionTranscript;
using tw_test::PeerStep;
using tw_test::ScriptedPeer;

class SendTest : public EngineTest {};

TEST_F(SendTest, SendWithoutAConnectionIsNotConnected) {
  RecordingEngine e;
  EXPECT_EQ(e.sendOnce("x", 1, true), 10057);
  EXPECT_EQ(WSAGetLastError(), 10057);
  EXPECT_EQ(e.sendBlocking("x", 1, false, false), 10057);
  e.clearError();
  e.completeError(10057);
  EXPECT_EQ(e.lastErrorText(), "[10057] Socket is not connected");
}

TEST_F(SendTest, BlockingSendDeliversEverythingThePeerReadsSlowly) {
  const size_t total = 8 * 1024 * 1024;
  tw_test::PeerOptions options;
  options.receiveBuffer = 4096;
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(200),
                                        PeerStep::waitForCount(total, 20000)},
                    options);
  RecordingEngine e;
  ASSERT_EQ(e.config("OutBufferSize=8192"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  std::string data(total, '\0');
  for (size_t i = 0; i < total; ++i) data[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(e.sendBlocking(data.data(), static_cast<int>(total), false, false), 0);
  ASSERT_TRUE(peer.waitReceived(0, total, 20000));
  EXPECT_TRUE(peer.received(0) == data);
}

// The rate cap on a test clock: each wait step advances the clock by 500 ms.
class ClockedEngine : public RecordingEngine {
 public:
  int64_t now = 1000000;
  int waitSteps = 0;
  bool waitStep(uint32_t) override {
    ++waitSteps;
    now += 500;
    return RecordingEngine::waitStep(0);
  }
  using RecordingEngine::waitStep;

 protected:
  int64_t systemMillis() const override { return now; }
};

TEST_F(SendTest, RateCapWaitsUntilTheWindowsRateIsBackUnderTheCap) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::waitForCount(10300)});
  ClockedEngine e;
  ASSERT_EQ(e.config("MaxTransferRate=1000"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  std::string block(10000, 'r');
  // The first send opens the window and goes at once.
  const int64_t start = e.now;
  e.waitSteps = 0;
  ASSERT_EQ(e.sendBlocking(block.data(), 10000, false, false), 0);
  EXPECT_EQ(e.waitSteps, 0);
  EXPECT_EQ(e.transferRate(e.now), 0);
  EXPECT_EQ(e.transferRate(e.now + 4000), 2500);
  EXPECT_EQ(e.transferRate(e.now + 9500), 1053);  // rounded to the nearest
  // 10000 bytes at 1000 per second: the next send waits 10 seconds of the
  // window, 20 steps of 500 ms.
  e.now += 1;
  ASSERT_EQ(e.sendBlocking("next", 4, false, false), 0);
  EXPECT_EQ(e.waitSteps, 20);
  EXPECT_EQ(e.now, start + 1 + 10000);
  // After a minute without a send the window starts again: no waiting.
  e.now += 60001;
  e.waitSteps = 0;
  ASSERT_EQ(e.sendBlocking(block.data(), 296, false, false), 0);
  EXPECT_EQ(e.waitSteps, 0);
  EXPECT_TRUE(peer.waitReceived(0, 10300));
}

TEST_F(SendTest, NoCapMeansNoRateWait) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::waitForCount(20000)});
  ClockedEngine e;
  ASSERT_EQ(connectTo(e, peer), 0);
  std::string block(10000, 'n');
  e.waitSteps = 0;
  ASSERT_EQ(e.sendBlocking(block.data(), 10000, false, false), 0);
  ASSERT_EQ(e.sendBlocking(block.data(), 10000, false, false), 0);
  EXPECT_EQ(e.waitSteps, 0);
}

TEST_F(SendTest, TranscriptEscapesTheScriptsSpecialBytes) {
  const std::string bytes("\0\x01\r\n\\$\"{}[]A~\x7f\xff", 15);
  EXPECT_EQ(SessionTranscript::block(bytes.data(), bytes.size(), true),
            "\r\nsend -nonewline \"\\000\\001\r\n\\\\\\$\\\"\\{\\}\\[\\]A~\\177\\377\"\r\n");
  EXPECT_EQ(SessionTranscript::block("x", 1, false), "\r\nexpect -exact \"x\"\r\n");
}

TEST_F(SendTest, TranscriptRecordsBothDirectionsOfAConnection) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::waitFor("GET\r\n"),
                                        PeerStep::send("OK $1\r\n"), PeerStep::close()});
  std::string path = dir_->path() + "/session.txt";
  RecordingEngine e;
  ASSERT_EQ(e.config("RecordToFile=" + path), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_EQ(e.sendOnce("GET\r\n", 5, true), 0);
  ASSERT_TRUE(e.waitUntil([&] { return !e.socketExists(); }));
  EXPECT_EQ(tw_test::readFile(path),
            "\r\nexpect -exact \"GET\r\n\"\r\n\r\nsend -nonewline \"OK \\$1\r\n\"\r\n");
}

}  // namespace
}  // namespace engine_test
