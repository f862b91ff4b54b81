// The response parser fed whole messages through a line buffer, in one
// piece, split in two at every byte position, and in 1- and 5-byte pieces:
// every way of cutting a message must give the same events, body and result.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "httpclient/protocol/ResponseParser.h"
#include "tests/support/compress.h"
#include "tests/support/line_feed.h"

using namespace velmora::network::component;

namespace {

// Records what the parser tells its owner. Consecutive body pieces are
// merged into one "Transfer <bytes> <last percent>" event, because how the
// body is cut depends on how it arrives.
class RecordingSink : public ResponseSink {
 public:
  std::string marker = "\n";
  std::vector<std::string> events;
  std::string body;

  int setLineEnd(const std::string& m) override {
    marker = m;
    return 0;
  }
  void onStatus(const std::string& version, int code, const std::string& reason) override {
    events.push_back("Status " + version + "|" + std::to_string(code) + "|" + reason);
  }
  int onHeader(const std::string& field, const std::string& value) override {
    events.push_back("Header " + field + "|" + value);
    return 0;
  }
  void onStartTransfer() override { events.push_back("Start"); }
  int onBody(const char* data, size_t length, int percent) override {
    body.append(data, length);
    if (events.empty() || events.back().rfind("Transfer ", 0) != 0) events.push_back("");
    transferBytes_ = events.back().empty() ? length : transferBytes_ + length;
    events.back() = "Transfer " + std::to_string(transferBytes_) + " " + std::to_string(percent);
    return 0;
  }
  void onEndOfResponse(bool fire) override {
    events.push_back(fire ? "End" : "End without EndTransfer");
  }
  void onSkipRedirectBody() override {
    if (events.empty() || events.back() != "SkipBody") events.push_back("SkipBody");
  }

 private:
  size_t transferBytes_ = 0;
};

struct Case {
  std::string name = "", message = "", body = "";
  std::string events = "";  // "; " between events
  int code = 0;
  std::string errorText = "";
  bool ended = true;
  ParserSettings settings = {};
  size_t capacity = 2048;
  bool grind = true;  // also split at every byte position and in 1-byte pieces
};

struct Outcome {
  std::string events, body, errorText;
  int code = 0;
  bool ended = false;
  HttpResponseFields fields;
};

// Feeds the message as the given reads, then the peer's close. With content
// decoding, the piece that completes the output is not the last raw piece
// (the gzip trailer follows), so PercentDone is left out of the events.
Outcome run(const Case& c, const std::vector<std::string_view>& reads) {
  Outcome o;
  RecordingSink sink;
  ResponseParser parser(o.fields, sink);
  ParserSettings settings = c.settings;
  settings.maxLineLength = static_cast<int32_t>(c.capacity);
  parser.reset(settings);
  tw_test::LineFeed splitter(
      c.capacity, [&] { return sink.marker; },
      [&](const char* d, size_t n, bool eol) { return parser.feed(d, n, eol); });
  int code = 0;
  for (size_t i = 0; i < reads.size() && code == 0; ++i) code = splitter.receive(reads[i]);
  if (code == 0) code = splitter.close();
  if (code == 0) parser.connectionClosed();
  for (std::string& e : sink.events) {
    if (c.settings.allowCompression && e.rfind("Transfer ", 0) == 0) e.resize(e.rfind(' '));
    o.events += (o.events.empty() ? "" : "; ") + e;
  }
  o.body = sink.body;
  o.code = parser.errorCode();
  o.errorText = parser.errorText();
  o.ended = parser.ended();
  return o;
}

std::vector<std::string_view> pieces(const std::string& m, size_t size) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at < m.size(); at += size) out.push_back(std::string_view(m).substr(at, size));
  return out;
}

// Every way of cutting the message must give the case's outcome; the
// first way that does not ends the case.
void grind(const Case& c) {
  const std::string_view m = c.message;
  std::vector<std::pair<std::string, std::vector<std::string_view>>> ways = {
      {"one piece", {m}}, {"5-byte pieces", pieces(c.message, 5)}};
  if (c.grind) ways.push_back({"1-byte pieces", pieces(c.message, 1)});
  for (size_t i = 1; c.grind && i < m.size(); ++i) {
    ways.push_back({"split at " + std::to_string(i), {m.substr(0, i), m.substr(i)}});
  }
  for (const auto& [how, reads] : ways) {
    SCOPED_TRACE(c.name + ", " + how);
    const Outcome o = run(c, reads);
    EXPECT_EQ(o.events, c.events);
    EXPECT_EQ(o.body, c.body);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.errorText, c.errorText);
    EXPECT_EQ(o.ended, c.ended);
    if (::testing::Test::HasFailure()) return;
  }
}

std::string withCoding(const std::string& coding, const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Encoding: " + coding +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The events of withCoding up to Start, then the rest.
std::string codingEvents(const std::string& coding, size_t length, const std::string& rest) {
  return "Status HTTP/1.1|200|OK; Header Content-Encoding|" + coding + "; Header Content-Length|" +
         std::to_string(length) + "; Start" + rest;
}

const ParserSettings kCompression{.allowCompression = true};

std::vector<Case> cases() {
  const std::string a31(31, 'a'), q26(26, 'q');
  const std::string text =
      "The quick brown fox jumps over the lazy dog. The quick brown fox jumps again.";
  const std::string gz = tw_test::gzipBytes(text);
  const std::string zl = tw_test::deflateBytes(text, 15);
  const std::string full = tw_test::gzipWithAllHeaderFields(text);
  const std::string decoded = "; Transfer " + std::to_string(text.size()) + "; End";
  // A gzip header whose file name never ends is refused once it passes
  // 64 KiB instead of being collected for as long as the server sends.
  const std::string endlessName =
      std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10) + std::string(70000, 'n');
  // With a 32-byte line buffer a chunk's CR LF can be cut between the CR
  // (last byte of a full buffer) and the LF (first byte of the next piece).
  auto cut32 = [](const std::string& name, const std::string& chunks, const std::string& body) {
    return Case{.name = name,
                .message = "HTTP/1.1 200 OK\r\nTE: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks,
                .body = body,
                .events = "Status HTTP/1.1|200|OK; Header TE|x; Header Transfer-Encoding|chunked; "
                          "Start; Transfer " + std::to_string(body.size()) + " -1; End",
                .capacity = 32};
  };
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunkedEvents = "Status HTTP/1.1|200|OK; Header Transfer-Encoding|chunked; Start";
  return {
      {.name = "content-length body",
       .message = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", .body = "hello",
       .events = "Status HTTP/1.1|200|OK; Header Content-Length|5; Start; Transfer 5 100; End"},
      {.name = "interim 100 then 200: one Status, no interim headers",
       .message = "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
                  "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       .body = "ok",
       .events = "Status HTTP/1.1|200|OK; Header Content-Length|2; Start; Transfer 2 100; End"},
      {.name = "interim followed at once by a status line",
       .message = "HTTP/1.1 102 Processing\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
       .body = "x",
       .events = "Status HTTP/1.1|200|OK; Header Content-Length|1; Start; Transfer 1 100; End"},
      {.name = "101 is the answer itself, without a body, not an interim one",
       .message = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n",
       .events = "Status HTTP/1.1|101|Switching Protocols; Header Upgrade|x; End"},
      {.name = "content-length 0 ends after the headers",
       .message = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
       .events = "Status HTTP/1.1|200|OK; Header Content-Length|0; Start; End"},
      {.name = "HEAD with a length has no body",
       .message = "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\n\r\n",
       .events = "Status HTTP/1.1|200|OK; Header Content-Length|5000; "
                 "Header Accept-Ranges|bytes; End",
       .settings = {.headRequest = true}},
      {.name = "204 has no body", .message = "HTTP/1.1 204 No Content\r\nX-A: b\r\n\r\n",
       .events = "Status HTTP/1.1|204|No Content; Header X-A|b; End"},
      {.name = "body up to the close without a length",
       .message = "HTTP/1.0 200 OK\r\nServer: t\r\n\r\nabc\r\ndef", .body = "abc\r\ndef",
       .events = "Status HTTP/1.0|200|OK; Header Server|t; Start; Transfer 8 -1; End"},
      {.name = "LF-only lines, blanks and tabs after the colon",
       .message = "HTTP/1.1 200 Fine\nA:\t \tv1\nB:v2\nC:\n\nbody", .body = "body",
       .events = "Status HTTP/1.1|200|Fine; Header A|v1; Header B|v2; Header C|; Start; "
                 "Transfer 4 -1; End"},
      {.name = "status line without reason phrase",
       .message = "HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nz", .body = "z",
       .events = "Status HTTP/1.1|200|; Header Content-Length|1; Start; Transfer 1 100; End"},
      {.name = "folded header line has an empty field name",
       .message = "HTTP/1.1 200 OK\r\nX-Long: a\r\n  continued\r\n\tmore\r\n"
                  "Content-Length: 0\r\n\r\n",
       .events = "Status HTTP/1.1|200|OK; Header X-Long|a; Header | continued; Header |more; "
                 "Header Content-Length|0; Start; End"},
      {.name = "no status line: everything is body up to the close",
       .message = "hello world\nsecond line\r\nno end", .body = "hello world\nsecond line\r\nno end",
       .events = "Transfer 31 -1; End"},
      {.name = "an empty first line is no status line", .message = "\r\nHTTP/1.1 200 OK\r\n\r\n",
       .body = "\r\nHTTP/1.1 200 OK\r\n\r\n", .events = "Transfer 21 -1; End"},
      {.name = "Location is not kept without FollowRedirects",
       .message = "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 3\r\n\r\nabc", .body = "abc",
       .events = "Status HTTP/1.1|302|Found; Header Location|/x; Header Content-Length|3; Start; "
                 "Transfer 3 100; End"},
      {.name = "the body of a followed redirect is dropped",
       .message = "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 3\r\n\r\nabc",
       .events = "Status HTTP/1.1|302|Found; Header Location|/x; Header Content-Length|3; SkipBody",
       .ended = false, .settings = {.followRedirects = true}},
      {.name = "a 3xx without body and a captured Location ends without EndTransfer",
       .message = "HTTP/1.1 301 Moved\r\nLocation: /y\r\nContent-Length: 0\r\n\r\n",
       .events = "Status HTTP/1.1|301|Moved; Header Location|/y; Header Content-Length|0; "
                 "End without EndTransfer",
       .settings = {.followRedirects = true}},
      // Chunked bodies.
      {.name = "chunked written in capitals",
       .message = "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
                  "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
       .body = "hello world",
       .events = "Status HTTP/1.1|200|OK; Header Transfer-Encoding|Chunked; Start; "
                 "Transfer 11 -1; End"},
      {.name = "\"gzip, chunked\" is not chunked",
       .message = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                  "5\r\nhello\r\n0\r\n\r\n",
       .body = "5\r\nhello\r\n0\r\n\r\n",
       .events = "Status HTTP/1.1|200|OK; Header Transfer-Encoding|gzip, chunked; Start; "
                 "Transfer 15 -1; End"},
      {.name = "chunk extension is ignored: 1a gives 26 bytes",
       .message = chunked + "1a;name=value\r\n" + q26 + "\r\n0\r\n\r\n", .body = q26,
       .events = chunkedEvents + "; Transfer 26 -1; End"},
      {.name = "CR LF inside chunk data is delivered unchanged",
       .message = chunked + "8\r\nab\r\ncd\r\n\r\n3\r\n\r\nx\r\n0\r\n\r\n",
       .body = "ab\r\ncd\r\n\r\nx", .events = chunkedEvents + "; Transfer 11 -1; End"},
      {.name = "trailer lines end the response unparsed",
       .message = chunked + "2\r\nok\r\n0\r\nX-Trailer: v\r\n\r\n", .body = "ok",
       .events = chunkedEvents + "; Transfer 2 -1; End"},
      {.name = "a chunked body cut off by the close does not end",
       .message = chunked + "10\r\nonly part", .body = "only part",
       .events = chunkedEvents + "; Transfer 9 -1", .ended = false},
      cut32("CR LF at the cut belongs to the data", "21\r\n" + a31 + "\r\n\r\n0\r\n\r\n",
            a31 + "\r\n"),
      cut32("CR LF at the cut ends the chunk", "1f\r\n" + a31 + "\r\n0\r\n\r\n", a31),
      cut32("CR at the cut followed by data", "21\r\n" + a31 + "\rx\r\n0\r\n\r\n", a31 + "\rx"),
      cut32("CR LF at the cut inside a longer chunk", "24\r\n" + a31 + "\r\nbcd\r\n0\r\n\r\n",
            a31 + "\r\nbcd"),
      cut32("chunk longer than the line buffer without CR LF",
            "40\r\n" + a31 + a31 + "zz\r\n0\r\n\r\n", a31 + a31 + "zz"),
      // Content codings.
      {.name = "gzip decoded", .message = withCoding("gzip", gz), .body = text,
       .events = codingEvents("gzip", gz.size(), decoded), .settings = kCompression},
      {.name = "gzip with extra, name, comment and header CRC", .message = withCoding("gzip", full),
       .body = text, .events = codingEvents("gzip", full.size(), decoded), .settings = kCompression},
      {.name = "gzip without AllowHTTPCompression stays compressed",
       .message = withCoding("gzip", gz), .body = gz,
       .events = codingEvents("gzip", gz.size(),
                              "; Transfer " + std::to_string(gz.size()) + " 100; End")},
      {.name = "zlib-wrapped deflate is refused", .message = withCoding("deflate", zl),
       .events = codingEvents("deflate", zl.size(), ""), .code = 151,
       .errorText = "Could not decompress content.", .settings = kCompression},
      {.name = "a gzip body without the gzip magic",
       .message = withCoding("gzip", std::string("PK\x08\0", 4) + gz),
       .events = codingEvents("gzip", gz.size() + 4, ""), .code = 102,
       .errorText = "The GZIP header is invalid.", .settings = kCompression},
      {.name = "a gzip body with another compression method",
       .message = withCoding("gzip", std::string("\x1f\x8b\x07\0", 4) + gz),
       .events = codingEvents("gzip", gz.size() + 4, ""), .code = 102,
       .errorText = "The GZIP header is invalid.", .settings = kCompression},
      {.name = "a gzip header that never ends", .message = withCoding("gzip", endlessName),
       .events = codingEvents("gzip", endlessName.size(), ""), .code = 102,
       .errorText = "The GZIP header is invalid.", .settings = kCompression, .grind = false},
  };
}

}  // namespace

TEST(ResponseParserTest, EveryCutGivesTheSameOutcome) {
  for (const Case& c : cases()) grind(c);
}

// The fields a response leaves. Bytes after the length arrive with the last
// piece of the body: a whole read takes them as transferred, a read of one
// byte at a time does not.
TEST(ResponseParserTest, ResponseFieldsAndBytesAfterTheLength) {
  const Case c{.message = "HTTP/1.1 200 Fine Thing\r\nContent-Type: text/plain\r\nX-A:  b\r\n"
                          "Content-Length: 3\r\n\r\nabcEXTRA-after-length-is-ignored"};
  EXPECT_EQ(run(c, {c.message}).events,
            "Status HTTP/1.1|200|Fine Thing; Header Content-Type|text/plain; Header X-A|b; "
            "Header Content-Length|3; Start; Transfer 32 100; End");
  const Outcome o = run(c, pieces(c.message, 1));
  EXPECT_EQ(o.body, "abc");
  EXPECT_EQ(o.fields.bytesTransferred, 3u);
  EXPECT_EQ(o.fields.statusLine, "HTTP/1.1 200 Fine Thing");
  EXPECT_EQ(o.fields.httpVersion, "HTTP/1.1");
  EXPECT_EQ(o.fields.statusCode, 200);
  EXPECT_EQ(o.fields.reasonPhrase, "Fine Thing");
  EXPECT_EQ(o.fields.contentType, "text/plain");
  EXPECT_EQ(o.fields.contentLength, 3);
  EXPECT_EQ(o.fields.transferredHeaders,
            "Content-Type: text/plain\r\nX-A:  b\r\nContent-Length: 3\r\n");
  ASSERT_EQ(o.fields.headers.size(), 3u);
  EXPECT_EQ(o.fields.headers[1], (std::pair<std::string, std::string>{"X-A", "b"}));
}

TEST(ResponseParserTest, HeaderBlockIsBounded) {
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 1000; ++i) many += "X-Line: " + std::to_string(i) + "\r\n";
  Outcome o = run({}, {many + "\r\nbody"});
  EXPECT_EQ(o.code, 151);
  EXPECT_EQ(o.errorText, "Response header too large.");
  EXPECT_TRUE(o.ended);
  EXPECT_EQ(o.body, "");
  // Status and 999 headers came before the limit.
  EXPECT_EQ(std::count(o.events.begin(), o.events.end(), ';'), 999);

  // 1,000 lines with the status line and the blank line are fine.
  std::string fine = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 997; ++i) fine += "X-Line: " + std::to_string(i) + "\r\n";
  fine += "Content-Length: 2\r\n\r\nok";
  o = run({}, pieces(fine, 1000));
  EXPECT_EQ(o.body, "ok");
  EXPECT_EQ(o.code, 0);

  // Over 1 MiB in fewer than 1,000 lines (long lines arrive as several
  // blocks of the line buffer).
  std::string big = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 600; ++i) big += "X-Big: " + std::string(1800, 'v') + "\r\n";
  o = run({}, pieces(big + "\r\n", 4096));
  EXPECT_EQ(o.code, 151);
  EXPECT_EQ(o.errorText, "Response header too large.");
  EXPECT_LT(o.fields.transferredHeaders.size(), 1024u * 1024u + 4096u);
}
