#include "platform/inflate.h"

#include <mutex>

#include "platform/detail.h"

namespace tw_platform {

const Inflate* inflateLibrary() {
  static Inflate entries;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [] {
    void* library = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return;
    loaded = lookUpSymbol(library, "inflateInit2_", entries.init2) &&
             lookUpSymbol(library, "inflate", entries.run) &&
             lookUpSymbol(library, "inflateEnd", entries.end);
    if (!loaded) dlclose(library);
  });
  return loaded ? &entries : nullptr;
}

}  // namespace tw_platform
