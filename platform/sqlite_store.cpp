#include "platform/sqlite_store.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/detail.h"

namespace tw_platform::sqlite_store {

// ---------------------------------------------------------------------------
// Locations

Location locate(StateFile which) {
  const char* fileName = which == StateFile::UserHive      ? "user.db"
                         : which == StateFile::MachineHive ? "machine.db"
                                                           : "eventlog.db";
  const char* root = std::getenv("TARNWICK_ROOT");
  if (root != nullptr && root[0] != '\0') {
    // The folder loses trailing slashes, so that creating it does not take
    // it for its own parent; the file name keeps the root as given.
    std::string dir(root);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const mode_t mode = which == StateFile::EventLog ? 0755 : 0700;
    return {dir, std::string(root) + "/" + fileName, mode};
  }
  if (which == StateFile::EventLog) {
    return {"/var/log/tarnwick", "/var/log/tarnwick/eventlog.db", 01777};
  }
  if (which == StateFile::MachineHive) {
    return {"/var/lib/tarnwick", "/var/lib/tarnwick/machine.db", 0755};
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
  return {dir, dir + "/" + fileName, 0700};
}

int makeDirectories(const std::string& dir, mode_t mode, bool exactModes) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    // Parents outside our own folder get the usual mode.
    int rc = makeDirectories(dir.substr(0, slash), 0755, exactModes);
    if (rc != 0) return rc;
  }
  if (::mkdir(dir.c_str(), mode) != 0) return errno == EEXIST ? 0 : errno;
  if (exactModes) ::chmod(dir.c_str(), mode);
  return 0;
}

// ---------------------------------------------------------------------------
// Errors

namespace {

bool meansNoRights(int err) { return err == EACCES || err == EPERM || err == EROFS; }

}  // namespace

DWORD win32FromSqlite(int rc, sqlite3* db, const ErrorCodes& codes, bool writing) {
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
  const int sysErr = db ? sqlite3_system_errno(db) : 0;
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

int Connection::open(const std::string& file, int flags, int busyTimeoutMs) {
  close();
  int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyTimeoutMs);
  return SQLITE_OK;
}

}  // namespace tw_platform::sqlite_store
