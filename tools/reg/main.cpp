// tarnwick-reg: query, add and delete registry keys and values.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "winsupport/SystemErrorText.h"

using velmora::windows_specific::systemErrorText;

namespace {

const char* const kUsage =
    "Usage: tarnwick-reg query  KEY [--value NAME] [--data-only]\n"
    "       tarnwick-reg add    KEY [--value NAME] [--type TYPE] [--data DATA]\n"
    "       tarnwick-reg delete KEY [--value NAME]\n"
    "       tarnwick-reg --help\n"
    "\n"
    "Reads and writes the registry hives of tarnwick. KEY is a root followed by\n"
    "a path with backslashes, for example 'HKCU\\Software\\velmora.net'. The roots\n"
    "are HKCU (HKEY_CURRENT_USER) and HKLM (HKEY_LOCAL_MACHINE). Key names compare\n"
    "in any letter case; value names must match exactly.\n"
    "\n"
    "The hives are user.db and machine.db in $TARNWICK_ROOT when it is set;\n"
    "otherwise $XDG_STATE_HOME/tarnwick/user.db (default ~/.local/state) and\n"
    "/var/lib/tarnwick/machine.db.\n"
    "\n"
    "Commands:\n"
    "  query   prints the key's values and its subkeys, or only the value NAME\n"
    "          (--data-only prints just its data)\n"
    "  add     creates the key with every missing key on its way, and with\n"
    "          --value or --data writes the value NAME (empty name: the key's\n"
    "          default value)\n"
    "  delete  deletes the value NAME, or without --value the key with\n"
    "          everything below it\n"
    "\n"
    "Options:\n"
    "  --value NAME   the value's name\n"
    "  --type TYPE    REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ (strings\n"
    "                 separated by \\0), REG_DWORD (decimal or 0x hex),\n"
    "                 REG_BINARY (hex digits)\n"
    "  --data DATA    the value's data (default empty)\n"
    "  --data-only    with query and --value: print only the data\n"
    "\n"
    "Exit status: 0 on success, 1 when the key or value cannot be read or\n"
    "written (with the system's text on standard error), 2 for a usage error.\n";

struct Options {
  std::string command;
  std::string key;
  bool hasValue = false;
  std::string value;
  std::string type = "REG_SZ";
  bool hasData = false;
  std::string data;
  bool dataOnly = false;
};

int usageError(const char* what) {
  std::fprintf(stderr, "tarnwick-reg: %s\nTry 'tarnwick-reg --help'.\n", what);
  return 2;
}

int failure(const std::string& what, LONG code) {
  std::fprintf(stderr, "ERROR: %s: %s\n", what.c_str(), systemErrorText(static_cast<DWORD>(code)).c_str());
  return 1;
}

bool splitRoot(const std::string& full, HKEY& root, std::string& rootName, std::string& path) {
  size_t sep = full.find('\\');
  std::string head = full.substr(0, sep);
  path = sep == std::string::npos ? std::string() : full.substr(sep + 1);
  head = tw_platform::asciiUpper(head);
  if (head == "HKCU" || head == "HKEY_CURRENT_USER") {
    root = HKEY_CURRENT_USER;
    rootName = "HKEY_CURRENT_USER";
  } else if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE") {
    root = HKEY_LOCAL_MACHINE;
    rootName = "HKEY_LOCAL_MACHINE";
  } else {
    return false;
  }
  return true;
}

const char* typeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_UNKNOWN";
  }
}

std::string hexBytes(const std::string& data) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : data) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The data as text, the way query shows it.
std::string showData(DWORD type, const std::string& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return std::string(data.c_str());
    case REG_MULTI_SZ: {
      std::string out;
      size_t start = 0;
      while (start < data.size() && data[start] != '\0') {
        size_t end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        if (!out.empty()) out += "\\0";
        out += data.substr(start, end - start);
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
      if (data.size() == 4) {
        DWORD v;
        std::memcpy(&v, data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
      }
      return hexBytes(data);
    default: return hexBytes(data);
  }
}

bool encodeData(const Options& o, DWORD& type, std::string& bytes) {
  if (o.type == "REG_SZ" || o.type == "REG_EXPAND_SZ") {
    type = o.type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    bytes = o.data + '\0';
    return true;
  }
  if (o.type == "REG_MULTI_SZ") {
    type = REG_MULTI_SZ;
    bytes.clear();
    size_t start = 0;
    while (start <= o.data.size()) {
      size_t sep = o.data.find("\\0", start);
      std::string part = o.data.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
      if (!part.empty()) bytes += part + '\0';
      if (sep == std::string::npos) break;
      start = sep + 2;
    }
    bytes += '\0';
    return true;
  }
  if (o.type == "REG_DWORD") {
    type = REG_DWORD;
    const char* s = o.data.empty() ? "0" : o.data.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull || s[0] == '-') return false;
    DWORD d = static_cast<DWORD>(v);
    bytes.assign(reinterpret_cast<const char*>(&d), 4);
    return true;
  }
  if (o.type == "REG_BINARY") {
    type = REG_BINARY;
    if (o.data.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < o.data.size(); i += 2) {
      char pair[3] = {o.data[i], o.data[i + 1], 0};
      char* end = nullptr;
      long v = std::strtol(pair, &end, 16);
      if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
      bytes += static_cast<char>(v);
    }
    return true;
  }
  return false;
}

// Reads the index-th value; false at the end or on failure (code set).
bool enumValue(HKEY key, DWORD index, std::string& name, DWORD& type, std::string& data,
               LONG& code) {
  std::vector<char> nameBuf(16384);
  DWORD nameSize = static_cast<DWORD>(nameBuf.size());
  DWORD dataSize = 0;
  code = RegEnumValueA(key, index, nameBuf.data(), &nameSize, nullptr, &type, nullptr, &dataSize);
  if (code != ERROR_SUCCESS) return false;
  name.assign(nameBuf.data(), nameSize);
  std::vector<char> dataBuf(dataSize + 1);
  nameSize = static_cast<DWORD>(nameBuf.size());
  code = RegEnumValueA(key, index, nameBuf.data(), &nameSize, nullptr, &type,
                       reinterpret_cast<LPBYTE>(dataBuf.data()), &dataSize);
  if (code != ERROR_SUCCESS) return false;
  data.assign(dataBuf.data(), dataSize);
  return true;
}

int query(const Options& o, HKEY root, const std::string& rootName, const std::string& path) {
  HKEY key;
  LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return failure("cannot open key " + o.key, rc);
  const std::string fullName = path.empty() ? rootName : rootName + "\\" + path;
  int status = 0;
  if (o.hasValue) {
    DWORD type = 0, size = 0;
    rc = RegQueryValueExA(key, o.value.c_str(), nullptr, &type, nullptr, &size);
    std::vector<char> buf(size + 1);
    if (rc == ERROR_SUCCESS) {
      rc = RegQueryValueExA(key, o.value.c_str(), nullptr, &type,
                            reinterpret_cast<LPBYTE>(buf.data()), &size);
    }
    if (rc != ERROR_SUCCESS) {
      status = failure("cannot read value \"" + o.value + "\"", rc);
    } else if (o.dataOnly) {
      std::printf("%s\n", showData(type, std::string(buf.data(), size)).c_str());
    } else {
      std::printf("%s\n    %s    %s    %s\n", fullName.c_str(),
                  o.value.empty() ? "(Default)" : o.value.c_str(), typeName(type),
                  showData(type, std::string(buf.data(), size)).c_str());
    }
    RegCloseKey(key);
    return status;
  }
  std::printf("%s\n", fullName.c_str());
  for (DWORD i = 0;; ++i) {
    std::string name, data;
    DWORD type = 0;
    if (!enumValue(key, i, name, type, data, rc)) break;
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), typeName(type),
                showData(type, data).c_str());
  }
  if (rc != ERROR_NO_MORE_ITEMS) status = failure("cannot list values", rc);
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) break;
    std::printf("%s\\%s\n", fullName.c_str(), name);
  }
  if (rc != ERROR_NO_MORE_ITEMS) status = failure("cannot list subkeys", rc);
  RegCloseKey(key);
  return status;
}

int add(const Options& o, HKEY root, const std::string& path) {
  DWORD type = REG_SZ;
  std::string bytes;
  if ((o.hasValue || o.hasData) && !encodeData(o, type, bytes)) {
    return usageError(("data does not fit type " + o.type).c_str());
  }
  HKEY key;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_QUERY_VALUE, nullptr, &key,
                            &disposition);
  if (rc != ERROR_SUCCESS) return failure("cannot create key " + o.key, rc);
  int status = 0;
  if (o.hasValue || o.hasData) {
    rc = RegSetValueExA(key, o.value.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
    if (rc != ERROR_SUCCESS) status = failure("cannot write value \"" + o.value + "\"", rc);
  }
  RegCloseKey(key);
  return status;
}

// Deletes a key and everything below it.
LONG deleteTree(HKEY root, const std::string& path) {
  HKEY key;
  LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> children;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) break;
    children.emplace_back(name, size);
  }
  RegCloseKey(key);
  if (rc != ERROR_NO_MORE_ITEMS) return rc;
  for (const auto& child : children) {
    rc = deleteTree(root, path + "\\" + child);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return RegDeleteKeyA(root, path.c_str());
}

int remove(const Options& o, HKEY root, const std::string& path) {
  if (o.hasValue) {
    HKEY key;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return failure("cannot open key " + o.key, rc);
    rc = RegDeleteValueA(key, o.value.c_str());
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : failure("cannot delete value \"" + o.value + "\"", rc);
  }
  if (path.empty()) return usageError("a root key cannot be deleted");
  LONG rc = deleteTree(root, path);
  return rc == ERROR_SUCCESS ? 0 : failure("cannot delete key " + o.key, rc);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto needArg = [&](const char* opt) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)opt;
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--value" || a == "--type" || a == "--data") {
      const char* v = needArg(a.c_str());
      if (v == nullptr) return usageError((a + " needs an argument").c_str());
      if (a == "--value") {
        o.hasValue = true;
        o.value = v;
      } else if (a == "--type") {
        o.type = v;
      } else {
        o.hasData = true;
        o.data = v;
      }
    } else if (a == "--data-only") {
      o.dataOnly = true;
    } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      return usageError(("unknown option " + a).c_str());
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return usageError("a command and a key are needed");
  o.command = positional[0];
  o.key = positional[1];
  HKEY root;
  std::string rootName, path;
  if (!splitRoot(o.key, root, rootName, path)) {
    return usageError("the key must begin with HKCU or HKLM");
  }
  if (o.command == "query") return query(o, root, rootName, path);
  if (o.command == "add") return add(o, root, path);
  if (o.command == "delete") return remove(o, root, path);
  return usageError(("unknown command " + o.command).c_str());
}
