// The system's random source (advapi32's RtlGenRandom).
#pragma once

#include "platform/win32types.h"

// Fills the buffer with bytes from the kernel's random source; FALSE when
// the source fails.
BOOL RtlGenRandom(LPVOID buffer, ULONG length);
