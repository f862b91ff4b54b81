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

// One step: what is written to the Internet Settings (nullptr leaves a value
// as it is), the URL of a fresh component ("" keeps the https default), and
// what detection gives. The hive is shared: the first list starts without
// the key, every later list writes both values in its first step.
struct Step {
  const char* enable = nullptr;
  const char* server = nullptr;
  const char* url = "";
  Expect want;
};

}  // namespace

TEST_F(ProxyDetectTest, DetectedProxyForEachSettingAndScheme) {
  const std::vector<std::vector<Step>> lists = {
      // Nothing: no key, detection disabled, no entry for the scheme.
      {{.want = {"", 443, 0, 0}},
       {.enable = "0", .server = "proxy.test:3128", .want = {"", 443, 0, 0}},
       {.enable = "1", .server = "ftp=f:21", .want = {"", 443, 0, 0}}},
      // One proxy for every scheme: https through a tunnel, http directly.
      {{.enable = "1", .server = "proxy.test:3128", .want = {"proxy.test", 3128, 3, 1}},
       {.url = "http://site.test/", .want = {"proxy.test", 3128, 0, 0}}},
      // A list per scheme.
      {{.enable = "1", .server = "ftp=f:21;http=hp:8080;https=sp:8443",
        .url = "http://site.test/", .want = {"hp", 8080, 0, 0}},
       {.url = "https://site.test/", .want = {"sp", 8443, 3, 1}}},
      // An entry without scheme, one without port; port 0 keeps the scheme's default.
      {{.enable = "1", .server = "ftp=f:21;plainhost", .url = "http://site.test/",
        .want = {"plainhost", 80, 0, 0}},
       {.server = "http=hp:0", .url = "http://site.test/", .want = {"hp", 80, 0, 0}}},
  };
  for (size_t l = 0; l < lists.size(); ++l) {
    for (size_t i = 0; i < lists[l].size(); ++i) {
      const Step& step = lists[l][i];
      SCOPED_TRACE("list " + std::to_string(l) + " step " + std::to_string(i));
      seed(step.enable, step.server);
      RecordingHttps h;
      h.SetText(https_prop::ProxyServer, "before");
      if (*step.url != '\0') h.SetText(https_prop::URL, step.url);
      ASSERT_EQ(h.SetInteger(https_prop::ProxyAutoDetect, 1), 0);
      EXPECT_EQ(h.GetText(https_prop::ProxyServer), step.want.server);
      EXPECT_EQ(h.GetInteger(https_prop::ProxyPort), step.want.port);
      EXPECT_EQ(h.GetInteger(https_prop::ProxySSL), step.want.proxySsl);
      EXPECT_EQ(h.GetInteger(https_prop::FirewallType), step.want.firewallType);
    }
  }
}

// Switching detection off clears the detected proxy again.
TEST_F(ProxyDetectTest, SwitchingDetectionOffClearsTheProxy) {
  seed("1", "proxy.test:3128");
  RecordingHttps h;
  ASSERT_EQ(h.SetInteger(https_prop::ProxyAutoDetect, 1), 0);
  EXPECT_EQ(h.GetText(https_prop::ProxyServer), "proxy.test");
  EXPECT_EQ(h.SetInteger(https_prop::ProxyAutoDetect, 0), 0);
  EXPECT_EQ(h.GetText(https_prop::ProxyServer), "");
  EXPECT_EQ(h.GetInteger(https_prop::ProxyAutoDetect), 0);
}
