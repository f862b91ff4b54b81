// The page fetcher in this process against scripted loopback peers: what
// goes on the wire (header probe, byte range, proxy schemes) and what is
// left in the local file and the failure text and code. The body writing of
// its component wrapper: Transfer events in, the local file out, and the
// error text of failed writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fetch/HTTPSCustom.h"
#include "fetch/PageFetcher.h"
#include "fetch/ProxySettings.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "winsupport/SystemErrorText.h"
#include "tests/support/runs.h"
#include "tests/support/state_dir_test.h"

using tw_test::PeerScript;
using tw_test::PeerStep;
using tw_test::ScriptedPeer;
using velmora::network::HTTPSCustom;
using velmora::network::PageFetcher;

namespace {

// Time limit of every fetch here, so that a fault fails the test instead of
// hanging it.
constexpr int kTimeoutSeconds = 10;

// One connection: wait for a whole request head, answer, close.
PeerScript answer(const std::string& reply) {
  return {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(reply), PeerStep::close()};
}

std::string headReply(const std::string& extraHeaders) {
  return "HTTP/1.1 200 OK\r\n" + extraHeaders + "Connection: close\r\n\r\n";
}

std::string okReply(const std::string& body, const std::string& status = "200 OK",
                    const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         extraHeaders + "Connection: close\r\n\r\n" + body;
}

// The request heads received on all connections, in order.
std::vector<std::string> requestsOf(const ScriptedPeer& peer) {
  std::vector<std::string> out;
  for (size_t c = 0; c < peer.connectionCount(); ++c) {
    std::string data = peer.received(c);
    size_t pos = 0;
    for (size_t end; (end = data.find("\r\n\r\n", pos)) != std::string::npos; pos = end + 4) {
      out.push_back(data.substr(pos, end + 4 - pos));
    }
  }
  return out;
}

bool hasHeader(const std::string& request, const std::string& line) {
  return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

// The component reads nothing of the user's state here, but a test never
// runs against the real store.
class PageFetcherTest : public tw_test::StateDirTest {
 protected:
  std::string file() const { return dir_->file("page.bin"); }
};

// One fetch against a peer that plays one script per connection: the file
// before and after, the result, and the request heads that arrived.
struct FetchCase {
  const char* name = "";
  std::vector<std::string> replies{};  // one connection each
  bool probe = true;
  std::string existing{};  // the file before ("": none)
  std::string file{};  // the file after
  std::string failure{};  // "": the fetch succeeds
  int code = 151;
  std::vector<std::string> requests{};  // how each request head starts
  std::string lastHas{};  // a header line the last request carries
  std::string lastLacks{};  // text the last request lacks
  std::string user{}, password{};
};

TEST_F(PageFetcherTest, ScriptedPeerCases) {
  const std::string ranges = "Accept-Ranges: bytes\r\nContent-Length: 13\r\n";
  const std::string head = "HEAD /page HTTP/1.1\r\n", get = "GET /page HTTP/1.1\r\n";
  // Where the redirect points: following it would succeed, and show.
  ScriptedPeer target(answer(okReply("moved here")));
  const std::string moved = "Location: " + tw_test::urlOf(target, "/new") + "\r\n";
  const FetchCase cases[] = {
      // The probe goes out before the fetch is configured.
      {.name = "whole body", .replies = {headReply("Content-Length: 11\r\n"), okReply("hello world")},
       .file = "hello world", .requests = {head, get}, .lastHas = "User-Agent: Tarnwick/2.1",
       .lastLacks = "Range:"},
      // The probe and the GET share one component; the next run starts without cookies.
      {.name = "cookie of the probe",
       .replies = {headReply("Set-Cookie: session=abc; Path=/\r\n"), okReply("body")},
       .file = "body", .requests = {head, get}, .lastHas = "Cookie: session=abc"},
      {.name = "without probe", .replies = {okReply("body")}, .probe = false, .file = "body",
       .requests = {get}, .lastLacks = "Cookie:"},
      {.name = "redirect not followed",
       .replies = {"HTTP/1.1 302 Found\r\n" + moved + "Content-Length: 0\r\nConnection: close\r\n\r\n",
                   okReply("<a href=/new>moved</a>", "302 Found", moved)},
       .failure = "HTTP protocol error. 302 Found.", .requests = {head, get}},
      {.name = "shorter file resumed",
       .replies = {headReply(ranges), okReply("world!", "206 Partial Content", "Content-Range: bytes 7-12/13\r\n")},
       .existing = "Hello, ", .file = "Hello, world!", .requests = {head, get},
       .lastHas = "Range: bytes=7-"},
      // A GET would get a different body, so a download would show.
      {.name = "complete file not fetched again",
       .replies = {headReply("Content-Length: 13\r\naccept-ranges: bytes\r\n"), okReply("Other content")},
       .existing = "Hello, world!", .file = "Hello, world!", .requests = {head}},
      {.name = "longer file fetched whole",
       .replies = {headReply(ranges), okReply("Hello, world!")},
       .existing = "This file is longer than the page", .file = "Hello, world!",
       .requests = {head, get}, .lastLacks = "Range:"},
      {.name = "no Accept-Ranges", .replies = {headReply("Content-Length: 13\r\n"), okReply("Hello, world!")},
       .existing = "Hello, ", .file = "Hello, world!", .requests = {head, get}, .lastLacks = "Range:"},
      {.name = "no Content-Length",
       .replies = {headReply("Accept-Ranges: bytes\r\n"), okReply("Hello, world!")},
       .existing = "Hello, ", .file = "Hello, world!", .requests = {head, get}, .lastLacks = "Range:"},
      // Credentials go with the GET only: the probe runs before they are set.
      {.name = "credentials", .replies = {headReply(""), okReply("body")}, .file = "body",
       .requests = {head, get}, .lastHas = "Authorization: Basic dTpw", .user = "u", .password = "p"},
      {.name = "failed resume empties the file",
       .replies = {headReply(ranges), okReply("gone", "410 Gone")}, .existing = "Hello, ",
       .failure = "HTTP protocol error. 410 Gone.", .requests = {head, get}},
  };
  for (const FetchCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(file().c_str());
    if (!c.existing.empty()) tw_test::writeFile(file(), c.existing);
    std::vector<PeerScript> scripts;
    for (const std::string& reply : c.replies) scripts.push_back(answer(reply));
    ScriptedPeer peer(scripts);
    PageFetcher fetcher(tw_test::urlOf(peer), file(), false, kTimeoutSeconds, c.user, c.password);
    EXPECT_EQ(fetcher.fetch(c.probe), c.failure.empty()) << fetcher.failureText();
    if (!c.failure.empty()) {
      EXPECT_EQ(fetcher.failureText(), c.failure);
      EXPECT_EQ(fetcher.failureCode(), c.code);
    }
    ASSERT_TRUE(tw_test::fileExists(file()));
    EXPECT_EQ(tw_test::readFile(file()), c.file);
    const std::vector<std::string> requests = requestsOf(peer);
    ASSERT_EQ(requests.size(), c.requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].rfind(c.requests[i], 0), 0u) << requests[i];
    }
    if (!c.lastHas.empty()) {
      EXPECT_TRUE(hasHeader(requests.back(), c.lastHas)) << requests.back();
    }
    if (!c.lastLacks.empty()) {
      EXPECT_EQ(requests.back().find(c.lastLacks), std::string::npos) << requests.back();
    }
    if (c.probe && requests.size() > 1) {
      EXPECT_FALSE(hasHeader(requests[0], "User-Agent: Tarnwick/2.1")) << requests[0];
      EXPECT_EQ(requests[0].find("Authorization:"), std::string::npos) << requests[0];
    }
  }
  EXPECT_EQ(target.connectionCount(), 0u);
}

TEST_F(PageFetcherTest, LocalFileThatCannotBeOpenedFailsWithTheSystemText) {
  ScriptedPeer peer(std::vector<PeerScript>{answer(headReply("")), answer(okReply("x"))});
  PageFetcher fetcher(tw_test::urlOf(peer), dir_->file("missing-dir/page.bin"), false,
                      kTimeoutSeconds, "", "");
  EXPECT_FALSE(fetcher.fetch(true));
  EXPECT_EQ(fetcher.failureText(), "The system cannot find the path specified.");
  EXPECT_EQ(fetcher.failureCode(), 0);
}

// --- proxy authentication -------------------------------------------------------------------

const char kProxy407[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"proxy\"\r\n"
    "Proxy-Authenticate: Digest realm=\"proxy\", nonce=\"6f1c2a\"\r\n"
    "Content-Length: 0\r\nConnection: close\r\n\r\n";

// The scheme of a request's Proxy-Authorization header: B Basic, D Digest,
// N NTLM, - none.
char proxySchemeOf(const std::string& request) {
  if (request.find("\r\nProxy-Authorization: Basic ") != std::string::npos) return 'B';
  if (request.find("\r\nProxy-Authorization: Digest ") != std::string::npos) return 'D';
  if (request.find("\r\nProxy-Authorization: NTLM ") != std::string::npos) return 'N';
  if (request.find("\r\nProxy-Authorization:") != std::string::npos) return '?';
  return '-';
}

class ProxyAuthTest : public PageFetcherTest {
 protected:
  // Every connection is answered with 407, however many the component
  // opens; the header probe goes straight to the page's server, where
  // nothing listens.
  ScriptedPeer proxy{std::vector<PeerScript>(12, answer(kProxy407))};
  std::string pageUrl =
      "http://127.0.0.1:" + std::to_string(tw_test::unusedLoopbackPort()) + "/page";

  // A fetch through the proxy, with credentials or without: it fails with
  // the proxy's 407 and leaves an empty file. The GETs the proxy received.
  std::vector<std::string> fetchThroughProxy(bool credentials) {
    velmora::ProxySettings settings;
    settings.host = "127.0.0.1";
    settings.port = proxy.port();
    if (credentials) {
      settings.user = "pu";
      settings.password = "pp";
      settings.authScheme = 0;
    }
    PageFetcher fetcher(pageUrl, file(), false, kTimeoutSeconds, "", "");
    fetcher.setProxy(settings);
    EXPECT_FALSE(fetcher.fetch(true));
    EXPECT_EQ(fetcher.failureText(), "HTTP protocol error. 407 Proxy Authentication Required.");
    EXPECT_EQ(fetcher.failureCode(), 151);
    EXPECT_EQ(tw_test::readFile(file()), "");
    const std::vector<std::string> requests = requestsOf(proxy);
    for (const std::string& r : requests) {
      EXPECT_EQ(r.rfind("GET " + pageUrl + " HTTP/1.1\r\n", 0), 0u) << r;
    }
    return requests;
  }
};

// The fetcher's retry through the three schemes, seen at the proxy: Digest answers the 407's
// challenge; NTLM repeats its type 1 (no NTLM challenge comes). Without credentials, one GET.
TEST_F(ProxyAuthTest, EachSchemeWithCredentialsOneGetWithout) {
  std::string schemes;
  for (const std::string& request : fetchThroughProxy(true)) schemes += proxySchemeOf(request);
  EXPECT_EQ(schemes, "B-DNN");
  const std::vector<std::string> without = fetchThroughProxy(false);
  ASSERT_EQ(without.size(), 6u);
  EXPECT_EQ(proxySchemeOf(without[5]), '-') << without[5];
}

// --- the body writing of HTTPSCustom -------------------------------------------------------

HANDLE openFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  return file;
}

// A handle writing the body of a 200 answer into a new file.
struct Writing {
  explicit Writing(const std::string& path) : file(openFile(path)) {
    http.fileHandle = file;
    http.httpStatus = 200;
  }
  ~Writing() {
    http.flushFile();
    http.fileHandle = INVALID_HANDLE_VALUE;
    CloseHandle(file);
  }
  void transfer(const std::string& piece) {
    HTTPSTransferEventParams e{1, 0, -1, piece.data(), static_cast<int>(piece.size()), 0};
    http.FireTransfer(&e);
  }
  HANDLE file;
  HTTPSCustom http{false};
};

// Writes past a file size limit fail part-way, like writes to a full disk.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
  }
  rlimit saved{};
};

class HTTPSCustomWriting : public ::testing::Test {
 protected:
  void SetUp() override { TessilonSSL_HTTPS_StaticInit(nullptr); }
  void TearDown() override { TessilonSSL_HTTPS_StaticDestroy(); }

  tw_test::TempDir dir;
  const std::string path = dir.file("page");
};

TEST_F(HTTPSCustomWriting, AFailedWriteLeavesWhatWritingEachPieceAloneLeaves) {
  std::vector<std::string> pieces;
  for (int i = 0; i < 12; ++i) pieces.push_back(std::string(3000, static_cast<char>('a' + i)));

  // Each piece written on its own with the file functions, as the reference.
  const std::string referencePath = dir.file("reference");
  std::string referenceText;
  {
    HANDLE file = openFile(referencePath);
    FileSizeLimit limit(10000);
    for (const std::string& piece : pieces) {
      DWORD written = 0;
      if (!WriteFile(file, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr)) {
        referenceText = velmora::windows_specific::systemErrorText(GetLastError());
      }
    }
    CloseHandle(file);
  }
  const std::string referenceContent = tw_test::readFile(referencePath);
  ASSERT_EQ(referenceContent.size(), 10000u);
  ASSERT_FALSE(referenceText.empty());
  {
    Writing w(path);
    FileSizeLimit limit(10000);
    for (const std::string& piece : pieces) w.transfer(piece);
    w.http.flushFile();
    EXPECT_EQ(w.http.errorDescription, referenceText);
  }
  EXPECT_EQ(tw_test::readFile(path), referenceContent);
}

TEST_F(HTTPSCustomWriting, TheLastOfErrorEventsAndFailedWritesGivesTheText) {
  {
    Writing w(path);
    FileSizeLimit limit(1000);
    // The write of this piece fails before the Error event arrives.
    w.transfer(std::string(2000, 'x'));
    HTTPSErrorEventParams e{151, "Later error.", 0};
    w.http.FireError(&e);
    EXPECT_EQ(w.http.errorDescription, "Later error.");
    // A write failing after the event replaces its text.
    w.transfer(std::string(10, 'y'));
    w.http.flushFile();
    EXPECT_NE(w.http.errorDescription, "Later error.");
    EXPECT_FALSE(w.http.errorDescription.empty());
  }
  EXPECT_EQ(tw_test::readFile(path), std::string(1000, 'x'));
}

}  // namespace
