// The event log store and its syslog mirror, through the Windows calls.
#include <sqlite3.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "logging/Logging.h"
#include "platform/errors.h"
#include "tests/logging/support.h"

using tw_logging_test::storedEvents;
using tw_logging_test::SyslogListener;
using tw_logging_test::u8;

namespace {

class EventLogTest : public tw_logging_test::StateDirTest {};

BOOL report(HANDLE h, WORD type, DWORD id, std::vector<std::u16string> strings) {
  std::vector<LPCWSTR> p;
  for (auto& s : strings) p.push_back(s.c_str());
  return ReportEventW(h, type, 1, id, nullptr, static_cast<WORD>(p.size()), 0,
                      p.empty() ? nullptr : p.data(), nullptr);
}

TEST_F(EventLogTest, ReportsAreNumberedFromOneAndKeepAllFields) {
  HANDLE h = RegisterEventSourceW(nullptr, u"Some Source");
  ASSERT_NE(h, nullptr);
  const BYTE raw[] = {1, 2, 0, 3};
  LPCWSTR strings[] = {u"a", u"\u00e4\u20ac"};
  const int64_t before = time(nullptr);
  ASSERT_TRUE(ReportEventW(h, EVENTLOG_AUDIT_SUCCESS, 7, 0x4000ABCD, nullptr, 2, sizeof raw,
                           strings, const_cast<BYTE*>(raw)));
  ASSERT_TRUE(report(h, EVENTLOG_ERROR_TYPE, 1, {}));
  ASSERT_TRUE(DeregisterEventSource(h));
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].record, 1u);
  EXPECT_EQ(events[1].record, 2u);
  EXPECT_EQ(u8(events[0].source), "Some Source");
  EXPECT_EQ(events[0].type, EVENTLOG_AUDIT_SUCCESS);
  EXPECT_EQ(events[0].category, 7);
  EXPECT_EQ(events[0].eventId, 0x4000ABCDu);
  EXPECT_EQ(events[0].strings, (std::vector<std::u16string>{u"a", u"\u00e4\u20ac"}));
  EXPECT_EQ(events[0].data, (std::vector<BYTE>{1, 2, 0, 3}));
  EXPECT_GE(events[0].time, before);
  EXPECT_LE(events[0].time, time(nullptr));
  EXPECT_TRUE(events[1].strings.empty());
}

TEST_F(EventLogTest, FiltersBySourceWithoutCaseAndByEventId) {
  HANDLE a = RegisterEventSourceW(nullptr, u"Alpha");
  HANDLE b = RegisterEventSourceW(nullptr, u"Beta");
  ASSERT_TRUE(report(a, EVENTLOG_INFORMATION_TYPE, 1, {u"1"}));
  ASSERT_TRUE(report(b, EVENTLOG_INFORMATION_TYPE, 1, {u"2"}));
  ASSERT_TRUE(report(a, EVENTLOG_INFORMATION_TYPE, 2, {u"3"}));
  DeregisterEventSource(a);
  DeregisterEventSource(b);
  std::vector<tw_platform::EventLogRecord> r;
  ASSERT_TRUE(tw_platform::readEventLog(r, u"ALPHA"));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].record, 3u);
  const DWORD id = 1;
  ASSERT_TRUE(tw_platform::readEventLog(r, u"", &id));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(u8(r[1].source), "Beta");
}

TEST_F(EventLogTest, BadHandlesAndArgumentsFail) {
  EXPECT_FALSE(report(nullptr, EVENTLOG_ERROR_TYPE, 1, {}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegisterEventSourceW(u"otherhost", u"X"), nullptr);
  EXPECT_EQ(RegisterEventSourceW(nullptr, u""), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HANDLE h = RegisterEventSourceW(nullptr, u"X");
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(report(h, 3, 1, {}));  // not an event type
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ReportEventW(h, EVENTLOG_ERROR_TYPE, 1, 1, nullptr, 2, 0, nullptr, nullptr));
  DeregisterEventSource(h);
  EXPECT_TRUE(storedEvents().empty());
}

TEST_F(EventLogTest, StoreThatCannotBeCreatedFailsTheRegistration) {
  tw_test::writeFile(root() + "/file", "x");
  ::setenv("TARNWICK_ROOT", (root() + "/file").c_str(), 1);
  EXPECT_EQ(RegisterEventSourceW(nullptr, u"X"), nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

TEST_F(EventLogTest, DamagedStoreIsReportedAndLeftAlone) {
  const std::string garbage(4096, 'G');
  tw_test::writeFile(root() + "/eventlog.db", garbage);
  EXPECT_EQ(RegisterEventSourceW(nullptr, u"X"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
  std::vector<tw_platform::EventLogRecord> r;
  EXPECT_FALSE(tw_platform::readEventLog(r));
  EXPECT_EQ(tw_test::readFile(root() + "/eventlog.db"), garbage);
}

TEST_F(EventLogTest, StoredEventsCannotBeChangedOrRemoved) {
  HANDLE h = RegisterEventSourceW(nullptr, u"X");
  ASSERT_TRUE(report(h, EVENTLOG_ERROR_TYPE, 1, {u"s"}));
  DeregisterEventSource(h);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root() + "/eventlog.db").c_str(), &db), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "UPDATE events SET event_id = 2", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "DELETE FROM events", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "DELETE FROM event_strings", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(u8(events[0].strings), std::vector<std::string>{"s"});
}

TEST_F(EventLogTest, EachEventReachesSyslogWithItsEnglishTextAndPriority) {
  SyslogListener listener(syslogPath());
  velmora::logging::Logging log("Harrowlights", 2);
  log.addString("*needle*");
  log.addString("http://127.0.0.1/page");
  ASSERT_TRUE(log.writeEvent(1, 1010, 2));
  const std::string pid = std::to_string(getpid());
  const std::string line = listener.receive();
  // user facility (1): error 8+3, warning 8+4, information 8+6, audit 8+5 / 8+4
  EXPECT_TRUE(std::regex_match(
      line, std::regex("<11>[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d Harrowlights\\[" + pid +
                       "\\]: Pattern \"\\*needle\\*\" was found in URL "
                       "\"http://127\\.0\\.0\\.1/page\"\\.")))
      << line;

  log.addString("u");
  ASSERT_TRUE(log.writeEvent(1, 1003, 0));
  EXPECT_EQ(listener.receive().substr(0, 4), "<14>");
  log.addString("u");
  log.addString("c");
  ASSERT_TRUE(log.writeEvent(1, 1002, 1));
  EXPECT_EQ(listener.receive().substr(0, 4), "<12>");
  ASSERT_TRUE(log.writeEvent(1, 1003, 4));
  EXPECT_EQ(listener.receive().substr(0, 4), "<13>");

  // Line breaks of a text become blanks; an ID the table lacks gets the
  // "cannot be found" form with its strings.
  log.addString("SQLite");
  log.addString("3 s");
  ASSERT_TRUE(log.writeEvent(2, 1100, 0));
  EXPECT_NE(listener.receive().find(
                "]: Connection:\tOK Database Type:\tSQLite Time Elapsed:\t3 s"),
            std::string::npos);
  log.addString("xyz");
  ASSERT_TRUE(log.writeEvent(1, 4242, 0));
  const std::string missing = listener.receive();
  EXPECT_NE(missing.find("The description for Event ID 4242 from source Harrowlights cannot be "
                         "found."),
            std::string::npos)
      << missing;
  EXPECT_NE(missing.find("included with the event: xyz"), std::string::npos) << missing;
}

TEST_F(EventLogTest, MissingSyslogSocketDoesNotFailTheReport) {
  ::setenv("TARNWICK_SYSLOG_SOCKET", (root() + "/nobody-listens").c_str(), 1);
  velmora::logging::Logging log("Harrowlights", 2);
  EXPECT_TRUE(log.writeEvent(1, 1003, 0));
  EXPECT_EQ(storedEvents().size(), 1u);
}

TEST_F(EventLogTest, ConcurrentProcessesLoseNoEventAndLeaveNoGap) {
  constexpr int kWriters = 6;
  constexpr int kEach = 40;
  tw_test::ProcessOptions opts;
  opts.env = childEnv();
  opts.timeoutSeconds = 120;
  std::vector<std::unique_ptr<tw_test::BackgroundProcess>> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(std::make_unique<tw_test::BackgroundProcess>(
        std::vector<std::string>{TW_EVENT_WRITER_PATH, "w" + std::to_string(w),
                                 std::to_string(kEach)},
        opts));
  }
  for (auto& w : writers) {
    auto r = w->wait(120);
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }
  auto events = storedEvents();
  ASSERT_EQ(events.size(), static_cast<size_t>(kWriters * kEach));
  std::map<std::string, std::set<std::string>> seen;
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].record, i + 1);
    ASSERT_EQ(events[i].strings.size(), 2u);
    EXPECT_TRUE(seen[u8(events[i].strings[0])].insert(u8(events[i].strings[1])).second);
  }
  ASSERT_EQ(seen.size(), static_cast<size_t>(kWriters));
  for (auto& [writer, numbers] : seen) EXPECT_EQ(numbers.size(), static_cast<size_t>(kEach));
}

}  // namespace
