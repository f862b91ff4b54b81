// The built tarnwick against scripted servers that send what no honest
// server sends: endless or huge header blocks, lengths and chunk sizes that
// lie, a compressed bomb, a trickle, a reset, garbage, a flood of interim
// answers, a body that never ends. Every run ends by itself (the time limit
// where the server stalls) with the exact result line and exit code, with
// nothing reported by the sanitizers, and with a peak memory that stays
// near that of an ordinary check however much the server sends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"

using tw_hostile::Measured;
using tw_test::PeerScript;
using tw_test::PeerStep;
using tw_test::ScriptedPeer;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// How far above an ordinary check a hostile one may go. The component holds
// at most the header block (1 MiB, kept twice: as received and parsed), a
// 2 KiB line buffer, one 64 KiB inflate area and one byte of
// TransferredData; the rest is the allocator's slack. The cases that test
// memory send (or inflate to) far more than this.
constexpr long kSlackKb = 4 * 1024;

const char kProbeAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\n";

class HostileServer : public ::testing::Test {
 protected:
  static std::string urlOf(const ScriptedPeer& peer) {
    return "http://127.0.0.1:" + std::to_string(peer.port()) + "/page";
  }
  static std::string failureLine(const std::string& url, const std::string& text, int code) {
    return "Unable to connect or retrieve \"" + url + "\" due to error \"" + text + "\" (" +
           std::to_string(code) + ")\n";
  }
  // The header probe answered at once: it runs with the component's own
  // time limit, not /timeout, so only the GET may stall.
  static PeerScript probeAnswered() {
    return {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(kProbeAnswer), PeerStep::close()};
  }

  Measured check(std::vector<std::string> args, int timeoutSeconds = 60) {
    args.insert(args.begin(), tw_test::programPath("TARNWICK_BIN"));
    return tw_hostile::runMeasured(args, root.path(), timeoutSeconds);
  }

  // Peak memory of an ordinary check of a small page, in a state directory
  // of its own: what the bound of every case is measured against.
  long baselineKb() {
    if (baseline_ > 0) return baseline_;
    ScriptedPeer peer(std::vector<PeerScript>{
        probeAnswered(),
        {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(std::string(kProbeAnswer) + "hello"),
         PeerStep::close()}});
    tw_test::TempDir own;
    Measured m = tw_hostile::runMeasured(
        {tw_test::programPath("TARNWICK_BIN"), "/lc", "/checksum", "/timeout", "10", urlOf(peer)},
        own.path(), 60);
    EXPECT_EQ(m.result.exitCode, 0) << m.result.out;
    EXPECT_EQ(m.result.out, "Checksum initialized.\n");
    baseline_ = m.maxRssKb;
    return baseline_;
  }

  // The run ended by itself, cleanly, within the memory bound over the
  // baseline (by default that of tarnwick).
  void expectBounded(const std::string& name, const Measured& run, uint64_t serverSent,
                     long base = 0) {
    if (base == 0) base = baselineKb();
    tw_hostile::reportMemory(name, run, base, base + kSlackKb, serverSent);
    EXPECT_EQ(run.result.termSignal, 0) << "ended by a signal (or killed at the test's limit)";
    EXPECT_LE(run.maxRssKb, base + kSlackKb);
    EXPECT_EQ(tw_hostile::sanitizerReports(root.path()), "");
  }

  // The stored checksum of a URL ("" when there is none).
  std::string storedChecksum(const std::string& url) {
    tw_test::ProcessOptions opts;
    opts.env["TARNWICK_ROOT"] = root.path();
    opts.env["TMPDIR"] = root.path();
    tw_test::ProcessResult r = tw_test::runProcess(
        {tw_test::programPath("TARNWICK_REG_BIN"), "query",
         "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick", "--value", url, "--data-only"},
        opts);
    if (r.exitCode != 0) return "";
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

  void expectNoTempFiles() {
    for (const auto& name : tw_test::listDir(root.path())) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
  }

  // A run that stored what arrived as the page: the first-run line, exit
  // code 0, the checksum of that page, bounded memory, no file left behind.
  void expectStoredPage(const Measured& run, const std::string& url, const std::string& sha,
                        const std::string& name, uint64_t serverSent) {
    EXPECT_EQ(run.result.out, "Checksum initialized.\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(storedChecksum(url), sha);
    expectBounded(name, run, serverSent);
    expectNoTempFiles();
  }

  // A run that failed with the given text and code: its line, exit code 2,
  // bounded memory, no file left behind.
  void expectFailure(const Measured& run, const std::string& url, const std::string& text,
                     int code, const std::string& name, uint64_t serverSent) {
    EXPECT_EQ(run.result.out, failureLine(url, text, code));
    EXPECT_EQ(run.result.exitCode, 2);
    expectBounded(name, run, serverSent);
    expectNoTempFiles();
  }

  tw_test::TempDir root;
  long baseline_ = 0;
};

// Header lines without end, on the probe and on the GET: the header block
// bound ends each after 1,000 lines.
TEST_F(HostileServer, EndlessHeaderLines) {
  const PeerScript endless = {
      PeerStep::waitFor("\r\n\r\n"), PeerStep::send("HTTP/1.1 200 OK\r\n"),
      PeerStep::generate(tw_hostile::repeated("X-Filler: " + std::string(90, 'f') + "\r\n",
                                              4096 * kMiB))};
  ScriptedPeer peer(std::vector<PeerScript>{endless, endless});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  // It stopped reading long before the 4 GiB the server had to send.
  EXPECT_LT(peer.sent(1), 64 * kMiB);
  expectFailure(run, url, "Response header too large.", 151, "endless header lines",
                peer.sent(0) + peer.sent(1));
}

// One header line of 10 MB arrives in pieces of the line buffer's size,
// each counted against the header block bound.
TEST_F(HostileServer, TenMegabyteHeaderLine) {
  const PeerScript huge = {PeerStep::waitFor("\r\n\r\n"),
                           PeerStep::send("HTTP/1.1 200 OK\r\nX-Huge: "),
                           PeerStep::generate(tw_hostile::repeated("a", 10 * 1000 * 1000)),
                           PeerStep::send("\r\n\r\n"), PeerStep::close()};
  ScriptedPeer peer(std::vector<PeerScript>{huge, huge});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectFailure(run, url, "Response header too large.", 151, "10 MB header line",
                peer.sent(0) + peer.sent(1));
}

// A response that announces a terabyte and closes after 256 KiB: nothing
// is reserved for the announced length, and the close ends the wait.
TEST_F(HostileServer, ContentLengthFarBeyondWhatIsSent) {
  const std::string body(256 * 1024, 'b');
  ScriptedPeer peer(std::vector<PeerScript>{
      probeAnswered(),
      {PeerStep::waitFor("\r\n\r\n"),
       PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\n"),
       PeerStep::send(body), PeerStep::close()}});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  // What arrived is what was checked.
  expectStoredPage(run, url, tw_e2e::sha256Hex(body), "Content-Length 10^12, 256 KiB sent, close",
                   peer.sent(1));
}

// A chunk size of sixteen "f"s saturates instead of overflowing; the data
// that follows is taken until the server closes.
TEST_F(HostileServer, ChunkSizeOfSixteenFs) {
  const std::string data(64 * 1024, 'c');
  ScriptedPeer peer(std::vector<PeerScript>{
      probeAnswered(),
      {PeerStep::waitFor("\r\n\r\n"),
       PeerStep::send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n"),
       PeerStep::send(data), PeerStep::close()}});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectStoredPage(run, url, tw_e2e::sha256Hex(data), "chunk size ffffffffffffffff", peer.sent(1));
}

// Negative chunk sizes are no chunk: they are passed over, and the body
// ends at the first line that reads as size 0.
TEST_F(HostileServer, NegativeChunkSizes) {
  ScriptedPeer peer(std::vector<PeerScript>{
      probeAnswered(),
      {PeerStep::waitFor("\r\n\r\n"),
       PeerStep::send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "-5\r\n-ffffffffffffffff\r\n-80000000\r\n5\r\nhello\r\n0\r\n\r\n"),
       PeerStep::close()}});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectStoredPage(run, url, tw_e2e::sha256Hex("hello"), "negative chunk sizes", peer.sent(1));
}

// MiB of zeros in the inflated gzip bomb: a quarter gigabyte, so that the
// sanitized suite stays quick (the full gigabyte takes 7 to 13 seconds
// there, with the same peak), or what TW_HOSTILE_BOMB_MIB says
// (TW_HOSTILE_BOMB_MIB=1024 for the full bomb).
uint64_t bombMiB() {
  const char* v = std::getenv("TW_HOSTILE_BOMB_MIB");
  return v != nullptr && std::atoi(v) > 0 ? static_cast<uint64_t>(std::atoi(v)) : 256;
}

// The page fetcher does not ask for compression, so the bomb is stored as
// it came: its compressed bytes are the page.
TEST_F(HostileServer, GzipBombIsCheckedAsItCame) {
  const tw_hostile::GzipBomb bomb(1024 * kMiB);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                           std::to_string(bomb.size()) + "\r\n\r\n";
  ScriptedPeer peer(std::vector<PeerScript>{
      probeAnswered(),
      {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(head), PeerStep::generate(bomb.generator()),
       PeerStep::close()}});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  EXPECT_EQ(peer.received(1).find("Accept-Encoding"), std::string::npos) << peer.received(1);
  expectStoredPage(run, url, bomb.sha256Hex(),
                   "gzip bomb (1 GiB of zeros), compression not asked for", peer.sent(1));
}

// With compression allowed the component inflates the bomb piece by piece:
// every zero reaches the Transfer events and none of it is held.
TEST_F(HostileServer, GzipBombInflatedByTheComponent) {
  const uint64_t mib = bombMiB();
  const tw_hostile::GzipBomb bomb(mib * kMiB);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                           std::to_string(bomb.size()) + "\r\n\r\n";
  // The same client inflating one MiB is the baseline: inflating a
  // thousand times more must not cost more memory.
  const tw_hostile::GzipBomb one(kMiB);
  const std::string oneHead = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                              std::to_string(one.size()) + "\r\n\r\n";
  ScriptedPeer peer(std::vector<PeerScript>{
      {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(oneHead), PeerStep::generate(one.generator()),
       PeerStep::close()},
      {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(head), PeerStep::generate(bomb.generator()),
       PeerStep::close()}});
  const std::string get = tw_test::programPath("TW_HOSTILE_GET_BIN");
  Measured small = tw_hostile::runMeasured({get, urlOf(peer), "30", "compress"}, root.path(), 60);
  EXPECT_EQ(small.result.out, "code=0 body=" + std::to_string(kMiB) +
                                  " nonzero=0 raw=" + std::to_string(one.size()) +
                                  " kept=1 error=\n");
  Measured run = tw_hostile::runMeasured({get, urlOf(peer), "30", "compress"}, root.path(), 120);
  EXPECT_EQ(run.result.out, "code=0 body=" + std::to_string(mib * kMiB) +
                                " nonzero=0 raw=" + std::to_string(bomb.size()) +
                                " kept=1 error=\n");
  EXPECT_EQ(run.result.exitCode, 0);
  EXPECT_NE(peer.received(1).find("Accept-Encoding: gzip, deflate\r\n"), std::string::npos);
  expectBounded("gzip bomb (" + std::to_string(mib) + " MiB of zeros) inflated", run,
                peer.sent(1), small.maxRssKb);
}

// A status line at one byte per second: no line is complete within the
// time limit, so the wait ends with it.
TEST_F(HostileServer, TrickledStatusLineTimesOut) {
  PeerScript trickle = {PeerStep::waitFor("\r\n\r\n")};
  for (char c : std::string("HTTP/1.1 200 OK\r\n")) {
    trickle.push_back(PeerStep::send(std::string(1, c)));
    trickle.push_back(PeerStep::delay(1000));
  }
  trickle.push_back(PeerStep::close());
  ScriptedPeer peer(std::vector<PeerScript>{probeAnswered(), trickle});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "2", url});
  EXPECT_GE(run.seconds, 1.9);
  EXPECT_LT(run.seconds, 8.0);
  expectFailure(run, url, "Timeout.", 301, "status line trickled at 1 byte/s, /timeout 2",
                peer.sent(1));
}

// A body at one byte per second: the time limit counts idleness, so each
// byte keeps the check alive past the limit; when the bytes stop, the limit
// ends it.
TEST_F(HostileServer, TrickledBodyRunsUntilItStalls) {
  PeerScript trickle = {PeerStep::waitFor("\r\n\r\n"),
                        PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n")};
  for (char c : std::string("abcd")) {
    trickle.push_back(PeerStep::send(std::string(1, c)));
    trickle.push_back(PeerStep::delay(1000));
  }
  trickle.push_back(PeerStep::delay(10000));
  trickle.push_back(PeerStep::close());
  ScriptedPeer peer(std::vector<PeerScript>{probeAnswered(), trickle});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "2", url});
  // Four bytes over three seconds, then two idle seconds.
  EXPECT_GE(run.seconds, 4.5);
  EXPECT_LT(run.seconds, 9.0);
  expectFailure(run, url, "Timeout.", 301, "body trickled at 1 byte/s, then stalled, /timeout 2",
                peer.sent(1));
}

// The connection is reset after a quarter of the announced body. The
// component reports a reset only through its Disconnected event, which the
// page fetcher does not take; the reset ends the wait as a close does, so
// what arrived before it is the page.
TEST_F(HostileServer, ResetMidBody) {
  const std::string part(256 * 1024, 'r');
  ScriptedPeer peer(std::vector<PeerScript>{
      probeAnswered(),
      {PeerStep::waitFor("\r\n\r\n"),
       PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n"), PeerStep::send(part),
       // Time for the client to read what was sent: a reset drops what is
       // still unread.
       PeerStep::delay(1000), PeerStep::reset()}});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectStoredPage(run, url, tw_e2e::sha256Hex(part), "reset after 256 KiB of 1 MiB", peer.sent(1));
}

// Bytes that are no status line: a response without status line is all
// body, and such a body is not the page (the fetcher keeps only the body
// of a 200 or 206), so the page checked is empty.
TEST_F(HostileServer, GarbageInsteadOfStatusLine) {
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  garbage[0] = '\x01';
  const PeerScript script = {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(garbage),
                             PeerStep::close()};
  ScriptedPeer peer(std::vector<PeerScript>{script, script});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectStoredPage(run, url, tw_e2e::sha256Hex(""), "binary garbage instead of a status line",
                   peer.sent(0) + peer.sent(1));
}

// A first line that starts like one but is none: no status code, so the
// answer is judged an error.
TEST_F(HostileServer, GarbageStatusLine) {
  const PeerScript script = {PeerStep::waitFor("\r\n\r\n"),
                             PeerStep::send("HELLO WORLD\r\n\r\nwhatever\n"), PeerStep::close()};
  ScriptedPeer peer(std::vector<PeerScript>{script, script});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectFailure(run, url, "HTTP protocol error. 0 .", 151, "text garbage as the status line",
                peer.sent(0) + peer.sent(1));
}

// Ten thousand interim answers before the real one: their lines count
// against the header block bound, so the flood ends in an error, not in a
// loop without end.
TEST_F(HostileServer, TenThousandInterimResponses) {
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  const PeerScript flood = {
      PeerStep::waitFor("\r\n\r\n"),
      PeerStep::generate(tw_hostile::repeated(interim, 10000 * interim.size())),
      PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"), PeerStep::close()};
  ScriptedPeer peer(std::vector<PeerScript>{flood, flood});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "10", url});
  expectFailure(run, url, "Response header too large.", 151, "10,000 interim 100 responses",
                peer.sent(0) + peer.sent(1));
}

// A 200 without length, chunks or close: the body runs to the end of the
// connection, which never comes; the time limit ends the wait.
TEST_F(HostileServer, OkWithoutBodyOrClose) {
  const PeerScript silent = {PeerStep::waitFor("\r\n\r\n"), PeerStep::send("HTTP/1.1 200 OK\r\n\r\n"),
                             PeerStep::delay(8000), PeerStep::close()};
  ScriptedPeer peer(std::vector<PeerScript>{silent, silent});
  const std::string url = urlOf(peer);
  Measured run = check({"/lc", "/checksum", "/timeout", "2", url});
  EXPECT_GE(run.seconds, 1.9);
  EXPECT_LT(run.seconds, 7.0);
  expectFailure(run, url, "Timeout.", 301, "200 without body or close, /timeout 2",
                peer.sent(0) + peer.sent(1));
}

}  // namespace
