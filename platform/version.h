// Version resource functions over the version block the build adds to the
// executable (see platform/resources.h).
#pragma once

#include "platform/win32types.h"

#define VS_FFI_SIGNATURE 0xFEEF04BDUL
#define VS_FFI_STRUCVERSION 0x00010000UL
#define VS_FF_DEBUG 0x00000001UL
#define VOS__WINDOWS32 0x00000004UL
#define VOS_NT_WINDOWS32 0x00040004UL
#define VFT_APP 0x00000001UL

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// Size of the version information of the file, or 0 with the last error set
// (the open error of the file, 1812 for a file that is no image, 1813 for an
// image without a version block).
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);

// Copies up to len bytes of the version information into data.
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD len, LPVOID data);

// Looks up a value: "\" gives the VS_FIXEDFILEINFO, "\VarFileInfo\Translation"
// the translation array, "\StringFileInfo\<lang><cp>\<name>" a text (len in
// characters with the terminating zero). Keys compare without case.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len);
