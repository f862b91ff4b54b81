// The socket engine through the flat interface: the Connected property with
// its events and DoEvents. Refused connects and the target checks are tested
// on the engine itself.
#include <string>
#include <vector>

#include "httpclient/TessilonSSL_HTTPS.h"
#include "tests/support/component_fixture.h"
#include "tests/support/scripted_peer.h"

namespace {

using tw_test::PeerStep;
using tw_test::ScriptedPeer;

class EngineComponentTest : public ComponentTest {};

struct Log {
  std::vector<std::string> lines;
};

int TESSILONSSL_CALL logEvent(void* user, int id, int, void* argv[], int*) {
  auto* log = static_cast<Log*>(user);
  auto num = [&](int i) { return std::to_string(reinterpret_cast<intptr_t>(argv[i])); };
  auto text = [&](int i) { return std::string(static_cast<const char*>(argv[i])); };
  switch (id) {
    case https_event::Connected: log->lines.push_back("Connected " + num(0) + " " + text(1)); break;
    case https_event::Disconnected:
      log->lines.push_back("Disconnected " + num(0) + " " + text(1));
      break;
    case https_event::ConnectionStatus:
      log->lines.push_back("ConnectionStatus " + text(0) + " " + num(1) + " " + text(2));
      break;
    default: break;
  }
  return 0;
}

void pointAt(void* h, const std::string& scheme, const std::string& host, int port) {
  ASSERT_EQ(setText(h, https_prop::URLScheme, scheme.c_str()), 0);
  ASSERT_EQ(setText(h, https_prop::URLServer, host.c_str()), 0);
  ASSERT_EQ(setInt(h, https_prop::URLPort, port), 0);
}

TEST_F(EngineComponentTest, ConnectedPropertyConnectsAndDisconnectsPlainHttp) {
  ScriptedPeer peer(tw_test::PeerScript{PeerStep::waitFor("never", 3000)});
  Log log;
  HandleGuard g(TessilonSSL_HTTPS_Create(logEvent, &log));
  pointAt(g.h, "http", "127.0.0.1", peer.port());
  EXPECT_EQ(setInt(g.h, https_prop::Connected, 1), 0);
  EXPECT_EQ(getInt(g.h, https_prop::Connected), 1);
  EXPECT_EQ(TessilonSSL_HTTPS_Do(g.h, https_method::DoEvents, 0, nullptr, nullptr), 0);
  EXPECT_NE(query(g.h, "SocketHandle"), "-1");
  EXPECT_EQ(getText(g.h, https_prop::LocalHost), "127.0.0.1");
  EXPECT_EQ(setInt(g.h, https_prop::Connected, 0), 0);
  EXPECT_EQ(getInt(g.h, https_prop::Connected), 0);
  EXPECT_EQ(query(g.h, "SocketHandle"), "-1");
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "ConnectionStatus Remote host connection complete. 0 OK",
                           "Connected 0 OK",
                           "ConnectionStatus Remote host disconnected. 0 OK",
                           "Disconnected 0 OK"}));
}

}  // namespace
