// The per-URL checksum store in the current user's registry.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::checks {

enum ChecksumStoreResult : uint32_t {
  Error = 0,
  Initialized = 1,
  Changed = 2,
  Equal = 3,
  Cleared = 4,
};

// Compares checksum with the one stored for url and stores the new one, or
// removes every stored checksum when checksumOrCommand is "clear".
ChecksumStoreResult storeChecksum(const std::string& url, const char* checksumOrCommand,
                                  bool consoleOutput);

// The checksum stored for url, read without creating or changing anything;
// empty when none is stored or the store cannot be read.
std::string storedChecksum(const std::string& url);

}  // namespace velmora::checks
