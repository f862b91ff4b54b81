// What the registry hives and the event store share on SQLite: where the
// state files live, how their folders are made, connections with their
// busy timeout and transactions, prepared statements, and the translation of
// SQLite failures into Win32 codes. Only files in platform/ include this.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32types.h"

namespace tw_platform::sqlite_store {

// ---------------------------------------------------------------------------
// The library

// The SQLite entry points the stores call. The library is opened at the
// first open of a store, never linked, so that a run that opens none (a
// search without the event log or a checksum) neither maps nor relocates it.
struct Sqlite {
  decltype(&sqlite3_config) config = nullptr;
  decltype(&sqlite3_open_v2) openV2 = nullptr;
  decltype(&sqlite3_close_v2) closeV2 = nullptr;
  decltype(&sqlite3_extended_result_codes) extendedResultCodes = nullptr;
  decltype(&sqlite3_busy_handler) busyHandler = nullptr;
  decltype(&sqlite3_exec) exec = nullptr;
  decltype(&sqlite3_prepare_v2) prepareV2 = nullptr;
  decltype(&sqlite3_prepare_v3) prepareV3 = nullptr;
  decltype(&sqlite3_finalize) finalize = nullptr;
  decltype(&sqlite3_reset) reset = nullptr;
  decltype(&sqlite3_clear_bindings) clearBindings = nullptr;
  decltype(&sqlite3_step) step = nullptr;
  decltype(&sqlite3_bind_int64) bindInt64 = nullptr;
  decltype(&sqlite3_bind_text) bindText = nullptr;
  decltype(&sqlite3_bind_blob) bindBlob = nullptr;
  decltype(&sqlite3_bind_null) bindNull = nullptr;
  decltype(&sqlite3_column_int64) columnInt64 = nullptr;
  decltype(&sqlite3_column_type) columnType = nullptr;
  decltype(&sqlite3_column_blob) columnBlob = nullptr;
  decltype(&sqlite3_column_bytes) columnBytes = nullptr;
  decltype(&sqlite3_column_text) columnText = nullptr;
  decltype(&sqlite3_system_errno) systemErrno = nullptr;
  decltype(&sqlite3_db_readonly) dbReadonly = nullptr;
  decltype(&sqlite3_get_autocommit) getAutocommit = nullptr;
  decltype(&sqlite3_last_insert_rowid) lastInsertRowid = nullptr;
  decltype(&sqlite3_changes) changes = nullptr;
};

// Opens libsqlite3.so.0 once; null when it cannot be opened, lacks an entry
// point or is older than 3.31 (which ignores SQLITE_OPEN_NOFOLLOW).
const Sqlite* loadSqlite();
// The opened library. Only for a caller that holds an open connection, whose
// open loaded it.
inline const Sqlite& sqlite() { return *loadSqlite(); }

// What Connection::open returns when the library cannot be loaded; the
// stores report ERROR_MOD_NOT_FOUND (no library) or ERROR_PROC_NOT_FOUND (an
// entry point missing, or too old).
constexpr int kNoSqliteLibrary = -1;

// ---------------------------------------------------------------------------
// Locations

enum class StateFile { UserHive, MachineHive, EventLog };

struct Location {
  std::string dir;   // the folder that holds the file
  std::string file;  // the database file
  mode_t dirMode;    // mode the folder gets when it is created
  mode_t fileMode;   // mode the file gets when it is created
};

// Where a state file lives: in $TARNWICK_ROOT when that is set and not
// empty (the folder 0700), otherwise ${XDG_STATE_HOME:-$HOME/.local/state}/
// tarnwick (0700), /var/lib/tarnwick (0755) and /var/log/tarnwick (0755).
// The user hive is 0600, the machine hive and the event store 0644: only
// their owner writes them, others may read.
Location locate(StateFile which);

// Creates the folder of loc when missing (its missing parents with 0755,
// less the umask) and the file, empty, when missing; each created with its
// mode whatever the umask. A folder or file found is used as it is, its mode
// and owner never changed. Returns 0 or an errno value (ENOTDIR when the
// folder is something else).
int createMissing(const Location& loc);

// ---------------------------------------------------------------------------
// Errors

// The Win32 codes a store reports for SQLite failures. No rights (5) and a
// full disk (112) read the same in every store; the rest differ, as a hive
// and an event log fail differently on Windows.
struct ErrorCodes {
  DWORD busy;          // another writer kept the lock past the busy timeout
  DWORD notADatabase;  // the file is no SQLite database
  DWORD corrupt;       // the database is damaged
  DWORD noMemory;
  DWORD badSchema;     // SQLITE_ERROR and SQLITE_SCHEMA; 0: like any other failure
  // Whether every system error behind a failure is reported as such; when
  // false, only those that mean no rights, a missing file (on open) or a
  // full disk (on I/O) are.
  bool everySystemError;
  DWORD cantOpen;      // the file cannot be opened, for no reported reason
  DWORD readFailed;    // any other failure of a reading call
  DWORD writeFailed;   // any other failure of a writing call
};

DWORD win32FromSqlite(int rc, sqlite3* db, const ErrorCodes& codes, bool writing);

// ---------------------------------------------------------------------------
// Statements

class Connection;

// A prepared statement. The first failure (of prepare, a bind or a step)
// is kept in rc() and makes the later binds and steps do nothing.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite().prepareV2(db, sql, -1, &st_, nullptr); }
  // The connection's own statement of sql (a literal: the connection keeps
  // the pointer), prepared on its first use and lent while nobody else holds
  // it; otherwise prepared here as above.
  inline Statement(Connection& conn, const char* sql);
  inline ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }

  Statement& bind(int i, int64_t v) { return check(ok() ? sqlite().bindInt64(st_, i, v) : rc_); }
  Statement& bindText(int i, std::string_view s) {
    return check(ok() ? sqlite().bindText(st_, i, s.data(), static_cast<int>(s.size()),
                                          SQLITE_TRANSIENT)
                      : rc_);
  }
  // A zero-length blob stays a blob (never NULL), so that an empty value
  // name compares equal to itself.
  Statement& bindBlob(int i, std::string_view b) {
    return check(ok() ? sqlite().bindBlob(st_, i, b.empty() ? "" : b.data(),
                                          static_cast<int>(b.size()), SQLITE_TRANSIENT)
                      : rc_);
  }
  Statement& bindNull(int i) { return check(ok() ? sqlite().bindNull(st_, i) : rc_); }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() {
    if (!ok()) return rc_;
    int r = sqlite().step(st_);
    if (r != SQLITE_ROW && r != SQLITE_DONE) rc_ = r;
    return r;
  }
  // Makes the statement ready to run again with new bindings.
  void reset() {
    if (ok()) sqlite().reset(st_);
  }

  int64_t int64(int col) { return sqlite().columnInt64(st_, col); }
  bool isNull(int col) { return sqlite().columnType(st_, col) == SQLITE_NULL; }
  // The column's bytes (a blob, or a text with any NUL in it).
  std::string bytes(int col) {
    const void* p = sqlite().columnBlob(st_, col);
    return p ? std::string(static_cast<const char*>(p),
                           static_cast<size_t>(sqlite().columnBytes(st_, col)))
             : std::string();
  }
  // The column as a C string: a text up to its first NUL.
  std::string text(int col) {
    const unsigned char* p = sqlite().columnText(st_, col);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
  }

 private:
  Statement& check(int rc) {
    rc_ = rc;
    return *this;
  }

  sqlite3_stmt* st_ = nullptr;
  int rc_;
  Connection* lender_ = nullptr;  // the connection that lent st_
};

// ---------------------------------------------------------------------------
// Connections

// One connection to a store file. An open transaction is rolled back when
// the connection is closed or destroyed.
class Connection {
 public:
  // How long a call waits for other writers, and since when it has waited.
  struct BusyWait {
    int timeoutMs = 0;
    std::chrono::steady_clock::time_point since;
  };

  Connection() = default;
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the file with the given SQLite open flags and sets how long a
  // call waits for other writers. Returns an SQLite code; after a failure
  // db() still tells what went wrong, until close().
  int open(const std::string& file, int flags, int busyTimeoutMs);
  void close() {
    if (db_ == nullptr) return;
    rollback();
    for (const Kept& k : kept_) sqlite().finalize(k.st);
    kept_.clear();
    sqlite().closeV2(db_);
    db_ = nullptr;
  }

  // Forgets the connection without closing it: a child process after fork
  // must not close (and so unlock or roll back) what its parent still uses.
  void abandon() {
    db_ = nullptr;
    inTransaction_ = false;
    kept_.clear();
  }

  // Lends the statement of sql prepared on this connection earlier, or
  // prepares and keeps it; null with *rc set when it is lent already
  // (*rc SQLITE_OK) or does not prepare.
  sqlite3_stmt* lend(const char* sql, int* rc) {
    *rc = SQLITE_OK;
    for (Kept& k : kept_) {
      if (std::strcmp(k.sql, sql) != 0) continue;
      if (k.lent) return nullptr;
      k.lent = true;
      return k.st;
    }
    sqlite3_stmt* st = nullptr;
    *rc = sqlite().prepareV3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (*rc != SQLITE_OK) return nullptr;
    kept_.push_back({sql, st, true});
    return st;
  }
  // Takes a lent statement back, reset and without its bindings.
  void takeBack(sqlite3_stmt* st) {
    sqlite().reset(st);
    sqlite().clearBindings(st);
    for (Kept& k : kept_) {
      if (k.st == st) k.lent = false;
    }
  }

  sqlite3* db() const { return db_; }
  bool isOpen() const { return db_ != nullptr; }

  int exec(const char* sql) { return sqlite().exec(db_, sql, nullptr, nullptr, nullptr); }
  // Uses the rollback journal. A write-ahead log would shut out users who
  // may only read the file.
  void useRollbackJournal() { exec("PRAGMA journal_mode=DELETE"); }

  // A write takes the lock at the start (BEGIN IMMEDIATE) and waits for it
  // in the busy handler: a deferred transaction that later needs the write
  // lock fails at once instead. A read begins a deferred one.
  int begin(bool write) {
    int rc = exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK) inTransaction_ = true;
    return rc;
  }
  int commit() {
    if (!inTransaction_) return SQLITE_OK;
    int rc = exec("COMMIT");
    if (rc == SQLITE_OK) inTransaction_ = false;
    return rc;
  }
  void rollback() {
    if (!inTransaction_) return;
    exec("ROLLBACK");
    inTransaction_ = false;
  }

 private:
  // A statement prepared once; sql is a string that outlives the
  // connection (a literal).
  struct Kept {
    const char* sql;
    sqlite3_stmt* st;
    bool lent;
  };

  sqlite3* db_ = nullptr;
  bool inTransaction_ = false;
  BusyWait busyWait_;
  std::vector<Kept> kept_;
};

Statement::Statement(Connection& conn, const char* sql) {
  st_ = conn.lend(sql, &rc_);
  if (st_ != nullptr) {
    lender_ = &conn;
  } else if (rc_ == SQLITE_OK) {
    rc_ = sqlite().prepareV2(conn.db(), sql, -1, &st_, nullptr);
  }
}

Statement::~Statement() {
  if (lender_ != nullptr) {
    lender_->takeBack(st_);
  } else {
    sqlite().finalize(st_);
  }
}

// ---------------------------------------------------------------------------
// The idle connection

// A thread keeps at most one connection open between its calls, so that its
// next call to the same file neither opens it nor reads its schema again.
// Opening any other connection closes it first, so that the new one reuses
// its memory (fresh pages cost more than an open).

// Takes the thread's idle connection when it still serves file: opened by
// this process, to this path, which still names the regular file it was
// opened on (now: lstat of the path, null when that failed), so that a file
// replaced or removed is never written through a stale handle; for a write,
// one that may write. Otherwise that connection is closed (forgotten in a
// child after fork) and null returned.
std::unique_ptr<Connection> takeIdle(const std::string& file, const struct stat* now, bool write);

// Keeps conn as the thread's idle connection to file, whose lstat before the
// open was id; one still in a transaction is closed instead.
void keepIdle(std::unique_ptr<Connection> conn, std::string file, const struct stat& id);

}  // namespace tw_platform::sqlite_store
