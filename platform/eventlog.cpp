// The event log on an append-only SQLite store, mirrored to syslog.
#include "platform/eventlog.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message_table.h"
#include "platform/sqlite_store.h"
#include "platform/text.h"

namespace {

// Longest wait for other writers of the store before a report fails.
constexpr int kBusyTimeoutMs = 5000;
constexpr WORD kMaxStrings = 256;
constexpr size_t kMaxStringLength = 31839;
constexpr size_t kMaxSyslogBytes = 8192;
// The store keeps this many newest events, as a Windows log overwrites old
// events as needed.
constexpr int64_t kKeptEvents = 100000;
// Version 2 added the writer's uid and the retention of the newest events.
constexpr int64_t kSchemaVersion = 2;
// A reader takes at most this many events, or about this many bytes of
// strings, per read, and holds no lock while its caller uses them.
constexpr int kEventsPerRead = 256;
constexpr size_t kBytesPerRead = 1 << 20;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS events("
    "  record INTEGER PRIMARY KEY,"
    "  time INTEGER NOT NULL,"
    "  source TEXT NOT NULL,"
    "  category INTEGER NOT NULL,"
    "  event_id INTEGER NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB,"
    "  uid INTEGER);"
    "CREATE TABLE IF NOT EXISTS event_strings("
    "  record INTEGER NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  text TEXT NOT NULL,"
    "  PRIMARY KEY(record, position)) WITHOUT ROWID;";

// Stored events are never changed, and only those 100,000 or more below the
// newest may be removed (stores made before forbade every removal).
const char* const kTriggers =
    "DROP TRIGGER IF EXISTS events_no_delete;"
    "DROP TRIGGER IF EXISTS event_strings_no_delete;"
    "CREATE TRIGGER IF NOT EXISTS events_no_update BEFORE UPDATE ON events"
    "  BEGIN SELECT RAISE(ABORT, 'the event log is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS event_strings_no_update BEFORE UPDATE ON event_strings"
    "  BEGIN SELECT RAISE(ABORT, 'the event log is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS events_keep_newest BEFORE DELETE ON events"
    "  WHEN old.record > (SELECT max(record) FROM events) - 100000"
    "  BEGIN SELECT RAISE(ABORT, 'the event log keeps its newest events'); END;"
    "CREATE TRIGGER IF NOT EXISTS event_strings_keep_newest BEFORE DELETE ON event_strings"
    "  WHEN old.record > (SELECT max(record) FROM events) - 100000"
    "  BEGIN SELECT RAISE(ABORT, 'the event log keeps its newest events'); END;"
    "PRAGMA user_version = 2;";
static_assert(kKeptEvents == 100000 && kSchemaVersion == 2, "kTriggers spells both out");

namespace store = tw_platform::sqlite_store;

const store::ErrorCodes kStoreErrors = {
    .busy = ERROR_TIMEOUT,
    .notADatabase = ERROR_EVENTLOG_FILE_CORRUPT,
    .corrupt = ERROR_EVENTLOG_FILE_CORRUPT,
    .noMemory = ERROR_NOT_ENOUGH_MEMORY,
    .badSchema = ERROR_EVENTLOG_FILE_CORRUPT,
    .everySystemError = true,
    .cantOpen = ERROR_ACCESS_DENIED,
    .readFailed = ERROR_IO_DEVICE,
    .writeFailed = ERROR_IO_DEVICE,
};

DWORD storeError(const store::Connection& conn, int rc) {
  return store::win32FromSqlite(rc, conn.db(), kStoreErrors, true);
}

// A store write fails as on Windows: no rights (5), or, whatever else broke
// it (damaged, held by another writer past the wait, a full disk), a full
// log (1502).
DWORD writeFailure(DWORD err) {
  return err == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_LOG_FILE_FULL;
}

bool hasColumn(sqlite3* db, const char* table, const char* column) {
  store::Statement q(db, "SELECT count(*) FROM pragma_table_info(?1) WHERE name = ?2");
  q.bindText(1, table).bindText(2, column);
  return q.step() == SQLITE_ROW && q.int64(0) > 0;
}

// Reads the store's schema version; returns an SQLite code.
int schemaVersion(sqlite3* db, int64_t& version) {
  store::Statement q(db, "PRAGMA user_version");
  if (q.step() != SQLITE_ROW) return q.rc();
  version = q.int64(0);
  return SQLITE_OK;
}

// Creates the tables and triggers, or brings those of an older store up to
// date, in a write transaction of its own. Returns an SQLite code.
int ensureSchema(store::Connection& conn) {
  int rc = conn.begin(true);
  if (rc != SQLITE_OK) return rc;
  int64_t version = 0;
  rc = schemaVersion(conn.db(), version);
  if (rc == SQLITE_OK && version < kSchemaVersion) {  // checked again under the lock
    rc = conn.exec(kSchema);
    if (rc == SQLITE_OK && !hasColumn(conn.db(), "events", "uid")) {
      rc = conn.exec("ALTER TABLE events ADD COLUMN uid INTEGER");
    }
    if (rc == SQLITE_OK) rc = conn.exec(kTriggers);
  }
  return rc == SQLITE_OK ? conn.commit() : rc;
}

struct EventSource : tw_platform::KernelObject {
  std::u16string source;
  bool close() override { return true; }
};

EventSource* asEventSource(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<EventSource*>(static_cast<tw_platform::KernelObject*>(h));
}

// Runs one statement that changes rows, to run again; returns an SQLite code.
int run(store::Statement& st) {
  const int rc = st.step() == SQLITE_DONE ? SQLITE_OK : st.rc();
  st.reset();
  return rc;
}

// The statements of one append, prepared and bound before the write lock is
// taken: with many writers on a busy machine, the lock is then held only
// for the steps and the commit.
struct Append {
  explicit Append(sqlite3* db)
      : next(db, "SELECT COALESCE(MAX(record), 0) + 1 FROM events"),
        event(db, "INSERT INTO events(record, time, source, category, event_id, type, data, uid)"
                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
        string(db, "INSERT INTO event_strings(record, position, text) VALUES (?, ?, ?)"),
        dropStrings(db, "DELETE FROM event_strings WHERE record <= ?"),
        dropEvents(db, "DELETE FROM events WHERE record <= ?") {}
  store::Statement next, event, string, dropStrings, dropEvents;
};

// Appends one event, and drops those that fall out of the kept window, in
// one transaction; returns an SQLite code.
int appendEvent(store::Connection& conn, const tw_platform::EventLogRecord& e) {
  Append a(conn.db());
  a.event.bind(2, e.time)
      .bindText(3, tw_platform::utf16ToUtf8(e.source))
      .bind(4, e.category)
      .bind(5, e.eventId)
      .bind(6, e.type)
      .bind(8, e.uid);
  if (e.data.empty()) {
    a.event.bindNull(7);
  } else {
    a.event.bindBlob(7, std::string_view(reinterpret_cast<const char*>(e.data.data()), e.data.size()));
  }
  std::vector<std::string> strings;
  for (const std::u16string& text : e.strings) strings.push_back(tw_platform::utf16ToUtf8(text));
  for (store::Statement* st : {&a.next, &a.event, &a.string, &a.dropStrings, &a.dropEvents}) {
    if (!st->ok()) return st->rc();
  }

  int rc = conn.begin(true);
  if (rc != SQLITE_OK) return rc;
  rc = a.next.step() == SQLITE_ROW ? SQLITE_OK : a.next.rc();
  const int64_t record = a.next.int64(0);
  a.next.reset();
  if (rc == SQLITE_OK) rc = run(a.event.bind(1, record));
  for (size_t i = 0; rc == SQLITE_OK && i < strings.size(); ++i) {
    rc = run(a.string.bind(1, record).bind(2, static_cast<int64_t>(i + 1)).bindText(3, strings[i]));
  }
  if (rc == SQLITE_OK && record > kKeptEvents) rc = run(a.dropStrings.bind(1, record - kKeptEvents));
  if (rc == SQLITE_OK && record > kKeptEvents) rc = run(a.dropEvents.bind(1, record - kKeptEvents));
  return rc == SQLITE_OK ? conn.commit() : rc;
}

// Opens the store, creating it when missing, and appends the event.
// Returns the Win32 error code, 0 on success.
DWORD storeEvent(const tw_platform::EventLogRecord& e) {
  const store::Location loc = store::locate(store::StateFile::EventLog);
  if (const int err = store::createMissing(loc); err != 0) {
    return writeFailure(tw_platform::win32FromErrno(err));
  }
  store::Connection conn;
  int rc = conn.open(loc.file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                     kBusyTimeoutMs);
  // Without the SQLite library there is no store to be full: 126 or 127.
  if (rc == store::kNoSqliteLibrary) return storeError(conn, rc);
  if (rc == SQLITE_OK && store::sqlite().dbReadonly(conn.db(), "main") == 1) {
    return ERROR_ACCESS_DENIED;
  }
  int64_t version = 0;
  if (rc == SQLITE_OK) rc = schemaVersion(conn.db(), version);
  if (rc == SQLITE_OK && version < kSchemaVersion) rc = ensureSchema(conn);
  if (rc == SQLITE_OK) rc = appendEvent(conn, e);
  if (rc == SQLITE_OK) return 0;
  const DWORD err = writeFailure(storeError(conn, rc));
  conn.rollback();
  return err;
}

// The message table of the running executable, read once.
const tw_platform::MessageTable& ownMessageTable() {
  static const tw_platform::MessageTable table = [] {
    tw_platform::MessageTable t;
    WCHAR path[4096];
    const DWORD saved = GetLastError();
    const DWORD n = GetModuleFileNameW(nullptr, path, 4096);
    if (n > 0 && n < 4096) tw_platform::loadModuleMessageTable(path, t);
    SetLastError(saved);
    return t;
  }();
  return table;
}

int syslogSeverity(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return 3;       // err
    case EVENTLOG_WARNING_TYPE: return 4;     // warning
    case EVENTLOG_AUDIT_FAILURE: return 4;    // warning
    case EVENTLOG_AUDIT_SUCCESS: return 5;    // notice
    default: return 6;                        // info
  }
}

// One line per event: "<PRI>Mmm dd hh:mm:ss SOURCE[PID]: TEXT", the form a
// local syslog socket takes, with the user facility.
void mirrorToSyslog(const tw_platform::EventLogRecord& e) {
  const DWORD saved = GetLastError();
  // The program widens its narrow texts byte by byte; sent as they were.
  const std::u16string source = tw_platform::fromWidenedBytes(e.source);
  std::vector<std::u16string> strings;
  for (const std::u16string& s : e.strings) strings.push_back(tw_platform::fromWidenedBytes(s));
  std::u16string text;
  if (!tw_platform::formatTableMessage(ownMessageTable(), e.eventId, 0x409, strings, text)) {
    text = tw_platform::missingDescriptionText(e.eventId, source, strings, 0x409);
  }
  std::string flat;
  for (char c : tw_platform::utf16ToUtf8(text)) {
    if (c == '\r' || c == '\n') {
      if (!flat.empty() && flat.back() != ' ') flat += ' ';
    } else {
      flat += c;
    }
  }
  while (!flat.empty() && flat.back() == ' ') flat.pop_back();

  const time_t t = static_cast<time_t>(e.time);
  struct tm local;
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  std::string line = "<" + std::to_string(8 + syslogSeverity(e.type)) + ">" + stamp + " " +
                     tw_platform::utf16ToUtf8(source) + "[" +
                     std::to_string(::getpid()) + "]: " + flat;
  if (line.size() > kMaxSyslogBytes) line.resize(kMaxSyslogBytes);

  const char* env = std::getenv("TARNWICK_SYSLOG_SOCKET");
  const std::string socketPath = (env && env[0]) ? env : "/dev/log";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() < sizeof addr.sun_path) {
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      // Never wait for a slow reader: a full socket loses the line.
      ::sendto(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
      ::close(fd);
    }
  }
  SetLastError(saved);
}

}  // namespace

namespace tw_platform {

std::string eventLogPath() { return sqlite_store::locate(sqlite_store::StateFile::EventLog).file; }

bool forEachEvent(const EventLogQuery& query,
                  const std::function<void(const EventLogRecord&)>& each) {
  const std::string path = eventLogPath();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    SetLastError(win32FromErrno(errno));
    return false;
  }
  store::Connection conn;
  int rc = conn.open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, kBusyTimeoutMs);
  const auto failed = [&](int code) {
    SetLastError(storeError(conn, code));
    return false;
  };
  if (rc != SQLITE_OK) return failed(rc);
  {
    store::Statement probe(conn.db(), "SELECT count(*) FROM sqlite_master WHERE name = 'events'");
    rc = probe.step();
    if (rc != SQLITE_ROW) return failed(rc);
    if (probe.int64(0) == 0) return true;  // nothing written yet
  }
  const std::string filter =
      " WHERE (?1 = '' OR source = ?1 COLLATE NOCASE) AND (?2 IS NULL OR event_id = ?2)";
  const auto bindFilter = [&](store::Statement& st) -> store::Statement& {
    st.bindText(1, utf16ToUtf8(query.source));
    return query.eventId ? st.bind(2, *query.eventId) : st.bindNull(2);
  };
  // The events to read: those after `after` up to the newest one now, so
  // that events written meanwhile do not keep the reader going.
  int64_t after = 0, upTo = 0;
  {
    store::Statement newest(conn.db(), ("SELECT COALESCE(max(record), 0) FROM events" + filter).c_str());
    if (bindFilter(newest).step() != SQLITE_ROW) return failed(newest.rc());
    upTo = newest.int64(0);
  }
  if (query.last > 0) {
    store::Statement first(conn.db(), ("SELECT record FROM events" + filter +
                                       " ORDER BY record DESC LIMIT 1 OFFSET ?3").c_str());
    bindFilter(first).bind(3, static_cast<int64_t>(query.last - 1));
    rc = first.step();
    if (rc == SQLITE_ROW) after = first.int64(0) - 1;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failed(rc);
  }
  // Stores made before the writer's uid was kept read it as unknown.
  const char* uid = hasColumn(conn.db(), "events", "uid") ? "e.uid" : "NULL";
  const std::string sql =
      std::string("SELECT e.record, e.time, e.source, e.category, e.event_id, e.type, e.data, ") +
      uid + ", s.position, s.text FROM (SELECT * FROM events" + filter +
      " AND record > ?3 AND record <= ?4 ORDER BY record LIMIT " + std::to_string(kEventsPerRead) +
      ") e LEFT JOIN event_strings s ON s.record = e.record ORDER BY e.record, s.position";
  store::Statement q(conn.db(), sql.c_str());
  std::vector<EventLogRecord> batch;
  for (;;) {
    q.reset();
    bindFilter(q).bind(3, after).bind(4, upTo);
    batch.clear();
    size_t bytes = 0;
    while ((rc = q.step()) == SQLITE_ROW) {
      const DWORD record = static_cast<DWORD>(q.int64(0));
      if (batch.empty() || batch.back().record != record) {
        if (bytes > kBytesPerRead) break;  // the next read starts with this event
        EventLogRecord& e = batch.emplace_back();
        e.record = record;
        e.time = q.int64(1);
        e.source = utf8ToUtf16(q.text(2));
        e.category = static_cast<WORD>(q.int64(3));
        e.eventId = static_cast<DWORD>(q.int64(4));
        e.type = static_cast<WORD>(q.int64(5));
        const std::string data = q.bytes(6);
        e.data.assign(data.begin(), data.end());
        e.uid = q.isNull(7) ? -1 : q.int64(7);
      }
      if (!q.isNull(8)) {
        batch.back().strings.push_back(utf8ToUtf16(q.text(9)));
        bytes += batch.back().strings.back().size() * 2;
      }
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failed(rc);
    // Ends the read, so that no writer waits while the caller takes its time.
    q.reset();
    if (batch.empty()) return true;
    for (const EventLogRecord& e : batch) each(e);
    after = batch.back().record;
  }
}

}  // namespace tw_platform

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
  if (serverName != nullptr && serverName[0] != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (sourceName == nullptr || sourceName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The store is opened by each report, after its syslog line has gone out.
  auto* h = new EventSource;
  h->source = sourceName;
  SetLastError(ERROR_SUCCESS);
  return static_cast<tw_platform::KernelObject*>(h);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID,
                  WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  EventSource* src = asEventSource(eventLog);
  if (src == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const bool knownType = type == EVENTLOG_SUCCESS || type == EVENTLOG_ERROR_TYPE ||
                         type == EVENTLOG_WARNING_TYPE || type == EVENTLOG_INFORMATION_TYPE ||
                         type == EVENTLOG_AUDIT_SUCCESS || type == EVENTLOG_AUDIT_FAILURE;
  if (!knownType || numStrings > kMaxStrings || (numStrings > 0 && strings == nullptr) ||
      (dataSize > 0 && rawData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tw_platform::EventLogRecord e;
  e.time = static_cast<int64_t>(std::time(nullptr));
  e.source = src->source;
  e.category = category;
  e.eventId = eventId;
  e.type = type;
  e.uid = static_cast<int64_t>(::geteuid());
  for (WORD i = 0; i < numStrings; ++i) {
    if (strings[i] == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::u16string s(strings[i]);
    if (s.size() > kMaxStringLength) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    e.strings.push_back(std::move(s));
  }
  if (dataSize > 0) {
    const BYTE* p = static_cast<const BYTE*>(rawData);
    e.data.assign(p, p + dataSize);
  }
  // Syslog first: a store that cannot be written never silences the journal.
  mirrorToSyslog(e);
  const DWORD err = storeEvent(e);
  if (err != 0) {
    SetLastError(err);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  EventSource* src = asEventSource(eventLog);
  if (src == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  src->close();
  delete src;
  return TRUE;
}
