// Access to registry keys under one root key. Every operation opens the key
// it needs, does one thing, closes the key and returns a success flag; on
// failure the system's message text stays in lastErrorText (narrow
// operations) or lastErrorTextW (wide operations). Nothing throws.
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/win32types.h"

class CRegistry {
 public:
  CRegistry();
  explicit CRegistry(HKEY root);
  virtual ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  BOOL keyExists(const char* subkey);
  // Opens the key or creates it with every missing key on its way.
  BOOL createKey(const char* subkey);
  BOOL createKey(const WCHAR* subkey);
  // Reads the value's data into the buffer, whatever its type. The first
  // byte is set to NUL first; no terminating NUL is added.
  BOOL readString(const char* subkey, const char* valueName, char* buffer, DWORD bufferSize,
                  REGSAM extraAccess = 0);
  // Writes the text with its terminating NUL as a value of the given type.
  BOOL writeValue(const char* subkey, const char* valueName, const char* text, DWORD type);
  BOOL writeValue(const WCHAR* subkey, const WCHAR* valueName, const WCHAR* text, DWORD type);
  BOOL writeString(const char* subkey, const char* valueName, const char* text);
  BOOL writeString(const WCHAR* subkey, const WCHAR* valueName, const WCHAR* text);
  BOOL writeDword(const WCHAR* subkey, const WCHAR* valueName, DWORD value);
  // Number of subkeys, at most 512; 0 when the key cannot be opened.
  DWORD countSubkeys(const char* subkey);
  // Deletes the key with its values and every key below it.
  BOOL deleteKeyTree(const char* subkey);
  // The first maxCount subkey names in enumeration order.
  std::vector<std::string> enumerateSubkeys(const std::string& subkey, DWORD maxCount,
                                            REGSAM extraAccess = 0);

  // System message of the last failure; empty when the last operation
  // succeeded without one.
  char lastErrorText[512];
  WCHAR lastErrorTextW[512];

 private:
  void clearErrors();
  void keepError(LONG code);
  void keepErrorW(LONG code);

  HKEY root;
};
