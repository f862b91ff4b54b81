#include "platform/inflate.h"

#include <mutex>

#include "platform/detail.h"

namespace tw_platform {

const Inflate* inflateLibrary() {
  static Inflate entries;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [] {
    loaded = openLibrary("libz.so.1", [](void* library) {
      return lookUpSymbol(library, "inflateInit2_", entries.init2) &&
             lookUpSymbol(library, "inflate", entries.run) &&
             lookUpSymbol(library, "inflateEnd", entries.end);
    }) == 0;
  });
  return loaded ? &entries : nullptr;
}

}  // namespace tw_platform
