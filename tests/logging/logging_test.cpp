// The logger: insertion strings, event types, one message per event, the
// lock that keeps a message together, failures of the event log (every test
// here writes with a syslog socket nobody listens on), the registration of
// the event source in the machine hive; the message table the executables
// carry, and the formatting rules.
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "logging/Logging.h"
#include "platform/errors.h"
#include "platform/message_table.h"
#include "tests/logging/support.h"
#include "tests/support/message_texts.h"
#include "tests/support/registry_env.h"
#include "winsupport/CRegistry.h"

using velmora::logging::Logging;
using tw_logging_test::storedEvents;
using tw_logging_test::u8;

namespace {

class LoggingTest : public tw_logging_test::StateDirTest {};

using Strings = std::vector<std::string>;

// Insertion strings as added, and as the stored event carries them, and the
// event type of each level; one logger writes every case, so each event
// starts a new message. Narrow text is widened byte by byte with sign
// extension, as the source name shows.
TEST_F(LoggingTest, InsertionStringsAndLevels) {
  Strings upTo31;
  for (int i = 1; i <= 31; ++i) upTo31.push_back(std::to_string(i));
  Strings upTo32 = upTo31, lastReplaced = upTo31;
  upTo32.push_back("32");
  lastReplaced.push_back("last");
  struct Case {
    const char* name;
    std::function<void(Logging&)> add;
    Strings expected;
    uint16_t level;
    WORD type;
  };
  const Case cases[] = {
      {"none: one empty string", [](Logging&) {}, {""}, 0, EVENTLOG_INFORMATION_TYPE},
      {"gaps below the highest index are empty",
       [](Logging& log) {
         log.addString("first", 1);
         log.addString("third", 3);
       },
       {"first", "", "third"}, 1, EVENTLOG_WARNING_TYPE},
      // An explicit index replaces nothing and moves the next one after it.
      {"appending continues after an explicit index",
       [](Logging& log) {
         log.addString("five", 5);
         log.addString("six");
         log.addNumber(-42);
         log.addString("two", 2);
         log.addString("three");
       },
       {"", "two", "three", "", "five", "six", "-42"}, 2, EVENTLOG_ERROR_TYPE},
      {"indexes outside 1 to 32 are ignored",
       [](Logging& log) {
         log.addString("zero", 0);
         log.addString("thirty-three", 33);
         log.addString("first");
       },
       {"first"}, 3, EVENTLOG_AUDIT_FAILURE},
      {"the 33rd appended string is dropped",
       [](Logging& log) {
         for (int i = 1; i <= 33; ++i) log.addNumber(i);
       },
       upTo32, 4, EVENTLOG_AUDIT_SUCCESS},
      {"the last slot is still replaced after a drop",
       [](Logging& log) {
         for (int i = 1; i <= 34; ++i) log.addNumber(i);
         log.addString("last", 32);
       },
       lastReplaced, 5, EVENTLOG_WARNING_TYPE},
      {"narrow bytes", [](Logging& log) { log.addString("a\xFC" "b"); }, {"a\uFFFCb"}, 0xFFFF,
       EVENTLOG_WARNING_TYPE},
  };
  Logging log("Harr\xE9", 2);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    cases[i].add(log);
    ASSERT_TRUE(log.writeEvent(1, 1003, cases[i].level));
    auto events = storedEvents();
    ASSERT_EQ(events.size(), i + 1);
    EXPECT_EQ(u8(events[i].strings), cases[i].expected);
    EXPECT_EQ(events[i].type, cases[i].type);
    EXPECT_EQ(events[i].source, (std::u16string{u'H', u'a', u'r', u'r', 0xFFE9}));
    EXPECT_EQ(events[i].category, 1);
    EXPECT_EQ(events[i].eventId, 1003u);
    EXPECT_TRUE(events[i].data.empty());
  }
}

TEST_F(LoggingTest, FailedOpenReturnsFalseDropsTheMessageAndFreesTheLock) {
  Logging log("Harrowlights", 2);
  const std::string good = root();
  tw_test::writeFile(root() + "/plainfile", "x");
  // The store cannot be created below a plain file.
  ::setenv("TARNWICK_ROOT", (root() + "/plainfile/sub").c_str(), 1);
  log.addString("lost");
  EXPECT_FALSE(log.writeEvent(1, 1000, 2));
  ::setenv("TARNWICK_ROOT", good.c_str(), 1);

  // Another thread must be able to write now: the failed event left no lock
  // level behind.
  auto other = std::async(std::launch::async, [&] {
    log.addString("kept");
    return log.writeEvent(1, 1003, 0);
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(other.get());
  ASSERT_EQ(storedEvents().size(), 1u);
  EXPECT_EQ(u8(storedEvents()[0].strings), Strings{"kept"});
}

TEST_F(LoggingTest, MessagesOfConcurrentThreadsDoNotMix) {
  Logging log("Harrowlights", 2);
  constexpr int kThreads = 4;
  constexpr int kEvents = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEvents; ++i) {
        log.addString("thread" + std::to_string(t));
        std::this_thread::yield();
        log.addNumber(i);
        log.writeEvent(1, 1000 + static_cast<uint32_t>(t), 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto events = storedEvents();
  ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kEvents));
  std::vector<int> next(kThreads, 0);
  for (const auto& e : events) {
    const int t = static_cast<int>(e.eventId) - 1000;
    ASSERT_TRUE(t >= 0 && t < kThreads) << t;
    ASSERT_EQ(u8(e.strings), (Strings{"thread" + std::to_string(t), std::to_string(next[t])}));
    ++next[t];
  }
}

// --- registration of the event source ----------------------------------------------------

const std::string kEventlog = "SYSTEM\\CurrentControlSet\\Services\\Eventlog";

bool keyExists(const std::string& key) {
  return CRegistry(HKEY_LOCAL_MACHINE).keyExists(key.c_str()) != 0;
}
// A value's type and raw data ("<none>" when missing).
std::pair<DWORD, std::string> value(const std::string& key, const char* name) {
  DWORD type = 0;
  std::string data = tw_test::registryValue(HKEY_LOCAL_MACHINE, key, name, &type);
  return {type, data};
}
void createKey(const std::string& key) {
  CRegistry reg(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.createKey(key.c_str())) << reg.lastErrorText;
}

class RegistrationTest : public LoggingTest {};

TEST_F(RegistrationTest, RegistersUnderApplicationWithThisExecutableAsMessageFile) {
  Logging log("Harrowlights", 2);
  log.ensureEventSource(2);
  const std::string key = kEventlog + "\\Application\\Harrowlights";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string() + '\0';
  const std::pair<DWORD, std::string> two(REG_DWORD, std::string("\2\0\0\0", 4));
  EXPECT_EQ(value(key, "EventMessageFile"), std::pair(DWORD(REG_SZ), self));
  EXPECT_EQ(value(key, "CategoryMessageFile"), std::pair(DWORD(REG_SZ), self));
  EXPECT_EQ(value(key, "CategoryCount"), two);

  // A second call finds it and writes nothing: a changed value survives.
  ASSERT_TRUE(CRegistry(HKEY_LOCAL_MACHINE).writeString(key.c_str(), "EventMessageFile", "/x"));
  log.ensureEventSource(5);
  EXPECT_EQ(value(key, "EventMessageFile").second, std::string("/x", 3));
  EXPECT_EQ(value(key, "CategoryCount"), two);
}

// A source known under another log is not registered anew (key names ignore
// case), but only the first 32 logs in enumeration order are searched: the
// source sits under the last of 32 or 33 logs.
TEST_F(RegistrationTest, OnlyTheFirstThirtyTwoLogsAreSearched) {
  for (int logs : {32, 33}) {
    SCOPED_TRACE(logs);
    for (int i = 0; i < logs; ++i) {
      createKey(kEventlog + (i < 10 ? "\\Log0" : "\\Log") + std::to_string(i));
    }
    const std::string known = kEventlog + "\\Log" + std::to_string(logs - 1) + "\\harrowlights";
    createKey(known);
    Logging log("Harrowlights", 2);
    log.ensureEventSource(2);
    EXPECT_EQ(keyExists(kEventlog + "\\Application\\Harrowlights"), logs == 33);
    EXPECT_EQ(value(known, "EventMessageFile").second, "<none>");
    ASSERT_TRUE(CRegistry(HKEY_LOCAL_MACHINE).deleteKeyTree(kEventlog.c_str()));
  }
}

// --- the message table --------------------------------------------------------------------

TEST(MessageTable, ProgramCarriesExactlyTheEnglishAndGermanTextsAndFormatsThem) {
  tw_platform::MessageTable table;
  const std::u16string exe = tw_platform::utf8ToUtf16(tw_test::programPath("TARNWICK_BIN"));
  ASSERT_TRUE(tw_platform::loadModuleMessageTable(exe, table)) << GetLastError();
  ASSERT_EQ(table.size(), 2u);
  for (WORD lang : {WORD{0x409}, WORD{0x407}}) {
    ASSERT_EQ(table[lang].size(), std::size(tw_test::kMessageTexts));
    for (const tw_test::MessageText& e : tw_test::kMessageTexts) {
      const std::string want = std::string(lang == 0x409 ? e.english : e.german) + "\r\n";
      EXPECT_EQ(u8(table[lang][e.id]), want) << e.id << " " << lang;
    }
  }
  // Formatted with inserts, tabs and line breaks; language 0 takes any.
  std::u16string out;
  ASSERT_TRUE(tw_platform::formatTableMessage(table, 1102, 0x407, {u"kein Netz"}, out));
  EXPECT_EQ(u8(out), "Verbindung:\tFEHLER\r\nFehlerursache:\tkein Netz\r\n\r\n");
  ASSERT_TRUE(tw_platform::formatTableMessage(table, 2, 0, {}, out));
  EXPECT_EQ(u8(out), "Kestrelby\r\n");
}

TEST(MessageFormatting, EscapesFollowTheMessageRules) {
  std::vector<std::u16string> inserts;
  for (int i = 1; i <= 12; ++i) inserts.push_back(u"s" + tw_platform::utf8ToUtf16(std::to_string(i)));
  EXPECT_EQ(u8(tw_platform::expandMessage(u"%12|%1%2|%123", inserts)), "s12|s1s2|s123");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"a%tb%nc%rd", {})), "a\tb\r\nc\rd");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"100%% %. %! % x", {})), "100% . !  x");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"%1!s! and %2!d!", {u"one", u"two"})), "one and two");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"cut%0 here\r\n", {})), "cut");
  // A missing insertion string leaves its escape; an inserted string is not
  // read again for escapes.
  EXPECT_EQ(u8(tw_platform::expandMessage(u"%1 %3", {u"%2", u"x"})), "%2 %3");
  EXPECT_EQ(u8(tw_platform::expandMessage(u"end%", {})), "end%");
}

TEST(MessageTableData, RoundTripsAndRejectsDamagedData) {
  tw_platform::MessageTable table;
  table[0x409] = {{1, u"a\r\n"}, {2, u"bb\r\n"}, {5, u"ccc\r\n"}, {0xFFFFFFFF, u"\r\n"}};
  table[0x407] = {{7, u"\u00e4\r\n"}};
  const std::vector<BYTE> blob = tw_platform::serializeMessageTable(table);
  tw_platform::MessageTable back;
  ASSERT_TRUE(tw_platform::parseMessageTable(blob, back));
  EXPECT_EQ(back, table);

  // Every cut of the data and every flipped offset byte is refused or read
  // within bounds (the sanitizers catch an overrun).
  for (size_t len = 0; len < blob.size(); ++len) {
    std::vector<BYTE> cut(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(len));
    tw_platform::MessageTable t;
    EXPECT_FALSE(tw_platform::parseMessageTable(cut, t)) << len;
  }
  for (size_t i = 0; i < blob.size(); ++i) {
    std::vector<BYTE> bad = blob;
    bad[i] ^= 0xFF;
    tw_platform::MessageTable t;
    tw_platform::parseMessageTable(bad, t);
  }
}

// A registered message file may be a system executable, which has no
// message table section, or be gone.
TEST(MessageTableData, FileWithoutATableHasNone) {
  tw_platform::MessageTable table;
  EXPECT_FALSE(tw_platform::loadModuleMessageTable(u"/bin/true", table));
  EXPECT_FALSE(tw_platform::loadModuleMessageTable(u"/nonexistent/file", table));
}

}  // namespace
