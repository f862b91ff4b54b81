// Responses through the component's receive handler: events as the
// application sees them, TransferredData and its limit, LocalFile, parsed
// headers, and status judging with the protocol error texts.
#include <gtest/gtest.h>

#include "tests/http/compress.h"
#include "tests/http/http_fixture.h"

using namespace velmora::network::component;

namespace {

class ResponseTest : public ComponentTest {};

}  // namespace

TEST_F(ResponseTest, EventsOfASuccessfulResponse) {
  RecordingHttps h;
  HttpComponent& c = h.component();
  ASSERT_EQ(playResponse(c, "GET",
                         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n"
                         "0123456789",
                         42),
            0);
  EXPECT_EQ(h.events, (std::vector<std::string>{"Status HTTP/1.1|200|OK",
                                                "Header Content-Type|text/plain",
                                                "Header Content-Length|10", "StartTransfer 1",
                                                "Transfer 1 10 100 0123456789", "EndTransfer 1"}));
  EXPECT_EQ(c.finishResponse(0), 0);
  EXPECT_EQ(h.GetText(https_prop::StatusLine), "HTTP/1.1 200 OK");
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "0123456789");
  EXPECT_EQ(h.GetText(https_prop::TransferredHeaders),
            "Content-Type: text/plain\r\nContent-Length: 10\r\n");
  EXPECT_EQ(h.Config("BytesTransferred"), "10");
  EXPECT_EQ(h.Config("TransferredData"), "0123456789");
}

TEST_F(ResponseTest, PercentDoneFollowsTheBytes) {
  RecordingHttps h;
  std::string body(300, 'b');
  // Pieces of 100 bytes arrive after the header block.
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n";
  HttpComponent& c = h.component();
  c.selectTls(false);
  ASSERT_EQ(c.beginResponse("GET"), 0);
  tw_test::LineFeed s(2048, [&] { return c.eol(); },
                          [&](const char* d, size_t n, bool e) { return c.dataIn(d, static_cast<int>(n), e); });
  ASSERT_EQ(s.receive(head), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(s.receive(body.substr(0, 100)), 0);
  std::vector<std::string> transfers;
  for (const std::string& e : h.events) {
    if (e.rfind("Transfer", 0) != 0) continue;
    size_t end = 0;
    for (int blanks = 0; blanks < 4; ++blanks) end = e.find(' ', end + 1);
    transfers.push_back(e.substr(0, end));  // without the text
  }
  EXPECT_EQ(transfers, (std::vector<std::string>{"Transfer 1 100 33", "Transfer 1 200 66",
                                                 "Transfer 1 300 100"}));
}

TEST_F(ResponseTest, TransferredDataLimitKeepsOnlyTheFirstBytes) {
  RecordingHttps h;
  h.SetLong(https_prop::TransferredDataLimit, 10);
  HttpComponent& c = h.component();
  std::string body = "abcdefghijklmnopqrstuvwxy";  // 25 bytes
  ASSERT_EQ(playResponse(c, "GET", "HTTP/1.1 200 OK\r\nContent-Length: 25\r\n\r\n" + body, 7), 0);
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "abcdefghij");
  EXPECT_EQ(h.Config("BytesTransferred"), "25");
  EXPECT_EQ(h.received, body);  // the Transfer events carry everything
}

TEST_F(ResponseTest, HeadResponseKeepsItsHeaders) {
  RecordingHttps h;
  HttpComponent& c = h.component();
  ASSERT_EQ(playResponse(c, "HEAD",
                         "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\n\r\n"),
            0);
  EXPECT_TRUE(c.responseEnded());
  EXPECT_EQ(h.GetInteger(https_prop::ParsedHeaderCount), 2);
  EXPECT_EQ(h.GetText(https_prop::ParsedHeaderField, 0), "Content-Length");
  EXPECT_EQ(h.GetText(https_prop::ParsedHeaderValue, 0), "5000");
  EXPECT_EQ(h.GetText(https_prop::ParsedHeaderField, 1), "Accept-Ranges");
  EXPECT_EQ(h.GetText(https_prop::ParsedHeaderValue, 1), "bytes");
  EXPECT_EQ(h.events.back(), "EndTransfer 1");
  for (const std::string& e : h.events) EXPECT_NE(e, "StartTransfer 1");
}

TEST_F(ResponseTest, StatusJudging) {
  struct Case {
    const char* statusLine;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK", 0, ""},
      {"HTTP/1.1 206 Partial Content", 0, ""},
      {"HTTP/1.1 404 Not Found", 151, "HTTP protocol error. 404 Not Found."},
      {"HTTP/1.1 500 Internal Error.", 151, "HTTP protocol error. 500 Internal Error."},
      {"HTTP/1.1 503", 151, "HTTP protocol error. 503 ."},
      {"HTTP/1.1 302 Found", 151, "HTTP protocol error. 302 Found."},
      {"HTTP/1.1 401 Unauthorized", 151, "HTTP protocol error. 401 Unauthorized."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.statusLine);
    RecordingHttps h;
    HttpComponent& c = h.component();
    c.clearError();
    ASSERT_EQ(playResponse(c, "GET", std::string(k.statusLine) +
                                         "\r\nContent-Length: 4\r\n\r\nbody"),
              0);
    EXPECT_EQ(c.finishResponse(0), k.code);
    EXPECT_EQ(c.lastErrorText(), k.text);
    // The body is delivered whatever the status.
    EXPECT_EQ(h.GetText(https_prop::TransferredData), "body");
    EXPECT_EQ(h.received, "body");
  }
  // A timeout or an interrupt wins over the status; without a status line
  // there is nothing to judge.
  RecordingHttps h;
  HttpComponent& c = h.component();
  ASSERT_EQ(playResponse(c, "GET", "HTTP/1.1 404 Not Found\r\nContent-Length: 100\r\n\r\nbo"), 0);
  EXPECT_EQ(c.finishResponse(301), 301);
  ASSERT_EQ(playResponse(c, "GET", "no status line at all"), 0);
  EXPECT_EQ(c.finishResponse(0), 0);
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "no status line at all");
}

TEST_F(ResponseTest, DecodingFailuresEndTheResponseWithTheirText) {
  const std::string zl = tw_test::zlibBytes("zlib-wrapped is not raw deflate");
  RecordingHttps h;
  h.SetInteger(https_prop::AllowHTTPCompression, 1);
  HttpComponent& c = h.component();
  int r = playResponse(c, "GET",
                       "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: " +
                           std::to_string(zl.size()) + "\r\n\r\n" + zl);
  EXPECT_EQ(r, 151);
  EXPECT_EQ(c.finishResponse(0), 151);
  EXPECT_EQ(c.lastErrorText(), "Could not decompress content.");

  // A gzip body decoded from five-byte pieces.
  const std::string text(5000, 'g');
  const std::string gz = tw_test::gzipBytes(text);
  RecordingHttps g;
  g.SetInteger(https_prop::AllowHTTPCompression, 1);
  ASSERT_EQ(playResponse(g.component(), "GET",
                         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                             std::to_string(gz.size()) + "\r\n\r\n" + gz,
                         5),
            0);
  EXPECT_EQ(g.GetText(https_prop::TransferredData), text);
  EXPECT_EQ(g.Config("BytesTransferred"), std::to_string(gz.size()));
  EXPECT_EQ(g.component().finishResponse(0), 0);
}

TEST_F(ResponseTest, LocalFileTakesASuccessfulBody) {
  RecordingHttps h;
  std::string path = dir_->file("page.html");
  tw_test::writeFile(path, "old content that is longer than the new one");
  h.SetText(https_prop::LocalFile, path.c_str());
  HttpComponent& c = h.component();
  ASSERT_EQ(playResponse(c, "GET", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nfresh!", 3), 0);
  EXPECT_EQ(c.finishResponse(0), 0);
  EXPECT_EQ(tw_test::readFile(path), "fresh!");  // replaced, not overwritten in place
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "");
  EXPECT_EQ(h.received, "fresh!");

  // Not 2xx: the file is left alone and the body kept in TransferredData.
  ASSERT_EQ(playResponse(c, "GET", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"), 0);
  EXPECT_EQ(c.finishResponse(0), 151);
  EXPECT_EQ(tw_test::readFile(path), "fresh!");
  EXPECT_EQ(h.GetText(https_prop::TransferredData), "gone");
}

TEST_F(ResponseTest, LocalFileThatCannotBeCreated) {
  RecordingHttps h;
  h.SetText(https_prop::LocalFile, dir_->file("no/such/dir/page.html").c_str());
  HttpComponent& c = h.component();
  EXPECT_EQ(playResponse(c, "GET", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"), 302);
  EXPECT_EQ(c.finishResponse(0), 302);
  EXPECT_EQ(c.lastErrorText(), "Can't open local file for writing.");
  EXPECT_EQ(h.events.back(), "Error 302|Can't open local file for writing.");
}
