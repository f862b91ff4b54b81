// The event log store and its syslog mirror, through the Windows calls, and
// the event viewer tarnwick-eventlog: its arguments, a damaged store, and the
// events of a writer that may not register its source. (The events of check
// runs, in each of the viewer's forms, are read in the e2e tests.)
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <stdexcept>

#include "logging/Logging.h"
#include "platform/errors.h"
#include "tests/logging/support.h"
#include "tests/support/runs.h"
#include "winsupport/CRegistry.h"

using tw_logging_test::storedEvents;
using tw_logging_test::u8;

namespace {

// A unix datagram socket bound at path, as a syslog daemon's would be.
class SyslogListener {
 public:
  explicit SyslogListener(const std::string& path) {
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("cannot bind the syslog socket at " + path);
    }
    ::chmod(path.c_str(), 0666);  // writers may run as another user
  }
  ~SyslogListener() { ::close(fd_); }
  // The next datagram, or "" after timeoutMs without one.
  std::string receive(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return "";
    char buf[16384];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

class EventLogTest : public tw_logging_test::StateDirTest {};

// Reports one error event of category 1 through a handle of its own.
void report(const char16_t* source, DWORD id, std::vector<std::u16string> strings) {
  HANDLE h = RegisterEventSourceW(nullptr, source);
  std::vector<LPCWSTR> p;
  for (auto& s : strings) p.push_back(s.c_str());
  EXPECT_TRUE(ReportEventW(h, EVENTLOG_ERROR_TYPE, 1, id, nullptr, static_cast<WORD>(p.size()), 0,
                           p.empty() ? nullptr : p.data(), nullptr));
  EXPECT_TRUE(DeregisterEventSource(h));
}

const std::vector<std::string> kOtherUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};

// The first column of the first row of sql over the store, or -1.
int64_t scalar(const std::string& db, const char* sql) {
  sqlite3* h = nullptr;
  sqlite3_stmt* st = nullptr;
  int64_t v = -1;
  if (sqlite3_open(db.c_str(), &h) == SQLITE_OK && sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return v;
}

// A store that cannot be written, held by another writer past the wait of
// 5 s or damaged, fails the report as a full log (1502) only after the
// syslog line went out, and is left as it was.
TEST_F(EventLogTest, StoreThatCannotBeWrittenStillLetsTheSyslogLineOut) {
  const std::string db = root() + "/eventlog.db";
  SyslogListener listener(syslogPath());
  report(u"X", 1, {});
  listener.receive();
  for (const bool locked : {true, false}) {
    SCOPED_TRACE(locked ? "locked" : "damaged");
    sqlite3* holder = nullptr;
    if (locked) {
      ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    } else {
      tw_test::writeFile(db, std::string(4096, 'G'));
    }
    const std::string before = tw_test::readFile(db);
    HANDLE h = RegisterEventSourceW(nullptr, u"X");
    ASSERT_NE(h, nullptr);
    const auto start = std::chrono::steady_clock::now();
    auto reported = std::async(std::launch::async, [h] {
      return ReportEventW(h, EVENTLOG_ERROR_TYPE, 1, 7, nullptr, 0, 0, nullptr, nullptr)
                 ? DWORD{0} : GetLastError();
    });
    EXPECT_NE(listener.receive(4000).find("Event ID 7 from source X"), std::string::npos);
    if (locked) {
      EXPECT_NE(reported.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    }
    EXPECT_EQ(reported.get(), static_cast<DWORD>(ERROR_LOG_FILE_FULL));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(locked ? waited > 4.5 && waited < 8 : waited < 1) << waited;
    DeregisterEventSource(h);
    EXPECT_EQ(tw_test::readFile(db), before);
    sqlite3_close(holder);
  }
}

// State files get their modes whatever the umask and keep those they are
// found with, under TARNWICK_ROOT and, in a mount namespace of its own over
// a tmpfs on /var/log, at the event store's default place.
TEST_F(EventLogTest, StateFilesGetTheirModesWhateverTheUmask) {
  const auto modes = [](const std::string& dir) {
    std::string out;
    for (const char* name : {"", "/user.db", "/machine.db", "/eventlog.db"}) {
      struct stat st {};
      out += std::to_string(::stat((dir + name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0) + " ";
    }
    return out;
  };
  for (const mode_t mask : {0000, 0077}) {
    const std::string dir = root() + "/state" + std::to_string(mask);
    setEnv("TARNWICK_ROOT", dir);
    const mode_t old = ::umask(mask);
    EXPECT_TRUE(CRegistry(HKEY_CURRENT_USER).createKey("Software\\M"));
    EXPECT_TRUE(CRegistry(HKEY_LOCAL_MACHINE).createKey("Software\\M"));
    report(u"X", 1, {});
    ::umask(old);
    EXPECT_EQ(modes(dir), "448 384 420 420 ");  // 0700 0600 0644 0644
    ASSERT_EQ(::chmod((dir + "/eventlog.db").c_str(), 0660), 0);
    report(u"X", 1, {});
    EXPECT_EQ(modes(dir), "448 384 420 432 ");  // found 0660
  }
  const std::string script =
      "mount -t tmpfs tmpfs /var/log || exit 99; umask 077; d=/var/log/tarnwick;"
      "env -u TARNWICK_ROOT \"$0\" w 1 && stat -c %a $d $d/eventlog.db && chmod 2770 $d &&"
      "chmod 660 $d/eventlog.db && env -u TARNWICK_ROOT \"$0\" w 1 && stat -c %a $d $d/eventlog.db";
  const auto r = tw_test::runProcess(
      {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", script, TW_EVENT_WRITER_PATH}, options());
  if (r.exitCode == 99 || r.err.find("unshare failed") != std::string::npos) {
    GTEST_SKIP() << "no private mount namespace with a tmpfs here: " << r.err;
  }
  EXPECT_EQ(r.out, "755\n644\n2770\n660\n") << r.err;
}

// An event keeps the time of its report and cannot be changed or removed.
TEST_F(EventLogTest, StoredEventsCannotBeChangedOrRemoved) {
  const int64_t before = time(nullptr);
  report(u"X", 1, {u"s"});
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root() + "/eventlog.db").c_str(), &db), SQLITE_OK);
  for (const char* sql :
       {"UPDATE events SET event_id = 2", "DELETE FROM events", "DELETE FROM event_strings"}) {
    EXPECT_NE(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  sqlite3_close(db);
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(u8(events[0].strings), std::vector<std::string>{"s"});
  EXPECT_GE(events[0].time, before);
  EXPECT_LE(events[0].time, time(nullptr));
}

// Each event reaches syslog with the user facility (1) and the priority of
// its type, and its English text: line breaks become blanks; an ID the table
// lacks gets the "cannot be found" form with its strings.
TEST_F(EventLogTest, EachEventReachesSyslogWithItsEnglishTextAndPriority) {
  SyslogListener listener(syslogPath());
  velmora::logging::Logging log("Harrowlights", 2);
  const std::string head = "[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d Harrowlights\\[" +
                           std::to_string(getpid()) + "\\]: ";
  struct Case {
    uint32_t id;
    uint16_t level;
    std::vector<std::string> strings;
    std::string line;  // a regular expression of the whole datagram after its head
    std::string priority;
  } cases[] = {
      {1010, 2, {"*needle*", "http://127.0.0.1/page"},
       "Pattern \"\\*needle\\*\" was found in URL \"http://127\\.0\\.0\\.1/page\"\\.", "<11>"},
      {1003, 0, {"u"}, "The checksum of URL \"u\" did not change\\.", "<14>"},
      {1002, 1, {"u", "c"}, "The checksum of URL \"u\" changed to \"c\"\\.", "<12>"},
      {1003, 4, {}, "[\\s\\S]*", "<13>"},
      {1100, 0, {"SQLite", "3 s"},
       "Connection:\tOK Database Type:\tSQLite Time Elapsed:\t3 s\\s*", "<14>"},
      {4242, 0, {"xyz"},
       "The description for Event ID 4242 from source Harrowlights cannot be found\\.[\\s\\S]*"
       "included with the event: xyz[\\s\\S]*", "<14>"},
  };
  for (const Case& c : cases) {
    for (const std::string& s : c.strings) log.addString(s);
    ASSERT_TRUE(log.writeEvent(c.id == 1100 ? 2 : 1, c.id, c.level));
    const std::string line = listener.receive();
    EXPECT_TRUE(std::regex_match(line, std::regex(c.priority + head + c.line))) << line;
  }
}

class EventViewer : public tw_logging_test::StateDirTest {
 protected:
  tw_test::ProcessResult viewer(std::vector<std::string> args) {
    args.insert(args.begin(), TW_EVENTLOG_VIEWER_PATH);
    return tw_test::runProcess(args, options());
  }
};

TEST_F(EventViewer, ViewerRejectsBadArgumentsAndExplainsItself) {
  const auto help = viewer({"--help"}), empty = viewer({});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--lang en|de"), std::string::npos);
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_EQ(empty.out, "");
  using Args = std::vector<std::string>;
  for (const Args& bad : {Args{"--lang", "fr"}, Args{"--id", "12x"}, Args{"--bogus"}}) {
    EXPECT_EQ(viewer(bad).exitCode, 2) << bad[0];
  }
  tw_test::writeFile(root() + "/eventlog.db", std::string(2048, 'x'));
  const auto damaged = viewer({});
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_NE(damaged.err.find("cannot read the event log"), std::string::npos) << damaged.err;
}

// A writer who may not write the machine hive: nothing is registered and
// nothing printed, the event is still stored and reaches syslog, and the
// viewer shows it in the "description cannot be found" form.
TEST_F(EventViewer, UserWithoutRightsOnTheMachineHiveStillWritesEvents) {
  const std::string app = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application";
  ASSERT_TRUE(CRegistry(HKEY_LOCAL_MACHINE).createKey(app.c_str()));  // the hive belongs to root
  ASSERT_EQ(::chmod(root().c_str(), 0777), 0);
  SyslogListener listener(syslogPath());
  auto r = tw_test::runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                "--clear-groups", TW_EVENT_WRITER_PATH, "*needle*", "1", "register"},
                               options());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_FALSE(CRegistry(HKEY_LOCAL_MACHINE).keyExists((app + "\\Harrowlights").c_str()));
  const std::string line = listener.receive();
  EXPECT_NE(line.find(" Harrowlights["), std::string::npos) << line;
  EXPECT_NE(line.find("]: Pattern \"*needle*\" was found in URL \"0\"."), std::string::npos) << line;

  const std::string en = viewer({}).out, de = viewer({"--lang", "de"}).out;
  EXPECT_NE(en.find("Category: (1)\nEvent ID: 1010\nType:     Information\nUser:     65534\n"
                    "The description for Event ID 1010 from source Harrowlights cannot be "
                    "found. Either the component that raises this event is not installed on "
                    "your local computer or the installation is corrupted. You can install "
                    "or repair the component on the local computer.\n\nIf the event "
                    "originated on another computer, the display information had to be "
                    "saved with the event.\n\nThe following information was included with "
                    "the event: \n\n*needle*\n0\n\n"),
            std::string::npos)
      << en;
  EXPECT_NE(de.find("Die Beschreibung f\u00fcr Ereignis-ID 1010 aus Quelle Harrowlights "
                    "wurde nicht gefunden."),
            std::string::npos)
      << de;
  EXPECT_NE(de.find("gespeichert: \n\n*needle*\n0\n"), std::string::npos) << de;
  const std::string jsonOut = viewer({"--json"}).out;
  ASSERT_EQ(std::count(jsonOut.begin(), jsonOut.end(), '\n'), 1) << jsonOut;
  const auto json = nlohmann::json::parse(jsonOut);
  EXPECT_EQ(json["strings"], nlohmann::json::array({"*needle*", "0"}));
  const std::string message = json["message"];
  EXPECT_TRUE(message.ends_with("event: \r\n\r\n*needle*\r\n0")) << message;
}

// A store root made, in a folder only root writes, is never written by
// another user: not through the sqlite3 library (no event added, changed or
// removed, no trigger dropped) nor by a report, which reaches syslog alone.
// The viewer shows that user who wrote each event.
TEST_F(EventViewer, OtherUsersReachSyslogButNeverTheStore) {
  report(u"Harrowlights", 1010, {u"by root"});
  ASSERT_EQ(::chmod(root().c_str(), 0755), 0);
  const std::string db = root() + "/eventlog.db", before = tw_test::readFile(db);
  SyslogListener listener(syslogPath());
  std::vector<std::string> writer = kOtherUser;
  writer.insert(writer.end(), {TW_EVENT_WRITER_PATH, "*needle*", "1"});
  EXPECT_EQ(tw_test::runProcess(writer, options()).exitCode, 1);
  EXPECT_NE(listener.receive().find("]: Pattern \"*needle*\" was found"), std::string::npos);
  for (const char* sql : {"DROP TRIGGER events_no_update", "UPDATE events SET uid = 65534",
                          "DELETE FROM events", "INSERT INTO events VALUES (2, 0, 'X', 0, 1, 4, NULL, 0)"}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      sqlite3* h = nullptr;
      const bool asUser = ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                          ::setresuid(65534, 65534, 65534) == 0;
      _exit(asUser && sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
                    sqlite3_exec(h, sql, nullptr, nullptr, nullptr) == SQLITE_READONLY ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0) << sql;
  }
  EXPECT_EQ(tw_test::readFile(db), before);
  std::vector<std::string> view = kOtherUser;
  view.push_back(TW_EVENTLOG_VIEWER_PATH);
  const std::string shown = tw_test::runProcess(view, options()).out;
  EXPECT_NE(shown.find("Type:     Error\nUser:     0\n"), std::string::npos) << shown;
}

// Over 100,000 events (filled in one transaction) the viewer peaks within
// 4 MiB of its peak over 1,000; it shows the control characters of stored
// strings escaped, and --last the newest. At 100,000 events each new one
// drops the oldest.
TEST_F(EventViewer, LargeLogsStreamInBoundedMemory) {
  report(u"Harrowlights", 1010, {u"\x1b[31mred\n\tx\u009b"});
  const std::string db = root() + "/eventlog.db";
  const auto fillTo = [&](int records) {
    const std::string n = "WITH RECURSIVE n(i) AS (SELECT max(record) + 1 FROM events UNION ALL "
                          "SELECT i + 1 FROM n WHERE i < " + std::to_string(records) + ") ";
    const std::string sql = "BEGIN;" + n + "INSERT INTO event_strings SELECT i, 1, 'u' || i FROM n;" +
                            n + "INSERT INTO events SELECT i, 0, 'Harrowlights', 1, 1003, 4, NULL, 0 FROM n; COMMIT";
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    sqlite3_close(h);
  };
  fillTo(1000);
  const auto small = tw_test::runMeasured({TW_EVENTLOG_VIEWER_PATH}, root());
  EXPECT_NE(small.result.out.find("\n\\x1B[31mred\\n\tx\\u009B\n"), std::string::npos) << small.result.out;
  fillTo(100000);
  const auto big = tw_test::runMeasured({TW_EVENTLOG_VIEWER_PATH}, root(), 300);
  std::printf("[memory] viewer: 1,000 events %ld KiB; 100,000 events %ld KiB, %.2f s\n",
              small.maxRssKb, big.maxRssKb, big.seconds);
  EXPECT_EQ(big.result.exitCode, 0);
  const std::string& out = big.result.out;
  EXPECT_EQ(out.compare(out.rfind("Record:   "), 17, "Record:   100000\n"), 0);
  EXPECT_LE(big.maxRssKb, small.maxRssKb + 4096);
  report(u"Harrowlights", 1003, {u"u100001"});
  EXPECT_EQ(scalar(db, "SELECT count(*) FROM events WHERE record > 1"), 100000);
  EXPECT_EQ(scalar(db, "SELECT count(*) + min(record) FROM event_strings"), 100002);
  const std::string last = viewer({"--last", "2", "--json"}).out;
  EXPECT_TRUE(last.starts_with("{\"record\":100000,") && last.find("\n{\"record\":100001,") != std::string::npos)
      << last;
}

}  // namespace
