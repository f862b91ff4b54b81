// Event delivery: the callback's arguments, in/out values, and the UTF-16
// re-fire when a handler answers -10000. Events are raised through the
// component object's delivery operations, as the layers raise them.
#include <string>
#include <vector>

#include "httpclient/protocol/HttpComponent.h"
#include "tests/support/component_fixture.h"

using velmora::network::component::componentFromHandle;

namespace {

class EventsTest : public ComponentTest {};

struct Recorded {
  int id;
  int argc;
  std::vector<std::string> narrow;  // texts of narrow events
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
  Recorded e{eventId, argc, {}, {}};
  bool wide = eventId > 10000;
  for (int slot : textSlots(wide ? eventId - 10000 : eventId)) {
    if (wide) {
      e.wide.emplace_back(static_cast<const char16_t*>(argv[slot]),
                          static_cast<size_t>(lengths[slot]));
    } else {
      e.narrow.emplace_back(static_cast<const char*>(argv[slot]));
    }
  }
  r->events.push_back(e);
  int base = wide ? eventId - 10000 : eventId;
  if (r->acceptAnswer >= 0 && (base == 7 || base == 9)) {
    argv[base == 7 ? 1 : 4] = reinterpret_cast<void*>(static_cast<intptr_t>(r->acceptAnswer));
  }
  if (!wide) {
    for (int id : r->refireIds) {
      if (id == eventId) return https_event::RefireWide;
    }
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
  const std::vector<Case> cases = {
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
    ASSERT_EQ(config(g.h, "CodePage=" + std::to_string(c.codePage)), 0);
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

TEST_F(EventsTest, AcceptIsCopiedBackFromTheNarrowAndTheWideHandler) {
  struct Case {
    bool refire;
    int answer;
    bool preset;
    bool expected;
  };
  const std::vector<Case> cases = {
      {false, 1, false, true}, {false, 0, true, false}, {true, 1, false, true},
      {true, 0, true, false},  {false, -1, true, true}, {false, -1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.refire) + " " + std::to_string(c.answer));
    Recorder rec;
    rec.acceptAnswer = c.answer;
    if (c.refire) rec.refireIds = {https_event::Redirect, https_event::SSLServerAuthentication};
    HandleGuard g(TessilonSSL_HTTPS_Create(&record, &rec));
    auto* comp = componentFromHandle(g.h);
    EXPECT_EQ(comp->fireRedirect("http://127.0.0.1/next", c.preset), c.expected);
    EXPECT_EQ(comp->fireSSLServerAuthentication("DER", "CN=a", "CN=b", "OK", c.preset) != 0,
              c.expected);
    EXPECT_EQ(rec.events.size(), c.refire ? 4u : 2u);
  }
}

TEST_F(EventsTest, NoCallbackMeansNoDelivery) {
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  auto* c = componentFromHandle(g.h);
  c->fireHeader("A", "B");
  EXPECT_FALSE(c->fireRedirect("x", false));
  EXPECT_EQ(c->fireSSLServerAuthentication("", "", "", "", true), 1);
}

// The wrapper routes ids 1..13 to its event functions and ids above 10000 to
// its wide-text dispatcher.
class RecordingHttps : public HTTPS {
 public:
  std::vector<std::string> log;
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

}  // namespace
