// Last-error state and system message texts.
#pragma once

#include <cstdarg>

#include "platform/win32types.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// Per-thread last error, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD code);

// Formats a system message (FORMAT_MESSAGE_FROM_SYSTEM) into the buffer.
// Returns the number of characters stored without the terminating zero, or 0
// with the last error set (317 for an unknown code, 122 for a short buffer,
// 1815 for a language other than neutral or English).
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, va_list* arguments);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, va_list* arguments);

// The network provider's extended error. No provider reports one here, so the
// code is 0 and both texts are empty.
DWORD WNetGetLastErrorA(LPDWORD error, LPSTR errorBuf, DWORD errorBufSize, LPSTR nameBuf,
                        DWORD nameBufSize);
