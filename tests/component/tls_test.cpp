// The TLS channel through the component's wrapper class, against a scripted
// TLS server on the loopback address: one table of cases, each with the
// server's script, the settings, the result, the events in their order and
// what the server received.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/component_fixture.h"
#include "tests/support/tls_peer.h"

using tw_test::TlsPeer;
using tw_test::TlsReceived;
using tw_test::TlsScript;
using tw_test::TlsStep;

namespace {

std::string g_certs;  // the output folder of tests/support/test_ca.sh

// Events as texts: "SSLStatus <text>", "Auth <status> <accept>",
// "Error <code> <text>", "ConnectionStatus <event> <code>",
// "Connected <code> <text>", "Disconnected <code> <text>".
struct Seen {
  std::vector<std::string> events;
  std::vector<std::string> certs;  // CertEncoded of each SSLServerAuthentication
};

class TlsHttps : public HTTPS {
 public:
  explicit TlsHttps(Seen& seen) : seen_(seen) {}
  int acceptAnswer = -1;  // >= 0: what the SSLServerAuthentication handler sets

  int FireSSLStatus(HTTPSSSLStatusEventParams* e) override { return add("SSLStatus ", e->Message); }
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override {
    seen_.certs.emplace_back(e->CertEncoded, static_cast<size_t>(e->lenCertEncoded));
    add("Auth ", std::string(e->Status) + " " + std::to_string(e->Accept));
    if (acceptAnswer >= 0) e->Accept = acceptAnswer;
    return 0;
  }
  int FireError(HTTPSErrorEventParams* e) override {
    return add("Error ", std::to_string(e->ErrorCode) + " " + e->Description);
  }
  int FireConnectionStatus(HTTPSConnectionStatusEventParams* e) override {
    return add("ConnectionStatus ", std::string(e->ConnectionEvent) + " " + std::to_string(e->StatusCode));
  }
  int FireConnected(HTTPSConnectedEventParams* e) override {
    return add("Connected ", std::to_string(e->StatusCode) + " " + e->Description);
  }
  int FireDisconnected(HTTPSDisconnectedEventParams* e) override {
    return add("Disconnected ", std::to_string(e->StatusCode) + " " + e->Description);
  }

 private:
  int add(const char* kind, const std::string& text) {
    seen_.events.push_back(kind + text);
    return 0;
  }
  Seen& seen_;
};

class TlsTest : public ComponentTest {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/tw_tls_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    g_certs = dir;
    const std::string cmd = std::string(std::getenv("TW_TEST_CA")) + " " + g_certs + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    // The trust of the process: the test root alone, before any chain is built.
    setenv("SSL_CERT_FILE", (g_certs + "/root.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", (g_certs + "/trust").c_str(), 1);
  }
  static void TearDownTestSuite() { std::system(("rm -rf " + g_certs).c_str()); }
};

// A certificate file of test_ca.sh as the component writes PEM: CR LF line
// ends, no line end after the last line; bare: the Base64 lines alone.
std::string pem(const std::string& name, bool bare = false) {
  std::ifstream in(g_certs + "/" + name + ".pem");
  std::string text, line;
  while (std::getline(in, line)) {
    if (!bare || line.rfind("-----", 0) != 0) text += (text.empty() ? "" : "\r\n") + line;
  }
  return text;
}

size_t count(const std::vector<std::string>& events, const std::string& start) {
  size_t n = 0;
  for (const std::string& e : events) n += e.rfind(start, 0) == 0;
  return n;
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nhi";
const char kUntrusted[] =
    "[0x800b0109] A certification chain processed correctly but terminated in a root "
    "certificate not trusted by the trust provider. 0";
const char kRefused[] = "Server certificate verification failed. Connection aborted.";

// The usual exchange: handshake, request, response.
std::vector<TlsStep> exchange(TlsStep handshake = TlsStep::handshake()) {
  return {handshake, TlsStep::read("\r\n\r\n"), TlsStep::write(kOk)};
}

struct Case {
  const char* what;
  TlsScript server;
  std::vector<std::string> settings;                     // Config lines
  std::function<void(TlsHttps&)> setup = nullptr;
  int code = 0;                                          // of Get (Post with PostData)
  std::string error;                                     // GetLastError()
  std::vector<std::string> events;                       // starts of events, in this order
  std::string absent;                                    // no event starts with it
  std::function<void(const Seen&, const TlsReceived&)> check = nullptr;
};

void run(const Case& c) {
  SCOPED_TRACE(c.what);
  TlsPeer peer(g_certs, {c.server});
  Seen seen;
  const auto start = std::chrono::steady_clock::now();
  {
    TlsHttps h(seen);
    h.SetInteger(https_prop::Timeout, 10);
    h.Config("SSLEnabledProtocols=10240");  // TLS 1.2 and 1.3 (client bits)
    for (const std::string& s : c.settings) h.Config(s);
    if (c.setup) c.setup(h);
    const std::string url = "https://127.0.0.1:" + std::to_string(peer.port()) + "/";
    const bool post = !h.GetText(https_prop::PostData).empty();
    EXPECT_EQ(post ? h.Post(url.c_str()) : h.Get(url.c_str()), c.code);
    EXPECT_EQ(h.GetLastError(), c.error);
    EXPECT_EQ(h.GetText(https_prop::TransferredData), c.code == 0 ? "hi" : "");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  ASSERT_TRUE(peer.waitDone());
  const TlsReceived got = peer.received();
  std::ostringstream all;
  for (const std::string& e : seen.events) all << "\n  " << e;
  size_t at = 0;
  for (const std::string& e : c.events) {
    while (at < seen.events.size() && seen.events[at].rfind(e, 0) != 0) ++at;
    EXPECT_LT(at++, seen.events.size()) << "missing in order: " << e << all.str();
  }
  if (!c.absent.empty()) {
    EXPECT_EQ(count(seen.events, c.absent), 0u) << all.str();
  }
  EXPECT_EQ(got.plain.find("GET / HTTP/1.1\r\n") == 0 || got.plain.find("POST /") == 0,
            c.code == 0) << got.plain;
  if (c.check) c.check(seen, got);
  if (std::getenv("TW_SHOW")) std::cerr << c.what << all.str() << "\n";
}

TEST_F(TlsTest, Cases) {
  const std::string body(40000, 'b');
  const std::vector<Case> cases = {
      {"TLS 1.2, a record per write", {tw_test::kTls12, "valid", false, exchange(TlsStep::handshake(TlsStep::kRecords))},
       {}, nullptr, 0, "",
       {"SSLStatus Attempting to connect to server.", "ConnectionStatus Remote host connection complete. 0",
        "SSLStatus Socket connection established.", "SSLStatus Starting secure channel handshake.",
        "SSLStatus Sending ", "SSLStatus Receiving ", "Auth OK 1",
        "SSLStatus Negotiated SSL parameters: Protocol: TLS1.2 Cipher: AES Cipher strength: 128 ",
        "ConnectionStatus SSL handshake complete. 0", "Connected 0 OK"},
       "Error", [](const Seen& s, const TlsReceived&) {
         EXPECT_GE(count(s.events, "SSLStatus Receiving "), 3u);
       }},
      {"TLS 1.3, one byte per write", {tw_test::kTls13, "valid", false, exchange(TlsStep::handshake(1))},
       {}, nullptr, 0, "",
       {"Auth OK 1", "SSLStatus Negotiated SSL parameters: Protocol: 0x2000 ", "Connected 0 OK"},
       "Error", [](const Seen& s, const TlsReceived&) {
         EXPECT_GE(count(s.events, "SSLStatus Receiving "), 20u);
       }},
      // The response comes in the read of the new handshake's last flight,
      // and nothing comes after it: it must be decrypted at once.
      {"renegotiation accepted, data in the handshake's last read",
       {tw_test::kTls12, "valid", false,
        {TlsStep::handshake(), TlsStep::read("\r\n\r\n"), TlsStep::renegotiate(true), TlsStep::write(kOk)}},
       {}, nullptr, 0, "", {"Auth OK 1", "Connected 0 OK", "Auth OK 1", "Connected 0 OK"}, "Error",
       [](const Seen& s, const TlsReceived& got) {
         EXPECT_EQ(got.renegotiation, std::vector<std::string>{"ClientHello"});
         // The last handshake read: CCS and Finished (51 bytes) and the response.
         const std::string last = *std::find_if(s.events.rbegin(), s.events.rend(), [](auto& e) {
           return e.rfind("SSLStatus Receiving ", 0) == 0;
         });
         EXPECT_GT(std::stoi(last.substr(20)), 51) << last;
       }},
      {"renegotiation refused",
       {tw_test::kTls12, "valid", false,
        {TlsStep::handshake(), TlsStep::read("\r\n\r\n"), TlsStep::renegotiate(), TlsStep::write(kOk)}},
       {"SSLEnableRenegotiation=false"}, nullptr, 0, "",
       {"Connected 0 OK", "SSLStatus Renegotiate is disabled. Send NO_RENEGOTIATION alert message."},
       "Error", [](const Seen&, const TlsReceived& got) {
         EXPECT_EQ(got.renegotiation, std::vector<std::string>{"alert"});
         ASSERT_FALSE(got.alerts.empty());
         EXPECT_EQ(got.alerts[0], (std::pair<int, int>{1, 100}));
         EXPECT_EQ(std::count(got.alerts.begin(), got.alerts.end(), std::pair<int, int>{1, 100}), 1);
       }},
      {"close_notify, then plain bytes",
       {tw_test::kTls13, "valid", false,
        {TlsStep::handshake(), TlsStep::read("\r\n\r\n"),
         TlsStep::write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nh"),
         TlsStep::closeNotify("i")}},
       {}, nullptr, 0, "", {"Connected 0 OK", "SSLStatus Server signaled end of session."}, "Error",
       [](const Seen&, const TlsReceived& got) {
         EXPECT_EQ(got.alerts, (std::vector<std::pair<int, int>>{{1, 0}}));
       }},
      {"a body that runs to the close, without close_notify",
       {tw_test::kTls13, "valid", false,
        {TlsStep::handshake(), TlsStep::read("\r\n\r\n"),
         TlsStep::write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhi"), TlsStep::close()}},
       {}, nullptr, 0, "",
       {"Connected 0 OK", "ConnectionStatus Remote host disconnected. 0",
        "ConnectionStatus SSL connection terminated. 0", "Disconnected 0 OK"}, "Error"},
      {"server gone during the handshake",
       {tw_test::kTls13, "valid", false, {TlsStep::rawRead(1), TlsStep::delay(50), TlsStep::close()}},
       {}, nullptr, 276, "Server disconnected before handshake completion [0xffffffff].",
       {"Error 276 Server disconnected before handshake completion [0xffffffff].",
        "ConnectionStatus SSL handshake failed. -1", "Connected 276 "}},
      {"certificate request, one byte per write",
       {tw_test::kTls12, "valid", true, exchange(TlsStep::handshake(1))},
       {}, nullptr, 0, "",
       {"SSLStatus Client certificate requested from server.", "Auth OK 1", "Connected 0 OK"}, "Error"},
      {"ParseSSLServerCert under TLS 1.2, Accept left false",
       {tw_test::kTls12, "valid", false, exchange()},
       {"ParseSSLServerCert=true"}, nullptr, 276, kRefused,
       {"Auth Parsed 0", "SSLStatus Server certificate verification failed. Aborting connection...",
        "ConnectionStatus SSL handshake failed. 276", "Connected 276 " + std::string(kRefused)},
       "Auth OK", [](const Seen& s, const TlsReceived&) {
         EXPECT_EQ(s.certs, std::vector<std::string>{pem("valid", true)});
       }},
      {"ParseSSLServerCert under TLS 1.2, accepted by the handler",
       {tw_test::kTls12, "valid", false, exchange()},
       {"ParseSSLServerCert=true"}, [](TlsHttps& h) { h.acceptAnswer = 1; }, 0, "",
       {"Auth Parsed 0", "Auth OK 1", "Connected 0 OK"}},
      {"ParseSSLServerCert under TLS 1.3",
       {tw_test::kTls13, "valid", false, exchange()},
       {"ParseSSLServerCert=true"}, nullptr, 0, "", {"Auth OK 1", "Connected 0 OK"}, "Auth Parsed"},
      {"a send of several records",
       {tw_test::kTls12, "valid", false,
        {TlsStep::handshake(), TlsStep::read(body), TlsStep::write(kOk)}},
       {}, [&](TlsHttps& h) { h.SetText(https_prop::PostData, body.c_str()); }, 0, "",
       {"Connected 0 OK"}, "Error", [&](const Seen&, const TlsReceived& got) {
         EXPECT_EQ(got.plain.substr(got.plain.size() - body.size()), body);
         size_t records = 0;  // application data records from the client
         for (size_t pos = 0; pos + 5 <= got.raw.size();) {
           records += got.raw[pos] == 23;
           pos += 5 + (static_cast<uint8_t>(got.raw[pos + 3]) << 8 | static_cast<uint8_t>(got.raw[pos + 4]));
         }
         EXPECT_GE(records, 3u);
       }},
      {"untrusted root", {tw_test::kTls13, "untrusted", false, exchange()},
       {}, nullptr, 276, kRefused,
       {"Error 280 error verifying server certificate: 0x800b0109", std::string("Auth ") + kUntrusted,
        "SSLStatus Server certificate verification failed. Aborting connection...",
        "ConnectionStatus SSL handshake failed. 276", "Connected 276 "}},
      {"untrusted root accepted by the handler", {tw_test::kTls13, "untrusted", false, exchange()},
       {}, [](TlsHttps& h) { h.acceptAnswer = 1; }, 0, "",
       {"Error 280 error verifying server certificate: 0x800b0109", std::string("Auth ") + kUntrusted,
        "Connected 0 OK"}},
      {"another host's certificate", {tw_test::kTls12, "wronghost", false, exchange()},
       {}, nullptr, 276, kRefused,
       {"Error 280 error verifying server certificate: 0x800b010f",
        "Auth [0x800b010f] The certificate's CN name does not match the passed value. 0",
        "Connected 276 "}},
      {"another host's certificate, name check off", {tw_test::kTls12, "wronghost", false, exchange()},
       {"SSLSecurityFlags=2147483648"}, nullptr, 0, "", {"Auth OK 1", "Connected 0 OK"}, "Error"},
      {"a valid certificate refused by the handler", {tw_test::kTls13, "valid", false, exchange()},
       {}, [](TlsHttps& h) { h.acceptAnswer = 0; }, 276, kRefused,
       {"Auth OK 1", "Connected 276 "}, "Error"},
      {"SSLAcceptServerCert is the server's certificate", {tw_test::kTls13, "selfsigned", false, exchange()},
       {}, [](TlsHttps& h) {
         ASSERT_EQ(h.SetText(https_prop::SSLAcceptServerCert, pem("selfsigned").c_str()), 0);
       }, 0, "", {"Connected 0 OK"}, "Auth"},
      {"SSLIncludeCertChain", {tw_test::kTls13, "valid", false, exchange()},
       {"SSLIncludeCertChain=true"}, nullptr, 0, "", {"Auth OK 1"}, "Error",
       [](const Seen& s, const TlsReceived&) {
         EXPECT_EQ(s.certs, std::vector<std::string>{pem("valid") + "\r\n" + pem("intermediate") +
                                                     "\r\n" + pem("root")});
       }},
      {"a plain server answering garbage", {0, "", false, {TlsStep::rawRead(1), TlsStep::rawSend("HTTP/1.1 400 Bad\r\n\r\n")}},
       {}, nullptr, 276, "error during handshake[2]: 0x80090330",
       {"Error 276 error during handshake[2]: 0x80090330", "ConnectionStatus SSL handshake failed. 276",
        "Connected 276 "}},
  };
  for (const Case& c : cases) run(c);
}

// Get without a wait (Timeout -1) starts a TLS connection; a connect while
// it is in progress is refused.
TEST_F(TlsTest, SecondConnectWhileUpFailsWith104) {
  TlsPeer peer(g_certs, {{tw_test::kTls13, "valid", false, {TlsStep::handshake()}}});
  Seen seen;
  TlsHttps h(seen);
  h.Config("SSLEnabledProtocols=10240");
  h.SetInteger(https_prop::Timeout, -1);
  ASSERT_EQ(h.Get(("https://127.0.0.1:" + std::to_string(peer.port()) + "/").c_str()), 0);
  EXPECT_EQ(h.SetInteger(https_prop::Connected, 1), 104);
  EXPECT_STREQ(h.GetLastError(),
               "Already connected. If you want to reconnect, close the current connection first.");
  EXPECT_EQ(count(seen.events, "SSLStatus Attempting to connect to server."), 1u);
}

TEST_F(TlsTest, CorruptAcceptedCertificate) {
  Seen seen;
  TlsHttps h(seen);
  EXPECT_EQ(h.SetText(https_prop::SSLAcceptServerCert,
                      "-----BEGIN CERTIFICATE-----\r\n!!notbase64!!\r\n-----END CERTIFICATE-----"),
            280);
  EXPECT_STREQ(h.GetLastError(), "Failed to decode PEM file.");
  EXPECT_EQ(h.GetText(https_prop::SSLAcceptServerCert), "");
}

}  // namespace
