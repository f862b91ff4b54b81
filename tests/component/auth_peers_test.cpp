// Authentication against the real peers: apache asking Digest, and squid
// asking Basic, Digest or NTLM of an http:// page it
// passes on. Each case's requests are found in the peer's access log by a
// query tag: their statuses, and for squid the client port of each.
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/component_fixture.h"
#include "tests/support/recording_https.h"
#include "tests/support/runs.h"

namespace {

namespace p = https_prop;

TEST_F(ComponentTest, SchemesAgainstRealServersAndProxies) {
  auto env = tw_test::readPeersEnv();
  ASSERT_FALSE(env.empty()) << "the peers fixture did not start";
  const std::string user = env["TW_HTTP_USER"], right = env["TW_HTTP_PASSWORD"];
  const std::string e401 = "HTTP protocol error. 401 Unauthorized.",
                    e407 = "HTTP protocol error. 407 Proxy Authentication Required.";
  const char *basic = "TW_SQUID_BASIC_PORT", *digest = "TW_SQUID_DIGEST_PORT";
  struct Row {
    const char* peer;  // its folder under TW_PEERS_DIR
    const char* proxyPort;  // the peers.env key of the proxy's port (nullptr: none)
    int scheme;
    std::string user, password, error{};  // error "": the page arrives
    std::vector<std::string> statuses;  // " new": on another connection than the first request
  };
  // Basic to nginx (right, wrong, a UTF-8 password) and the right Basic
  // password to squid: the end-to-end credentials test, through the fetcher.
  const Row rows[] = {
      {"apache", nullptr, https_auth::Digest, user, right, "", {"401", "200"}},
      {"apache", nullptr, https_auth::Digest, user, "wrong", e401, {"401", "401"}},
      {"squid-basic", basic, https_auth::Basic, user, "wrong", e407, {"407"}},
      {"squid-digest", digest, https_auth::Digest, user, right, "", {"407", "200 new"}},
      {"squid-digest", digest, https_auth::Digest, user, "wrong", e407, {"407", "407 new"}},
      // The type 1 and type 3 messages on one connection.
      {"squid-ntlm", "TW_SQUID_NTLM_PORT", https_auth::NTLM, user, right, "", {"407", "200"}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    // Unique per run: the peers may outlive one.
    const std::string tag = "auth" + std::to_string(getpid()) + "-" + std::to_string(i);
    const std::string peer = r.peer;
    SCOPED_TRACE(peer + " " + tag);
    tw_test::RecordingHttps http;
    http.SetInteger(p::Timeout, 10);
    std::string url = "http://127.0.0.1:" + env["TW_NGINX_PORT"] + "/plain.html?" + tag;
    if (peer == "apache") url = "http://127.0.0.1:" + env["TW_APACHE_PORT"] + "/digest/?" + tag;
    const bool proxy = r.proxyPort != nullptr;
    http.SetInteger(proxy ? p::ProxyAuthScheme : p::AuthScheme, r.scheme);
    http.SetText(proxy ? p::ProxyUser : p::User, r.user.c_str());
    http.SetText(proxy ? p::ProxyPassword : p::Password, r.password.c_str());
    if (proxy) {
      http.SetText(p::ProxyServer, "127.0.0.1");
      http.SetInteger(p::ProxyPort, std::stoi(env[r.proxyPort]));
    }
    EXPECT_EQ(http.Get(url.c_str()), r.error.empty() ? 0 : 151) << http.GetLastError();
    EXPECT_EQ(http.GetLastError(), r.error);
    std::vector<std::string> got =
        tw_test::loggedGets(env["TW_PEERS_DIR"] + "/" + peer + "/access.log", tag, r.statuses.size());
    const std::string first = got.empty() ? "" : got[0].substr(3);
    for (std::string& g : got) g = g.substr(0, 3) + (g.substr(3) == first ? "" : " new");
    EXPECT_EQ(got, r.statuses);
  }
}

}  // namespace
