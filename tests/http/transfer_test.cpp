// Whole transfers against scripted loopback peers: the request bytes the
// peer records, responses played back in pieces, busy calls, the deadline
// and Interrupt.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "tests/http/compress.h"
#include "tests/http/http_fixture.h"
#include "tests/support/scripted_peer.h"

using tw_test::PeerExchange;
using tw_test::PeerStep;
using tw_test::ScriptedPeer;

namespace {

class TransferTest : public ComponentTest {};

const std::string kAgent = "User-Agent: TessilonSSL HTTPS Component/1.0\r\n";

std::string urlOf(const ScriptedPeer& peer, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(peer.port()) + path;
}

std::string hostOf(const ScriptedPeer& peer) {
  return "127.0.0.1:" + std::to_string(peer.port());
}

// A wrapper whose Transfer handler runs an action once, on the first piece
// of received body.
class ActingHttps : public RecordingHttps {
 public:
  std::function<void(ActingHttps&)> onFirstBody;
  int FireTransfer(HTTPSTransferEventParams* e) override {
    RecordingHttps::FireTransfer(e);
    if (e->Direction == 1 && onFirstBody) {
      auto action = std::move(onFirstBody);
      onFirstBody = nullptr;
      action(*this);
    }
    return 0;
  }
};

}  // namespace

TEST_F(TransferTest, RequestBytesAsThePeerReceivesThem) {
  ScriptedPeer peer(tw_test::scriptFor(
      {"\r\n\r\n", {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, 0}));
  RecordingHttps h;
  h.SetText(https_prop::Range, "10-");
  h.SetText(https_prop::Authorization, "Custom abc");
  h.AddCookie("c", "1");
  h.SetText(https_prop::OtherHeaders, "X-Test: yes\r\n\r\n");
  ASSERT_EQ(h.Get(urlOf(peer, "/p?q=1").c_str()), 0) << h.GetLastError();
  ASSERT_TRUE(peer.waitDone());
  EXPECT_EQ(peer.received(0), "GET /p?q=1 HTTP/1.1\r\nHost: " + hostOf(peer) +
                                  "\r\nAuthorization: Custom abc\r\n" + kAgent +
                                  "Range: bytes=10-\r\nCookie: c=1\r\nConnection: close\r\n"
                                  "X-Test: yes\r\n\r\n");
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "ok");
}

TEST_F(TransferTest, ChunkedUploadAndKeptRequest) {
  ScriptedPeer peer(tw_test::scriptFor(
      {"0\r\n\r\n", {"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"}, 0}));
  RecordingHttps h;
  h.Config("UseChunkedEncoding=true");
  h.Config("ChunkSize=5");
  h.Config("TransferredRequest=on");
  h.SetText(https_prop::PostData, "hello world");
  ASSERT_EQ(h.Post(urlOf(peer, "/up").c_str()), 0) << h.GetLastError();
  ASSERT_TRUE(peer.waitDone());
  const std::string head = "POST /up HTTP/1.1\r\nHost: " + hostOf(peer) + "\r\n" + kAgent +
                           "Connection: close\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(peer.received(0), head + "5\r\nhello\r\n5\r\n worl\r\n1\r\nd\r\n0\r\n\r\n");
  EXPECT_EQ(h.Config("SentHeaders"), head);
  EXPECT_EQ(h.Config("TransferredRequest"), head + "hello world");
  EXPECT_EQ(h.events.front(), "StartTransfer 0");
}

TEST_F(TransferTest, PutWithAttachedFileAndDebugTrace) {
  std::string path = dir_->file("body.txt");
  tw_test::writeFile(path, "file body");
  ScriptedPeer peer(tw_test::scriptFor(
      {"file body", {"HTTP/1.1 204 No Content\r\n\r\n"}, 0}));
  RecordingHttps h;
  h.Config("DebugTrace=true");
  h.SetText(https_prop::AttachedFile, path.c_str());
  h.SetText(https_prop::PostData, "post+");
  ASSERT_EQ(h.Put(urlOf(peer, "/f").c_str()), 0) << h.GetLastError();
  ASSERT_TRUE(peer.waitDone());
  const std::string head = "PUT /f HTTP/1.1\r\nHost: " + hostOf(peer) + "\r\n" + kAgent +
                           "Connection: close\r\nContent-Length: 14\r\n\r\n";
  EXPECT_EQ(peer.received(0), head + "post+file body");
  ASSERT_GE(h.events.size(), 3u);
  EXPECT_EQ(h.events[0], "Transfer 0 " + std::to_string(head.size()) + " -1 " + head);
  EXPECT_EQ(h.events[1], "StartTransfer 0");
  EXPECT_EQ(h.events[2], "Transfer 0 5 -1 post+");
}

TEST_F(TransferTest, RequestThroughAProxy) {
  ScriptedPeer proxy(tw_test::scriptFor(
      {"\r\n\r\n", {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\np"}, 0}));
  RecordingHttps h;
  h.SetText(https_prop::ProxyServer, "127.0.0.1");
  h.SetInteger(https_prop::ProxyPort, proxy.port());
  ASSERT_EQ(h.Get("http://site.test:8080/x"), 0) << h.GetLastError();
  ASSERT_TRUE(proxy.waitDone());
  EXPECT_EQ(proxy.received(0), "GET http://site.test:8080/x HTTP/1.1\r\nHost: site.test:8080\r\n" +
                                   kAgent + "Connection: close\r\n\r\n");
}

TEST_F(TransferTest, ResponsesPlayedInPieces) {
  const std::string text(3000, 'z');
  const std::string gz = tw_test::gzipBytes(text);
  std::vector<std::string> gzPieces = {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                       std::to_string(gz.size()) + "\r\n\r\n"};
  for (size_t at = 0; at < gz.size(); at += 5) gzPieces.push_back(gz.substr(at, 5));
  struct Case {
    const char* what;
    std::vector<std::string> pieces;
    bool compression;
    int code;
    std::string error;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"interim 100", {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"},
       false, 0, "", "abc"},
      {"chunked in pieces", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;x=y\r\n",
                             std::string(20, 'c'), std::string(6, 'c') + "\r\n0\r\n\r\n"},
       false, 0, "", std::string(26, 'c')},
      {"gzip in five-byte pieces", gzPieces, true, 0, "", text},
      {"404 body still delivered", {"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\n", "gone"},
       false, 151, "HTTP protocol error. 404 Not Found.", "gone"},
      {"no status line", {"just bytes\n", "until the close"}, false, 0, "",
       "just bytes\nuntil the close"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeerExchange ex{"\r\n\r\n", c.pieces, 20};
    ScriptedPeer peer(tw_test::scriptFor(ex));
    RecordingHttps h;
    h.SetInteger(https_prop::AllowHTTPCompression, c.compression ? 1 : 0);
    EXPECT_EQ(h.Get(urlOf(peer, "/").c_str()), c.code);
    EXPECT_EQ(h.GetLastError(), c.error);
    EXPECT_EQ(h.GetText(https_prop::TransferredData), c.data);
  }
}

TEST_F(TransferTest, MethodCalledFromAnEventIsBusy) {
  ScriptedPeer peer(tw_test::scriptFor(
      {"\r\n\r\n", {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", "body"}, 20}));
  ActingHttps h;
  int inner = -1;
  std::string innerText;
  h.onFirstBody = [&](ActingHttps& self) {
    inner = self.Get(urlOf(peer, "/").c_str());
    innerText = self.GetLastError();
  };
  EXPECT_EQ(h.Get(urlOf(peer, "/").c_str()), 0);
  EXPECT_EQ(inner, 143);
  EXPECT_EQ(innerText, "Busy performing current action.");
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "body");
}

TEST_F(TransferTest, InterruptFromATransferEvent) {
  ScriptedPeer peer({PeerStep::waitFor("\r\n\r\n"),
                     PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst"),
                     PeerStep::delay(5000), PeerStep::close()});
  ActingHttps h;
  h.onFirstBody = [](ActingHttps& self) { self.Interrupt(); };
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(h.Get(urlOf(peer, "/").c_str()), 301);
  EXPECT_STREQ(h.GetLastError(), "Interrupted.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(h.GetInteger(https_prop::Idle), 1);
}

TEST_F(TransferTest, DeadlineEndsASilentServer) {
  ScriptedPeer peer({PeerStep::waitFor("\r\n\r\n"),
                     PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab"),
                     PeerStep::delay(4000), PeerStep::close()});
  RecordingHttps h;
  h.SetInteger(https_prop::Timeout, 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(h.Get(urlOf(peer, "/").c_str()), 301);
  EXPECT_STREQ(h.GetLastError(), "Timeout.");
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "ab");
}

TEST_F(TransferTest, KeepAliveReusesTheConnection) {
  ScriptedPeer peer({PeerStep::waitFor("/one HTTP/1.1\r\n"), PeerStep::waitFor("\r\n\r\n"),
                     PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"),
                     PeerStep::waitFor("/two HTTP/1.1\r\n"),
                     PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n2"),
                     PeerStep::close()});
  RecordingHttps h;
  h.Config("KeepAlive=true");
  ASSERT_EQ(h.Get(urlOf(peer, "/one").c_str()), 0) << h.GetLastError();
  ASSERT_EQ(h.Get(urlOf(peer, "/two").c_str()), 0) << h.GetLastError();
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "2");
  EXPECT_EQ(peer.connectionCount(), 1u);
}
