// The TLS channel through the wrapper class against a scripted TLS server on
// the loopback address: one table of cases, each with the server's script,
// the settings, the result, the events in their order and what the server got.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/component_fixture.h"
#include "tests/support/runs.h"
#include "tests/support/scripted_peer.h"

using tw_test::kTls12;
using tw_test::kTls13;
using tw_test::PeerScript;
using tw_test::PeerStep;

namespace {

std::string g_certs;  // the output folder of tests/support/test_ca.sh

// Events as texts: "SSLStatus <text>", "Auth <status> <accept> <subject> | <issuer>",
// "Error <code> <text>", "ConnectionStatus <event> <code>", "Connected|Disconnected
// <code> <text>";
// certs: CertEncoded of each SSLServerAuthentication.
struct Seen {
  std::vector<std::string> events, certs;
  size_t count(const std::string& start) const {
    return std::count_if(events.begin(), events.end(), [&](auto& e) { return matches(e, start); });
  }
  // The event starts with `start`, in which "%d" stands for a number.
  static bool matches(std::string event, const std::string& start) {
    if (start.find("%d") != std::string::npos) {
      event = std::regex_replace(event, std::regex("[0-9]+"), "%d");
    }
    return event.rfind(start, 0) == 0;
  }
};

class TlsHttps : public HTTPS {
 public:
  TlsHttps(Seen& seen, int accept) : seen_(seen), accept_(accept) {}
  int FireSSLStatus(HTTPSSSLStatusEventParams* e) override { return add("SSLStatus ", e->Message); }
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override {
    seen_.certs.emplace_back(e->CertEncoded, static_cast<size_t>(e->lenCertEncoded));
    add("Auth ", std::string(e->Status) + " " + std::to_string(e->Accept) + " " + e->CertSubject +
                     " | " + e->CertIssuer);
    if (accept_ >= 0) e->Accept = accept_;
    return 0;
  }
  int FireError(HTTPSErrorEventParams* e) override {
    return add("Error ", e->ErrorCode, e->Description);
  }
  int FireConnectionStatus(HTTPSConnectionStatusEventParams* e) override {
    return add("ConnectionStatus ",
               std::string(e->ConnectionEvent) + " " + std::to_string(e->StatusCode));
  }
  int FireConnected(HTTPSConnectedEventParams* e) override {
    return add("Connected ", e->StatusCode, e->Description);
  }
  int FireDisconnected(HTTPSDisconnectedEventParams* e) override {
    return add("Disconnected ", e->StatusCode, e->Description);
  }

 private:
  int add(const char* kind, const std::string& text) {
    seen_.events.push_back(kind + text);
    return 0;
  }
  int add(const char* kind, int code, const char* text) {
    return add(kind, std::to_string(code) + " " + text);
  }
  Seen& seen_;
  int accept_;  // >= 0: what the SSLServerAuthentication handler leaves in Accept
};

class TlsTest : public ComponentTest {
 protected:
  // The certificates of the peers fixture; the trust store is read once, at
  // the first chain built, so the test root must not change afterwards.
  static void SetUpTestSuite() {
    g_certs = tw_test::readPeersEnv()["TW_TEST_CA"];
    ASSERT_FALSE(g_certs.empty()) << "the peers fixture did not start";
    setenv("SSL_CERT_FILE", (g_certs + "/root.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", (g_certs + "/trust").c_str(), 1);
  }
};

// A certificate of test_ca.sh as the component writes it: CR LF line ends and
// none at the end; bare: the Base64 lines alone.
std::string pem(const std::string& name, bool bare = false) {
  std::ifstream in(g_certs + "/" + name + ".pem");
  std::string text, line;
  while (std::getline(in, line)) {
    if (!bare || line.rfind("-----", 0) != 0) text += (text.empty() ? "" : "\r\n") + line;
  }
  return text;
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nhi";
const std::string kRefused = "Server certificate verification failed. Connection aborted.";
const std::string kAborting =
    "SSLStatus Server certificate verification failed. Aborting connection...";
const std::string kUntrusted =
    "Auth [0x800b0109] A certification chain processed correctly but "
    "terminated in a root certificate not trusted by the trust provider. 0";

// Handshake, request, response.
PeerScript exchange(PeerStep handshake = PeerStep::handshake()) {
  return {handshake, PeerStep::tlsRead("\r\n\r\n"), PeerStep::tlsWrite(kOk)};
}

// The server of a case: one connection.
struct Server {
  int version = kTls13;
  std::string cert = "valid";
  bool askClientCert = false;
  PeerScript steps;
};

// What the server got: the raw bytes and what its TLS side saw.
struct Got : tw_test::TlsReceived {
  std::string raw;
};

struct Case {
  const char* what = "";
  Server server{};
  std::vector<std::string> settings{};  // Config lines
  int accept = -1;                      // the SSLServerAuthentication handler's answer
  std::string acceptCert{}, post{};     // SSLAcceptServerCert (a test_ca.sh name), PostData
  int code = 0;                         // of Get, or of Post with PostData
  std::string error{};                  // the last error text
  std::vector<std::string> events{};    // starts of events, in this order
  std::string absent{};                 // no event starts with it
  std::function<void(const Seen&, const Got&)> check{};
};

void run(const Case& c) {
  SCOPED_TRACE(c.what);
  const tw_test::TlsServer tls{g_certs, c.server.version, c.server.cert, c.server.askClientCert};
  tw_test::ScriptedPeer peer(c.server.steps, {.tls = tls});
  Seen seen;
  const auto start = std::chrono::steady_clock::now();
  {
    TlsHttps h(seen, c.accept);
    h.SetInteger(https_prop::Timeout, 10);
    h.Config("SSLEnabledProtocols=10240");  // TLS 1.2 and 1.3
    for (const std::string& s : c.settings) {
      h.Config(s);
      EXPECT_EQ(h.GetLastErrorCode(), 0) << s;
    }
    if (!c.acceptCert.empty()) {
      ASSERT_EQ(h.SetText(https_prop::SSLAcceptServerCert, pem(c.acceptCert).c_str()), 0);
    }
    h.SetText(https_prop::PostData, c.post.c_str());
    const std::string url = "https://127.0.0.1:" + std::to_string(peer.port()) + "/";
    EXPECT_EQ(c.post.empty() ? h.Get(url.c_str()) : h.Post(url.c_str()), c.code);
    EXPECT_EQ(h.GetLastError(), c.error);
    EXPECT_EQ(h.GetText(https_prop::TransferredData), c.code == 0 ? "hi" : "");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  ASSERT_TRUE(peer.waitDone());
  Got got{peer.tls(), peer.received()};
  std::string all;
  for (const std::string& e : seen.events) all += "\n  " + e;
  size_t at = 0;
  for (const std::string& e : c.events) {
    while (at < seen.events.size() && !Seen::matches(seen.events[at], e)) ++at;
    EXPECT_LT(at++, seen.events.size()) << "missing in order: " << e << all;
  }
  if (!c.absent.empty()) {
    EXPECT_EQ(seen.count(c.absent), 0u) << all;
  }
  EXPECT_EQ(got.plain.rfind(c.post.empty() ? "GET / " : "POST / ", 0) == 0, c.code == 0)
      << got.plain;
  if (c.check) c.check(seen, got);
}

TEST_F(TlsTest, Cases) {
  const std::string body(40000, 'b');
  const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
  const PeerScript untilRequest = {PeerStep::handshake(), PeerStep::tlsRead("\r\n\r\n")};
  auto then = [&](PeerScript steps) {
    steps.insert(steps.begin(), untilRequest.begin(), untilRequest.end());
    return steps;
  };
  const std::string receiving = "SSLStatus Receiving %d bytes of handshake data.";
  // clang-format off
  const std::vector<Case> cases = {
    {.what = "TLS 1.2 AES-GCM, a record per write",
     .server = {kTls12, "valid", false, exchange(PeerStep::handshake(PeerStep::kRecords))},
     .events = {"SSLStatus Attempting to connect to server.",
                "ConnectionStatus Remote host connection complete. 0",
                "SSLStatus Socket connection established.",
                "SSLStatus Starting secure channel handshake.",
                "SSLStatus Sending %d bytes of handshake data.", receiving, receiving, receiving,
                "SSLStatus Sending %d handshake bytes.", "Auth OK 1",
                "SSLStatus Negotiated SSL parameters: Protocol: TLS1.2 Cipher: AES "
                "Cipher strength: 128 ",
                "ConnectionStatus SSL handshake complete. 0", "Connected 0 OK"},
     .absent = "Error",
     .check = [](const Seen&, const Got& got) {  // the orderly close: close_notify
       EXPECT_EQ(got.alerts, (std::vector<std::pair<int, int>>{{1, 0}}));
     }},
    {.what = "TLS 1.3, one byte per write",
     .server = {kTls13, "valid", false, exchange(PeerStep::handshake(1))},
     .events = {"Auth OK 1", "SSLStatus Negotiated SSL parameters: Protocol: 0x2000 ",
                "Connected 0 OK"},
     .absent = "Error",
     .check = [](const Seen& s, const Got&) {
       EXPECT_GE(s.count("SSLStatus Receiving "), 20u);
     }},
    // The response comes in the read of the new handshake's last flight,
    // and nothing after it: it must be decrypted at once.
    {.what = "renegotiation accepted, data in the handshake's last read",
     .server = {kTls12, "valid", false,
                then({PeerStep::renegotiate(true), PeerStep::tlsWrite(kOk)})},
     .events = {"Connected 0 OK", "SSLStatus Sending ", "Auth OK 1", "Connected 0 OK"},
     .absent = "Error",
     .check = [](const Seen& s, const Got& got) {
       EXPECT_EQ(got.renegotiation, std::vector<std::string>{"ClientHello"});
       // The read that completed it: ChangeCipherSpec and Finished (75
       // bytes) and the response.
       auto auth = std::find_if(s.events.rbegin(), s.events.rend(),
                                [](auto& e) { return e.rfind("Auth OK", 0) == 0; });
       ASSERT_TRUE(auth + 1 < s.events.rend());
       EXPECT_TRUE(Seen::matches(auth[1], "SSLStatus Receiving %d bytes")) << auth[1];
       EXPECT_GT(std::atoi(auth[1].c_str() + 20), 75) << auth[1];
     }},
    {.what = "renegotiation refused",
     .server = {kTls12, "valid", false, then({PeerStep::renegotiate(), PeerStep::tlsWrite(kOk)})},
     .settings = {"SSLEnableRenegotiation=false"},
     .events = {"Connected 0 OK",
                "SSLStatus Renegotiate is disabled. Send NO_RENEGOTIATION alert message."},
     .absent = "Error",
     .check = [](const Seen&, const Got& got) {
       EXPECT_EQ(got.renegotiation, std::vector<std::string>{"alert"});
       ASSERT_FALSE(got.alerts.empty());
       EXPECT_EQ(got.alerts[0], (std::pair<int, int>{1, 100}));
       EXPECT_EQ(std::count(got.alerts.begin(), got.alerts.end(), got.alerts[0]), 1);
     }},
    {.what = "close_notify, then plain bytes",
     .server = {kTls13, "valid", false,
                then({PeerStep::tlsWrite(kOk.substr(0, kOk.size() - 1)),
                      PeerStep::closeNotify("i")})},
     .events = {"Connected 0 OK", "SSLStatus Server signaled end of session."}, .absent = "Error",
     .check = [](const Seen&, const Got& got) {
       EXPECT_EQ(got.alerts, (std::vector<std::pair<int, int>>{{1, 0}}));  // close_notify
     }},
    {.what = "a body that runs to the close, without close_notify",
     .server = {kTls13, "valid", false,
                then({PeerStep::tlsWrite(head + "hi"), PeerStep::shutdown()})},
     .events = {"Connected 0 OK", "ConnectionStatus Remote host disconnected. 0",
                "ConnectionStatus SSL connection terminated. 0", "Disconnected 0 OK"},
     .absent = "Error"},
    {.what = "server gone during the handshake",
     .server = {kTls13, "valid", false, {PeerStep::waitForCount(1), PeerStep::shutdown()}},
     .code = 276, .error = "Server disconnected before handshake completion [0xffffffff].",
     .events = {"Error 276 Server disconnected before handshake completion [0xffffffff].",
                "ConnectionStatus SSL handshake failed. -1", "Connected 276 "}},
    {.what = "certificate request, one byte per write",
     .server = {kTls12, "valid", true, exchange(PeerStep::handshake(1))},
     .events = {"SSLStatus Client certificate requested from server.", "Auth OK 1",
                "Connected 0 OK"},
     .absent = "Error"},
    {.what = "ParseSSLServerCert under TLS 1.2, Accept left false",
     .server = {kTls12, "valid", false, exchange()}, .settings = {"ParseSSLServerCert=true"},
     .code = 276, .error = kRefused,
     .events = {"Auth Parsed 0", kAborting, "ConnectionStatus SSL handshake failed. 276",
                "Connected 276 " + kRefused},
     .absent = "Auth OK",
     .check = [](const Seen& s, const Got&) {
       EXPECT_EQ(s.certs, std::vector<std::string>{pem("valid", true)});
     }},
    {.what = "ParseSSLServerCert under TLS 1.2, accepted by the handler",
     .server = {kTls12, "valid", false, exchange()}, .settings = {"ParseSSLServerCert=true"},
     .accept = 1, .events = {"Auth Parsed 0", "Auth OK 1", "Connected 0 OK"}},
    {.what = "ParseSSLServerCert under TLS 1.3",
     .server = {kTls13, "valid", false, exchange()}, .settings = {"ParseSSLServerCert=true"},
     .events = {"Auth OK 1", "Connected 0 OK"}, .absent = "Auth Parsed"},
    {.what = "a send of several records",
     .server = {kTls12, "valid", false,
                {PeerStep::handshake(), PeerStep::tlsRead(body), PeerStep::tlsWrite(kOk)}},
     .post = body, .events = {"Connected 0 OK"}, .absent = "Error",
     .check = [&](const Seen&, const Got& got) {
       EXPECT_EQ(got.plain.substr(got.plain.size() - body.size()), body);
       size_t records = 0;  // application data records of the client
       for (size_t at = 0; at + 5 <= got.raw.size();) {
         records += got.raw[at] == 23;
         at += 5 + static_cast<size_t>(static_cast<uint8_t>(got.raw[at + 3]) << 8 |
                                       static_cast<uint8_t>(got.raw[at + 4]));
       }
       EXPECT_GE(records, 3u);
     }},
    {.what = "untrusted root", .server = {kTls13, "untrusted", false, exchange()},
     .code = 276, .error = kRefused,
     .events = {"Error 280 error verifying server certificate: 0x800b0109", kUntrusted, kAborting,
                "ConnectionStatus SSL handshake failed. 276", "Connected 276 " + kRefused}},
    {.what = "untrusted root accepted by the handler",
     .server = {kTls13, "untrusted", false, exchange()}, .accept = 1,
     .events = {"Error 280 error verifying server certificate: 0x800b0109", kUntrusted,
                "Connected 0 OK"}},
    {.what = "another host's certificate", .server = {kTls12, "wronghost", false, exchange()},
     .code = 276, .error = kRefused,
     .events = {"Error 280 error verifying server certificate: 0x800b010f",
                "Auth [0x800b010f] The certificate's CN name does not match the passed value. 0 "
                "O=\"Tests, Inc.\", CN=wrong.example | C=DE, O=Tarnwick Test, "
                "CN=Tarnwick Test Intermediate",
                "Connected 276 "}},
    {.what = "another host's certificate, no name check",
     .server = {kTls12, "wronghost", false, exchange()},
     .settings = {"SSLSecurityFlags=2147483648"},
     .events = {"Auth OK 1", "Connected 0 OK"}, .absent = "Error"},
    {.what = "a valid certificate refused by the handler",
     .server = {kTls13, "valid", false, exchange()}, .accept = 0, .code = 276, .error = kRefused,
     .events = {"Auth OK 1", kAborting, "Connected 276 "},
     .absent = "Error"},
    {.what = "SSLAcceptServerCert is the server's certificate",
     .server = {kTls13, "selfsigned", false, exchange()}, .acceptCert = "selfsigned",
     .events = {"Connected 0 OK"}, .absent = "Auth"},
    {.what = "SSLIncludeCertChain", .server = {kTls13, "valid", false, exchange()},
     .settings = {"SSLIncludeCertChain=true"}, .events = {"Auth OK 1"}, .absent = "Error",
     .check = [](const Seen& s, const Got&) {
       const std::string chain = pem("valid") + "\r\n" + pem("intermediate") + "\r\n" + pem("root");
       EXPECT_EQ(s.certs, std::vector<std::string>{chain});
     }},
  };
  // clang-format on
  for (const Case& c : cases) run(c);
}

// Get without a wait (Timeout -1) starts a TLS connection; a connect while it
// is being made is refused.
TEST_F(TlsTest, SecondConnectWhileUpFailsWith104) {
  tw_test::ScriptedPeer peer({PeerStep::handshake()}, {.tls = tw_test::TlsServer{g_certs}});
  Seen seen;
  TlsHttps h(seen, -1);
  h.Config("SSLEnabledProtocols=10240");
  h.SetInteger(https_prop::Timeout, -1);
  ASSERT_EQ(h.Get(("https://127.0.0.1:" + std::to_string(peer.port()) + "/").c_str()), 0);
  EXPECT_EQ(h.SetInteger(https_prop::Connected, 1), 104);
  EXPECT_STREQ(h.GetLastError(),
               "Already connected. If you want to reconnect, close the current connection first.");
  EXPECT_EQ(seen.count("SSLStatus Attempting to connect to server."), 1u);
}

// Against nginx (the peers fixture): the component's default protocols (240)
// reach a server that speaks only TLS 1.0; with ReuseSSLSession a second
// connection resumes the first one's session, as nginx's log shows. The
// handler accepts the certificate.
TEST_F(TlsTest, NginxAtDefaultProtocolsAndResumedSessions) {
  const auto peers = tw_test::readPeersEnv();
  ASSERT_FALSE(peers.empty()) << "the peers fixture did not start";
  const auto url = [&](const std::string& kind, const std::string& query) {
    return "https://localhost:" + peers.at("TW_NGINX_TLS_" + kind) + "/plain.html?" + query;
  };
  Seen seen;
  TlsHttps old(seen, 1);
  old.SetInteger(https_prop::Timeout, 10);
  EXPECT_EQ(old.Get(url("TLS10", "old").c_str()), 0) << old.GetLastError();
  EXPECT_EQ(seen.count("SSLStatus Negotiated SSL parameters: Protocol: TLS1 Cipher: AES "), 1u);

  TlsHttps h(seen, 1);
  h.SetInteger(https_prop::Timeout, 10);
  h.Config("SSLEnabledProtocols=10240");
  h.Config("ReuseSSLSession=true");
  for (const char* query : {"first", "second"}) {
    EXPECT_EQ(h.Get(url("VALID", query).c_str()), 0) << h.GetLastError();
    h.SetInteger(https_prop::Connected, 0);
  }
  // A refused certificate ends the handshake once, even when the server's
  // session tickets arrive while the connection closes.
  Seen refused;
  TlsHttps r(refused, 0);
  r.SetInteger(https_prop::Timeout, 10);
  r.Config("SSLEnabledProtocols=10240");
  EXPECT_EQ(r.Get(url("SELFSIGNED", "refused").c_str()), 276);
  EXPECT_EQ(refused.count("Auth "), 1u);
  EXPECT_EQ(refused.count("Error 280"), 1u);

  std::ifstream log(peers.at("TW_PEERS_DIR") + "/nginx/access.log");
  std::string line, first, second;
  while (std::getline(log, line)) {
    if (line.find("?first ") != std::string::npos) first = line;
    if (line.find("?second ") != std::string::npos) second = line;
  }
  EXPECT_NE(first.find("tls=TLSv1.3 reused=."), std::string::npos) << first;
  EXPECT_NE(second.find("tls=TLSv1.3 reused=r"), std::string::npos) << second;
}

// Against nginx, what the scripted redirect table cannot show: a relative
// location keeps its "..", which nginx resolves; mode 1 follows http to
// https, mode 2 stops there. Its access log counts the requests (each case's
// query tags them).
TEST_F(TlsTest, NginxRedirects) {
  const auto peers = tw_test::readPeersEnv();
  ASSERT_FALSE(peers.empty()) << "the peers fixture did not start";
  struct Case {
    const char* path;
    int mode;
    int code;
    const char* error;
    std::vector<std::string> logged;  // "<method> <path> <status>", the query left out
  };
  const Case cases[] = {
      {"/rel/up", 1, 0, "", {"GET /rel/up 302", "GET /rel/../plain.html 200"}},
      {"/to-https", 1, 0, "", {"GET /to-https 302", "GET /plain.html 200"}},
      {"/to-https", 2, 151, "HTTP protocol error. 302 Moved Temporarily.",
       {"GET /to-https 302"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string tag = "redirect" + std::to_string(i);
    SCOPED_TRACE(tag);
    HTTPS h;
    h.SetInteger(https_prop::Timeout, 10);
    h.SetInteger(https_prop::FollowRedirects, c.mode);
    h.Config("SSLEnabledProtocols=10240");
    const std::string url = "http://127.0.0.1:" + peers.at("TW_NGINX_PORT") + c.path + "?" + tag;
    EXPECT_EQ(h.Get(url.c_str()), c.code);
    EXPECT_STREQ(h.GetLastError(), c.error);
    if (c.mode == 2) {
      EXPECT_EQ(h.GetText(https_prop::URL),
                "https://localhost:" + peers.at("TW_NGINX_TLS_VALID") + "/plain.html?" + tag);
    }
    std::ifstream log(peers.at("TW_PEERS_DIR") + "/nginx/access.log");
    std::vector<std::string> logged;
    for (std::string line; std::getline(log, line);) {
      std::smatch m;
      if (std::regex_match(line, m, std::regex("(\\S+ \\S+)\\?" + tag + " HTTP/1.1 (\\d+) .*"))) {
        logged.push_back(m[1].str() + " " + m[2].str());
      }
    }
    EXPECT_EQ(logged, c.logged);
  }
}

// SOCKS tunnels through dante to the plain nginx (the command line never
// sets them; CONNECT through each squid is the end-to-end https proxy test).
TEST_F(TlsTest, TunnelsThroughRealProxies) {
  auto env = tw_test::readPeersEnv();
  ASSERT_FALSE(env.empty()) << "the peers fixture did not start";
  const std::string http = "http://127.0.0.1:" + env["TW_NGINX_PORT"] + "/plain.html";
  // The proxy's port by its key in the peers' environment.
  struct Row { const char* port; int type; std::string user, password; };
  const Row rows[] = {
      {"TW_DANTE_PORT", 2, "", ""},
      {"TW_DANTE_PORT", 3, "", ""},
      {"TW_DANTE_USER_PORT", 3, env["TW_DANTE_USER"], env["TW_DANTE_PASSWORD"]},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.port) + " type " + std::to_string(r.type));
    // The last row needs a system account for dante.
    if (env.count(r.port) == 0) GTEST_SKIP() << env["TW_DANTE_USER_SKIP"];
    HTTPS h;
    h.SetInteger(https_prop::Timeout, 10);
    h.SetInteger(https_prop::FirewallType, r.type);
    h.SetText(https_prop::FirewallHost, "127.0.0.1");
    h.SetInteger(https_prop::FirewallPort, std::stoi(env[r.port]));
    h.SetText(https_prop::FirewallUser, r.user.c_str());
    h.SetText(https_prop::FirewallPassword, r.password.c_str());
    EXPECT_EQ(h.Get(http.c_str()), 0) << h.GetLastError();
    EXPECT_NE(h.GetText(https_prop::TransferredData).find("Tarnwick test page"), std::string::npos);
  }
}

}  // namespace
