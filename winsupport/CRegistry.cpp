#include "winsupport/CRegistry.h"

#include <cstdio>
#include <cstring>

#include "platform/errors.h"

namespace {

// Name buffers, in characters.
constexpr DWORD kNameChars = 256;
constexpr DWORD kTreeNameChars = 512;
constexpr DWORD kMaxSubkeys = 512;
// Neutral language, system default.
constexpr DWORD kLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);
// Message text on one line: the width mask turns line breaks into blanks.
constexpr DWORD kMessageFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK;

std::u16string wideText(const WCHAR* s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace

CRegistry::CRegistry() : CRegistry(HKEY_LOCAL_MACHINE) {}

CRegistry::CRegistry(HKEY rootKey) : root(rootKey) { clearErrors(); }

CRegistry::~CRegistry() { RegCloseKey(root); }

void CRegistry::clearErrors() {
  lastErrorText[0] = '\0';
  lastErrorTextW[0] = 0;
}

void CRegistry::keepError(LONG code) {
  // Formatted in a large buffer first, so that a long text is cut to the
  // field rather than lost.
  char text[4096];
  lastErrorText[0] = '\0';
  DWORD n = FormatMessageA(kMessageFlags, nullptr, static_cast<DWORD>(code), kLanguage, text,
                           sizeof text, nullptr);
  if (n == 0) return;
  size_t len = n < sizeof lastErrorText - 1 ? n : sizeof lastErrorText - 1;
  std::memcpy(lastErrorText, text, len);
  lastErrorText[len] = '\0';
}

void CRegistry::keepErrorW(LONG code) {
  WCHAR text[4096];
  lastErrorTextW[0] = 0;
  DWORD n = FormatMessageW(kMessageFlags, nullptr, static_cast<DWORD>(code), kLanguage, text,
                           sizeof text / sizeof text[0], nullptr);
  if (n == 0) return;
  const size_t cap = sizeof lastErrorTextW / sizeof lastErrorTextW[0] - 1;
  size_t len = n < cap ? n : cap;
  std::memcpy(lastErrorTextW, text, len * sizeof(WCHAR));
  lastErrorTextW[len] = 0;
}

BOOL CRegistry::keyExists(const char* subkey) {
  clearErrors();
  HKEY key;
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  RegCloseKey(key);
  return TRUE;
}

BOOL CRegistry::createKey(const char* subkey) {
  clearErrors();
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    return TRUE;
  }
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE,
                            nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  RegCloseKey(key);
  return TRUE;
}

BOOL CRegistry::createKey(const WCHAR* subkey) {
  clearErrors();
  HKEY key;
  if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    return TRUE;
  }
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE,
                            nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) {
    keepErrorW(rc);
    return FALSE;
  }
  RegCloseKey(key);
  return TRUE;
}

BOOL CRegistry::readString(const char* subkey, const char* valueName, char* buffer,
                           DWORD bufferSize, REGSAM extraAccess) {
  clearErrors();
  if (bufferSize >= 1) buffer[0] = '\0';
  HKEY key;
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_READ | extraAccess, &key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  DWORD size = bufferSize;
  rc = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  return TRUE;
}

BOOL CRegistry::writeValue(const char* subkey, const char* valueName, const char* text,
                           DWORD type) {
  clearErrors();
  HKEY key;
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  rc = RegSetValueExA(key, valueName, 0, type, reinterpret_cast<const BYTE*>(text),
                      static_cast<DWORD>(std::strlen(text) + 1));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  return TRUE;
}

BOOL CRegistry::writeValue(const WCHAR* subkey, const WCHAR* valueName, const WCHAR* text,
                           DWORD type) {
  clearErrors();
  HKEY key;
  LONG rc = RegOpenKeyExW(root, subkey, 0, KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    keepErrorW(rc);
    return FALSE;
  }
  const size_t length = wideText(text).size();
  rc = RegSetValueExW(key, valueName, 0, type, reinterpret_cast<const BYTE*>(text),
                      static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    keepErrorW(rc);
    return FALSE;
  }
  return TRUE;
}

BOOL CRegistry::writeString(const char* subkey, const char* valueName, const char* text) {
  return writeValue(subkey, valueName, text, REG_SZ);
}

BOOL CRegistry::writeString(const WCHAR* subkey, const WCHAR* valueName, const WCHAR* text) {
  return writeValue(subkey, valueName, text, REG_SZ);
}

BOOL CRegistry::writeDword(const WCHAR* subkey, const WCHAR* valueName, DWORD value) {
  clearErrors();
  HKEY key;
  LONG rc = RegOpenKeyExW(root, subkey, 0, KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    keepErrorW(rc);
    return FALSE;
  }
  rc = RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                      sizeof value);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    keepErrorW(rc);
    return FALSE;
  }
  return TRUE;
}

DWORD CRegistry::countSubkeys(const char* subkey) {
  clearErrors();
  HKEY key;
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_ENUMERATE_SUB_KEYS, &key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return 0;
  }
  DWORD count = 0;
  while (count < kMaxSubkeys) {
    char name[kNameChars];
    DWORD size = kNameChars;
    rc = RegEnumKeyExA(key, count, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      keepError(rc);
      break;
    }
    ++count;
  }
  RegCloseKey(key);
  return count;
}

BOOL CRegistry::deleteKeyTree(const char* subkey) {
  clearErrors();
  HKEY key;
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS,
                          &key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  // A child that cannot be deleted is stepped over; a deleted one makes the
  // next child move down to the same index.
  DWORD index = 0;
  while (index < kMaxSubkeys) {
    char name[kTreeNameChars];
    DWORD size = kTreeNameChars;
    rc = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      keepError(rc);
      break;
    }
    char child[kTreeNameChars];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
    std::snprintf(child, sizeof child, "%s\\%s", subkey, name);
#pragma GCC diagnostic pop
    if (countSubkeys(child) > 0) {
      if (!deleteKeyTree(child)) ++index;
    } else {
      rc = RegDeleteKeyA(key, name);
      if (rc != ERROR_SUCCESS) {
        keepError(rc);
        ++index;
      }
    }
  }
  RegCloseKey(key);
  rc = RegDeleteKeyA(root, subkey);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return FALSE;
  }
  return TRUE;
}

std::vector<std::string> CRegistry::enumerateSubkeys(const std::string& subkey, DWORD maxCount,
                                                     REGSAM extraAccess) {
  clearErrors();
  std::vector<std::string> names;
  HKEY key;
  LONG rc = RegOpenKeyExA(root, subkey.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | extraAccess, &key);
  if (rc != ERROR_SUCCESS) {
    keepError(rc);
    return names;
  }
  for (DWORD i = 0; i < maxCount; ++i) {
    char name[kNameChars];
    DWORD size = kNameChars;
    rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      keepError(rc);
      break;
    }
    names.emplace_back(name, size);
  }
  RegCloseKey(key);
  return names;
}
