// The Internet-library transfer path through the wrapper class: one table of
// scripted peers (the request bytes for the component's properties, the
// events on the calling thread, results and texts) and one of real peers.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/component_fixture.h"
#include "tests/support/recording_https.h"
#include "tests/support/registry_env.h"
#include "tests/support/runs.h"
#include "tests/support/scripted_peer.h"

using tw_test::PeerScript;
using tw_test::PeerStep;
namespace p = https_prop;

namespace {

std::string reply(const std::string& status, const std::string& headers, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

size_t threadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
  return s;
}

// Records SSLStatus too, notes an event off the calling thread, and runs
// onTransfer inside each Transfer event.
class LibraryHttps : public tw_test::RecordingHttps {
 public:
  bool offThread = false;
  size_t largestPiece = 0;
  std::function<void(LibraryHttps&)> onTransfer;

  int FireSSLStatus(HTTPSSSLStatusEventParams* e) override {
    note();
    events.push_back(std::string("SSLStatus ") + e->Message);
    return 0;
  }
  int FireTransfer(HTTPSTransferEventParams* e) override {
    note();
    largestPiece = std::max(largestPiece, static_cast<size_t>(e->lenText));
    RecordingHttps::FireTransfer(e);
    if (onTransfer) onTransfer(*this);
    return 0;
  }

 private:
  void note() { offThread |= std::this_thread::get_id() != owner_; }
  std::thread::id owner_ = std::this_thread::get_id();
};

int run(LibraryHttps& h, const std::string& method, const std::string& url) {
  if (method == "POST") return h.Post(url.c_str());
  if (method == "HEAD") return h.Head(url.c_str());
  if (method == "PUT") return h.Put(url.c_str());
  if (method == "DELETE") return h.Delete(url.c_str());
  return h.Get(url.c_str());
}

const std::string kBody(4500, 'b');
const std::string kHead = "\r\n\r\n";
const std::string kLast = "(the last event)";

struct Case {
  const char* what;
  std::vector<PeerScript> scripts;
  std::string url;  // %p: the peer's port, %u: a port nobody listens on; /path: on the peer
  std::string method;
  std::function<void(LibraryHttps&, const std::string& url)> setup;
  int code;
  std::string text;
  std::vector<std::string> sent, notSent;  // in the bytes the peer received
  std::string data;                         // TransferredData
  std::vector<std::string> events;          // in this order among the events; kLast: none after
  bool loopbackOnly = false;                // in a network of loopback alone
};

// One connection answered with the reply once the request's header block is in.
std::vector<PeerScript> answer(const std::string& reply) {
  return {{PeerStep::waitFor(kHead), PeerStep::send(reply)}};
}

TEST_F(ComponentTest, InternetLibraryScriptedPeers) {
  const auto none = [](LibraryHttps&, const std::string&) {};
  const std::string ok = reply("200 OK", "", "fine");
  const std::vector<PeerScript> cookieScripts = {
      {PeerStep::waitFor(kHead),
       PeerStep::send(reply("200 OK", "Set-Cookie: k=v\r\nConnection: close\r\n", "")),
       PeerStep::close()},
      {PeerStep::waitFor(kHead), PeerStep::send(ok)}};
  const Case cases[] = {
      {"GET sends no Range, Cookie or Authorization; body in pieces",
       answer(reply("200 OK", "Set-Cookie: s=1\r\n", kBody)), "/p", "GET",
       [](LibraryHttps& h, const std::string&) {
         h.SetText(p::Range, "0-");
         h.AddCookie("c", "1");
         h.SetText(p::Authorization, "Basic eA==");
         h.SetText(p::Accept, "text/x");
       },
       0, "", {"GET /p HTTP/1.1\r\n", "Accept: text/x\r\n"}, {"Range:", "Cookie:", "Authorization:"},
       kBody,
       {"SSLStatus Connecting to the socket address", "StartTransfer 0", "EndTransfer 0",
        "Header Set-Cookie|s=1", "SetCookie s|1||||0", "Header Content-Length|4500",
        "StartTransfer 1", "EndTransfer 1"}},
      {"POST sends PostData with its Content-Type", {{PeerStep::waitFor("a=1"), PeerStep::send(ok)}},
       "/f", "POST",
       [](LibraryHttps& h, const std::string&) {
         h.SetText(p::PostData, "a=1");
         h.SetText(p::ContentType, "text/form");
       },
       0, "", {"POST /f HTTP/1.1\r\n", "Content-Type: text/form\r\n", "\r\n\r\na=1"}, {}, "fine",
       {}},
      {"HEAD", answer("HTTP/1.1 200 OK\r\n\r\n"), "/h", "HEAD", none, 0, "",
       {"HEAD /h HTTP/1.1\r\n"}, {}, "", {}},
      {"PUT with OtherHeaders", answer(ok), "/u", "PUT",
       [](LibraryHttps& h, const std::string&) { h.SetText(p::OtherHeaders, "X-A: 1"); }, 0, "",
       {"PUT /u HTTP/1.1\r\n", "\r\nX-A: 1\r\n"}, {}, "fine", {}},
      {"404 keeps its body", answer(reply("404 Not Found", "", "gone")), "/p", "GET", none, 151,
       "HTTP protocol error. 404 Not Found.", {}, {}, "gone", {}},
      {"headers over the 3999-byte area",
       answer(reply("200 OK", "X-Big: " + std::string(4000, 'a') + "\r\n", "x")), "/p", "GET",
       none, 122, "[122] (no description available)", {}, {}, "", {"StartTransfer 0"}},
      {"same-scheme redirect followed",
       {{PeerStep::waitFor(kHead),
         PeerStep::send(reply("302 Found", "Location: /q\r\nConnection: close\r\n", "")),
         PeerStep::close()},
        {PeerStep::waitFor(kHead), PeerStep::send(reply("200 OK", "", "moved"))}},
       "/p", "GET", none, 0, "", {"GET /p HTTP/1.1\r\n"}, {}, "moved",
       {"SSLStatus An HTTP request is about to automatically redirect the request to",
        "StartTransfer 0"}},
      {"http to https redirect refused",
       answer(reply("302 Found", "Location: https://127.0.0.1:%p/q\r\n", "")), "/p", "GET", none,
       12039, "HTTP to HTTPS redirection not allowed (check the security flags).", {}, {}, "", {}},
      {"100 before the answer", answer("HTTP/1.1 100 Continue\r\n\r\n" + ok), "/p", "GET", none, 0,
       "", {}, {}, "fine",
       {"SSLStatus Received an intermediate (100 level) status code message from the server."}},
      {"stall under Timeout 2", {{PeerStep::waitFor(kHead), PeerStep::delay(20000)}}, "/p", "GET",
       [](LibraryHttps& h, const std::string&) { h.SetInteger(p::Timeout, 2); }, 301, "Timeout.",
       {}, {}, "", {}},
      {"Interrupt from a Transfer event",
       {{PeerStep::waitFor(kHead),
         PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nxx"),
         PeerStep::delay(20000)}},
       "/p", "GET",
       [](LibraryHttps& h, const std::string&) { h.onTransfer = [](LibraryHttps& self) { self.Interrupt(); }; }, 301,
       "Interrupted.", {}, {}, "xx", {"Transfer 1 2 0 xx", kLast}},
      {"cookies of an earlier answer go back", cookieScripts, "/c", "GET",
       [](LibraryHttps& h, const std::string& url) { h.Get(url.c_str()); }, 0, "",
       {"Cookie: k=v"}, {}, "fine", {}},
      {"UseWinInetCookies off", cookieScripts, "/c", "GET",
       [](LibraryHttps& h, const std::string& url) {
         h.Config("UseWinInetCookies=false");
         h.Get(url.c_str());
       },
       0, "", {"GET /c"}, {"Cookie:"}, "fine", {}},
      {"refused port", {}, "http://127.0.0.1:%u/p", "GET", none, 12029,
       "Internet Cannot Connect.", {}, {}, "", {}},
      {"TLS to a plain port",
       {{PeerStep::waitForCount(1), PeerStep::send("HTTP/1.1 400 Bad\r\n\r\n"), PeerStep::close()}},
       "https://127.0.0.1:%p/p", "GET", none, 12157, "Internet Security Channel Error.", {}, {},
       "", {}},
      {"failed name lookup", {}, "http://tarnwick-absent.invalid/p", "GET", none, 12007,
       "Internet Name Not Resolved.", {}, {}, "", {}, true},
      {"LocalFile and TransferredData both get the body", answer(ok), "/p", "GET",
       [](LibraryHttps& h, const std::string&) {
         h.SetText(p::LocalFile, (std::string(std::getenv("TMPDIR")) + "/page").c_str());
       },
       0, "", {}, {}, "fine", {}},
      {"ReadContentLength: no more than Content-Length",
       answer("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
              "6\r\nabcdef\r\n0\r\n\r\n"), "/p", "GET",
       [](LibraryHttps& h, const std::string&) { h.Config("ReadContentLength=true"); }, 0, "", {},
       {}, "abc", {}},
      {"DELETE: 0, nothing sent, the last error cleared", answer(ok), "/d", "DELETE",
       [](LibraryHttps& h, const std::string&) { h.Config("Nope"); }, 0, "", {}, {"/d"}, "", {}},
  };
  // A loopback-only row runs again in a network namespace of its own, this row alone.
  const char* onlyRow = std::getenv("TW_ONLY_ROW");
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string skipped;
  for (const Case& c : cases) {
    if (onlyRow != nullptr && std::string(onlyRow) != c.what) continue;
    SCOPED_TRACE(c.what);
    if (c.loopbackOnly && onlyRow == nullptr) {
      if (geteuid() != 0 || std::system("unshare -n ip link set lo up 2>/dev/null") != 0) {
        skipped = "a loopback-only network needs root, unshare and ip";
        continue;
      }
      setenv("TW_ONLY_ROW", c.what, 1);
      EXPECT_EQ(std::system(("unshare -n sh -c 'ip link set lo up && exec " + self +
                             " --gtest_filter=ComponentTest.InternetLibraryScriptedPeers'").c_str()), 0);
      unsetenv("TW_ONLY_ROW");
      continue;
    }
    const size_t threadsBefore = threadCount();
    {
      tw_test::ScriptedPeer peer(c.scripts);
      LibraryHttps https;
      https.Config("UseWinInet=true");
      const std::string port = std::to_string(peer.port());
      const std::string url =
          replaceAll(replaceAll(c.url[0] == '/' ? "http://127.0.0.1:%p" + c.url : c.url, "%p", port),
                     "%u", std::to_string(tw_test::unusedLoopbackPort()));
      c.setup(https, url);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(run(https, c.method, url), c.code);
      // Stalls and interrupts are over within the time limit, not after the peer's pause.
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
      EXPECT_EQ(https.GetLastError(), replaceAll(c.text, "%p", port));
      EXPECT_EQ(https.GetInteger(p::Idle), 1);
      EXPECT_EQ(https.Config("TransferredData"), c.data);
      if (const std::string file = https.Config("LocalFile"); !file.empty()) {
        EXPECT_EQ(tw_test::readFile(file), c.data);
      }
      EXPECT_FALSE(https.offThread);
      EXPECT_LE(https.largestPiece, 2000u);
      // Nothing arrives once the method has returned.
      const size_t seen = https.events.size();
      https.DoEvents();
      EXPECT_EQ(https.events.size(), seen);
      auto at = https.events.begin();
      for (const std::string& e : c.events) {
        if (e == kLast) {
          EXPECT_EQ(at + 1, https.events.end());
          continue;
        }
        at = std::find(at, https.events.end(), e);
        EXPECT_NE(at, https.events.end()) << e << " in\n" << testing::PrintToString(https.events);
      }
      std::string got;
      for (size_t i = 0; i < peer.connectionCount(); ++i) got += peer.received(i);
      for (const std::string& s : c.sent) EXPECT_NE(got.find(s), std::string::npos) << s << got;
      for (const std::string& s : c.notSent) EXPECT_EQ(got.find(s), std::string::npos) << s;
    }
    EXPECT_EQ(threadCount(), threadsBefore);
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// ${KEY} in text replaced by the peers' values.
std::string expand(std::string text, std::map<std::string, std::string>& env) {
  for (size_t at; (at = text.find("${")) != std::string::npos;) {
    const size_t end = text.find('}', at);
    text.replace(at, end + 1 - at, env[text.substr(at + 2, end - at - 2)]);
  }
  return text;
}

// The real peers: nginx, apache and squid of the peers fixture. Each row sets
// properties (${KEY} from the peers' environment) and, for the system's
// preconfigured proxy, the Internet Settings of the test's own registry.
TEST_F(ComponentTest, InternetLibraryRealPeers) {
  auto env = tw_test::readPeersEnv();
  ASSERT_FALSE(env.empty()) << "the peers fixture did not start";
  const std::string plain = "http://127.0.0.1:${TW_NGINX_PORT}/plain.html",
                    untrusted = "https://127.0.0.1:${TW_NGINX_TLS_UNTRUSTED}/plain.html",
                    e407 = "HTTP protocol error. 407 Proxy Authentication Required.";
  using Props = std::vector<std::pair<int, std::string>>;
  const Props user = {{p::User, "${TW_HTTP_USER}"}, {p::Password, "${TW_HTTP_PASSWORD}"}};
  // Squid's port of that name as the proxy, with its credentials or none.
  auto squid = [](const std::string& port, bool credentials) {
    Props props = {{p::ProxyServer, "127.0.0.1"}, {p::ProxyPort, "${TW_SQUID_" + port + "_PORT}"}};
    if (credentials) props.push_back({p::ProxyUser, "${TW_PROXY_USER}"});
    if (credentials) props.push_back({p::ProxyPassword, "${TW_PROXY_PASSWORD}"});
    return props;
  };
  struct Row {
    const char* what;
    std::string url;
    Props props;             // text properties; ProxyPort as text too
    std::string config;      // one Config line, or ""
    std::string registry;    // ProxyServer of the Internet Settings ("": not written)
    bool autoConfig;         // an AutoConfigURL beside it
    int code;
    std::string text;
  };
  const Row rows[] = {
      {"nginx plain", plain, {}, "", "", false, 0, ""},
      {"nginx TLS, untrusted", untrusted, {}, "", "", false, 12045, "Invalid Certification Authority."},
      {"nginx TLS, accepted by the retry", untrusted, {}, "SSLSecurityFlags=16", "", false, 0, ""},
      {"nginx Basic", "http://127.0.0.1:${TW_NGINX_PORT}${TW_NGINX_BASIC_PATH}", user, "", "",
       false, 0, ""},
      {"apache Digest", "http://127.0.0.1:${TW_APACHE_PORT}${TW_APACHE_DIGEST_PATH}", user, "", "",
       false, 0, ""},
      {"squid plain", plain, squid("PLAIN", false), "", "", false, 0, ""},
      {"squid CONNECT", untrusted, squid("PLAIN", false), "SSLSecurityFlags=16", "", false, 0, ""},
      {"squid Basic", plain, squid("BASIC", true), "", "", false, 0, ""},
      {"squid Basic refused", plain, squid("BASIC", false), "", "", false, 151, e407},
      {"squid CONNECT with Digest", untrusted, squid("DIGEST", true), "SSLSecurityFlags=16", "",
       false, 0, ""},
      {"squid NTLM", plain, squid("NTLM", true), "", "", false, 0, ""},
      {"preconfigured proxy without credentials", plain, {{p::ProxyServer, "*"}}, "",
       "127.0.0.1:${TW_SQUID_BASIC_PORT}", false, 151, e407},
      {"preconfigured proxy, *user*password", plain,
       {{p::ProxyServer, "*${TW_PROXY_USER}*${TW_PROXY_PASSWORD}"}}, "",
       "127.0.0.1:${TW_SQUID_BASIC_PORT}", false, 0, ""},
      {"preconfigured proxy with AutoConfigURL", plain, {{p::ProxyServer, "*"}}, "",
       "127.0.0.1:${TW_SQUID_PLAIN_PORT}", true, 12166, "Internet Bad Auto Proxy Script."},
  };
  const char* const key = REGSTR_PATH_INTERNET_SETTINGS;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto write = [&](const char* name, DWORD type, const std::string& bytes) {
      ASSERT_EQ(tw_test::writeRegistryValue(HKEY_CURRENT_USER, key, name, type, bytes), 0);
    };
    if (!r.registry.empty()) {
      write("ProxyEnable", REG_DWORD, std::string("\1\0\0\0", 4));
      write("ProxyServer", REG_SZ, expand(r.registry, env) + '\0');
    }
    if (r.autoConfig) write("AutoConfigURL", REG_SZ, std::string("http://127.0.0.1:1/p.pac") + '\0');
    tw_test::RecordingHttps https;
    https.Config("UseWinInet=true");
    https.SetInteger(p::Timeout, 10);
    if (!r.config.empty()) https.Config(r.config);
    for (const auto& [id, value] : r.props) {
      if (id == p::ProxyPort) {
        https.SetInteger(id, std::stoi(expand(value, env)));
      } else {
        https.SetText(id, expand(value, env).c_str());
      }
    }
    EXPECT_EQ(https.Get(expand(r.url, env).c_str()), r.code) << https.GetLastError();
    EXPECT_EQ(https.GetLastError(), r.text);
    if (r.code == 0) {
      EXPECT_NE(https.Config("TransferredData"), "");
    }
  }
}

}  // namespace
