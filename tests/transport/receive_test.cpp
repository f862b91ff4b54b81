// The receive path end to end: the engine feeding its line buffer from the
// socket, AcceptData, the read-ahead's pieces, and closes from handlers and
// peers. The framing itself is tested on the LineBuffer class.
#include <string>
#include <vector>

#include "tests/transport/engine_fixture.h"

namespace engine_test {
namespace {

using tw_test::PeerStep;
using tw_test::ScriptedPeer;

using ReceiveTest = EngineTest;

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

// A body that waits whole in the socket arrives in pieces of exactly the
// buffer's free space, the last one shorter, as recv calls would give them.
TEST_F(ReceiveTest, WaitingBodyArrivesInPiecesOfTheBufferSize) {
  std::string body;
  for (int i = 0; body.size() < 150000; ++i) body += "line " + std::to_string(i) + "\n";
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(300), PeerStep::send(body),
                                        PeerStep::close()});
  RecordingEngine e;
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_EQ(e.setAcceptData(false), 0);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(e.waitStep(20));
  EXPECT_TRUE(e.pieces.empty());
  // The peer has sent everything and closed; the bytes wait unread.
  ASSERT_EQ(e.setAcceptData(true), 0);
  ASSERT_TRUE(e.waitUntil([&] { return !e.socketExists(); }));
  EXPECT_EQ(e.joined(), body);
  ASSERT_EQ(e.pieces.size(), (body.size() + 2047) / 2048);
  for (size_t i = 0; i + 1 < e.pieces.size(); ++i) {
    ASSERT_EQ(e.pieces[i].bytes.size(), 2048u) << i;
    ASSERT_FALSE(e.pieces[i].endOfLine);
  }
  EXPECT_EQ(e.pieces.back().bytes.size(), body.size() % 2048);
  EXPECT_EQ(e.events.back(), "Disconnected 0 OK");
}

// Reading stopped by a data handler while more bytes wait: the peer's close
// is reported only after they have been handed on.
TEST_F(ReceiveTest, PeerCloseWaitsForBytesLeftWhenReadingStopped) {
  const std::string body(30000, 'b');
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(200), PeerStep::send(body),
                                        PeerStep::close()});
  RecordingEngine e;
  bool stopped = false;
  e.onData = [&](const Piece&) {
    if (!stopped) {
      stopped = true;
      e.setAcceptData(false);
    }
    return 0;
  };
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_TRUE(e.waitUntil([&] { return stopped; }));
  // The peer's close arrives meanwhile; nothing more is handed on and the
  // connection stays.
  for (int i = 0; i < 25; ++i) ASSERT_TRUE(e.waitStep(20));
  EXPECT_EQ(e.pieces.size(), 1u);
  EXPECT_TRUE(e.socketExists());
  ASSERT_EQ(e.setAcceptData(true), 0);
  ASSERT_TRUE(e.waitUntil([&] { return !e.socketExists(); }));
  EXPECT_EQ(e.joined(), body);
  EXPECT_EQ(e.events.back(), "Disconnected 0 OK");
}

// A receiver that refuses a piece ends the read; the bytes behind it still
// come with the next read event although the peer sends nothing more.
TEST_F(ReceiveTest, BytesBehindARefusedPieceStillArrive) {
  const std::string body(20000, 'r');
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::delay(200), PeerStep::send(body),
                                        PeerStep::delay(3000)});
  RecordingEngine e;
  bool refused = false;
  e.onData = [&](const Piece&) {
    if (refused) return 0;
    refused = true;
    return 1;
  };
  ASSERT_EQ(connectTo(e, peer), 0);
  ASSERT_TRUE(e.waitUntil([&] { return e.joined().size() == body.size(); }, 2000));
  EXPECT_TRUE(e.socketExists());
}

}  // namespace
}  // namespace engine_test
