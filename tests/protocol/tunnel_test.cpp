// Tunnels through a scripted intermediary that plays the proxy and then the
// origin server: each row gives the tunnel settings, the bytes the client
// must send round by round and the answers, and the outcome. Every row is
// played once whole and once cut in two at each place where an answer's
// parts change.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "httpclient/auth/AuthCommon.h"
#include "httpclient/auth/Ntlm.h"
#include "tests/support/component_fixture.h"
#include "tests/support/recording_https.h"
#include "tests/support/registry_env.h"
#include "tests/support/scripted_peer.h"

using namespace velmora::network::component;
using tw_test::PeerStep;
using tw_test::RecordingHttps;
using namespace std::string_literals;

namespace {

const std::string kPage = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npage";
const std::string kStatusLine = kPage.substr(0, 17);
// Port 8080 and 127.0.0.1 as SOCKS requests carry them.
const std::string kPort = "\x1f\x90", kAddress = "\x7f\0\0\x01"s;
const std::string kSocks5Connect = "\x05\x01\x00\x01"s + kAddress + kPort;
const std::string kSocks5Ok = "\x05\x00\x00\x01"s + kAddress + kPort;
// An NTLM type 2 message (Unicode, NTLM, extended session security).
const std::string kType2 = "TlRMTVNTUAACAAAAAAAAACgAAAABgggAAQIDBAUGBwgAAAAAAAAAAA==";
const std::string k407 = "HTTP/1.1 407 Proxy Authentication Required\r\n";

struct TunnelCase {
  std::string what;
  int type = 1;
  std::string user = "";
  std::string password = "";
  std::string url = "http://127.0.0.1:8080/";
  std::vector<std::string> sends = {};    // the client's bytes, round by round
  std::vector<std::string> replies = {};  // the answer to each round
  // Rides on the last answer's last piece: the page's first bytes, or bytes
  // that must be dropped.
  std::string tail = "";
  bool close = false;     // the intermediary closes after its last answer
  int code = 0;           // 0: the page arrives through the tunnel
  std::string error = "";
  bool whole = false;  // played whole only: its cuts are another row's
};

void play(const TunnelCase& c, size_t split) {
  SCOPED_TRACE(c.what + " split at " + std::to_string(split));
  tw_test::PeerScript script;
  size_t expected = 0;
  for (size_t i = 0; i < c.replies.size(); ++i) {
    expected += c.sends[i].size();
    script.push_back(PeerStep::waitForCount(expected));
    const std::string& r = c.replies[i];
    if (split > 0 && split < r.size()) {
      script.push_back(PeerStep::send(r.substr(0, split)));
      script.push_back(PeerStep::delay(5));
    }
    script.push_back(PeerStep::send(r.substr(split < r.size() ? split : 0) +
                                    (i + 1 == c.replies.size() ? c.tail : "")));
  }
  if (c.close) script.push_back(PeerStep::close());
  if (c.code == 0) {
    script.push_back(PeerStep::waitFor("Connection: close\r\n\r\n"));
    const bool putBack = kPage.starts_with(c.tail);
    script.push_back(PeerStep::send(putBack ? kPage.substr(c.tail.size()) : kPage));
  }
  tw_test::ScriptedPeer peer(script);
  RecordingHttps h;
  h.SetInteger(https_prop::Timeout, 10);
  h.SetInteger(https_prop::FirewallType, c.type);
  h.SetText(https_prop::FirewallHost, "127.0.0.1");
  h.SetInteger(https_prop::FirewallPort, peer.port());
  h.SetText(https_prop::FirewallUser, c.user.c_str());
  h.SetText(https_prop::FirewallPassword, c.password.c_str());
  EXPECT_EQ(h.Get(c.url.c_str()), c.code);
  EXPECT_EQ(h.GetLastError(), c.error);
  EXPECT_EQ(h.GetText(https_prop::TransferredData), c.code == 0 ? "page" : "");
  std::string sent;
  for (const std::string& s : c.sends) sent += s;
  ASSERT_TRUE(peer.waitDone());
  const std::string received = peer.received(0);
  EXPECT_EQ(received.substr(0, sent.size()), sent);
  EXPECT_EQ(received.substr(sent.size(), 4), c.code == 0 ? "GET " : "");
  if (c.code != 0) {
    // The Error event: a refusal carries the proxy's whole reply.
    // (types 4 to 6: its status line).
    std::string text = c.error.starts_with("Firewall error") ? c.replies.back() : c.error;
    if (c.error.starts_with("Firewall error: ")) text.resize(text.find('\r'));
    EXPECT_NE(std::find(h.events.begin(), h.events.end(), "Error 118|" + text), h.events.end());
  }
}

std::string connectLine(const std::string& authority, const std::string& more = "") {
  return "CONNECT " + authority + " HTTP/1.0\r\n" + more + "\r\n";
}

// The NTLM message of user "u", password "p": the first, or the answer to kType2.
std::string ntlm(const char* word, bool answer) {
  auth::NtlmClient n;
  n.setCredentials("u", "p");
  std::string m = n.type1();
  if (answer && n.readType2(kType2)) m = n.type3();
  return connectLine("127.0.0.1:8080", "Proxy-Authorization: "s + word + " " +
                                           auth::base64Encode(m) +
                                           "\r\nProxy-Connection: Keep-Alive\r\n");
}

std::string digestLine(const std::string& authorization) {
  return connectLine("127.0.0.1:8080", "Host: 127.0.0.1:8080\r\nContent-Length: 0\r\n"
                                       "Proxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n" +
                                           authorization);
}

std::vector<TunnelCase> cases() {
  const std::string connect = connectLine("127.0.0.1:8080");
  const std::string socks4 = "\x04\x01"s + kPort + kAddress + '\0';
  std::vector<TunnelCase> rows = {
      {.what = "CONNECT; bytes after the blank line are dropped", .sends = {connect},
       .replies = {"HTTP/1.0 200 Connection established\r\n\r\n"}, .tail = "junk"},
      {.what = "CONNECT with Basic", .user = "u", .password = "p",
       .sends = {connectLine("127.0.0.1:8080", "Proxy-Authorization: Basic dTpw\r\n")},
       .replies = {"HTTP/1.1 200 OK\n\n"}},
      {.what = "CONNECT with a user alone", .user = "u",
       .sends = {connectLine("127.0.0.1:8080", "Proxy-Authorization: Basic dTo=\r\n")},
       .replies = {"HTTP/1.0 200 OK\r\n\r\n"}},
      {.what = "CONNECT to an IPv6 literal", .url = "http://[::1]:8080/",
       .sends = {connectLine("[::1]:8080")}, .replies = {"HTTP/1.0 200 OK\r\n\r\n"}},
      {.what = "CONNECT refused", .sends = {connect},
       .replies = {"HTTP/1.0 403 Forbidden\r\nVia: p\r\n\r\n"}, .code = 118,
       .error = "Firewall error. HTTP/1.0 403 Forbidden."},
      {.what = "refusal ending in a full stop, escape bytes", .sends = {connect},
       .replies = {"HTTP/1.1 407 \x1b[1mAuth\x7f.\r\n\r\n"}, .code = 118,
       .error = "Firewall error. HTTP/1.1 407 \x1b[1mAuth\x7f."},
      {.what = "CONNECT reply cut", .sends = {connect}, .replies = {"HTTP/1.0 200 O"},
       .close = true, .code = 118, .error = "Firewall host disconnected."},
      {.what = "CONNECT reply head too large", .sends = {connect},
       .replies = {"HTTP/1.0 200 OK\r\n" + std::string(70000, 'a')}, .code = 118,
       .error = "Response header too large."},
      {.what = "SOCKS 4 granted; bytes after it reach HTTP", .type = 2, .user = "bob",
       .sends = {"\x04\x01"s + kPort + kAddress + "bob\0"s}, .replies = {"\0\x5a\0\0\0\0\0\0"s},
       .tail = kStatusLine},
      {.what = "SOCKS 4 91", .type = 2, .sends = {socks4}, .replies = {"\0\x5b\0\0\0\0\0\0"s},
       .code = 118, .error = "firewall request rejected or failed"},
      {.what = "SOCKS 4 92", .type = 2, .sends = {socks4}, .replies = {"\0\x5c\0\0\0\0\0\0"s},
       .code = 118, .error = "firewall request rejected because identd is not available"},
      {.what = "SOCKS 4 93", .type = 2, .sends = {socks4}, .replies = {"\0\x5d\0\0\0\0\0\0"s},
       .code = 118, .error = "firewall request rejected because identd reports different user"},
      {.what = "SOCKS 4 200", .type = 2, .sends = {socks4}, .replies = {"\0\xc8\0\0\0\0\0\0"s},
       .code = 118, .error = "unknown firewall error: -56"},
      {.what = "SOCKS 4 reply cut", .type = 2, .sends = {socks4}, .replies = {"\0\x5a\0"s},
       .close = true, .code = 118, .error = "Firewall host disconnected."},
      {.what = "SOCKS 5, IPv4 bound address", .type = 3, .sends = {"\x05\x01\x00"s, kSocks5Connect},
       .replies = {"\x05\x00"s, kSocks5Ok}, .tail = kStatusLine},
      {.what = "SOCKS 5, IPv6 bound address", .type = 3, .sends = {"\x05\x01\x00"s, kSocks5Connect},
       .replies = {"\x05\x00"s, "\x05\x00\x00\x04"s + std::string(16, '\x01') + kPort},
       .tail = kStatusLine},
      {.what = "SOCKS 5, name bound address, user alone", .type = 3, .user = "u",
       .sends = {"\x05\x01\x00"s, kSocks5Connect},
       .replies = {"\x05\x00"s, "\x05\x00\x00\x03\x05proxy"s + kPort}, .tail = kStatusLine},
      {.what = "SOCKS 5 with a name for the server", .type = 3,
       .url = "http://*abcdefghij.klmno.pqr:8080/",
       .sends = {"\x05\x01\x00"s, "\x05\x01\x00\x03\x14"s + "abcdefghij.klmno.pqr" + kPort},
       .replies = {"\x05\x00"s, kSocks5Ok}},
      {.what = "SOCKS 5 with user and password", .type = 3, .user = "u", .password = "pw",
       .sends = {"\x05\x02\x00\x02"s, "\x01\x01u\x02pw"s, kSocks5Connect},
       .replies = {"\x05\x02"s, "\x01\x00"s, kSocks5Ok}},
      {.what = "SOCKS 5 authentication failed", .type = 3, .user = "u", .password = "p",
       .sends = {"\x05\x02\x00\x02"s, "\x01\x01u\x01p"s}, .replies = {"\x05\x02"s, "\x01\xff"s},
       .code = 118, .error = "firewall authentication failed: -1"},
      {.what = "SOCKS 5 user name too long", .type = 3, .user = std::string(256, 'u'),
       .password = "p", .sends = {"\x05\x02\x00\x02"s}, .replies = {"\x05\x02"s}, .code = 118,
       .error = "SOCKS5 field longer than 255 bytes"},
      {.what = "SOCKS 5 no acceptable method", .type = 3, .sends = {"\x05\x01\x00"s},
       .replies = {"\x05\xff"s}, .code = 118,
       .error = "no acceptable firewall authentication methods"},
      {.what = "SOCKS 5 unknown method", .type = 3, .sends = {"\x05\x01\x00"s},
       .replies = {"\x05\x01"s}, .code = 118, .error = "unknown firewall authentication method"},
      {.what = "SOCKS 5 unknown address type", .type = 3,
       .sends = {"\x05\x01\x00"s, kSocks5Connect},
       .replies = {"\x05\x00"s, "\x05\x00\x00\x07\x00"s}, .code = 118,
       .error = "address type not supported"},
      {.what = "SOCKS 5 reply cut", .type = 3, .sends = {"\x05\x01\x00"s, kSocks5Connect},
       .replies = {"\x05\x00"s, "\x05\x00\x00\x01\x7f"s}, .close = true, .code = 118,
       .error = "Firewall host disconnected."},
      {.what = "type 7", .type = 7, .code = 118, .error = "Unknown firewall type: 7"},
      {.what = "NTLM, 407 body by length ending in LF; bytes after the reply reach HTTP",
       .type = 4, .user = "u", .password = "p", .sends = {ntlm("NTLM", false), ntlm("NTLM", true)},
       .replies = {k407 + "Proxy-Authenticate: Basic realm=x\r\nProxy-Authenticate: NTLM " + kType2 +
                       "\r\nContent-Length: 4\r\n\r\nabc\n",
                   "HTTP/1.0 200 Connection established\r\nVia: p\r\n\r\n"},
       .tail = kStatusLine},
      {.what = "Negotiate, chunked 407 body", .type = 5, .user = "u", .password = "p",
       .sends = {ntlm("Negotiate", false), ntlm("Negotiate", true)},
       .replies = {"HTTP/1.1 401 x\r\nTransfer-Encoding: chunked\r\nProxy-Authenticate: negotiate " +
                       kType2 + "\r\n\r\n3\r\nabc\r\n2;x\r\nde\r\n0\r\nT: 1\r\n\r\n",
                   "HTTP/1.1 200 OK\r\n\r\n"}},
      {.what = "NTLM answered with 200 at once", .type = 4, .sends = {ntlm("NTLM", false)},
       .replies = {"HTTP/1.1 200 OK\r\n\r\n"}, .code = 118, .error = "Firewall error: 200 OK"},
      {.what = "Digest, empty 407 body; bytes after the reply are dropped", .type = 6, .user = "u",
       .password = "p", .url = "http://127.0.0.1:8080/x",
       .sends = {digestLine(""), digestLine("Proxy-Authorization: Digest username=\"u\", realm=\"r\", "
                                            "nonce=\"n1\", uri=\"/x\", response="
                                            "\"7658ada0cb942a44cb191997cc3fea2e\"\r\n")},
       .replies = {k407 + "Proxy-Authenticate: Digest realm=\"r\", nonce=\"n1\"\r\n"
                          "Content-Length: 0\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n"},
       .tail = "junk"},
      {.what = "Digest asked of a proxy without it", .type = 6, .user = "u",
       .sends = {digestLine(""), digestLine("Proxy-Authorization: \r\n")},
       .replies = {k407 + "Proxy-Authenticate: Basic realm=x\r\nContent-Length: 5\r\n\r\npage\n", k407 + "\r\n"},
       .code = 118, .error = "Firewall error: 407 Proxy Authentication Required"},
      {.what = "407 body too large", .type = 6, .sends = {digestLine("")},
       .replies = {k407 + "Content-Length: 1048577\r\n"}, .code = 118,
       .error = "Response body too large."},
  };
  const char* const socks5Texts[] = {
      "general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
      "host unreachable", "connection refused", "TTL expired", "command not supported",
      "address type not supported", "unknown firewall error: 9", "unknown firewall error: -128"};
  const char codes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, '\x80'};
  for (int i = 0; i < 10; ++i) {
    rows.push_back({.what = socks5Texts[i], .type = 3, .sends = {"\x05\x01\x00"s, kSocks5Connect},
                    .replies = {"\x05\x00"s, "\x05"s + codes[i] + "\0\x01"s + kAddress + kPort},
                    .code = 118, .error = socks5Texts[i], .whole = i > 0});
  }
  return rows;
}

class TunnelTest : public ComponentTest {
  void SetUp() override {
    ComponentTest::SetUp();
    auth::setRandomSourceForTesting([](uint8_t* out, size_t n) { std::memset(out, 7, n); });
  }
  void TearDown() override {
    auth::setRandomSourceForTesting(nullptr);
    ComponentTest::TearDown();
  }
};

// Cuts: every byte of a binary reply; in a text reply both sides of every
// line end and the tenth byte, past which a plain CONNECT's answer is judged
// (later cuts of its refusal judge less). A row without cuts plays whole.
TEST_F(TunnelTest, NegotiationsWholeAndCut) {
  for (const TunnelCase& c : cases()) {
    std::set<size_t> cuts = {0};
    for (const std::string& r : c.replies) {
      if (r.size() > 4096 || c.whole) continue;
      const bool text = r.starts_with("HTTP/");
      for (size_t i = text ? 9 : 1; i < std::min<size_t>(r.size(), text ? 11 : 12); ++i) {
        cuts.insert(i);
      }
      for (size_t i = r.find('\n'); text && i != std::string::npos; i = r.find('\n', i + 1)) {
        cuts.insert({i, i + 1});
      }
    }
    for (size_t cut : cuts) {
      if (cut < 10 || !c.error.starts_with("Firewall error. ")) play(c, cut);
    }
  }
}

// A name the SOCKS client cannot look up fails with the lookup's text. The
// run has a network namespace of its own with only its loopback up, so
// that no query can leave the machine.
TEST_F(TunnelTest, FailedLookupGivesTheWinsockText) {
  bool isolated = false;
  std::thread([&] {
    if (unshare(CLONE_NEWNET) != 0) return;
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    isolated = ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
    ::close(fd);
    if (!isolated) return;
    for (int type : {2, 3}) {
      TunnelCase c{.what = "lookup by type " + std::to_string(type), .type = type,
                   .url = "http://" + std::string(70, 'q') + ".invalid:8080/", .code = 118,
                   .error = "[11001] Host not found"};
      if (type == 3) c.sends = {"\x05\x01\x00"s}, c.replies = {"\x05\x00"s};
      play(c, 0);
    }
  }).join();
  if (!isolated) GTEST_SKIP() << "cannot run in a network namespace of its own (needs root)";
}

// FirewallAutoDetect reads the "socks=" entry of the Internet Settings; the
// values of each row are written over the last row's.
TEST_F(TunnelTest, AutoDetectTakesTheSocksEntry) {
  struct Row {
    DWORD enable;
    const char* server;
    bool on;
    int type;  // FirewallType set before: 1; what detection leaves
    const char* host;
    int port;
  };
  const Row rows[] = {
      {1, "http=h:1;socks=127.0.0.2:1081;https=s:2", true, 3, "127.0.0.2", 1081},
      {1, "socks=127.0.0.3:0", true, 3, "127.0.0.3", 1080},
      {1, "socks=:1081", true, 1, "", 0},
      {1, "socks=127.0.0.2:", true, 1, "", 0},
      {1, "127.0.0.2:1081", true, 1, "", 0},
      {0, "socks=127.0.0.2:1081", true, 1, "", 0},
      {1, "socks=127.0.0.2:1081", false, 1, "", 0},
  };
  const char* const key = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  for (const Row& r : rows) {
    SCOPED_TRACE(r.server);
    ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, key, "ProxyEnable", REG_DWORD,
                                          std::string(reinterpret_cast<const char*>(&r.enable), 4)),
              0);
    ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, key, "ProxyServer", REG_SZ,
                                          r.server + "\0"s),
              0);
    RecordingHttps h;
    h.SetInteger(https_prop::FirewallType, 1);
    h.SetText(https_prop::FirewallHost, "127.0.0.9");
    EXPECT_EQ(h.SetInteger(https_prop::FirewallAutoDetect, r.on), 0);
    EXPECT_EQ(h.GetInteger(https_prop::FirewallType), r.type);
    EXPECT_EQ(h.GetText(https_prop::FirewallHost), r.host);
    EXPECT_EQ(h.GetInteger(https_prop::FirewallPort), r.port);
  }
}

}  // namespace
