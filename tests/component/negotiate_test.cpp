// Negotiate through the system security package against the Kerberos peers
// (tests/support/peers_kerberos.sh): the first token, judged by an apache
// that requires Negotiate, and the texts of the failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "httpclient/TessilonSSL_HTTPS.h"
#include "httpclient/auth/SspiContext.h"
#include "httpclient/transport/ComponentIds.h"
#include "tests/support/process.h"
#include "tests/support/recording_https.h"
#include "tests/support/runs.h"

namespace {

namespace component = velmora::network::component;

TEST(Negotiate, TokensAndFailuresAgainstTheKdc) {
  auto env = tw_test::readPeersEnv();
  if (env.count("TW_KRB5_CONFIG") == 0 || env.count("TW_APACHE_GSS_PORT") == 0) {
    GTEST_SKIP() << "no KDC or Negotiate server (krb5-kdc, krb5-admin-server, apache2, "
                    "libapache2-mod-auth-gssapi)";
  }
  tw_test::TempDir dir;
  const std::string cache = "FILE:" + dir.file("ccache"), ok = "HTTP/1.1 200 OK";
  const std::string user = env["TW_KRB_REALM"] + "\\" + env["TW_KRB_USER"];
  const std::string password = env["TW_KRB_PASSWORD"];
  // The default credentials: a ticket kinit left in this test's cache.
  tw_test::ProcessOptions kinit;
  kinit.env = {{"KRB5_CONFIG", env["TW_KRB5_CONFIG"]},
               {"KRB5CCNAME", cache},
               {"PW", password},
               {"KRB_USER", env["TW_KRB_USER"]}};
  auto r = tw_test::runProcess({"/bin/sh", "-c", "echo \"$PW\" | kinit \"$KRB_USER\""}, kinit);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  setenv("KRB5CCNAME", cache.c_str(), 1);
  TessilonSSL_HTTPS_StaticInit(nullptr);
  // Through the component (KerberosSPN names the target): apache's status
  // line, or the method's failure text.
  struct Row {
    const char* name;
    const char* config;  // the peers.env entry of the profile
    std::string user, password, target, result;
  };
  const Row rows[] = {
      {"right password", "TW_KRB5_CONFIG", user, password, "HTTP/localhost", ok},
      {"default cache", "TW_KRB5_CONFIG", "", "", "HTTP/localhost", ok},
      {"wrong password", "TW_KRB5_CONFIG", user, password + "x", "HTTP/localhost",
       "Could not acquire security credentials (0x8009030c): The logon attempt failed"},
      {"unknown service", "TW_KRB5_CONFIG", user, password, "HTTP/nosuch",
       "Could not initialize security context (0x80090303): The specified target is unknown or "
       "unreachable"},
      {"KDC stopped", "TW_KRB5_CONFIG_NO_KDC", user, password, "HTTP/localhost",
       "Could not acquire security credentials (0x80090311): No authority could be contacted "
       "for authentication."},
      {"KDC stopped, default cache", "TW_KRB5_CONFIG_NO_KDC", "", "", "HTTP/nosuch",
       "Could not initialize security context (0x80090311): No authority could be contacted "
       "for authentication."},
  };
  const std::string url = "http://localhost:" + env["TW_APACHE_GSS_PORT"] + "/gss/";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    setenv("KRB5_CONFIG", env[row.config].c_str(), 1);
    tw_test::RecordingHttps http;
    http.SetInteger(https_prop::AuthScheme, 5);
    http.Config("UseSystemSSPI=true");
    http.Config("KerberosSPN=" + row.target);
    http.SetText(https_prop::User, row.user.c_str());
    http.SetText(https_prop::Password, row.password.c_str());
    const int result = http.Get(url.c_str());
    EXPECT_EQ(result, row.result == ok ? 0 : 151);
    EXPECT_EQ(result == 0 ? http.GetText(https_prop::StatusLine) : http.GetLastError(), row.result);
  }
  // The package alone: a name it does not have, and a server token that is none.
  setenv("KRB5_CONFIG", env["TW_KRB5_CONFIG"].c_str(), 1);
  component::SspiContext context;
  std::string token;
  EXPECT_EQ(context.start("Kerberos", user, password, "HTTP/localhost", nullptr, token), 151);
  EXPECT_EQ(context.errorText(), "Could not acquire security credentials (0x80090305): The "
                                 "requested security package does not exist");
  ASSERT_EQ(context.start("negotiate", user, password, "HTTP/localhost", nullptr, token), 0);
  EXPECT_EQ(context.next("not a token", token), 151);
  EXPECT_EQ(context.errorText(), "Error consuming security token (0x80090304): The Local "
                                 "Security Authority cannot be contacted");
  TessilonSSL_HTTPS_StaticDestroy();
}

}  // namespace
