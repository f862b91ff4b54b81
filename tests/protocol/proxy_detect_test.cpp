// Proxy auto-detection from the current user's Internet Settings, seeded
// with tarnwick-reg in the test's own registry hive.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/protocol/http_fixture.h"

namespace {

const char* const kKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

class ProxyDetectTest : public ComponentTest {
 protected:
  void reg(const std::vector<std::string>& args) {
    std::string bin = std::string(std::getenv("TW_BINARY_DIR")) + "/tools/reg/tarnwick-reg";
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    tw_test::ProcessResult r = tw_test::runProcess(argv);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  void seed(const char* enable, const char* server) {
    if (enable != nullptr) {
      reg({"add", kKey, "--value", "ProxyEnable", "--type", "REG_DWORD", "--data", enable});
    }
    if (server != nullptr) reg({"add", kKey, "--value", "ProxyServer", "--data", server});
  }
};

struct Expect {
  std::string server;
  int port;
  int proxySsl;
  int firewallType;
};

Expect detect(RecordingHttps& h) {
  EXPECT_EQ(h.SetInteger(https_prop::ProxyAutoDetect, 1), 0);
  return {h.GetText(https_prop::ProxyServer), h.GetInteger(https_prop::ProxyPort),
          h.GetInteger(https_prop::ProxySSL), h.GetInteger(https_prop::FirewallType)};
}

void expectDetected(const Expect& got, const Expect& want) {
  EXPECT_EQ(got.server, want.server);
  EXPECT_EQ(got.port, want.port);
  EXPECT_EQ(got.proxySsl, want.proxySsl);
  EXPECT_EQ(got.firewallType, want.firewallType);
}

}  // namespace

TEST_F(ProxyDetectTest, OneProxyForEveryScheme) {
  seed("1", "proxy.test:3128");
  RecordingHttps https;  // the default scheme is https: a tunnel
  expectDetected(detect(https), {"proxy.test", 3128, 3, 1});
  RecordingHttps http;
  http.SetText(https_prop::URL, "http://site.test/");
  expectDetected(detect(http), {"proxy.test", 3128, 0, 0});
}

TEST_F(ProxyDetectTest, PerSchemeList) {
  seed("1", "ftp=f:21;http=hp:8080;https=sp:8443");
  RecordingHttps http;
  http.SetText(https_prop::URL, "http://site.test/");
  expectDetected(detect(http), {"hp", 8080, 0, 0});
  RecordingHttps https;
  https.SetText(https_prop::URL, "https://site.test/");
  expectDetected(detect(https), {"sp", 8443, 3, 1});
}

TEST_F(ProxyDetectTest, EntriesWithoutSchemeAndWithoutPort) {
  seed("1", "ftp=f:21;plainhost");
  RecordingHttps h;
  h.SetText(https_prop::URL, "http://site.test/");
  expectDetected(detect(h), {"plainhost", 80, 0, 0});  // the default port of the scheme
  seed(nullptr, "http=hp:0");
  RecordingHttps z;
  z.SetText(https_prop::URL, "http://site.test/");
  expectDetected(detect(z), {"hp", 80, 0, 0});  // port 0 keeps the default
}

TEST_F(ProxyDetectTest, NothingWhenDisabledMissingOrNotListed) {
  {
    RecordingHttps h;  // no key at all
    h.SetText(https_prop::ProxyServer, "before");
    expectDetected(detect(h), {"", 443, 0, 0});
  }
  seed("0", "proxy.test:3128");
  {
    RecordingHttps h;
    expectDetected(detect(h), {"", 443, 0, 0});
  }
  seed("1", "ftp=f:21");
  {
    RecordingHttps h;
    expectDetected(detect(h), {"", 443, 0, 0});
  }
  // Switching detection off clears the proxy again.
  seed("1", "proxy.test:3128");
  RecordingHttps h;
  expectDetected(detect(h), {"proxy.test", 3128, 3, 1});
  EXPECT_EQ(h.SetInteger(https_prop::ProxyAutoDetect, 0), 0);
  EXPECT_EQ(h.GetText(https_prop::ProxyServer), "");
  EXPECT_EQ(h.GetInteger(https_prop::ProxyAutoDetect), 0);
}
