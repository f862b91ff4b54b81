// Placeholder until the checksum store is built.
#include "checks/ChecksumStore.h"

#include <cstdio>

namespace velmora::checks {

ChecksumStoreResult storeChecksum(const std::string&, const char*, bool) {
  std::printf("The checksum store is not built yet\n");
  return Error;
}

}  // namespace velmora::checks
