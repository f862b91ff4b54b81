// Runtime-library calls with Windows names that the C library lacks here.
#pragma once

#include <cstdio>

#include "platform/win32types.h"

// fopen with a UTF-16 file name and mode; sets errno like fopen.
FILE* _wfopen(const WCHAR* fileName, const WCHAR* mode);
