// Tunnels through a scripted intermediary that plays the proxy and then the
// origin server: each row gives the tunnel settings, the bytes the client must
// send round by round, the answers and the outcome. Every row is played whole
// and cut in two at each place where an answer's parts change.
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
#include "tests/support/scripted_peer.h"

using namespace velmora::network::component;
using tw_test::PeerStep;
using namespace std::string_literals;

namespace {

const std::string kPage = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npage";
const std::string kStatusLine = kPage.substr(0, 17);
// Port 8080 and 127.0.0.1 as SOCKS requests carry them.
const std::string kPort = "\x1f\x90", kAddress = "\x7f\0\0\x01"s;
const std::string kSocks5Connect = "\x05\x01\x00\x01"s + kAddress + kPort,
                  kSocks5Ok = "\x05\x00\x00\x01"s + kAddress + kPort;
// An NTLM type 2 message (Unicode, NTLM, extended session security).
const std::string kType2 = "TlRMTVNTUAACAAAAAAAAACgAAAABgggAAQIDBAUGBwgAAAAAAAAAAA==";
const std::string k407 = "HTTP/1.1 407 Proxy Authentication Required\r\n";

struct TunnelCase {
  std::string what;
  int type = 1;
  std::string user = "", password = "", url = "http://127.0.0.1:8080/";
  std::vector<std::string> sends = {}, replies = {};  // by round: the client's bytes, the answers
  std::string tail = "";   // sent with the last answer: the page's start, or bytes to drop
  std::string error = "";  // "": the page arrives; else 118 with it (a cut: the peer closes)
  bool whole = false;  // played whole only: its cuts are another row's
};

void play(const TunnelCase& c, size_t split) {
  SCOPED_TRACE(c.what + " split at " + std::to_string(split));
  const int code = c.error.empty() ? 0 : 118;
  tw_test::PeerScript script;
  std::string sent;
  for (size_t i = 0; i < c.replies.size(); ++i) {
    sent += c.sends[i];
    script.push_back(PeerStep::waitForCount(sent.size()));
    const std::string& r = c.replies[i];
    if (split > 0 && split < r.size()) {
      script.push_back(PeerStep::send(r.substr(0, split)));
      script.push_back(PeerStep::delay(5));
    }
    script.push_back(PeerStep::send(r.substr(split < r.size() ? split : 0) +
                                    (i + 1 == c.replies.size() ? c.tail : "")));
  }
  if (c.error == "Firewall host disconnected.") script.push_back(PeerStep::close());
  if (code == 0) {
    script.push_back(PeerStep::waitFor("Connection: close\r\n\r\n"));
    script.push_back(PeerStep::send(kPage.substr(kPage.starts_with(c.tail) ? c.tail.size() : 0)));
  }
  tw_test::ScriptedPeer peer(script);
  tw_test::RecordingHttps h;
  h.SetInteger(https_prop::Timeout, 10);
  h.SetInteger(https_prop::FirewallType, c.type);
  h.SetText(https_prop::FirewallHost, "127.0.0.1");
  h.SetInteger(https_prop::FirewallPort, peer.port());
  h.SetText(https_prop::FirewallUser, c.user.c_str());
  h.SetText(https_prop::FirewallPassword, c.password.c_str());
  EXPECT_EQ(h.Get(c.url.c_str()), code);
  EXPECT_EQ(h.GetLastError(), c.error);
  EXPECT_EQ(h.GetText(https_prop::TransferredData), code == 0 ? "page" : "");
  ASSERT_TRUE(peer.waitDone());
  const std::string received = peer.received(0);
  EXPECT_EQ(received.substr(0, sent.size()), sent);
  EXPECT_EQ(received.substr(sent.size(), 4), code == 0 ? "GET " : "");
  // The Error event: the text, or a refusal's whole reply (types 4 to 6: its status line).
  std::string text = c.error.starts_with("Firewall error") ? c.replies.back() : c.error;
  if (c.error.starts_with("Firewall error: ")) text.resize(text.find('\r'));
  if (code != 0) { EXPECT_NE(std::ranges::find(h.events, "Error 118|" + text), h.events.end()); }
}

std::string connectLine(const std::string& more = "", const std::string& to = "127.0.0.1:8080") {
  return "CONNECT " + to + " HTTP/1.0\r\n" + more + "\r\n";
}

// The NTLM message of user "u", password "p": the first, or the answer to kType2.
std::string ntlm(const char* word, bool answer) {
  auth::NtlmClient n;
  n.setCredentials("u", "p");
  std::string m = n.type1();
  if (answer && n.readType2(kType2)) m = n.type3();
  const std::string value = word + " "s + auth::base64Encode(m);
  return connectLine("Proxy-Authorization: " + value + "\r\nProxy-Connection: Keep-Alive\r\n");
}

std::string digestLine(const std::string& authorization) {
  return connectLine("Host: 127.0.0.1:8080\r\nContent-Length: 0\r\nProxy-Connection: "
                     "Keep-Alive\r\nPragma: no-cache\r\n" + authorization);
}

// isolated: no lookup can leave the machine, so names nobody can look up are tried too.
std::vector<TunnelCase> cases(bool isolated) {
  const std::string connect = connectLine(), none = "http://" + std::string(64, 'q') + ".invalid/";
  const std::string socks4 = "\x04\x01"s + kPort + kAddress + '\0', greet = "\x05\x01\x00"s;
  const std::string refused = "Firewall error: 407 Proxy Authentication Required";
  const std::string cut = "Firewall host disconnected.", basic = "Proxy-Authorization: Basic ";
  // SOCKS 5 without authentication: the connect reply alone differs.
  const auto socks5 = [&](std::string what, std::string reply, std::string error) {
    return TunnelCase{.what = what, .type = 3, .sends = {greet, kSocks5Connect},
                      .replies = {"\x05\x00"s, reply}, .tail = error.empty() ? kStatusLine : "",
                      .error = error};
  };
  std::vector<TunnelCase> rows = {
      {.what = "CONNECT; bytes after the blank line are dropped", .sends = {connect},
       .replies = {"HTTP/1.0 200 Connection established\r\n\r\n"}, .tail = "junk"},
      {.what = "Basic", .user = "u", .password = "p",
       .sends = {connectLine(basic + "dTpw\r\n")}, .replies = {"HTTP/1.1 200 x\n\n"}},
      {.what = "a user alone", .user = "u",
       .sends = {connectLine(basic + "dTo=\r\n")}, .replies = {"HTTP/1.0 200 x\r\n\r\n"}},
      {.what = "CONNECT to an IPv6 literal", .url = "http://[::1]:8080/",
       .sends = {connectLine("", "[::1]:8080")}, .replies = {"HTTP/1.0 200 OK\r\n\r\n"}},
      {.what = "CONNECT refused", .sends = {connect},
       .replies = {"HTTP/1.0 403 Forbidden\r\nVia: p\r\n\r\n"},
       .error = "Firewall error. HTTP/1.0 403 Forbidden."},
      {.what = "refusal ending in a full stop, escape bytes", .sends = {connect},
       .replies = {"HTTP/1.1 407 \x1b[1mAuth\x7f.\r\n\r\n"},
       .error = "Firewall error. HTTP/1.1 407 \x1b[1mAuth\x7f."},
      {.what = "CONNECT cut", .sends = {connect}, .replies = {"HTTP/1.0 200 O"}, .error = cut},
      {.what = "CONNECT reply head too large", .sends = {connect},
       .replies = {"HTTP/1.0 200 OK\r\n" + std::string(70000, 'a')},
       .error = "Response header too large."},
      {.what = "SOCKS 4 granted; bytes after it reach HTTP", .type = 2, .user = "bob",
       .sends = {"\x04\x01"s + kPort + kAddress + "bob\0"s}, .replies = {"\0\x5a\0\0\0\0\0\0"s},
       .tail = kStatusLine},
      {.what = "SOCKS 4 cut", .type = 2, .sends = {socks4}, .replies = {"\0\x5a\0"s}, .error = cut},
      socks5("IPv4 bound address", kSocks5Ok, ""),
      socks5("IPv6 bound address", "\x05\x00\x00\x04"s + std::string(16, '\x01') + kPort, ""),
      socks5("unknown address type", "\x05\x00\x00\x07\x00"s, "address type not supported"),
      socks5("SOCKS 5 cut", "\x05\x00\x00\x01\x7f"s, cut),
      {.what = "SOCKS 5, name bound address, user alone", .type = 3, .user = "u",
       .sends = {greet, kSocks5Connect},
       .replies = {"\x05\x00"s, "\x05\x00\x00\x03\x05proxy"s + kPort}, .tail = kStatusLine},
      {.what = "SOCKS 5 with a name for the server", .type = 3,
       .url = "http://*abcdefghij.klmno.pqr:8080/",
       .sends = {greet, "\x05\x01\x00\x03\x14"s + "abcdefghij.klmno.pqr" + kPort},
       .replies = {"\x05\x00"s, kSocks5Ok}},
      {.what = "SOCKS 5 with user and password", .type = 3, .user = "u", .password = "pw",
       .sends = {"\x05\x02\x00\x02"s, "\x01\x01u\x02pw"s, kSocks5Connect},
       .replies = {"\x05\x02"s, "\x01\x00"s, kSocks5Ok}},
      {.what = "SOCKS 5 authentication failed", .type = 3, .user = "u", .password = "p",
       .sends = {"\x05\x02\x00\x02"s, "\x01\x01u\x01p"s}, .replies = {"\x05\x02"s, "\x01\xff"s},
       .error = "firewall authentication failed: -1"},
      {.what = "SOCKS 5 user name too long", .type = 3, .user = std::string(256, 'u'),
       .password = "p", .sends = {"\x05\x02\x00\x02"s}, .replies = {"\x05\x02"s},
       .error = "SOCKS5 field longer than 255 bytes"},
      {.what = "no acceptable method", .type = 3, .sends = {greet}, .replies = {"\x05\xff"s},
       .error = "no acceptable firewall authentication methods"},
      {.what = "SOCKS 5 unknown method", .type = 3, .sends = {greet}, .replies = {"\x05\x01"s},
       .error = "unknown firewall authentication method"},
      {.what = "type 7", .type = 7, .error = "Unknown firewall type: 7"},
      {.what = "NTLM, 407 body by length ending in LF; bytes after the reply reach HTTP",
       .type = 4, .user = "u", .password = "p", .sends = {ntlm("NTLM", false), ntlm("NTLM", true)},
       .replies = {k407 + "Proxy-Authenticate: Basic realm=x\r\nProxy-Authenticate: NTLM " +
                       kType2 + "\r\nContent-Length: 4\r\n\r\nabc\n",
                   "HTTP/1.0 200 Connection established\r\nVia: p\r\n\r\n"},
       .tail = kStatusLine},
      {.what = "Negotiate, chunked 401 body", .type = 5, .user = "u", .password = "p",
       .sends = {ntlm("Negotiate", false), ntlm("Negotiate", true)},
       .replies = {"HTTP/1.1 401 x\r\nTransfer-Encoding: Chunked\r\nProxy-Authenticate: "
                   "negotiate " + kType2 + "\r\n\r\n3\r\nabc\r\n2;x\r\nde\r\n0\r\nT: 1\r\n\r\n",
                   "HTTP/1.1 200 OK\r\n\r\n"}},
      {.what = "NTLM answered with 200 at once", .type = 4, .sends = {ntlm("NTLM", false)},
       .replies = {"HTTP/1.1 200 OK\r\n\r\n"}, .error = "Firewall error: 200 OK"},
      {.what = "NTLM not offered", .type = 4, .sends = {ntlm("NTLM", false)},
       .replies = {k407 + "Proxy-Authenticate: Basic realm=x\r\n\r\n"}, .error = refused},
      {.what = "Digest, empty 407 body; bytes after the reply are dropped", .type = 6, .user = "u",
       .password = "p", .url = "http://127.0.0.1:8080/x",
       .sends = {digestLine(""),
                 digestLine("Proxy-Authorization: Digest username=\"u\", realm=\"r\", nonce=\"n1\""
                            ", uri=\"/x\", response=\"7658ada0cb942a44cb191997cc3fea2e\"\r\n")},
       .replies = {k407 + "Proxy-Authenticate: Digest realm=\"r\", nonce=\"n1\"\r\n"
                          "Content-Length: 0\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n"},
       .tail = "junk"},
      {.what = "Digest asked of a proxy without it", .type = 6, .user = "u",
       .sends = {digestLine(""), digestLine("Proxy-Authorization: \r\n")},
       .replies = {k407 + "Proxy-Authenticate: Basic realm=x\r\nContent-Length: 4\r\n\r\npage",
                   k407 + "\r\n"}, .error = refused},
      {.what = "407 body too large", .type = 6, .sends = {digestLine("")},
       .replies = {k407 + "Content-Length: 1048577\r\n"}, .error = "Response body too large."},
  };
  // Refusals by code: SOCKS 4 (its 8-byte reply), then SOCKS 5.
  const char* const texts[] = {
      "firewall request rejected or failed", "unknown firewall error: -56",
      "firewall request rejected because identd is not available",
      "firewall request rejected because identd reports different user",
      "general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
      "host unreachable", "connection refused", "TTL expired", "command not supported",
      "address type not supported", "unknown firewall error: 9", "unknown firewall error: -128"};
  const char codes[] = {91, '\xc8', 92, 93, 1, 2, 3, 4, 5, 6, 7, 8, 9, '\x80'};
  for (int i = 0; i < 14; ++i) {
    rows.push_back(socks5(texts[i], "\x05"s + codes[i] + "\0\x01"s + kAddress + kPort, texts[i]));
    if (i < 4) rows.back().type = 2, rows.back().sends = {socks4};
    if (i < 4) rows.back().replies = {"\0"s + codes[i] + "\0\0\0\0\0\0"s};
    rows.back().whole = i > 4;
  }
  for (int type = 2; isolated && type <= 3; ++type) {
    rows.push_back({.what = "name", .type = type, .url = none, .error = "[11001] Host not found"});
    if (type == 3) rows.back().sends = {greet}, rows.back().replies = {"\x05\x00"s};
  }
  return rows;
}

class TunnelTest : public ComponentTest {};

// A network namespace of its own (root only) with only its loopback up.
bool isolate() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
  const bool up = ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
  ::close(fd);
  return up;
}

// Cuts: every byte of a binary reply; in a text reply both sides of each line
// end and the tenth byte, past which a plain CONNECT's answer is judged (later
// cuts of its refusal judge less). The rows run on a thread, isolated if it can be.
TEST_F(TunnelTest, NegotiationsWholeAndCut) {
  auth::setRandomSourceForTesting([](uint8_t* out, size_t n) { std::memset(out, 7, n); });
  std::thread([] {
    for (const TunnelCase& c : cases(isolate())) {
      std::set<size_t> cuts = {0};
      for (const std::string& r : c.replies) {
        const bool text = r.starts_with("HTTP/");
        const size_t end = std::min<size_t>(r.size(), text ? 11 : 12);
        for (size_t i = text ? 9 : 1; !c.whole && i < end; ++i) cuts.insert(i);
        for (size_t i = 0; r.size() < 4096 && i < r.size(); ++i) {
          if (r[i] == '\n') cuts.insert({i, i + 1});
        }
      }
      for (size_t cut : cuts) {
        if (cut < 10 || !c.error.starts_with("Firewall error. ")) play(c, cut);
      }
    }
  }).join();
  auth::setRandomSourceForTesting(nullptr);
}

}  // namespace
