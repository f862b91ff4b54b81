// Event delivery: the callback's arguments, in/out values, the UTF-16
// re-fire when a handler answers -10000, and the wrapper's routing to its
// event functions. Events are raised through the component object's delivery
// operations, as the layers raise them, or by a connect through the
// Connected property.
#include <string>
#include <vector>

#include "httpclient/protocol/HttpComponent.h"
#include "tests/support/component_fixture.h"
#include "tests/support/scripted_peer.h"

using velmora::network::component::componentFromHandle;

namespace {

using EventsTest = ComponentTest;

struct Recorded {
  int id;
  int argc;
  std::vector<std::string> narrow;   // texts of narrow events
  std::vector<std::u16string> wide;  // texts of wide events
};

struct Recorder {
  std::vector<Recorded> events;
  std::vector<int> refireIds;  // answer -10000 for these
  int acceptAnswer = -1;       // when >= 0, written into the Accept slot
};

// Slots holding texts, per event id.
std::vector<int> textSlots(int id) {
  switch (id) {
    case 1: case 3: case 5: return {1};
    case 2: return {0, 2};
    case 6: return {0, 1};
    case 7: return {0};
    case 8: return {0, 1, 2, 3, 4};
    case 9: return {1, 2, 3};
    case 10: return {0};
    case 12: return {0, 2};
    default: return {};
  }
}

int TESSILONSSL_CALL record(void* user, int eventId, int argc, void* argv[], int lengths[]) {
  Recorder* r = static_cast<Recorder*>(user);
  const bool wide = eventId > https_event::WideOffset;
  const int base = wide ? eventId - https_event::WideOffset : eventId;
  Recorded e{eventId, argc, {}, {}};
  for (int slot : textSlots(base)) {
    if (wide) {
      e.wide.emplace_back(static_cast<const char16_t*>(argv[slot]),
                          static_cast<size_t>(lengths[slot]));
    } else {
      e.narrow.emplace_back(static_cast<const char*>(argv[slot]));
    }
  }
  r->events.push_back(e);
  if (r->acceptAnswer >= 0 && (base == 7 || base == 9)) {
    argv[base == 7 ? 1 : 4] = reinterpret_cast<void*>(static_cast<intptr_t>(r->acceptAnswer));
  }
  for (int id : r->refireIds) {
    if (!wide && id == eventId) return https_event::RefireWide;
  }
  return 0;
}

TEST_F(EventsTest, HandlerAnsweringMinus10000GetsTheEventAgainInUtf16) {
  struct Case {
    const char* what;
    int codePage;
    std::string field, value;
    std::u16string wideField, wideValue;
  };
  const Case cases[] = {
      {"process code page", 0, "Content-Type", "text/html; charset=\xC3\xA9t\xC3\xA9",
       u"Content-Type", u"text/html; charset=\u00e9t\u00e9"},
      {"Latin-1", 28591, "X-Name", "caf\xE9", u"X-Name", u"caf\u00e9"},
      {"Windows-1252", 1252, "X-Euro", "\x80 5", u"X-Euro", u"\u20ac 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder rec;
    rec.refireIds = {https_event::Header};
    HandleGuard g(TessilonSSL_HTTPS_Create(&record, &rec));
    const std::string setting = "CodePage=" + std::to_string(c.codePage);
    void* argv[1] = {const_cast<char*>(setting.c_str())};
    ASSERT_EQ(TessilonSSL_HTTPS_Do(g.h, https_method::Config, 1, argv, nullptr), 0);
    componentFromHandle(g.h)->fireHeader(c.field, c.value);
    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[0].id, 6);
    EXPECT_EQ(rec.events[0].narrow, (std::vector<std::string>{c.field, c.value}));
    EXPECT_EQ(rec.events[1].id, 10006);
    EXPECT_EQ(rec.events[1].argc, 2);
    EXPECT_EQ(rec.events[1].wide, (std::vector<std::u16string>{c.wideField, c.wideValue}));
  }
}

TEST_F(EventsTest, OtherAnswersDoNotRefire) {
  Recorder rec;
  HandleGuard g(TessilonSSL_HTTPS_Create(&record, &rec));
  auto* c = componentFromHandle(g.h);
  c->fireHeader("A", "B");
  c->fireStatus("HTTP/1.1", 404, "Not Found");
  c->fireStartTransfer(1);
  ASSERT_EQ(rec.events.size(), 3u);
  EXPECT_EQ(rec.events[1].id, 12);
  EXPECT_EQ(rec.events[1].narrow, (std::vector<std::string>{"HTTP/1.1", "Not Found"}));
  EXPECT_EQ(rec.events[2].id, 11);
}

// Without a callback nothing is delivered and Accept keeps its preset.
TEST_F(EventsTest, AcceptIsCopiedBackFromTheNarrowAndTheWideHandler) {
  struct Case {
    bool callback;
    bool refire;
    int answer;
    bool preset;
    bool expected;
  };
  const Case cases[] = {
      {true, false, 1, false, true},  {true, false, 0, true, false},
      {true, true, 1, false, true},   {true, true, 0, true, false},
      {true, false, -1, true, true},  {true, false, -1, false, false},
      {false, false, 1, true, true},  {false, false, 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.callback) + std::to_string(c.refire) + std::to_string(c.answer));
    Recorder rec;
    rec.acceptAnswer = c.answer;
    if (c.refire) rec.refireIds = {https_event::Redirect, https_event::SSLServerAuthentication};
    HandleGuard g(TessilonSSL_HTTPS_Create(c.callback ? &record : nullptr, &rec));
    auto* comp = componentFromHandle(g.h);
    comp->fireHeader("A", "B");
    EXPECT_EQ(comp->fireRedirect("http://127.0.0.1/next", c.preset), c.expected);
    EXPECT_EQ(comp->fireSSLServerAuthentication("DER", "CN=a", "CN=b", "OK", c.preset) != 0,
              c.expected);
    EXPECT_EQ(rec.events.size(), c.callback ? (c.refire ? 5u : 3u) : 0u);
  }
}

// The wrapper routes ids 1..13 to its event functions and ids above 10000 to
// its wide-text dispatcher.
class RecordingHttps : public HTTPS {
 public:
  std::vector<std::string> log;
  void note(const std::string& event, int code, const char* text) {
    log.push_back(event + " " + std::to_string(code) + " " + text);
  }
  int FireConnected(HTTPSConnectedEventParams* e) override {
    note("Connected", e->StatusCode, e->Description);
    return 0;
  }
  int FireConnectionStatus(HTTPSConnectionStatusEventParams* e) override {
    note(std::string("ConnectionStatus ") + e->ConnectionEvent, e->StatusCode, e->Description);
    return 0;
  }
  int FireDisconnected(HTTPSDisconnectedEventParams* e) override {
    note("Disconnected", e->StatusCode, e->Description);
    return 0;
  }
  int FireHeader(HTTPSHeaderEventParams* e) override {
    log.push_back(std::string("Header ") + e->Field + ": " + e->Value);
    EXPECT_EQ(e->reserved, 0);
    return https_event::RefireWide;
  }
  int FireTransfer(HTTPSTransferEventParams* e) override {
    log.push_back("Transfer " + std::to_string(e->Direction) + " " +
                  std::to_string(e->BytesTransferred) + " " + std::to_string(e->PercentDone) +
                  " " + std::string(e->Text, static_cast<size_t>(e->lenText)));
    return 0;
  }
  int FireRedirect(HTTPSRedirectEventParams* e) override {
    log.push_back(std::string("Redirect ") + e->Location);
    e->Accept = 1;
    return 0;
  }
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override {
    log.push_back("Cert " + std::string(e->CertEncoded, static_cast<size_t>(e->lenCertEncoded)) +
                  " " + e->CertSubject + " " + e->Status);
    e->Accept = 1;
    return 0;
  }
  int FireWideEvent(int eventId, int argc, void* argv[], int lengths[]) override {
    std::u16string v(static_cast<const char16_t*>(argv[1]), static_cast<size_t>(lengths[1]));
    log.push_back("Wide " + std::to_string(eventId) + " " + std::to_string(argc) + " " +
                  std::to_string(v == u"\u00e9t\u00e9"));
    return 0;
  }
};

TEST_F(EventsTest, WrapperForwardsEventsToItsVirtualFunctions) {
  RecordingHttps https;
  auto* c = componentFromHandle(https.handle());
  c->fireHeader("X", "\xC3\xA9t\xC3\xA9");
  const char body[] = "ab\0cd";
  c->fireTransfer(1, 5, 50, body, 5);
  EXPECT_TRUE(c->fireRedirect("http://127.0.0.1/x", false));
  EXPECT_EQ(c->fireSSLServerAuthentication(std::string("D\0R", 3), "CN=s", "CN=i", "OK", false),
            1);
  c->fireError(1, "ignored by the base class");
  const std::vector<std::string> expected = {
      "Header X: \xC3\xA9t\xC3\xA9",
      "Wide 10006 2 1",
      std::string("Transfer 1 5 50 ab\0cd", 21),
      "Redirect http://127.0.0.1/x",
      std::string("Cert D\0R CN=s OK", 16),
  };
  EXPECT_EQ(https.log, expected);
}

// The Connected property connects and disconnects plain HTTP with its events;
// refused connects and the target checks are tested on the engine itself.
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
  EXPECT_EQ(https.log, (std::vector<std::string>{
                           "ConnectionStatus Remote host connection complete. 0 OK",
                           "Connected 0 OK",
                           "ConnectionStatus Remote host disconnected. 0 OK",
                           "Disconnected 0 OK"}));
}

}  // namespace
