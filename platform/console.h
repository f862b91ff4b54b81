// Console control: SIGINT, SIGQUIT, SIGHUP and SIGTERM delivered as console
// control events to handlers that run on a thread of their own.
#pragma once

#include "platform/win32types.h"

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrlType);

// Adds (add = TRUE) or removes a handler. The most recently added handler is
// called first; the first one that returns TRUE ends the handling. When none
// does, the signal's default action runs (SIGTERM and the others end the
// process). Call it from the main thread before other threads start: the
// signals are blocked in the calling thread and in the threads it creates
// later, and taken by the handler thread alone.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
