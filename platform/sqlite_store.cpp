#include "platform/sqlite_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "platform/detail.h"

namespace tw_platform::sqlite_store {

// ---------------------------------------------------------------------------
// The library

namespace {

Sqlite g_sqlite;
DWORD g_sqliteError = 0;  // why it did not load: 126 no library, 127 unfit
std::once_flag g_sqliteOnce;

// Opening with SQLITE_OPEN_NOFOLLOW, which an older library ignores.
constexpr int kOldestSqlite = 3031000;

}  // namespace

const Sqlite* loadSqlite() {
  std::call_once(g_sqliteOnce, [] {
    g_sqliteError = openLibrary("libsqlite3.so.0", [](void* library) {
      Sqlite& s = g_sqlite;
      decltype(&sqlite3_libversion_number) version = nullptr;
      const auto has = [library](const char* name, auto& into) {
        return lookUpSymbol(library, name, into);
      };
      return has("sqlite3_libversion_number", version) && version() >= kOldestSqlite &&
             has("sqlite3_config", s.config) && has("sqlite3_open_v2", s.openV2) &&
             has("sqlite3_close_v2", s.closeV2) &&
             has("sqlite3_extended_result_codes", s.extendedResultCodes) &&
             has("sqlite3_busy_handler", s.busyHandler) && has("sqlite3_exec", s.exec) &&
             has("sqlite3_prepare_v2", s.prepareV2) && has("sqlite3_prepare_v3", s.prepareV3) &&
             has("sqlite3_finalize", s.finalize) && has("sqlite3_reset", s.reset) &&
             has("sqlite3_clear_bindings", s.clearBindings) && has("sqlite3_step", s.step) &&
             has("sqlite3_bind_int64", s.bindInt64) && has("sqlite3_bind_text", s.bindText) &&
             has("sqlite3_bind_blob", s.bindBlob) && has("sqlite3_bind_null", s.bindNull) &&
             has("sqlite3_column_int64", s.columnInt64) &&
             has("sqlite3_column_type", s.columnType) &&
             has("sqlite3_column_blob", s.columnBlob) &&
             has("sqlite3_column_bytes", s.columnBytes) &&
             has("sqlite3_column_text", s.columnText) &&
             has("sqlite3_system_errno", s.systemErrno) &&
             has("sqlite3_db_readonly", s.dbReadonly) &&
             has("sqlite3_get_autocommit", s.getAutocommit) &&
             has("sqlite3_last_insert_rowid", s.lastInsertRowid) &&
             has("sqlite3_changes", s.changes);
    });
  });
  return g_sqliteError == 0 ? &g_sqlite : nullptr;
}

// ---------------------------------------------------------------------------
// Locations

Location locate(StateFile which) {
  const char* fileName = which == StateFile::UserHive      ? "user.db"
                         : which == StateFile::MachineHive ? "machine.db"
                                                           : "eventlog.db";
  const mode_t fileMode = which == StateFile::UserHive ? 0600 : 0644;
  const char* root = std::getenv("TARNWICK_ROOT");
  if (root != nullptr && root[0] != '\0') {
    // The folder loses trailing slashes, so that creating it does not take
    // it for its own parent; the file name keeps the root as given.
    std::string dir(root);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return {dir, std::string(root) + "/" + fileName, 0700, fileMode};
  }
  if (which == StateFile::EventLog) {
    return {"/var/log/tarnwick", "/var/log/tarnwick/eventlog.db", 0755, fileMode};
  }
  if (which == StateFile::MachineHive) {
    return {"/var/lib/tarnwick", "/var/lib/tarnwick/machine.db", 0755, fileMode};
  }
  std::string base;
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      struct passwd* pw = ::getpwuid(::geteuid());
      home = pw ? pw->pw_dir : "/";
    }
    base = std::string(home) + "/.local/state";
  }
  std::string dir = base + "/tarnwick";
  return {dir, dir + "/" + fileName, 0700, fileMode};
}

namespace {

// Creates dir and its missing parents; only a folder this call made gets
// chmod, so that the umask neither widens nor narrows it (parents outside
// our own folder keep the usual 0755 less the umask).
int makeFolder(const std::string& dir, mode_t mode, bool exact) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    int rc = makeFolder(dir.substr(0, slash), 0755, false);
    if (rc != 0) return rc;
  }
  if (::mkdir(dir.c_str(), mode) != 0) return errno == EEXIST ? 0 : errno;
  if (exact) ::chmod(dir.c_str(), mode);
  return 0;
}

}  // namespace

int createMissing(const Location& loc) {
  int rc = makeFolder(loc.dir, loc.dirMode, true);
  if (rc != 0) return rc;
  // Made here rather than by SQLite, whose new files follow the umask; never
  // through a link, and never one that another process made first.
  const int fd = ::open(loc.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        loc.fileMode);
  if (fd < 0) return errno == EEXIST ? 0 : errno;
  ::fchmod(fd, loc.fileMode);
  ::close(fd);
  return 0;
}

// ---------------------------------------------------------------------------
// Errors

namespace {

bool meansNoRights(int err) { return err == EACCES || err == EPERM || err == EROFS; }

}  // namespace

DWORD win32FromSqlite(int rc, sqlite3* db, const ErrorCodes& codes, bool writing) {
  if (rc == kNoSqliteLibrary) return g_sqliteError;
  const int primary = rc & 0xFF;
  switch (primary) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return codes.busy;
    case SQLITE_NOMEM: return codes.noMemory;
    case SQLITE_NOTADB: return codes.notADatabase;
    case SQLITE_CORRUPT: return codes.corrupt;
    case SQLITE_ERROR:
    case SQLITE_SCHEMA:
      if (codes.badSchema != 0) return codes.badSchema;
      break;
    default: break;
  }
  const int sysErr = db ? sqlite().systemErrno(db) : 0;
  const DWORD fallback = primary == SQLITE_CANTOPEN ? codes.cantOpen
                         : writing                  ? codes.writeFailed
                                                    : codes.readFailed;
  if (codes.everySystemError) return sysErr != 0 ? win32FromErrno(sysErr) : fallback;
  // Only a failed open or I/O carries a system error worth telling.
  if (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR) {
    if (meansNoRights(sysErr)) return ERROR_ACCESS_DENIED;
    if (primary == SQLITE_CANTOPEN && sysErr == ENOENT) return ERROR_FILE_NOT_FOUND;
    if (primary == SQLITE_IOERR && (sysErr == ENOSPC || sysErr == EDQUOT)) return ERROR_DISK_FULL;
  }
  return fallback;
}

// ---------------------------------------------------------------------------
// Connections

namespace {

// Waits for other writers in short sleeps of random length. SQLite's own
// handler sleeps longer the longer it has waited (up to 100 ms a try), so
// that under many writers those who came late keep taking the lock first and
// an early one can wait out its whole timeout; here every waiter tries as
// often as any other.
int waitForLock(void* arg, int tries) {
  auto* wait = static_cast<Connection::BusyWait*>(arg);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) wait->since = now;
  if (now - wait->since >= std::chrono::milliseconds(wait->timeoutMs)) return 0;
  thread_local std::minstd_rand random(static_cast<unsigned>(::getpid()) ^
                                       static_cast<unsigned>(now.time_since_epoch().count()));
  std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 2500));
  return 1;
}

}  // namespace

namespace {

// The thread's idle connection and what the file at its path was when it was
// opened. One per thread: registry calls also come from the component's and
// the Internet library's worker threads; a connection opened without
// SQLite's mutex must never serve two threads at once, and one shared under
// a lock would make a thread wait out another's busy wait.
struct IdleConnection {
  std::unique_ptr<Connection> conn;
  std::string file;
  dev_t dev = 0;
  ino_t ino = 0;
  pid_t pid = 0;  // the process that opened it

  // Closes the connection; a child after fork only forgets its parent's.
  void drop() {
    if (conn && pid != ::getpid()) conn->abandon();
    conn.reset();
  }
  ~IdleConnection() { drop(); }
};

thread_local IdleConnection t_idle;

}  // namespace

std::unique_ptr<Connection> takeIdle(const std::string& file, const struct stat* now, bool write) {
  if (t_idle.conn && t_idle.pid == ::getpid() && t_idle.file == file && now != nullptr &&
      S_ISREG(now->st_mode) && now->st_dev == t_idle.dev && now->st_ino == t_idle.ino &&
      !(write && sqlite().dbReadonly(t_idle.conn->db(), "main") != 0)) {
    return std::move(t_idle.conn);
  }
  t_idle.drop();
  return nullptr;
}

void keepIdle(std::unique_ptr<Connection> conn, std::string file, const struct stat& id) {
  if (!conn || !conn->isOpen() || sqlite().getAutocommit(conn->db()) == 0) return;
  t_idle.drop();
  t_idle.conn = std::move(conn);
  t_idle.file = std::move(file);
  t_idle.dev = id.st_dev;
  t_idle.ino = id.st_ino;
  t_idle.pid = ::getpid();
}

int Connection::open(const std::string& file, int flags, int busyTimeoutMs) {
  const Sqlite* lib = loadSqlite();
  if (lib == nullptr) return kNoSqliteLibrary;
  // No page-cache memory set aside in advance: a connection otherwise
  // allocates and touches room for twenty pages at open, page faults that
  // every short run of the program would pay for each store it opens. The
  // call is refused (and changes nothing) once SQLite is initialised.
  static const bool configured = [lib] {
    lib->config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    return true;
  }();
  (void)configured;
  close();
  t_idle.drop();
  int rc = lib->openV2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) return rc;
  lib->extendedResultCodes(db_, 1);
  busyWait_.timeoutMs = busyTimeoutMs;
  lib->busyHandler(db_, waitForLock, &busyWait_);
  return SQLITE_OK;
}

}  // namespace tw_platform::sqlite_store
