// Critical sections: recursive locks owned by one thread at a time.
#pragma once

#include <cstddef>

#include "platform/win32types.h"

// Opaque storage for the lock; only platform/synch.cpp knows its layout.
struct CRITICAL_SECTION {
  alignas(std::max_align_t) unsigned char opaque[64];
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

// Sets the lock up. The owning thread may enter it again any number of
// times; it is free when every Enter is matched by a Leave.
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
// Leaving a lock the thread does not own is undefined, as on Windows.
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
