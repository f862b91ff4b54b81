// Windows, message queues and the tick counter.
//
// Each thread has its own message queue, made on first use. Windows belong to
// the thread that created them; their procedures run on that thread only, from
// DispatchMessageA, SendMessageA or the creation and destruction calls. Other
// threads may post (PostMessageA) or send (SendMessageA) to a window: the
// owner's queue is woken at once. Sockets registered with WSAAsyncSelect are
// watched by the queue of their window's thread: a PeekMessageA with an empty
// queue looks at them without waiting, and MsgWaitForMultipleObjects sleeps on
// them and on the queue together, returning as soon as either has input.
#pragma once

#include "platform/modules.h"
#include "platform/win32types.h"

struct HWND__;
typedef HWND__* HWND;
typedef void* HMENU;
typedef void* HICON;
typedef void* HCURSOR;
typedef void* HBRUSH;
typedef WORD ATOM;

typedef LRESULT (*WNDPROC)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};

struct CREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
};

// Messages.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

// Class styles.
#define CS_GLOBALCLASS 0x4000

// Window long indexes (a non-negative index is a byte offset into the
// window's extra storage of cbWndExtra bytes).
#define GWL_WNDPROC (-4)
#define GWL_HINSTANCE (-6)
#define GWL_USERDATA (-21)
#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_USERDATA (-21)

// The parent of a message-only window.
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))

// PeekMessageA options.
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

// Queue status bits for MsgWaitForMultipleObjects. Posted messages (which
// include socket notifications) and sent messages are the kinds of input a
// queue here can hold; the other bits are accepted and have nothing to wake on.
#define QS_KEY 0x0001
#define QS_MOUSEMOVE 0x0002
#define QS_MOUSEBUTTON 0x0004
#define QS_POSTMESSAGE 0x0008
#define QS_TIMER 0x0010
#define QS_PAINT 0x0020
#define QS_SENDMESSAGE 0x0040
#define QS_HOTKEY 0x0080
#define QS_ALLPOSTMESSAGE 0x0100
#define QS_RAWINPUT 0x0400
#define QS_MOUSE (QS_MOUSEMOVE | QS_MOUSEBUTTON)
#define QS_INPUT (QS_MOUSE | QS_KEY | QS_RAWINPUT)
#define QS_ALLEVENTS (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY)
#define QS_ALLINPUT (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE)

// Wait results.
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// Window manager error codes.
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_INDEX 1413L

#define LOWORD(l) (static_cast<WORD>(static_cast<ULONG_PTR>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<ULONG_PTR>(l) >> 16) & 0xffff))
#define MAKELONG(a, b) \
  (static_cast<LONG>(static_cast<WORD>(a) | (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))

// Window classes. A class name is unique in the process (names compare
// without regard to case). Registering a name twice fails with 1410;
// unregistering an unknown name fails with 1411, one with windows with 1412.
ATOM RegisterClassA(const WNDCLASSA* wndClass);
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);

// Creates a window of a registered class, owned by the calling thread. The
// procedure receives WM_NCCREATE and WM_CREATE (lParam: CREATESTRUCTA*)
// before the call returns; FALSE from the first or -1 from the second fails
// the creation. Position, size, styles and parent are accepted and unused:
// every window here is hidden. An unknown class fails with 1407.
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);

// Destroys a window of the calling thread: its procedure receives WM_DESTROY
// and WM_NCDESTROY, then the handle is invalid and the messages still queued
// for it are discarded. From another thread: 5 (access denied).
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);

// The default procedure: WM_NCCREATE gives TRUE, WM_CLOSE destroys the
// window, everything else gives 0.
LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Per-window data: the user-data slot, the procedure, the instance, or the
// 8 bytes of extra storage at a byte offset. An index outside the storage
// fails with 1413, an invalid window with 1400; on failure the result is 0.
// The setter returns the previous value.
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);

// Posts a message to the queue of the window's thread (any thread may post).
// A null window posts to the calling thread's queue, as a thread message that
// DispatchMessageA ignores. An invalid window fails with 1400.
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Calls the window's procedure and returns its result. From another thread
// the message is queued for the owner, which runs it inside its next
// PeekMessageA or wait, and the caller blocks until then (the
// result is 0 when the window or its thread goes away first).
LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Makes the calling thread's queue give WM_QUIT (wParam = exit code) once it
// has no other posted message.
void PostQuitMessage(int exitCode);

// Runs the messages sent from other threads, then looks for a posted message
// for the window (null: any window and thread messages; (HWND)-1: thread
// messages only) in the range [filterMin, filterMax] (0, 0: all). When the
// queue holds none, the thread's sockets are checked once without waiting.
// Never blocks.
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);

// No keyboard input exists here, so there is nothing to translate: FALSE.
BOOL TranslateMessage(const MSG* msg);

// Calls the procedure of the message's window. Thread messages (null window)
// and messages for windows that are gone give 0.
LRESULT DispatchMessageA(const MSG* msg);

// Waits until the calling thread's queue has input of the kinds in wakeMask
// (posted messages, including socket notifications, and sent messages) or
// the time passes: WAIT_OBJECT_0 + count when input is there (at once when
// it already is), WAIT_TIMEOUT otherwise. Only count 0 is supported: handles
// to wait on fail with WAIT_FAILED and 87.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);

// Milliseconds since an arbitrary start, wrapping at 2^32 like Windows.
DWORD GetTickCount();

// The system time as 100-nanosecond intervals since 1601-01-01 (UTC).
void GetSystemTimeAsFileTime(LPFILETIME fileTime);

namespace tw_platform {
// Adds a constant to the tick counter of this process, so that tests can
// run code across the 32-bit wrap. Not for the program's own use.
void setTickCountBiasForTests(DWORD bias);
}  // namespace tw_platform
