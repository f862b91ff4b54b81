#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

BOOL RtlGenRandom(LPVOID buffer, ULONG length) {
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < length) {
    // getrandom returns at most 32 MiB per call and may be interrupted.
    const ssize_t got = getrandom(out + done, length - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return FALSE;
    }
    done += static_cast<size_t>(got);
  }
  return TRUE;
}
