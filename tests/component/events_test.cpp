// Event delivery to the wrapper's event functions: their arguments, in/out
// values, and the UTF-16 re-fire to the wide-text dispatcher when a handler
// answers -10000. Events are raised through the component object's delivery
// operations, as the layers raise them, or by a connect through the
// Connected property.
#include <algorithm>
#include <string>
#include <vector>

#include "httpclient/protocol/HttpComponent.h"
#include "platform/text.h"
#include "tests/support/component_fixture.h"
#include "tests/support/scripted_peer.h"

using velmora::network::component::componentFromHandle;

namespace {

using EventsTest = ComponentTest;

// The events as texts. Handlers answer -10000 for the ids in refire and,
// when acceptAnswer >= 0, write it into Accept (also of a wide event).
class RecordingHttps : public HTTPS {
 public:
  std::vector<std::string> log;
  std::vector<int> refire;
  int acceptAnswer = -1;

  int note(int id, const std::string& text) {
    log.push_back(text);
    return std::count(refire.begin(), refire.end(), id) ? https_event::RefireWide : 0;
  }
  std::string status(const char* event, int code, const char* text) {
    return std::string(event) + " " + std::to_string(code) + " " + text;
  }
  int FireConnected(HTTPSConnectedEventParams* e) override {
    return note(1, status("Connected", e->StatusCode, e->Description));
  }
  int FireConnectionStatus(HTTPSConnectionStatusEventParams* e) override {
    return note(2, status(e->ConnectionEvent, e->StatusCode, e->Description));
  }
  int FireDisconnected(HTTPSDisconnectedEventParams* e) override {
    return note(3, status("Disconnected", e->StatusCode, e->Description));
  }
  int FireHeader(HTTPSHeaderEventParams* e) override {
    EXPECT_EQ(e->reserved, 0);
    return note(6, std::string("Header ") + e->Field + ": " + e->Value);
  }
  int FireStatus(HTTPSStatusEventParams* e) override {
    return note(12, status(e->HTTPVersion, e->StatusCode, e->Description));
  }
  int FireStartTransfer(HTTPSStartTransferEventParams* e) override {
    return note(11, "StartTransfer " + std::to_string(e->Direction));
  }
  int FireTransfer(HTTPSTransferEventParams* e) override {
    return note(13, "Transfer " + std::to_string(e->Direction) + " " +
                        std::to_string(e->BytesTransferred) + " " +
                        std::to_string(e->PercentDone) + " " +
                        std::string(e->Text, static_cast<size_t>(e->lenText)));
  }
  int FireRedirect(HTTPSRedirectEventParams* e) override {
    if (acceptAnswer >= 0) e->Accept = acceptAnswer;
    return note(7, std::string("Redirect ") + e->Location);
  }
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override {
    if (acceptAnswer >= 0) e->Accept = acceptAnswer;
    return note(9, "Cert " + std::string(e->CertEncoded, static_cast<size_t>(e->lenCertEncoded)) +
                       " " + e->CertSubject + " " + e->Status);
  }
  // "Wide <id> <argc>" and the texts (as UTF-8) of the events refired here.
  int FireWideEvent(int id, int argc, void* argv[], int lengths[]) override {
    std::string text = "Wide " + std::to_string(id) + " " + std::to_string(argc);
    const std::vector<int> slots = id == 10006   ? std::vector{0, 1}
                                   : id == 10007 ? std::vector{0}
                                                 : std::vector{1, 2, 3};
    for (int slot : slots) {
      const auto* wide = static_cast<const char16_t*>(argv[slot]);
      text += "|" + tw_platform::utf16ToUtf8({wide, static_cast<size_t>(lengths[slot])});
    }
    if (acceptAnswer >= 0 && id != 10006) {
      argv[id == 10007 ? 1 : 4] = reinterpret_cast<void*>(static_cast<intptr_t>(acceptAnswer));
    }
    log.push_back(text);
    return 0;
  }
};

TEST_F(EventsTest, WrapperForwardsEventsToItsVirtualFunctions) {
  RecordingHttps https;
  https.refire = {https_event::Header};
  auto* c = componentFromHandle(https.handle());
  c->fireHeader("X", "\xC3\xA9t\xC3\xA9");
  const char body[] = "ab\0cd";
  c->fireTransfer(1, 5, 50, body, 5);
  EXPECT_TRUE(c->fireRedirect("http://127.0.0.1/x", true));
  EXPECT_EQ(c->fireSSLServerAuthentication(std::string("D\0R", 3), "CN=s", "CN=i", "OK", true),
            1);
  c->fireStatus("HTTP/1.1", 404, "Not Found");
  c->fireStartTransfer(1);
  c->fireError(1, "ignored by the base class");
  const std::vector<std::string> expected = {
      "Header X: \xC3\xA9t\xC3\xA9",
      "Wide 10006 2|X|\xC3\xA9t\xC3\xA9",
      std::string("Transfer 1 5 50 ab\0cd", 21),
      "Redirect http://127.0.0.1/x",
      std::string("Cert D\0R CN=s OK", 16),
      "HTTP/1.1 404 Not Found",
      "StartTransfer 1",
  };
  EXPECT_EQ(https.log, expected);
}

// The wide texts are converted from the code page.
TEST_F(EventsTest, HandlerAnsweringMinus10000GetsTheEventAgainInUtf16) {
  struct Case {
    int codePage;
    std::string field, value, wide;
  };
  const Case cases[] = {
      {0, "Content-Type", "text/html; charset=\xC3\xA9t\xC3\xA9",
       "Wide 10006 2|Content-Type|text/html; charset=\xC3\xA9t\xC3\xA9"},
      {28591, "X-Name", "caf\xE9", "Wide 10006 2|X-Name|caf\xC3\xA9"},
      {1252, "X-Euro", "\x80 5", "Wide 10006 2|X-Euro|\xE2\x82\xAC 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    RecordingHttps https;
    https.refire = {https_event::Header};
    https.Config("CodePage=" + std::to_string(c.codePage));
    componentFromHandle(https.handle())->fireHeader(c.field, c.value);
    EXPECT_EQ(https.log, (std::vector<std::string>{"Header " + c.field + ": " + c.value, c.wide}));
  }
}

// Without a callback nothing is delivered and Accept keeps its preset.
TEST_F(EventsTest, AcceptIsCopiedBackFromTheNarrowAndTheWideHandler) {
  struct Case {
    bool refire;
    int answer;
    bool preset;
    bool expected;
  };
  const Case cases[] = {
      {false, 1, false, true}, {false, 0, true, false}, {true, 1, false, true},
      {true, 0, true, false},  {false, -1, true, true}, {false, -1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.refire) + " " + std::to_string(c.answer));
    RecordingHttps https;
    https.acceptAnswer = c.answer;
    if (c.refire) https.refire = {https_event::Redirect, https_event::SSLServerAuthentication};
    auto* comp = componentFromHandle(https.handle());
    EXPECT_EQ(comp->fireRedirect("http://127.0.0.1/next", c.preset), c.expected);
    EXPECT_EQ(comp->fireSSLServerAuthentication("DER", "CN=a", "CN=b", "OK", c.preset) != 0,
              c.expected);
    EXPECT_EQ(https.log.size(), c.refire ? 4u : 2u);
  }
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  auto* c = componentFromHandle(g.h);
  c->fireHeader("A", "B");
  EXPECT_FALSE(c->fireRedirect("x", false));
  EXPECT_EQ(c->fireSSLServerAuthentication("", "", "", "", true), 1);
}

// Refused connects and the target checks are tested on the engine itself.
TEST_F(EventsTest, ConnectedPropertyConnectsAndDisconnectsPlainHttp) {
  tw_test::ScriptedPeer peer(tw_test::PeerScript{tw_test::PeerStep::waitFor("never", 3000)});
  RecordingHttps https;
  ASSERT_EQ(https.SetText(https_prop::URLScheme, "http"), 0);
  ASSERT_EQ(https.SetText(https_prop::URLServer, "127.0.0.1"), 0);
  ASSERT_EQ(https.SetInteger(https_prop::URLPort, peer.port()), 0);
  EXPECT_EQ(https.SetInteger(https_prop::Connected, 1), 0);
  EXPECT_EQ(https.GetInteger(https_prop::Connected), 1);
  EXPECT_EQ(https.DoEvents(), 0);
  EXPECT_NE(https.Config("SocketHandle"), "-1");
  EXPECT_EQ(https.GetText(https_prop::LocalHost), "127.0.0.1");
  EXPECT_EQ(https.SetInteger(https_prop::Connected, 0), 0);
  EXPECT_EQ(https.GetInteger(https_prop::Connected), 0);
  EXPECT_EQ(https.Config("SocketHandle"), "-1");
  EXPECT_EQ(https.log, (std::vector<std::string>{"Remote host connection complete. 0 OK",
                                                 "Connected 0 OK",
                                                 "Remote host disconnected. 0 OK",
                                                 "Disconnected 0 OK"}));
}

}  // namespace
