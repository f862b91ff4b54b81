// Loading system libraries by name and looking up their entry points.
//
// The libraries the program loads at run time are built in here: LoadLibraryA
// knows them by their Windows file names (without regard to case) and
// GetProcAddress gives the entry points each of them offers. Any other name
// fails like a missing library (126), any other entry point like a missing
// one (127).
#pragma once

#include "platform/win32types.h"

// An entry point, to be cast to its real type before the call. Declared
// without a result (Windows has INT_PTR) so that casts to and from it are
// free of function-type warnings.
typedef void (*FARPROC)();

HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
