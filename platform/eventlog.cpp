// The event log on an append-only SQLite store, mirrored to syslog.
#include "platform/eventlog.h"

#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message_table.h"

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

DWORD win32FromSqlite(sqlite3* db, int rc) {
  switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_TIMEOUT;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR: return ERROR_EVENTLOG_FILE_CORRUPT;
    case SQLITE_CANTOPEN: {
      const int err = db ? sqlite3_system_errno(db) : 0;
      return err ? tw_platform::win32FromErrno(err) : ERROR_ACCESS_DENIED;
    }
    default: {
      const int err = db ? sqlite3_system_errno(db) : 0;
      return err ? tw_platform::win32FromErrno(err) : ERROR_IO_DEVICE;
    }
  }
}

// Creates the missing directories above file: the last one with mode, the
// others with 0755. The default location is shared by every user of the
// machine, like the Windows event log, so its directory is world-writable
// with the sticky bit.
void makeParentDirs(const std::string& file, mode_t mode) {
  const size_t last = file.rfind('/');
  if (last == std::string::npos || last == 0) return;
  for (size_t pos = file.find('/', 1); pos != std::string::npos && pos <= last;
       pos = file.find('/', pos + 1)) {
    const std::string dir = file.substr(0, pos);
    const mode_t m = pos == last ? mode : 0755;
    if (::mkdir(dir.c_str(), m) == 0) ::chmod(dir.c_str(), m);
  }
}

struct Db {
  sqlite3* db = nullptr;
  ~Db() { sqlite3_close_v2(db); }
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  int rc() const { return rc_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

// Opens the store for writing, creating file and tables when missing.
// Returns the Win32 error code, 0 on success.
DWORD openStoreForWriting(Db& store) {
  const std::string path = tw_platform::eventLogPath();
  const bool shared = std::getenv("TARNWICK_ROOT") == nullptr ||
                      std::getenv("TARNWICK_ROOT")[0] == '\0';
  makeParentDirs(path, shared ? 01777 : 0755);
  struct stat st;
  const bool existed = ::stat(path.c_str(), &st) == 0;
  int rc = sqlite3_open_v2(path.c_str(), &store.db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) return win32FromSqlite(store.db, rc);
  // Every user may report events, as every user may on Windows.
  if (!existed) ::chmod(path.c_str(), 0666);
  sqlite3_busy_timeout(store.db, kBusyTimeoutMs);
  if (sqlite3_db_readonly(store.db, "main") == 1) return ERROR_ACCESS_DENIED;
  sqlite3_stmt* probe = nullptr;
  rc = sqlite3_prepare_v2(store.db,
                          "SELECT count(*) FROM sqlite_master WHERE name IN "
                          "('events','event_strings')",
                          -1, &probe, nullptr);
  int tables = 0;
  if (rc == SQLITE_OK && (rc = sqlite3_step(probe)) == SQLITE_ROW) {
    tables = sqlite3_column_int(probe, 0);
    rc = SQLITE_OK;
  }
  sqlite3_finalize(probe);
  if (rc != SQLITE_OK) return win32FromSqlite(store.db, rc);
  if (tables == 2) return 0;
  // A deferred transaction could not be retried on the lock upgrade.
  rc = sqlite3_exec(store.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(store.db, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(store.db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const DWORD err = win32FromSqlite(store.db, rc);
    sqlite3_exec(store.db, "ROLLBACK", nullptr, nullptr, nullptr);
    return err;
  }
  return 0;
}

struct EventSource : tw_platform::KernelObject {
  Db store;
  std::u16string source;
  bool close() override {
    sqlite3_close_v2(store.db);
    store.db = nullptr;
    return true;
  }
};

EventSource* asEventSource(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<EventSource*>(static_cast<tw_platform::KernelObject*>(h));
}

// Appends one event in one transaction; returns the Win32 error code or 0.
DWORD appendEvent(sqlite3* db, const tw_platform::EventLogRecord& e) {
  int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return win32FromSqlite(db, rc);
  sqlite3_int64 record = 0;
  {
    Statement next(db, "SELECT COALESCE(MAX(record), 0) + 1 FROM events");
    rc = next.rc();
    if (rc == SQLITE_OK && (rc = sqlite3_step(next.get())) == SQLITE_ROW) {
      record = sqlite3_column_int64(next.get(), 0);
      rc = SQLITE_OK;
    }
  }
  if (rc == SQLITE_OK) {
    Statement ins(db,
                  "INSERT INTO events(record, time, source, category, event_id, type, data) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?)");
    rc = ins.rc();
    if (rc == SQLITE_OK) {
      const std::string source = tw_platform::utf16ToUtf8(e.source);
      sqlite3_bind_int64(ins.get(), 1, record);
      sqlite3_bind_int64(ins.get(), 2, e.time);
      sqlite3_bind_text(ins.get(), 3, source.c_str(), static_cast<int>(source.size()),
                        SQLITE_TRANSIENT);
      sqlite3_bind_int(ins.get(), 4, e.category);
      sqlite3_bind_int64(ins.get(), 5, e.eventId);
      sqlite3_bind_int(ins.get(), 6, e.type);
      if (e.data.empty()) {
        sqlite3_bind_null(ins.get(), 7);
      } else {
        sqlite3_bind_blob(ins.get(), 7, e.data.data(), static_cast<int>(e.data.size()),
                          SQLITE_TRANSIENT);
      }
      rc = sqlite3_step(ins.get()) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
  }
  if (rc == SQLITE_OK) {
    Statement ins(db, "INSERT INTO event_strings(record, position, text) VALUES (?, ?, ?)");
    rc = ins.rc();
    for (size_t i = 0; rc == SQLITE_OK && i < e.strings.size(); ++i) {
      const std::string text = tw_platform::utf16ToUtf8(e.strings[i]);
      sqlite3_reset(ins.get());
      sqlite3_bind_int64(ins.get(), 1, record);
      sqlite3_bind_int(ins.get(), 2, static_cast<int>(i + 1));
      sqlite3_bind_text(ins.get(), 3, text.c_str(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
      rc = sqlite3_step(ins.get()) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const DWORD err = win32FromSqlite(db, rc);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
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
  std::u16string text;
  if (!tw_platform::formatTableMessage(ownMessageTable(), e.eventId, 0x409, e.strings, text)) {
    text = tw_platform::missingDescriptionText(e.eventId, e.source, e.strings, 0x409);
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
                     tw_platform::utf16ToUtf8(e.source) + "[" +
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

std::string eventLogPath() {
  const char* root = std::getenv("TARNWICK_ROOT");
  if (root && root[0]) return std::string(root) + "/eventlog.db";
  return "/var/log/tarnwick/eventlog.db";
}

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
  Db store;
  int rc = sqlite3_open_v2(path.c_str(), &store.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    SetLastError(win32FromSqlite(store.db, rc));
    return false;
  }
  sqlite3_busy_timeout(store.db, kBusyTimeoutMs);
  {
    Statement probe(store.db, "SELECT count(*) FROM sqlite_master WHERE name = 'events'");
    rc = probe.rc();
    if (rc == SQLITE_OK) rc = sqlite3_step(probe.get());
    if (rc != SQLITE_ROW) {
      SetLastError(win32FromSqlite(store.db, rc));
      return false;
    }
    if (sqlite3_column_int(probe.get(), 0) == 0) return true;  // nothing written yet
  }
  Statement q(store.db,
              "SELECT e.record, e.time, e.source, e.category, e.event_id, e.type, e.data, "
              "       s.position, s.text "
              "FROM events e LEFT JOIN event_strings s ON s.record = e.record "
              "WHERE (?1 = '' OR e.source = ?1 COLLATE NOCASE) "
              "  AND (?2 IS NULL OR e.event_id = ?2) "
              "ORDER BY e.record, s.position");
  if (q.rc() != SQLITE_OK) {
    SetLastError(win32FromSqlite(store.db, q.rc()));
    return false;
  }
  const std::string src = utf16ToUtf8(source);
  sqlite3_bind_text(q.get(), 1, src.c_str(), static_cast<int>(src.size()), SQLITE_TRANSIENT);
  if (eventId) {
    sqlite3_bind_int64(q.get(), 2, *eventId);
  } else {
    sqlite3_bind_null(q.get(), 2);
  }
  auto text = [&](int col) {
    const unsigned char* p = sqlite3_column_text(q.get(), col);
    return p ? utf8ToUtf16(reinterpret_cast<const char*>(p)) : std::u16string();
  };
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
    const DWORD record = static_cast<DWORD>(sqlite3_column_int64(q.get(), 0));
    if (records.empty() || records.back().record != record) {
      EventLogRecord e;
      e.record = record;
      e.time = sqlite3_column_int64(q.get(), 1);
      e.source = text(2);
      e.category = static_cast<WORD>(sqlite3_column_int(q.get(), 3));
      e.eventId = static_cast<DWORD>(sqlite3_column_int64(q.get(), 4));
      e.type = static_cast<WORD>(sqlite3_column_int(q.get(), 5));
      const BYTE* blob = static_cast<const BYTE*>(sqlite3_column_blob(q.get(), 6));
      e.data.assign(blob, blob + sqlite3_column_bytes(q.get(), 6));
      records.push_back(std::move(e));
    }
    if (sqlite3_column_type(q.get(), 7) != SQLITE_NULL) records.back().strings.push_back(text(8));
  }
  if (rc != SQLITE_DONE) {
    SetLastError(win32FromSqlite(store.db, rc));
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
  const DWORD err = openStoreForWriting(h->store);
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
  if (src == nullptr || src->store.db == nullptr) {
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
  const DWORD err = appendEvent(src->store.db, e);
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
