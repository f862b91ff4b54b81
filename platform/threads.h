// Threads and the per-thread set-up of the COM library.
//
// A thread handle is a kernel handle: CloseHandle releases it and the thread
// runs on. There is no way to end another thread from outside; its owner
// makes it return (the Internet-library worker: by closing the library's
// handles, which makes its pending call fail).
#pragma once

#include "platform/win32types.h"

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);
typedef int32_t HRESULT;

#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#endif
#define STILL_ACTIVE 259u
#define COINIT_APARTMENTTHREADED 0x2u
#define S_OK 0

// Starts start(parameter) on a new thread. Security, stack size and flags
// are accepted and unused; threadId, when given, receives a number that
// identifies the thread in this process. Null with the last error set when
// the system has no thread to give.
HANDLE CreateThread(LPVOID security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);

// Waits until the thread has ended (WAIT_OBJECT_0; the thread is gone from
// the process by then) or the time passes (WAIT_TIMEOUT). Not a thread
// handle: WAIT_FAILED and 6.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// The start routine's result, or STILL_ACTIVE while it runs.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// Nothing to set up here: both succeed and do nothing.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
