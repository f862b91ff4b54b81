// The registry: hives of keys and values with the Windows calls, flags,
// access masks and error codes.
//
// Each hive is one SQLite file (user.db for HKEY_CURRENT_USER, machine.db
// for HKEY_LOCAL_MACHINE; in $TARNWICK_ROOT when set, otherwise in the
// user's state directory and /var/lib/tarnwick). Key paths use "\" between
// names and compare case-insensitively (ASCII); value names compare byte for
// byte. Every write is one immediate transaction, so any number of processes
// may use a hive at once. Strings are kept in UTF-16 as on Windows; the "A"
// calls convert them from and to the process code page (UTF-8).
//
// Errors: a missing key or value gives 2, a short buffer 234, no rights 5,
// the end of an enumeration 259, a hive file that is not a registry database
// 1009, a key deleted behind an open handle 1018.
#pragma once

#include "platform/files.h"
#include "platform/win32types.h"

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

// Predefined root keys.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000UL)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001UL)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002UL)))

// Access rights. (The generic DELETE/READ_CONTROL names are left out: they
// collide with ordinary identifiers such as HTTP verbs.)
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

// The current user's proxy and connection settings, read by the HTTP
// client's proxy detection and by the Internet library alike.
#define REGSTR_PATH_INTERNET_SETTINGS "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Key options and creation dispositions.
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);

// Creates the key and every missing key on the way to it, or opens it when
// it exists. Volatile keys are not supported (87).
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);

// Reads a value. With no data buffer only the type and size are returned;
// a buffer smaller than the data gives 234 with the size needed and the
// buffer untouched.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);

// Subkey names in case-insensitive order; 259 after the last one. nameSize
// is in characters and counts the terminating zero on entry, not on return.
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR keyClass, LPDWORD classSize, PFILETIME lastWriteTime);

// Value names and data in the order the names sort (byte order).
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize,
                   LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);

// Deletes a key with its values; a key that still has subkeys gives 5.
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);

LONG RegCloseKey(HKEY key);
