// Negotiate through the system security package against the Kerberos peers
// (tests/support/peers_kerberos.sh): the first token, judged by an apache
// that requires Negotiate, and the texts of the failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "httpclient/TessilonSSL_HTTPS.h"
#include "httpclient/auth/SspiContext.h"
#include "httpclient/transport/ComponentIds.h"
#include "httpclient/transport/SecurityLibrary.h"
#include "tests/support/process.h"
#include "tests/support/recording_https.h"
#include "tests/support/runs.h"

namespace {

namespace component = velmora::network::component;

// The status line of apache's answer to GET /gss/ with the token.
std::string statusLine(const std::string& port, const std::string& token) {
  std::string b64(4 * ((token.size() + 2) / 3) + 1, '\0');
  b64.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                             reinterpret_cast<const unsigned char*>(token.data()),
                             static_cast<int>(token.size())));
  const std::string request = "GET /gss/ HTTP/1.1\r\nHost: localhost\r\nAuthorization: Negotiate " +
                              b64 + "\r\nConnection: close\r\n\r\n";
  sockaddr_in a{
      AF_INET, htons(static_cast<uint16_t>(std::stoi(port))), {htonl(INADDR_LOOPBACK)}, {}};
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
      reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply.substr(0, reply.find("\r\n"));
}

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
  struct Row {
    const char* name;
    const char* config;  // the peers.env entry of the profile
    const char* package;
    std::string user, password, target, result;  // result: a status line or the error text
  };
  const Row rows[] = {
      {"right password", "TW_KRB5_CONFIG", "Negotiate", user, password, "HTTP/localhost", ok},
      {"default cache", "TW_KRB5_CONFIG", "negotiate", "", "", "HTTP/localhost", ok},
      {"wrong password", "TW_KRB5_CONFIG", "Negotiate", user, password + "x", "HTTP/localhost",
       "Could not acquire security credentials (0x8009030c): The logon attempt failed"},
      {"unknown service", "TW_KRB5_CONFIG", "Negotiate", user, password, "HTTP/nosuch",
       "Could not initialize security context (0x80090303): The specified target is unknown or "
       "unreachable"},
      {"KDC stopped", "TW_KRB5_CONFIG_NO_KDC", "Negotiate", user, password, "HTTP/localhost",
       "Could not acquire security credentials (0x80090311): No authority could be contacted "
       "for authentication."},
      {"KDC stopped, default cache", "TW_KRB5_CONFIG_NO_KDC", "Negotiate", "", "", "HTTP/nosuch",
       "Could not initialize security context (0x80090311): No authority could be contacted "
       "for authentication."},
      {"no such package", "TW_KRB5_CONFIG", "Kerberos", user, password, "HTTP/localhost",
       "Could not acquire security credentials (0x80090305): The requested security package "
       "does not exist"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    setenv("KRB5_CONFIG", env[row.config].c_str(), 1);
    component::SspiContext context;
    std::string token;
    const int result =
        context.start(row.package, row.user, row.password, row.target, nullptr, token);
    EXPECT_EQ(result == 0 ? statusLine(env["TW_APACHE_GSS_PORT"], token) : context.errorText(),
              row.result);
    EXPECT_EQ(result, row.result == ok ? 0 : 151);
    if (result == 0) {  // a server token that is none
      EXPECT_EQ(context.next("not a token", token), 151);
      EXPECT_EQ(context.errorText(), "Error consuming security token (0x80090304): The Local "
                                     "Security Authority cannot be contacted");
    }
  }
  // Through the component: the token goes out with the first GET, and a
  // failure to make one ends the method with its text.
  setenv("KRB5_CONFIG", env["TW_KRB5_CONFIG"].c_str(), 1);
  for (const std::string& pw : {password, password + "x"}) {
    tw_test::RecordingHttps http;
    http.SetInteger(https_prop::AuthScheme, 5);
    http.Config("UseSystemSSPI=true");
    http.SetText(https_prop::User, user.c_str());
    http.SetText(https_prop::Password, pw.c_str());
    const int result = http.Get(("http://localhost:" + env["TW_APACHE_GSS_PORT"] + "/gss/").c_str());
    EXPECT_EQ(result, pw == password ? 0 : 151) << http.GetLastError();
    EXPECT_EQ(http.GetText(https_prop::StatusLine), pw == password ? "HTTP/1.1 200 OK" : "");
  }
  TessilonSSL_HTTPS_StaticDestroy();
}

}  // namespace
