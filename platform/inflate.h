// zlib's raw inflate, from libz.so.1 opened at the first compressed body and
// never linked, so that runs that receive none never map the library.
#pragma once

#include <zlib.h>

namespace tw_platform {

struct Inflate {
  decltype(&::inflateInit2_) init2 = nullptr;
  decltype(&::inflate) run = nullptr;
  decltype(&::inflateEnd) end = nullptr;
};

// Opens the library once; null when it cannot be opened or lacks one of the
// three entry points.
const Inflate* inflateLibrary();

}  // namespace tw_platform
