// What the registry hives and the event store share on SQLite: where the
// state files live, how their folders are made, connections with their
// busy timeout and transactions, prepared statements, and the translation of
// SQLite failures into Win32 codes. Only files in platform/ include this.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32types.h"

namespace tw_platform::sqlite_store {

// ---------------------------------------------------------------------------
// Locations

enum class StateFile { UserHive, MachineHive, EventLog };

struct Location {
  std::string dir;   // the folder that holds the file
  std::string file;  // the database file
  mode_t dirMode;    // mode the folder gets when it is created
};

// Where a state file lives: in $TARNWICK_ROOT when that is set and not
// empty (hives with the folder 0700, the event store 0755), otherwise
// ${XDG_STATE_HOME:-$HOME/.local/state}/tarnwick (0700), /var/lib/tarnwick
// (0755) and /var/log/tarnwick (01777, shared by every user of the machine).
Location locate(StateFile which);

// Creates dir, and its missing parents with 0755. With exactModes each folder
// made gets its mode whatever the umask; otherwise the umask applies.
// Returns 0 or an errno value (ENOTDIR when dir is something else).
int makeDirectories(const std::string& dir, mode_t mode, bool exactModes);

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

// A prepared statement. The first failure (of prepare, a bind or a step)
// is kept in rc() and makes the later binds and steps do nothing.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }

  Statement& bind(int i, int64_t v);
  Statement& bindText(int i, std::string_view s);
  // A zero-length blob stays a blob (never NULL), so that an empty value
  // name compares equal to itself.
  Statement& bindBlob(int i, std::string_view bytes);
  Statement& bindNull(int i);

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Makes the statement ready to run again with new bindings.
  void reset();

  int64_t int64(int col);
  bool isNull(int col);
  // The column's bytes (a blob, or a text with any NUL in it).
  std::string bytes(int col);
  // The column as a C string: a text up to its first NUL.
  std::string text(int col);

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_;
};

// ---------------------------------------------------------------------------
// Connections

// One connection to a store file. An open transaction is rolled back when
// the connection is closed or destroyed.
class Connection {
 public:
  Connection() = default;
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the file with the given SQLite open flags and sets how long a
  // call waits for other writers. Returns an SQLite code; after a failure
  // db() still tells what went wrong, until close().
  int open(const std::string& file, int flags, int busyTimeoutMs);
  void close();

  sqlite3* db() const { return db_; }
  bool isOpen() const { return db_ != nullptr; }

  int exec(const char* sql);
  // Uses the rollback journal. A write-ahead log would shut out users who
  // may only read the file.
  void useRollbackJournal();

  // A write takes the lock at the start (BEGIN IMMEDIATE) and waits for it
  // in the busy handler: a deferred transaction that later needs the write
  // lock fails at once instead. A read begins a deferred one.
  int begin(bool write);
  int commit();
  void rollback();

 private:
  sqlite3* db_ = nullptr;
  bool inTransaction_ = false;
};

}  // namespace tw_platform::sqlite_store
