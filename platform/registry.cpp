// The registry on SQLite: one database file per hive.
//
// Layout of a hive file:
//   keys(id, parent, name)  every key but the hive's root (id 0); names are
//                           unique under their parent, case-insensitively
//   vals(key, name, type, data)  values; names are compared byte for byte
// The file carries an application id of its own, so that some other SQLite
// file put in its place is refused (1009) instead of being written into.
//
// Every call runs in one transaction of its own: reads in a deferred one,
// writes in BEGIN IMMEDIATE (a deferred transaction that later needs the
// write lock cannot wait for it; an immediate one waits in the busy handler).
// The connection outlives the call: a thread keeps its last one open for its
// next call (store::takeIdle), so that the schema is not read and parsed
// anew every time. A key handle holds only the hive and the key's id, so a
// key deleted by another process is noticed (1018) rather than written to.
#include "platform/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/sqlite_store.h"

namespace {

enum class Hive { User, Machine };

// How long a call waits for another process's write before it gives up.
constexpr int kBusyTimeoutMs = 20000;
// Marks a file as a registry hive ("TWKR").
constexpr int64_t kApplicationId = 0x54574B52;
constexpr int64_t kSchemaVersion = 1;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
// Access bits that need write rights on the hive file.
constexpr REGSAM kWriteAccess =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x00010000 /* DELETE */ |
    0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */;

bool isStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---------------------------------------------------------------------------
// Key handles

struct KeyObject {
  Hive hive;
  int64_t id = 0;
  REGSAM access;
};

std::mutex g_handleMutex;
std::set<KeyObject*> g_handles;

struct KeyRef {
  Hive hive;
  int64_t id = 0;
  REGSAM access;
};

// Resolves a handle: a predefined root or a key this process opened.
LONG resolveHandle(HKEY key, KeyRef& ref) {
  if (key == HKEY_CURRENT_USER) {
    ref = {Hive::User, 0, KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  if (key == HKEY_LOCAL_MACHINE) {
    ref = {Hive::Machine, 0, KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto* obj = reinterpret_cast<KeyObject*>(key);
  if (key == nullptr || g_handles.count(obj) == 0) return ERROR_INVALID_HANDLE;
  ref = {obj->hive, obj->id, obj->access};
  return ERROR_SUCCESS;
}

HKEY newHandle(Hive hive, int64_t id, REGSAM access) {
  auto* obj = new KeyObject{hive, id, access};
  std::lock_guard<std::mutex> lock(g_handleMutex);
  g_handles.insert(obj);
  return reinterpret_cast<HKEY>(obj);
}

// ---------------------------------------------------------------------------
// Sessions

namespace store = tw_platform::sqlite_store;

store::Location hiveLocation(Hive hive) {
  return store::locate(hive == Hive::User ? store::StateFile::UserHive
                                          : store::StateFile::MachineHive);
}

// Whether this process may write the hive. The journal is created beside
// the file, so the directory must be writable as well as the file.
bool writable(const store::Location& loc) {
  if (::euidaccess(loc.dir.c_str(), W_OK | X_OK) != 0) return false;
  return ::euidaccess(loc.file.c_str(), W_OK) == 0 || errno == ENOENT;
}

DWORD accessError(int err) {
  if (err == EACCES || err == EPERM || err == EROFS) return ERROR_ACCESS_DENIED;
  return tw_platform::win32FromErrno(err);
}

const store::ErrorCodes kHiveErrors = {
    .busy = ERROR_LOCK_VIOLATION,
    .notADatabase = ERROR_BADDB,
    .corrupt = ERROR_REGISTRY_CORRUPT,
    .noMemory = ERROR_OUTOFMEMORY,
    .badSchema = 0,
    .everySystemError = false,
    .cantOpen = ERROR_CANTOPEN,
    .readFailed = ERROR_CANTREAD,
    .writeFailed = ERROR_CANTWRITE,
};

using store::Statement;

// One call's transaction, on the thread's kept connection or a new one.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Ends an open transaction and keeps the connection for the thread's next
  // call when the file it was opened on is known.
  ~Session() {
    if (!conn_) return;
    conn_->rollback();
    if (known_) store::keepIdle(std::move(conn_), std::move(file_), id_);
  }

  // Opens the hive and begins a transaction. A hive file that does not exist
  // yet reads as an empty hive; a write creates it.
  DWORD begin(Hive hive, bool write) {
    write_ = write;
    store::Location loc = hiveLocation(hive);
    if (write) {
      int createErr = store::createMissing(loc);
      if (createErr != 0) return accessError(createErr);
    } else {
      // A read creates nothing: no directory or no file is an empty hive.
      struct stat st;
      if (::stat(loc.dir.c_str(), &st) != 0) {
        if (errno == ENOENT) {
          empty_ = true;
          return ERROR_SUCCESS;
        }
        return accessError(errno);
      }
      if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    }
    if (write && !writable(loc)) return ERROR_ACCESS_DENIED;
    // A link is refused by the open (no following); only a regular file
    // found here is the file a new connection opens, barring a race, which
    // at worst makes the next call open anew.
    known_ = ::lstat(loc.file.c_str(), &id_) == 0 && S_ISREG(id_.st_mode);
    const bool fresh = !known_ || id_.st_size == 0;
    conn_ = store::takeIdle(loc.file, known_ ? &id_ : nullptr, write);
    if (!conn_) {
      conn_ = std::make_unique<store::Connection>();
      int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
      if (write) flags |= SQLITE_OPEN_CREATE;
      int rc = conn_->open(loc.file, flags, kBusyTimeoutMs);
      if (rc != SQLITE_OK) {
        known_ = false;
        DWORD err = fail(rc);
        if (!write && err == ERROR_FILE_NOT_FOUND) {
          empty_ = true;
          return ERROR_SUCCESS;
        }
        return err;
      }
    }
    file_ = loc.file;
    if (write && fresh) conn_->useRollbackJournal();
    int rc = conn_->begin(write);
    if (rc != SQLITE_OK) return fail(rc);
    return checkSchema();
  }

  DWORD commit() {
    if (!conn_) return ERROR_SUCCESS;
    int rc = conn_->commit();
    return rc == SQLITE_OK ? ERROR_SUCCESS : fail(rc);
  }

  DWORD fail(int rc) const { return store::win32FromSqlite(rc, db(), kHiveErrors, write_); }

  // True when the hive holds nothing yet (only in read sessions).
  bool empty() const { return empty_; }
  sqlite3* db() const { return conn_ ? conn_->db() : nullptr; }
  // The connection, once begin() has opened one (not in an empty read).
  store::Connection& conn() const { return *conn_; }

 private:
  // Runs on a kept connection too: SQLite reloads its schema when another
  // connection changed it, but the application id and the version are no
  // part of that, and the file may have been rewritten in place.
  DWORD checkSchema() {
    int64_t appId = 0, version = 0, objects = 0;
    {
      Statement s(*conn_, "PRAGMA application_id");
      if (s.step() != SQLITE_ROW) return fail(s.rc());
      appId = s.int64(0);
    }
    if (appId == kApplicationId) {
      Statement s(*conn_, "PRAGMA user_version");
      if (s.step() != SQLITE_ROW) return fail(s.rc());
      version = s.int64(0);
      return version == kSchemaVersion ? ERROR_SUCCESS : ERROR_BADDB;
    }
    {
      Statement s(*conn_, "SELECT count(*) FROM sqlite_master");
      if (s.step() != SQLITE_ROW) return fail(s.rc());
      objects = s.int64(0);
    }
    // Some other database: never write into it.
    if (appId != 0 || objects != 0) return ERROR_BADDB;
    if (!write_) {
      empty_ = true;
      return ERROR_SUCCESS;
    }
    static const char* const kSchema =
        "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
        " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
        "CREATE TABLE vals(key INTEGER NOT NULL, name BLOB NOT NULL, type INTEGER NOT NULL,"
        " data BLOB NOT NULL, PRIMARY KEY(key, name)) WITHOUT ROWID;"
        "PRAGMA application_id=1415007058;"
        "PRAGMA user_version=1;";
    static_assert(kApplicationId == 1415007058);
    int rc = conn_->exec(kSchema);
    return rc == SQLITE_OK ? ERROR_SUCCESS : fail(rc);
  }

  std::unique_ptr<store::Connection> conn_;
  std::string file_;
  struct stat id_ {};  // the file as found before the open
  bool known_ = false;  // whether id_ is that of the connection's file
  bool write_ = false;
  bool empty_ = false;
};

// ---------------------------------------------------------------------------
// Key paths

// Splits a path at "\". A single trailing "\" is allowed; empty names and
// names longer than 255 characters are not.
bool splitPath(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  if (path.empty()) return true;
  std::string p = path;
  if (p.back() == '\\') p.pop_back();
  size_t start = 0;
  for (;;) {
    size_t sep = p.find('\\', start);
    std::string name = p.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
    if (name.empty() || name.size() > kMaxKeyNameLength) return false;
    names.push_back(name);
    if (sep == std::string::npos) return true;
    start = sep + 1;
  }
}

// Checks that the key behind a handle still exists.
DWORD checkKeyAlive(Session& s, int64_t id) {
  if (id == 0) return ERROR_SUCCESS;
  if (s.empty()) return ERROR_KEY_DELETED;
  Statement q(s.conn(), "SELECT 1 FROM keys WHERE id=?1");
  q.bind(1, id);
  int r = q.step();
  if (r == SQLITE_ROW) return ERROR_SUCCESS;
  if (r == SQLITE_DONE) return ERROR_KEY_DELETED;
  return s.fail(r);
}

// The lookup of a key's child by name, prepared once for all the levels
// of a path.
class ChildLookup {
 public:
  explicit ChildLookup(Session& s)
      : s_(s), q_(s.conn(), "SELECT id FROM keys WHERE parent=?1 AND name=?2") {}

  // Finds the child of parent with the given name (any letter case).
  // Returns ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or an error.
  DWORD find(int64_t parent, const std::string& name, int64_t& id) {
    q_.reset();
    q_.bind(1, parent).bindText(2, name);
    int r = q_.step();
    if (r == SQLITE_ROW) {
      id = q_.int64(0);
      q_.reset();  // no read left pending while the session goes on
      return ERROR_SUCCESS;
    }
    return r == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : s_.fail(r);
  }

 private:
  Session& s_;
  Statement q_;
};

DWORD walk(Session& s, int64_t base, const std::vector<std::string>& names, int64_t& id) {
  id = base;
  if (names.empty()) return ERROR_SUCCESS;
  if (s.empty()) return ERROR_FILE_NOT_FOUND;
  ChildLookup child(s);
  for (const auto& n : names) {
    DWORD err = child.find(id, n, id);
    if (err != ERROR_SUCCESS) return err;
  }
  return ERROR_SUCCESS;
}

// Opens base\path in a read session.
LONG openKey(HKEY key, const std::string& path, REGSAM desired, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  std::vector<std::string> names;
  if (!splitPath(path, names)) return ERROR_FILE_NOT_FOUND;
  Session s;
  if ((err = s.begin(ref.hive, false)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  int64_t id = 0;
  if ((err = walk(s, ref.id, names, id)) != ERROR_SUCCESS) return err;
  if ((desired & kWriteAccess) != 0) {
    // Write rights are granted only where the hive file can be written.
    if (!writable(hiveLocation(ref.hive))) return ERROR_ACCESS_DENIED;
  }
  *result = newHandle(ref.hive, id, desired);
  return ERROR_SUCCESS;
}

LONG createKey(HKEY key, const std::string& path, DWORD options, REGSAM desired, PHKEY result,
               LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (options & REG_OPTION_VOLATILE) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  if ((ref.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
  std::vector<std::string> names;
  if (!splitPath(path, names)) return ERROR_INVALID_PARAMETER;

  // An existing key is opened without taking the write lock.
  HKEY existing = nullptr;
  err = openKey(key, path, desired, &existing);
  if (err == ERROR_SUCCESS) {
    *result = existing;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  if (err != ERROR_FILE_NOT_FOUND) return err;

  Session s;
  if ((err = s.begin(ref.hive, true)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  int64_t id = ref.id;
  bool created = false;
  ChildLookup lookup(s);
  for (const auto& n : names) {
    int64_t child = 0;
    err = lookup.find(id, n, child);
    if (err == ERROR_FILE_NOT_FOUND) {
      Statement ins(s.conn(), "INSERT INTO keys(parent, name) VALUES(?1, ?2)");
      ins.bind(1, id).bindText(2, n);
      if (ins.step() != SQLITE_DONE) return s.fail(ins.rc());
      child = store::sqlite().lastInsertRowid(s.db());
      created = true;
    } else if (err != ERROR_SUCCESS) {
      return err;
    }
    id = child;
  }
  if ((err = s.commit()) != ERROR_SUCCESS) return err;
  *result = newHandle(ref.hive, id, desired);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Stores a value; data is already in its stored form.
LONG setValue(HKEY key, const std::string& name, DWORD type, const std::string& data) {
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  if ((ref.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  Session s;
  if ((err = s.begin(ref.hive, true)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  Statement up(s.conn(), "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)");
  up.bind(1, ref.id).bindBlob(2, name).bind(3, type).bindBlob(4, data);
  if (up.step() != SQLITE_DONE) return s.fail(up.rc());
  return s.commit();
}

// UTF-16 text as stored bytes (little-endian) and back.
std::string storedFromUtf16(const std::u16string& s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::u16string utf16FromStored(const std::string& s) {
  std::u16string out;
  out.reserve(s.size() / 2);
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    out += static_cast<char16_t>(static_cast<unsigned char>(s[i]) |
                                 (static_cast<unsigned char>(s[i + 1]) << 8));
  }
  return out;
}

// Copies data out with the size rules of the query calls.
LONG deliver(const std::string& bytes, LPBYTE data, LPDWORD dataSize) {
  if (data == nullptr) {
    if (dataSize) *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
  }
  if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (*dataSize < bytes.size()) {
    *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  *dataSize = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

// The stored data of a value as the narrow calls see it.
std::string narrowData(DWORD type, const std::string& stored) {
  return isStringType(type) ? tw_platform::utf16ToUtf8(utf16FromStored(stored)) : stored;
}

std::string narrowName(LPCWSTR name) {
  return name ? tw_platform::utf16ToUtf8(tw_platform::fromWide(name)) : std::string();
}

// The name of the index-th subkey in enumeration order.
LONG enumKey(HKEY key, DWORD index, std::string& name) {
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  if ((ref.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  Session s;
  if ((err = s.begin(ref.hive, false)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  if (s.empty()) return ERROR_NO_MORE_ITEMS;
  // upper() folds ASCII only, which is the order the names compare in.
  Statement q(s.conn(), "SELECT name FROM keys WHERE parent=?1 ORDER BY upper(name), name LIMIT 1 OFFSET ?2");
  q.bind(1, ref.id).bind(2, index);
  int r = q.step();
  if (r == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (r != SQLITE_ROW) return s.fail(r);
  name = q.bytes(0);
  return ERROR_SUCCESS;
}

void clearClassAndTime(LPDWORD classSize, PFILETIME lastWriteTime) {
  if (classSize) *classSize = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  return openKey(key, subKey ? subKey : "", desired, result);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  return openKey(key, narrowName(subKey), desired, result);
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM desired,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return createKey(key, subKey, options, desired, result, disposition);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD options, REGSAM desired,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return createKey(key, narrowName(subKey), options, desired, result, disposition);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  if ((ref.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  Session s;
  if ((err = s.begin(ref.hive, false)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  if (s.empty()) return ERROR_FILE_NOT_FOUND;
  Statement q(s.conn(), "SELECT type, data FROM vals WHERE key=?1 AND name=?2");
  q.bind(1, ref.id).bindBlob(2, valueName ? valueName : "");
  int r = q.step();
  if (r == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (r != SQLITE_ROW) return s.fail(r);
  DWORD t = static_cast<DWORD>(q.int64(0));
  std::string bytes = narrowData(t, q.bytes(1));
  if (type) *type = t;
  return deliver(bytes, data, dataSize);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  std::string raw(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")),
                  dataSize);
  std::string stored = isStringType(type) ? storedFromUtf16(tw_platform::utf8ToUtf16(raw)) : raw;
  return setValue(key, valueName ? valueName : "", type, stored);
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  std::string raw(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")),
                  dataSize);
  return setValue(key, narrowName(valueName), type, raw);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR keyClass,
                   LPDWORD classSize, PFILETIME lastWriteTime) {
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  std::string n;
  LONG err = enumKey(key, index, n);
  if (err != ERROR_SUCCESS) return err;
  if (n.size() + 1 > *nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, n.c_str(), n.size() + 1);
  *nameSize = static_cast<DWORD>(n.size());
  if (keyClass && classSize && *classSize > 0) keyClass[0] = 0;
  clearClassAndTime(classSize, lastWriteTime);
  return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (valueName == nullptr || valueNameSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  if ((ref.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  Session s;
  if ((err = s.begin(ref.hive, false)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  if (s.empty()) return ERROR_NO_MORE_ITEMS;
  Statement q(s.conn(), "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY name LIMIT 1 OFFSET ?2");
  q.bind(1, ref.id).bind(2, index);
  int r = q.step();
  if (r == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (r != SQLITE_ROW) return s.fail(r);
  std::string n = q.bytes(0);
  DWORD t = static_cast<DWORD>(q.int64(1));
  std::string bytes = narrowData(t, q.bytes(2));
  if (n.size() + 1 > *valueNameSize) return ERROR_MORE_DATA;
  if (data != nullptr && *dataSize < bytes.size()) {
    *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(valueName, n.c_str(), n.size() + 1);
  *valueNameSize = static_cast<DWORD>(n.size());
  if (type) *type = t;
  return deliver(bytes, data, dataSize);
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  std::vector<std::string> names;
  if (!splitPath(subKey, names)) return ERROR_FILE_NOT_FOUND;
  // Find out in a read first, so that deleting a missing key does not need
  // (or wait for) the write lock.
  {
    Session r;
    if ((err = r.begin(ref.hive, false)) != ERROR_SUCCESS) return err;
    if ((err = checkKeyAlive(r, ref.id)) != ERROR_SUCCESS) return err;
    int64_t id = 0;
    if ((err = walk(r, ref.id, names, id)) != ERROR_SUCCESS) return err;
    if (id == 0) return ERROR_ACCESS_DENIED;  // a hive's root stays
  }
  Session s;
  if ((err = s.begin(ref.hive, true)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  int64_t id = 0;
  if ((err = walk(s, ref.id, names, id)) != ERROR_SUCCESS) return err;
  if (id == 0) return ERROR_ACCESS_DENIED;
  {
    Statement c(s.conn(), "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
    c.bind(1, id);
    int r = c.step();
    if (r == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // still has subkeys
    if (r != SQLITE_DONE) return s.fail(r);
  }
  {
    Statement dv(s.conn(), "DELETE FROM vals WHERE key=?1");
    dv.bind(1, id);
    if (dv.step() != SQLITE_DONE) return s.fail(dv.rc());
  }
  {
    Statement dk(s.conn(), "DELETE FROM keys WHERE id=?1");
    dk.bind(1, id);
    if (dk.step() != SQLITE_DONE) return s.fail(dk.rc());
  }
  return s.commit();
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
  KeyRef ref;
  LONG err = resolveHandle(key, ref);
  if (err != ERROR_SUCCESS) return err;
  if ((ref.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  Session s;
  if ((err = s.begin(ref.hive, true)) != ERROR_SUCCESS) return err;
  if ((err = checkKeyAlive(s, ref.id)) != ERROR_SUCCESS) return err;
  Statement d(s.conn(), "DELETE FROM vals WHERE key=?1 AND name=?2");
  d.bind(1, ref.id).bindBlob(2, valueName ? valueName : "");
  if (d.step() != SQLITE_DONE) return s.fail(d.rc());
  if (store::sqlite().changes(s.db()) == 0) return ERROR_FILE_NOT_FOUND;
  return s.commit();
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) {
    return ERROR_SUCCESS;
  }
  auto* obj = reinterpret_cast<KeyObject*>(key);
  {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    if (key == nullptr || g_handles.erase(obj) == 0) return ERROR_INVALID_HANDLE;
  }
  delete obj;
  return ERROR_SUCCESS;
}
