// The response parser fed whole messages through a line buffer, in one
// piece, split in two at every byte position, and in 1- and 5-byte pieces:
// every way of cutting a message must give the same events, body and result.
#include <gtest/gtest.h>

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
  void onStartTransfer() override { events.push_back("StartTransfer"); }
  int onBody(const char* data, size_t length, int percent) override {
    body.append(data, length);
    if (!events.empty() && events.back().rfind("Transfer ", 0) == 0) {
      transferBytes_ += length;
      events.back() = "Transfer " + std::to_string(transferBytes_) + " " + std::to_string(percent);
    } else {
      transferBytes_ = length;
      events.push_back("Transfer " + std::to_string(length) + " " + std::to_string(percent));
    }
    return 0;
  }
  void onEndOfResponse(bool fire) override {
    events.push_back(fire ? "EndTransfer" : "End (no EndTransfer)");
  }
  void onSkipRedirectBody() override {
    if (events.empty() || events.back() != "SkipBody") events.push_back("SkipBody");
  }

 private:
  size_t transferBytes_ = 0;
};

struct Case {
  std::string name;
  std::string message;
  std::vector<std::string> events;
  std::string body;
  int code = 0;
  std::string errorText;
  bool ended = true;
  ParserSettings settings;
  size_t capacity = 2048;
  bool grind = true;  // split at every byte position (small messages)
};

struct Outcome {
  std::vector<std::string> events;
  std::string body;
  int code = 0;
  std::string errorText;
  bool ended = false;
  HttpResponseFields fields;
};

// Feeds the message as the given reads, then the peer's close.
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
  for (std::string_view r : reads) {
    code = splitter.receive(r);
    if (code != 0) break;
  }
  if (code == 0) code = splitter.close();
  if (code == 0) parser.connectionClosed();
  o.events = sink.events;
  o.body = sink.body;
  o.code = parser.errorCode();
  o.errorText = parser.errorText();
  o.ended = parser.ended();
  return o;
}

// With content decoding, the piece that completes the output is not the last
// raw piece (the gzip trailer follows), so PercentDone at the last output
// depends on the cut: it is left out of the comparison.
std::vector<std::string> comparable(const Case& c, std::vector<std::string> events) {
  if (!c.settings.allowCompression) return events;
  for (std::string& e : events) {
    if (e.rfind("Transfer ", 0) == 0) e.resize(e.rfind(' '));
  }
  return events;
}

void expectOutcome(const Case& c, const Outcome& o, const std::string& how) {
  SCOPED_TRACE(c.name + ", " + how);
  EXPECT_EQ(comparable(c, o.events), comparable(c, c.events));
  EXPECT_EQ(o.body, c.body);
  EXPECT_EQ(o.code, c.code);
  EXPECT_EQ(o.errorText, c.errorText);
  EXPECT_EQ(o.ended, c.ended);
}

std::vector<std::string_view> pieces(const std::string& m, size_t size) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at < m.size(); at += size) out.push_back(std::string_view(m).substr(at, size));
  return out;
}

void grind(const Case& c) {
  const std::string& m = c.message;
  expectOutcome(c, run(c, {m}), "one piece");
  expectOutcome(c, run(c, pieces(m, 5)), "5-byte pieces");
  if (!c.grind) return;
  expectOutcome(c, run(c, pieces(m, 1)), "1-byte pieces");
  for (size_t i = 1; i < m.size(); ++i) {
    Outcome o = run(c, {std::string_view(m).substr(0, i), std::string_view(m).substr(i)});
    expectOutcome(c, o, "split at " + std::to_string(i));
    if (::testing::Test::HasFailure()) return;  // one failing split says enough
  }
}

const std::string kHello = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

ParserSettings head() {
  ParserSettings s;
  s.headRequest = true;
  return s;
}
ParserSettings compression() {
  ParserSettings s;
  s.allowCompression = true;
  return s;
}
ParserSettings redirects() {
  ParserSettings s;
  s.followRedirects = true;
  return s;
}

}  // namespace

TEST(ResponseParserTest, StatusLinesHeadersAndLengths) {
  std::vector<Case> cases = {
      {"content-length body", kHello,
       {"Status HTTP/1.1|200|OK", "Header Content-Length|5", "StartTransfer", "Transfer 5 100",
        "EndTransfer"},
       "hello"},
      {"interim 100 then 200: one Status, no interim headers",
       "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       {"Status HTTP/1.1|200|OK", "Header Content-Length|2", "StartTransfer", "Transfer 2 100",
        "EndTransfer"},
       "ok"},
      {"interim followed at once by a status line",
       "HTTP/1.1 102 Processing\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
       {"Status HTTP/1.1|200|OK", "Header Content-Length|1", "StartTransfer", "Transfer 1 100",
        "EndTransfer"},
       "x"},
      {"content-length 0 ends after the headers",
       "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Content-Length|0", "StartTransfer", "EndTransfer"}, ""},
      {"HEAD with a length has no body",
       "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Content-Length|5000", "Header Accept-Ranges|bytes",
        "EndTransfer"},
       "", 0, "", true, head()},
      {"204 has no body", "HTTP/1.1 204 No Content\r\nX-A: b\r\n\r\n",
       {"Status HTTP/1.1|204|No Content", "Header X-A|b", "EndTransfer"}, ""},
      {"body up to the close without a length", "HTTP/1.0 200 OK\r\nServer: t\r\n\r\nabc\r\ndef",
       {"Status HTTP/1.0|200|OK", "Header Server|t", "StartTransfer", "Transfer 8 -1",
        "EndTransfer"},
       "abc\r\ndef"},
      {"LF-only lines, blanks and tabs after the colon",
       "HTTP/1.1 200 Fine\nA:\t \tv1\nB:v2\nC:\n\nbody",
       {"Status HTTP/1.1|200|Fine", "Header A|v1", "Header B|v2", "Header C|", "StartTransfer",
        "Transfer 4 -1", "EndTransfer"},
       "body"},
      {"status line without reason phrase", "HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nz",
       {"Status HTTP/1.1|200|", "Header Content-Length|1", "StartTransfer", "Transfer 1 100",
        "EndTransfer"},
       "z"},
      {"folded header line has an empty field name",
       "HTTP/1.1 200 OK\r\nX-Long: a\r\n  continued\r\n\tmore\r\nContent-Length: 0\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header X-Long|a", "Header | continued", "Header |more",
        "Header Content-Length|0", "StartTransfer", "EndTransfer"},
       ""},
      {"a 404 body is still delivered",
       "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!",
       {"Status HTTP/1.1|404|Not Found", "Header Content-Length|9", "StartTransfer",
        "Transfer 9 100", "EndTransfer"},
       "not here!"},
      {"percent done while the body arrives, then the end at the length",
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcdEXTRA-after-length-is-ignored",
       {},  // filled below: the cut decides where the extra bytes go
       ""},
      {"no status line: everything is body up to the close",
       "hello world\nsecond line\r\nno end",
       {"Transfer 31 -1", "EndTransfer"}, "hello world\nsecond line\r\nno end"},
      {"an empty first line is no status line", "\r\nHTTP/1.1 200 OK\r\n\r\n",
       {"Transfer 21 -1", "EndTransfer"}, "\r\nHTTP/1.1 200 OK\r\n\r\n"},
      {"Location is not kept without FollowRedirects",
       "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 3\r\n\r\nabc",
       {"Status HTTP/1.1|302|Found", "Header Location|/x", "Header Content-Length|3",
        "StartTransfer", "Transfer 3 100", "EndTransfer"},
       "abc"},
      {"the body of a followed redirect is dropped",
       "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 3\r\n\r\nabc",
       {"Status HTTP/1.1|302|Found", "Header Location|/x", "Header Content-Length|3",
        "SkipBody"},
       "", 0, "", false, redirects()},
      {"a 3xx without body and a captured Location ends without EndTransfer",
       "HTTP/1.1 301 Moved\r\nLocation: /y\r\nContent-Length: 0\r\n\r\n",
       {"Status HTTP/1.1|301|Moved", "Header Location|/y", "Header Content-Length|0",
        "End (no EndTransfer)"},
       "", 0, "", true, redirects()},
  };
  // The extra bytes after the length arrive with the last piece of the body,
  // so only the one-piece feed is checked for that case.
  for (const Case& c : cases) {
    if (c.events.empty()) continue;
    grind(c);
  }
  const Case& extra = cases[11];
  Outcome o = run(extra, {extra.message});
  EXPECT_EQ(o.events, (std::vector<std::string>{"Status HTTP/1.1|200|OK",
                                                "Header Content-Length|4", "StartTransfer",
                                                "Transfer 33 100", "EndTransfer"}));
  Outcome slow = run(extra, pieces(extra.message, 1));
  EXPECT_EQ(slow.body, "abcd");
  EXPECT_EQ(slow.fields.bytesTransferred, 4u);
}

TEST(ResponseParserTest, ChunkedBodies) {
  std::string chunk26(26, 'q');
  std::vector<Case> cases = {
      {"chunked written in capitals",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Transfer-Encoding|Chunked", "StartTransfer",
        "Transfer 11 -1", "EndTransfer"},
       "hello world"},
      {"\"gzip, chunked\" is not chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Transfer-Encoding|gzip, chunked", "StartTransfer",
        "Transfer 15 -1", "EndTransfer"},
       "5\r\nhello\r\n0\r\n\r\n"},
      {"chunk extension is ignored: 1a gives 26 bytes",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;name=value\r\n" + chunk26 +
           "\r\n0\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Transfer-Encoding|chunked", "StartTransfer",
        "Transfer 26 -1", "EndTransfer"},
       chunk26},
      {"CR LF inside chunk data is delivered unchanged",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\nab\r\ncd\r\n\r\n3\r\n\r\nx\r\n0\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Transfer-Encoding|chunked", "StartTransfer",
        "Transfer 11 -1", "EndTransfer"},
       "ab\r\ncd\r\n\r\nx"},
      {"trailer lines end the response unparsed",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nX-Trailer: v\r\n\r\n",
       {"Status HTTP/1.1|200|OK", "Header Transfer-Encoding|chunked", "StartTransfer",
        "Transfer 2 -1", "EndTransfer"},
       "ok"},
      {"a chunked body cut off by the close does not end",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly part",
       {"Status HTTP/1.1|200|OK", "Header Transfer-Encoding|chunked", "StartTransfer",
        "Transfer 9 -1"},
       "only part", 0, "", false},
  };
  for (const Case& c : cases) grind(c);
}

// With a 32-byte line buffer, a chunk's CR LF can be cut between the CR (last
// byte of a full buffer) and the LF (first byte of the next piece).
TEST(ResponseParserTest, ChunkLineCutAtMaxLineLength) {
  const std::string head = "HTTP/1.1 200 OK\r\nTE: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string a31(31, 'a');
  std::vector<Case> cases = {
      {"CR LF at the cut belongs to the data", head + "21\r\n" + a31 + "\r\n\r\n0\r\n\r\n", {},
       a31 + "\r\n"},
      {"CR LF at the cut ends the chunk", head + "1f\r\n" + a31 + "\r\n0\r\n\r\n", {}, a31},
      {"CR at the cut followed by data", head + "21\r\n" + a31 + "\rx\r\n0\r\n\r\n", {},
       a31 + "\rx"},
      {"CR LF at the cut inside a longer chunk",
       head + "24\r\n" + a31 + "\r\nbcd\r\n0\r\n\r\n", {}, a31 + "\r\nbcd"},
      {"chunk longer than the line buffer without CR LF",
       head + "40\r\n" + a31 + a31 + "zz\r\n0\r\n\r\n", {}, a31 + a31 + "zz"},
  };
  for (Case& c : cases) {
    c.capacity = 32;
    c.events = {"Status HTTP/1.1|200|OK", "Header TE|x", "Header Transfer-Encoding|chunked",
                "StartTransfer", "Transfer " + std::to_string(c.body.size()) + " -1",
                "EndTransfer"};
    grind(c);
  }
}

TEST(ResponseParserTest, ContentCodings) {
  const std::string text =
      "The quick brown fox jumps over the lazy dog. The quick brown fox jumps again.";
  const std::string gz = tw_test::gzipBytes(text);
  const std::string raw = tw_test::rawDeflateBytes(text);
  const std::string zl = tw_test::zlibBytes(text);
  const std::string full = tw_test::gzipWithAllHeaderFields(text);
  auto response = [](const std::string& coding, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Encoding: " + coding +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  auto events = [](const std::string& coding, size_t length, size_t decoded) {
    return std::vector<std::string>{"Status HTTP/1.1|200|OK", "Header Content-Encoding|" + coding,
                                    "Header Content-Length|" + std::to_string(length),
                                    "StartTransfer",
                                    "Transfer " + std::to_string(decoded) + " 100",
                                    "EndTransfer"};
  };
  std::vector<Case> cases = {
      {"gzip decoded", response("gzip", gz), events("gzip", gz.size(), text.size()), text, 0, "",
       true, compression()},
      {"GZIP in capitals decoded", response("GZIP", gz), events("GZIP", gz.size(), text.size()),
       text, 0, "", true, compression()},
      {"gzip with extra, name, comment and header CRC", response("gzip", full),
       events("gzip", full.size(), text.size()), text, 0, "", true, compression()},
      {"raw deflate decoded", response("deflate", raw),
       events("deflate", raw.size(), text.size()), text, 0, "", true, compression()},
      {"gzip without AllowHTTPCompression stays compressed", response("gzip", gz),
       events("gzip", gz.size(), gz.size()), gz},
      {"an unknown coding is left as it is", response("br", "abc"), events("br", 3, 3), "abc", 0,
       "", true, compression()},
      {"zlib-wrapped deflate is refused", response("deflate", zl),
       {"Status HTTP/1.1|200|OK", "Header Content-Encoding|deflate",
        "Header Content-Length|" + std::to_string(zl.size()), "StartTransfer"},
       "", 151, "Could not decompress content.", true, compression()},
      {"a gzip body without the gzip magic", response("gzip", std::string("PK\x08\0", 4) + gz),
       {"Status HTTP/1.1|200|OK", "Header Content-Encoding|gzip",
        "Header Content-Length|" + std::to_string(gz.size() + 4), "StartTransfer"},
       "", 102, "The GZIP header is invalid.", true, compression()},
      {"a gzip body with another compression method", response("gzip", std::string("\x1f\x8b\x07\0", 4) + gz),
       {"Status HTTP/1.1|200|OK", "Header Content-Encoding|gzip",
        "Header Content-Length|" + std::to_string(gz.size() + 4), "StartTransfer"},
       "", 102, "The GZIP header is invalid.", true, compression()},
  };
  for (const Case& c : cases) grind(c);

  // A gzip header whose file name never ends is refused once it passes
  // 64 KiB instead of being collected for as long as the server sends.
  const std::string endlessName =
      std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10) + std::string(70000, 'n');
  grind({"a gzip header that never ends", response("gzip", endlessName),
         {"Status HTTP/1.1|200|OK", "Header Content-Encoding|gzip",
          "Header Content-Length|" + std::to_string(endlessName.size()), "StartTransfer"},
         "", 102, "The GZIP header is invalid.", true, compression(), 2048, false});

  // Chunked and gzip together: the chunks carry the compressed bytes.
  std::string chunked = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (size_t at = 0; at < gz.size(); at += 7) {
    std::string part = gz.substr(at, 7);
    char size[8];
    std::snprintf(size, sizeof(size), "%zx", part.size());
    chunked += std::string(size) + "\r\n" + part + "\r\n";
  }
  chunked += "0\r\n\r\n";
  grind({"chunked gzip", chunked,
         {"Status HTTP/1.1|200|OK", "Header Content-Encoding|gzip",
          "Header Transfer-Encoding|chunked", "StartTransfer",
          "Transfer " + std::to_string(text.size()) + " -1", "EndTransfer"},
         text, 0, "", true, compression()});
}

TEST(ResponseParserTest, HeaderBlockIsBounded) {
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 1000; ++i) many += "X-Line: " + std::to_string(i) + "\r\n";
  many += "\r\nbody";
  Case lines{"1,000 header lines after the status line", many, {}, "", 151,
             "Response header too large."};
  lines.grind = false;
  Outcome o = run(lines, {many});
  EXPECT_EQ(o.code, 151);
  EXPECT_EQ(o.errorText, "Response header too large.");
  EXPECT_TRUE(o.ended);
  EXPECT_EQ(o.body, "");
  EXPECT_EQ(o.events.size(), 1000u);  // Status and 999 headers came before the limit

  // 1,000 lines with the status line and the blank line are fine.
  std::string fine = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 997; ++i) fine += "X-Line: " + std::to_string(i) + "\r\n";
  fine += "Content-Length: 2\r\n\r\nok";
  Case ok{"999 lines", fine, {}, "ok"};
  EXPECT_EQ(run(ok, pieces(fine, 1000)).body, "ok");
  EXPECT_EQ(run(ok, pieces(fine, 1000)).code, 0);

  // Over 1 MiB in fewer than 1,000 lines (long lines arrive as several
  // blocks of the line buffer).
  std::string big = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 600; ++i) big += "X-Big: " + std::string(1800, 'v') + "\r\n";
  big += "\r\n";
  Case large{"over 1 MiB", big, {}, ""};
  Outcome b = run(large, pieces(big, 4096));
  EXPECT_EQ(b.code, 151);
  EXPECT_EQ(b.errorText, "Response header too large.");
  EXPECT_LT(b.fields.transferredHeaders.size(), 1024u * 1024u + 4096u);
}

TEST(ResponseParserTest, ResponseFieldsAreKept) {
  Case c{"fields", "HTTP/1.1 200 Fine Thing\r\nContent-Type: text/plain\r\nX-A:  b\r\n"
                   "Content-Length: 3\r\n\r\nabc",
         {}, "abc"};
  Outcome o = run(c, pieces(c.message, 3));
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
  EXPECT_EQ(o.fields.bytesTransferred, 3u);
}
