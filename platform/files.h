// Files, handles, process identity and the temporary directory.
#pragma once

#include <string>

#include "platform/win32types.h"

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_FILE_SIZE 0xFFFFFFFFUL
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFUL

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

// What GetFileInformationByHandle reports: the kind of object (DIRECTORY,
// NORMAL for a regular file, DEVICE for anything else) and the volume and
// index that together name one file.
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  DWORD dwVolumeSerialNumber;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

// Opens or creates a file; a new file is readable and writable by its owner
// alone. Symbolic links are never followed (a link fails with 1921), the
// open never blocks on a FIFO, writing access is refused (5) to anything but
// a regular file the caller owns, and the share mode is enforced between
// handles with advisory locks: no sharing takes an exclusive lock, any
// sharing a shared one (32 when they conflict).
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE file);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL DeleteFileA(LPCSTR name);
BOOL CloseHandle(HANDLE h);

// The temporary directory: $TMPDIR (default /tmp) with a trailing "/".
// Returns its length, or the size needed (with the terminating zero) when the
// buffer is too small.
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);

// The pseudo handle of the current process, and its id.
HANDLE GetCurrentProcess();
DWORD GetProcessId(HANDLE process);

namespace tw_platform {
// Marks the process not dumpable: no core file, and its memory and
// environment readable by root alone. False with the last error set.
bool keepProcessPrivate();
// Keeps buffers of up to a few MiB in the heap, and freed heap memory in the
// process, for a process that lives for one check: a freed buffer's pages
// serve the next one instead of each new buffer being mapped afresh and
// faulted in page by page.
void reuseFreedBuffers();
// The running executable's full path (from /proc/self/exe), or an empty
// text with errno set.
std::string executablePath();
}  // namespace tw_platform

// Full path of the running executable (module must be null). Returns the
// length; a short buffer gets a cut, terminated path, the return value is
// the buffer size and the last error 122.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
