// Code-page conversions between narrow text and UTF-16.
#pragma once

#include "platform/win32types.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008

// Converts narrow text in the given code page to UTF-16. The process code
// page (CP_ACP, CP_OEMCP, CP_THREAD_ACP) is UTF-8. A length of -1 means a
// zero-terminated input, and the terminator is converted and counted too.
// With a size of 0 the call returns the number of units needed. Bytes that
// are not valid in the code page become U+FFFD, unless MB_ERR_INVALID_CHARS
// is given, in which case the call fails with 1113. An unknown code page
// fails with 87, a short buffer with 122; failures return 0.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                        int size);

// Converts UTF-16 to narrow text in the given code page. Characters the code
// page cannot hold become defaultChar (or "?" when it is null), and
// *usedDefaultChar, when given, is set to TRUE. Length and size as above.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out,
                        int size, LPCSTR defaultChar, BOOL* usedDefaultChar);
