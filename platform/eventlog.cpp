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
#include <vector>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message_table.h"
#include "platform/sqlite_store.h"
#include "platform/text.h"

namespace {

// Longest wait for other writers of the store before a report fails.
constexpr int kBusyTimeoutMs = 30000;
constexpr WORD kMaxStrings = 256;
constexpr size_t kMaxStringLength = 31839;
constexpr size_t kMaxSyslogBytes = 8192;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS events("
    "  record INTEGER PRIMARY KEY,"
    "  time INTEGER NOT NULL,"
    "  source TEXT NOT NULL,"
    "  category INTEGER NOT NULL,"
    "  event_id INTEGER NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB);"
    "CREATE TABLE IF NOT EXISTS event_strings("
    "  record INTEGER NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  text TEXT NOT NULL,"
    "  PRIMARY KEY(record, position)) WITHOUT ROWID;"
    // Stored events are never changed or removed.
    "CREATE TRIGGER IF NOT EXISTS events_no_update BEFORE UPDATE ON events"
    "  BEGIN SELECT RAISE(ABORT, 'the event log is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS events_no_delete BEFORE DELETE ON events"
    "  BEGIN SELECT RAISE(ABORT, 'the event log is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS event_strings_no_update BEFORE UPDATE ON event_strings"
    "  BEGIN SELECT RAISE(ABORT, 'the event log is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS event_strings_no_delete BEFORE DELETE ON event_strings"
    "  BEGIN SELECT RAISE(ABORT, 'the event log is append-only'); END;";

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

// Opens the store for writing, creating file and tables when missing.
// Returns the Win32 error code, 0 on success.
DWORD openStoreForWriting(store::Connection& conn) {
  const store::Location loc = store::locate(store::StateFile::EventLog);
  store::makeDirectories(loc.dir, loc.dirMode, true);
  struct stat st;
  const bool existed = ::stat(loc.file.c_str(), &st) == 0;
  int rc = conn.open(loc.file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      kBusyTimeoutMs);
  if (rc != SQLITE_OK) return storeError(conn, rc);
  // Every user may report events, as every user may on Windows.
  if (!existed) ::chmod(loc.file.c_str(), 0666);
  if (sqlite3_db_readonly(conn.db(), "main") == 1) return ERROR_ACCESS_DENIED;
  int64_t tables = 0;
  {
    store::Statement probe(conn.db(),
                           "SELECT count(*) FROM sqlite_master WHERE name IN "
                           "('events','event_strings')");
    rc = probe.step();
    if (rc != SQLITE_ROW) return storeError(conn, rc);
    tables = probe.int64(0);
  }
  if (tables == 2) return 0;
  rc = conn.begin(true);
  if (rc == SQLITE_OK) rc = conn.exec(kSchema);
  if (rc == SQLITE_OK) rc = conn.commit();
  if (rc != SQLITE_OK) {
    const DWORD err = storeError(conn, rc);
    conn.rollback();
    return err;
  }
  return 0;
}

struct EventSource : tw_platform::KernelObject {
  store::Connection conn;
  std::u16string source;
  bool close() override {
    conn.close();
    return true;
  }
};

EventSource* asEventSource(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<EventSource*>(static_cast<tw_platform::KernelObject*>(h));
}

// Appends one event in one transaction; returns the Win32 error code or 0.
DWORD appendEvent(store::Connection& conn, const tw_platform::EventLogRecord& e) {
  int rc = conn.begin(true);
  if (rc != SQLITE_OK) return storeError(conn, rc);
  int64_t record = 0;
  {
    store::Statement next(conn.db(), "SELECT COALESCE(MAX(record), 0) + 1 FROM events");
    rc = next.step();
    if (rc == SQLITE_ROW) {
      record = next.int64(0);
      rc = SQLITE_OK;
    }
  }
  if (rc == SQLITE_OK) {
    store::Statement ins(conn.db(),
                         "INSERT INTO events(record, time, source, category, event_id, type, data) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?)");
    ins.bind(1, record)
        .bind(2, e.time)
        .bindText(3, tw_platform::utf16ToUtf8(e.source))
        .bind(4, e.category)
        .bind(5, e.eventId)
        .bind(6, e.type);
    if (e.data.empty()) {
      ins.bindNull(7);
    } else {
      ins.bindBlob(7, std::string_view(reinterpret_cast<const char*>(e.data.data()), e.data.size()));
    }
    rc = ins.step() == SQLITE_DONE ? SQLITE_OK : ins.rc();
  }
  if (rc == SQLITE_OK) {
    store::Statement ins(conn.db(),
                         "INSERT INTO event_strings(record, position, text) VALUES (?, ?, ?)");
    rc = ins.rc();
    for (size_t i = 0; rc == SQLITE_OK && i < e.strings.size(); ++i) {
      ins.reset();
      ins.bind(1, record).bind(2, static_cast<int64_t>(i + 1));
      ins.bindText(3, tw_platform::utf16ToUtf8(e.strings[i]));
      rc = ins.step() == SQLITE_DONE ? SQLITE_OK : ins.rc();
    }
  }
  if (rc == SQLITE_OK) rc = conn.commit();
  if (rc != SQLITE_OK) {
    const DWORD err = storeError(conn, rc);
    conn.rollback();
    return err;
  }
  return 0;
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

bool readEventLog(std::vector<EventLogRecord>& records, const std::u16string& source,
                  const DWORD* eventId) {
  records.clear();
  const std::string path = eventLogPath();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    SetLastError(win32FromErrno(errno));
    return false;
  }
  store::Connection conn;
  int rc = conn.open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, kBusyTimeoutMs);
  if (rc != SQLITE_OK) {
    SetLastError(storeError(conn, rc));
    return false;
  }
  {
    store::Statement probe(conn.db(), "SELECT count(*) FROM sqlite_master WHERE name = 'events'");
    rc = probe.step();
    if (rc != SQLITE_ROW) {
      SetLastError(storeError(conn, rc));
      return false;
    }
    if (probe.int64(0) == 0) return true;  // nothing written yet
  }
  store::Statement q(conn.db(),
                     "SELECT e.record, e.time, e.source, e.category, e.event_id, e.type, e.data, "
                     "       s.position, s.text "
                     "FROM events e LEFT JOIN event_strings s ON s.record = e.record "
                     "WHERE (?1 = '' OR e.source = ?1 COLLATE NOCASE) "
                     "  AND (?2 IS NULL OR e.event_id = ?2) "
                     "ORDER BY e.record, s.position");
  if (!q.ok()) {
    SetLastError(storeError(conn, q.rc()));
    return false;
  }
  q.bindText(1, utf16ToUtf8(source));
  if (eventId) {
    q.bind(2, *eventId);
  } else {
    q.bindNull(2);
  }
  while ((rc = q.step()) == SQLITE_ROW) {
    const DWORD record = static_cast<DWORD>(q.int64(0));
    if (records.empty() || records.back().record != record) {
      EventLogRecord e;
      e.record = record;
      e.time = q.int64(1);
      e.source = utf8ToUtf16(q.text(2));
      e.category = static_cast<WORD>(q.int64(3));
      e.eventId = static_cast<DWORD>(q.int64(4));
      e.type = static_cast<WORD>(q.int64(5));
      const std::string data = q.bytes(6);
      e.data.assign(data.begin(), data.end());
      records.push_back(std::move(e));
    }
    if (!q.isNull(7)) records.back().strings.push_back(utf8ToUtf16(q.text(8)));
  }
  if (rc != SQLITE_DONE) {
    SetLastError(storeError(conn, rc));
    records.clear();
    return false;
  }
  return true;
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
  auto* h = new EventSource;
  h->source = sourceName;
  const DWORD err = openStoreForWriting(h->conn);
  if (err != 0) {
    delete h;
    SetLastError(err);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<tw_platform::KernelObject*>(h);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID,
                  WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  EventSource* src = asEventSource(eventLog);
  if (src == nullptr || !src->conn.isOpen()) {
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
  const DWORD err = appendEvent(src->conn, e);
  if (err != 0) {
    SetLastError(err);
    return FALSE;
  }
  mirrorToSyslog(e);
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
