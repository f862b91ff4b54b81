// The receive path: line splitting with any marker, SplitCRLF, lines longer
// than the buffer, raw blocks, AcceptData, and closes from handlers and peers.
#include <string>
#include <vector>

#include "tests/engine/engine_fixture.h"

namespace engine_test {
namespace {

using tw_test::PeerStep;
using tw_test::ScriptedPeer;

class ReceiveTest : public EngineTest {
 protected:
  // Connects with the given marker, plays the peer's pieces (a delay between
  // them so that each is its own read) and waits for the peer's close.
  std::vector<Piece> receiveAll(RecordingEngine& e, const std::vector<std::string>& pieces,
                                const std::string& eol) {
    tw_test::PeerScript s;
    for (const std::string& p : pieces) {
      s.push_back(PeerStep::send(p));
      s.push_back(PeerStep::delay(40));
    }
    s.push_back(PeerStep::close());
    ScriptedPeer peer(s);
    EXPECT_EQ(e.setEol(eol), 0);
    EXPECT_EQ(connectTo(e, peer), 0);
    EXPECT_TRUE(e.waitUntil([&] { return !e.socketExists(); }));
    return e.pieces;
  }
};

TEST_F(ReceiveTest, HeaderBlockInOneReadGivesOneLinePerHeader) {
  RecordingEngine e;
  auto pieces = receiveAll(e, {"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n"}, "\r\n");
  EXPECT_EQ(pieces, (std::vector<Piece>{
                        {"HTTP/1.1 200 OK", true}, {"A: 1", true}, {"B: 2", true}, {"", true}}));
}

TEST_F(ReceiveTest, MarkerSplitAcrossReadsEndsOneLine) {
  RecordingEngine e;
  auto pieces = receiveAll(e, {"abc\r", "\ndef\r\n"}, "\r\n");
  EXPECT_EQ(pieces, (std::vector<Piece>{{"abc", true}, {"def", true}}));
}

TEST_F(ReceiveTest, LongMarkerMatchesByteForByteAcrossReads) {
  RecordingEngine e;
  auto pieces = receiveAll(e, {"one--E", "ND--two-", "-END--tail"}, "--END--");
  EXPECT_EQ(pieces, (std::vector<Piece>{{"one", true}, {"two", true}, {"tail", false}}));
}

TEST_F(ReceiveTest, LineLongerThanTheBufferArrivesInPieces) {
  RecordingEngine e;
  ASSERT_EQ(e.setMaxLineLength(16), 0);
  EXPECT_EQ(e.maxLineLength(), 16);
  std::string line(40, 'L');
  auto pieces = receiveAll(e, {line + "\nshort\n"}, "\n");
  EXPECT_EQ(pieces, (std::vector<Piece>{{std::string(16, 'L'), false},
                                        {std::string(16, 'L'), false},
                                        {std::string(8, 'L'), true},
                                        {"short", true}}));
}

TEST_F(ReceiveTest, SplitCrlfEndsLinesAtAnyPairOrSingleByte) {
  RecordingEngine e;
  ASSERT_EQ(e.setSplitCrlf(true), 0);
  // CR at the end of one read and LF at the start of the next are one end;
  // LF CR is one end; CR CR is two.
  auto pieces = receiveAll(e, {"one\r", "\ntwo\n\rthree\r\rfour\n"}, "");
  EXPECT_EQ(pieces, (std::vector<Piece>{
                        {"one", true}, {"two", true}, {"three", true}, {"", true}, {"four", true}}));
}

TEST_F(ReceiveTest, WithoutAMarkerBytesGoUpRawAndWhole) {
  RecordingEngine e;
  std::string a(5000, 'a'), b = "b\r\nc\n";
  auto pieces = receiveAll(e, {a, b}, "");
  EXPECT_EQ(e.joined(), a + b);
  for (const Piece& p : pieces) {
    EXPECT_FALSE(p.endOfLine);
    EXPECT_LE(p.bytes.size(), 2048u);
  }
}

TEST_F(ReceiveTest, PeerCloseHandsOnBufferedLinesAndTheRestBeforeDisconnected) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::send("a\nb\npartial"), PeerStep::close()});
  RecordingEngine e;
  ASSERT_EQ(e.setEol("\n"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_TRUE(e.waitUntil([&] { return !e.socketExists(); }));
  EXPECT_EQ(e.pieces, (std::vector<Piece>{{"a", true}, {"b", true}, {"partial", false}}));
  EXPECT_EQ(e.events, (std::vector<std::string>{
                          "ConnectionStatus Remote host connection complete. 0", "Connected 0 OK",
                          "ConnectionStatus Remote host disconnected. 0", "Disconnected 0 OK"}));
}

TEST_F(ReceiveTest, CloseInsideADataHandlerWaitsForTheHandlerAndTheBufferedLines) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::send("l1\nl2\nl3\n"), PeerStep::delay(3000)});
  RecordingEngine e;
  ASSERT_EQ(e.setEol("\n"), 0);
  bool connectedAfterClose = false;
  size_t eventsAtClose = 0;
  e.onData = [&](const Piece& p) {
    if (p.bytes == "l1") {
      EXPECT_EQ(e.close(0), 0);
      connectedAfterClose = e.isConnected();
      eventsAtClose = e.events.size();
    }
    return 0;
  };
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_TRUE(e.waitUntil([&] { return !e.socketExists(); }));
  EXPECT_TRUE(connectedAfterClose);
  EXPECT_EQ(e.pieces, (std::vector<Piece>{{"l1", true}, {"l2", true}, {"l3", true}}));
  // Nothing was reported while the handler ran; the disconnect came after.
  EXPECT_EQ(eventsAtClose, 2u);
  EXPECT_EQ(e.events.back(), "Disconnected 0 OK");
}

TEST_F(ReceiveTest, AcceptDataFalseLeavesBytesInTheSocketUntilTurnedOn) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::send("held\n"), PeerStep::delay(3000)});
  RecordingEngine e;
  ASSERT_EQ(e.setEol("\n"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_EQ(e.setAcceptData(false), 0);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(e.waitStep(20));
  EXPECT_TRUE(e.pieces.empty());
  ASSERT_EQ(e.setAcceptData(true), 0);
  ASSERT_TRUE(e.waitUntil([&] { return !e.pieces.empty(); }));
  EXPECT_EQ(e.pieces, (std::vector<Piece>{{"held", true}}));
}

TEST_F(ReceiveTest, ChangingTheMarkerSplitsTheBufferedBytesAgain) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::send("a;b;c\n"), PeerStep::delay(3000)});
  RecordingEngine e;
  ASSERT_EQ(e.setEol("#"), 0);
  ASSERT_EQ(connectTo(e, peer), 0);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(e.waitStep(20));
  EXPECT_TRUE(e.pieces.empty());
  ASSERT_EQ(e.setEol(";"), 0);
  ASSERT_TRUE(e.waitUntil([&] { return e.pieces.size() >= 2; }));
  EXPECT_EQ(e.pieces, (std::vector<Piece>{{"a", true}, {"b", true}}));
}

}  // namespace
}  // namespace engine_test
