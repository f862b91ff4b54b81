// Helpers shared by the platform areas. Only files in platform/ include this.
#pragma once

#include <dlfcn.h>

#include <string>

#include "platform/modules.h"
#include "platform/text.h"
#include "platform/win32types.h"

namespace tw_platform {

// Maps a POSIX errno value onto the Win32 error code a Windows user would see.
DWORD win32FromErrno(int err);

std::u16string fromWide(LPCWSTR s);

// The English system message text for a Win32 code, with its line break(s)
// ("\r\n" at the end), or nullptr when the system has none.
const char* systemMessageText(DWORD code);

// Takes one entry point of a library opened with dlopen into a typed
// pointer; false when the library lacks it.
template <typename F>
bool lookUpSymbol(void* library, const char* name, F& into) {
  into = reinterpret_cast<F>(dlsym(library, name));
  return into != nullptr;
}

// Opens a system library on first use (dlopen, its own symbol scope) and
// fills its table of entry points with lookUp(library), a function that
// returns false when one is missing or the library is otherwise unfit; such
// a library is closed again. Returns 0, ERROR_MOD_NOT_FOUND (no library) or
// ERROR_PROC_NOT_FOUND (lookUp refused it).
template <typename LookUp>
DWORD openLibrary(const char* name, LookUp lookUp) {
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return ERROR_MOD_NOT_FOUND;
  if (lookUp(library)) return 0;
  dlclose(library);
  return ERROR_PROC_NOT_FOUND;
}

// An entry point of a built-in library, by name.
struct ModuleExport {
  const char* name;
  FARPROC proc;
};

template <typename F>
FARPROC entry(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

// The Internet library's entry points, ended by a null name.
extern const ModuleExport kInternetExports[];

}  // namespace tw_platform

namespace tw_platform {

// Every HANDLE the platform hands out points at one of these; CloseHandle
// destroys it. Areas derive their own objects from it.
struct KernelObject {
  virtual ~KernelObject() = default;
  // Releases what the object holds; false with the last error set on failure.
  virtual bool close() { return true; }
};

}  // namespace tw_platform
