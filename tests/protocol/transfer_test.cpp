// Whole transfers against scripted loopback peers, one table: the settings,
// the reply pieces the peer sends, the request bytes it must have received,
// and the result, TransferredData and events the application sees.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "tests/protocol/http_fixture.h"
#include "tests/support/scripted_peer.h"

using tw_test::PeerStep;
using tw_test::ScriptedPeer;

namespace {

class TransferTest : public ComponentTest {};

struct Exchange {
  const char* what = "";
  // Runs before the call, with the peer's URL.
  std::function<void(RecordingHttps&, const std::string& peerUrl)> setup = nullptr;
  int (HTTPS::*call)(const char*) = &HTTPS::Get;
  std::string path = "/";
  std::string url = "";                   // "": the peer's address and path
  std::string waitFor = "\r\n\r\n";       // the peer replies once it has this
  std::vector<std::string> reply = {};    // sent delayMs apart, then the close
  int delayMs = 20;
  int holdMs = 0;                         // before the close
  std::string request = "";  // expected request bytes ("{host}", "{agent}" filled in); "" unchecked
  int code = 0;
  const char* error = "";               // nullptr: unchecked
  std::string data = "";             // TransferredData
  std::vector<std::string> events = {};  // empty: unchecked
  // Runs after the call, with the expected request bytes.
  std::function<void(RecordingHttps&, const std::string& request)> check = nullptr;
  int minMs = 0, maxMs = 0;          // duration of the call (0: unchecked)
};

std::string filled(std::string text, const std::string& host) {
  for (size_t at; (at = text.find("{host}")) != std::string::npos;) text.replace(at, 6, host);
  for (size_t at; (at = text.find("{agent}")) != std::string::npos;) {
    text.replace(at, 7, "User-Agent: TessilonSSL HTTPS Component/1.0\r\n");
  }
  return text;
}

void play(const Exchange& x) {
  SCOPED_TRACE(x.what);
  tw_test::PeerScript script = {PeerStep::waitFor(x.waitFor)};
  for (size_t i = 0; i < x.reply.size(); ++i) {
    if (i > 0) script.push_back(PeerStep::delay(x.delayMs));
    script.push_back(PeerStep::send(x.reply[i]));
  }
  if (x.holdMs > 0) script.push_back(PeerStep::delay(x.holdMs));
  script.push_back(PeerStep::close());
  ScriptedPeer peer(script);
  const std::string host = "127.0.0.1:" + std::to_string(peer.port());
  const std::string peerUrl = "http://" + host + x.path;
  RecordingHttps h;
  if (x.setup) x.setup(h, peerUrl);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ((h.*x.call)(x.url.empty() ? peerUrl.c_str() : x.url.c_str()), x.code);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
  if (x.minMs > 0) { EXPECT_GE(ms, x.minMs); }
  if (x.maxMs > 0) { EXPECT_LT(ms, x.maxMs); }
  if (x.error != nullptr) { EXPECT_STREQ(h.GetLastError(), x.error); }
  EXPECT_EQ(h.GetText(https_prop::TransferredData), x.data);
  EXPECT_EQ(h.GetInteger(https_prop::Idle), 1);
  if (!x.events.empty()) { EXPECT_EQ(h.events, x.events); }
  const std::string request = filled(x.request, host);
  if (!request.empty()) {
    ASSERT_TRUE(peer.waitDone());
    EXPECT_EQ(peer.received(0), request);
  }
  if (x.check) x.check(h, request);
}

std::string withLength(const std::string& head, const std::string& body) {
  return "HTTP/1.1 " + head + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

}  // namespace

TEST_F(TransferTest, Exchanges) {
  auto status = [](const char* line, int code, const char* error) {
    return Exchange{.what = line, .reply = {withLength(line + 9, "body")}, .code = code,
                    .error = error, .data = "body",
                    .check = [](RecordingHttps& h, auto&) { EXPECT_EQ(h.received, "body"); }};
  };
  const std::vector<Exchange> exchanges = {
      {.what = "chunked upload: chunk sizes in hex",
       .setup = [](RecordingHttps& h, const std::string&) {
         h.Config("UseChunkedEncoding=true");
         h.Config("ChunkSize=16");
         h.SetText(https_prop::PostData, "hello world, in chunks");
       },
       .call = &HTTPS::Post, .path = "/up", .waitFor = "0\r\n\r\n",
       .reply = {"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"},
       .request = "POST /up HTTP/1.1\r\nHost: {host}\r\n{agent}Connection: close\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n10\r\nhello world, in \r\n6\r\nchunks\r\n0\r\n\r\n"},
      {.what = "request through a proxy: the peer is the proxy",
       .setup = [](RecordingHttps& h, const std::string& peerUrl) {
         h.SetText(https_prop::ProxyServer, "127.0.0.1");
         h.SetInteger(https_prop::ProxyPort, std::stoi(peerUrl.substr(peerUrl.rfind(':') + 1)));
       },
       .url = "http://site.test:8080/x", .reply = {withLength("200 OK", "p")},
       .request = "GET http://site.test:8080/x HTTP/1.1\r\nHost: site.test:8080\r\n{agent}"
                  "Connection: close\r\n\r\n",
       .data = "p"},
      {.what = "events of a successful response",
       .reply = {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n"
                 "0123456789"},
       .data = "0123456789",
       .events = {"Status HTTP/1.1|200|OK", "Header Content-Type|text/plain",
                  "Header Content-Length|10", "StartTransfer 1", "Transfer 1 10 100 0123456789",
                  "EndTransfer 1"},
       .check = [](RecordingHttps& h, auto&) {
         EXPECT_EQ(h.GetText(https_prop::StatusLine), "HTTP/1.1 200 OK");
         EXPECT_EQ(h.GetText(https_prop::TransferredHeaders),
                   "Content-Type: text/plain\r\nContent-Length: 10\r\n");
         EXPECT_EQ(h.Config("BytesTransferred"), "10");
         EXPECT_EQ(h.Config("TransferredData"), "0123456789");
       }},
      {.what = "percent done follows the bytes",
       .reply = {"HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n", std::string(100, 'b'),
                 std::string(100, 'b'), std::string(100, 'b')},
       .data = std::string(300, 'b'),
       .check = [](RecordingHttps& h, auto&) {
         std::vector<std::string> transfers;
         for (const std::string& e : h.events) {
           if (e.rfind("Transfer", 0) == 0) transfers.push_back(e.substr(0, e.rfind(' ')));
         }
         EXPECT_EQ(transfers, (std::vector<std::string>{"Transfer 1 100 33", "Transfer 1 200 66",
                                                        "Transfer 1 300 100"}));
       }},
      {.what = "TransferredDataLimit keeps only the first bytes",
       .setup = [](RecordingHttps& h, const std::string&) {
         h.SetLong(https_prop::TransferredDataLimit, 10);
       },
       .reply = {withLength("200 OK", "abcdefghijklmnopqrstuvwxy")}, .data = "abcdefghij",
       .check = [](RecordingHttps& h, auto&) {
         EXPECT_EQ(h.Config("BytesTransferred"), "25");
         EXPECT_EQ(h.received, "abcdefghijklmnopqrstuvwxy");  // the events carry everything
       }},
      {.what = "HEAD keeps its headers and has no body", .call = &HTTPS::Head,
       .reply = {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\n\r\n"},
       .check = [](RecordingHttps& h, auto&) {
         EXPECT_EQ(h.GetInteger(https_prop::ParsedHeaderCount), 2);
         EXPECT_EQ(h.GetText(https_prop::ParsedHeaderField, 0), "Content-Length");
         EXPECT_EQ(h.GetText(https_prop::ParsedHeaderValue, 0), "5000");
         EXPECT_EQ(h.GetText(https_prop::ParsedHeaderField, 1), "Accept-Ranges");
         EXPECT_EQ(h.GetText(https_prop::ParsedHeaderValue, 1), "bytes");
         EXPECT_EQ(h.events.back(), "EndTransfer 1");
         for (const std::string& e : h.events) EXPECT_NE(e, "StartTransfer 1");
       }},
      status("HTTP/1.1 200 OK", 0, ""),
      status("HTTP/1.1 206 Partial Content", 0, ""),
      status("HTTP/1.1 404 Not Found", 151, "HTTP protocol error. 404 Not Found."),
      status("HTTP/1.1 500 Internal Error.", 151, "HTTP protocol error. 500 Internal Error."),
      status("HTTP/1.1 503", 151, "HTTP protocol error. 503 ."),
      status("HTTP/1.1 302 Found", 151, "HTTP protocol error. 302 Found."),
      status("HTTP/1.1 401 Unauthorized", 151, "HTTP protocol error. 401 Unauthorized."),
      {.what = "no status line: nothing to judge", .reply = {"just bytes\n", "until the close"},
       .data = "just bytes\nuntil the close"},
      {.what = "the deadline ends a silent server, whatever the status",
       .setup = [](RecordingHttps& h, const std::string&) {
         h.SetInteger(https_prop::Timeout, 1);
       },
       .reply = {"HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\nab"}, .holdMs = 4000,
       .code = 301, .error = "Timeout.", .data = "ab", .minMs = 900, .maxMs = 3000},
  };
  for (const Exchange& x : exchanges) play(x);
}

TEST_F(TransferTest, KeepAliveReusesTheConnection) {
  ScriptedPeer peer({PeerStep::waitFor("/one HTTP/1.1\r\n"), PeerStep::waitFor("\r\n\r\n"),
                     PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"),
                     PeerStep::waitFor("/two HTTP/1.1\r\n"),
                     PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n2"),
                     PeerStep::close()});
  RecordingHttps h;
  h.Config("KeepAlive=true");
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port());
  ASSERT_EQ(h.Get((url + "/one").c_str()), 0) << h.GetLastError();
  ASSERT_EQ(h.Get((url + "/two").c_str()), 0) << h.GetLastError();
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "2");
  EXPECT_EQ(peer.connectionCount(), 1u);
}
