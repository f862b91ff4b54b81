// The per-URL checksum store: one REG_SZ value per URL under the current
// user's product key.
#include "checks/ChecksumStore.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "winsupport/CRegistry.h"

namespace velmora::checks {

namespace {

const char* const kMakerKey = "Software\\velmora.net";
const char* const kFamilyKey = "Software\\velmora.net\\Loomcraft";
const char* const kStoreKey = "Software\\velmora.net\\Loomcraft\\Tarnwick";
// A SHA-256 text (64 characters) and its NUL.
constexpr DWORD kStoredChecksumSize = 65;

// Reads the value stored for url into text; false when there is none.
bool readStored(CRegistry& registry, const std::string& url, std::string& text) {
  char stored[kStoredChecksumSize];
  std::memset(stored, 0, sizeof stored);
  if (!registry.readString(kStoreKey, url.c_str(), stored, sizeof stored)) return false;
  // The stored data need not end in a NUL when it fills the buffer.
  const void* end = std::memchr(stored, '\0', sizeof stored);
  text.assign(stored,
              end ? static_cast<size_t>(static_cast<const char*>(end) - stored) : sizeof stored);
  return true;
}

}  // namespace

std::string storedChecksum(const std::string& url) {
  CRegistry registry(HKEY_CURRENT_USER);
  std::string text;
  readStored(registry, url, text);
  return text;
}

ChecksumStoreResult storeChecksum(const std::string& url, const char* checksumOrCommand,
                                  bool consoleOutput) {
  CRegistry* registry = new (std::nothrow) CRegistry(HKEY_CURRENT_USER);
  if (registry == nullptr) return Error;

  ChecksumStoreResult result = Error;
  if (std::strcmp(checksumOrCommand, "clear") == 0) {
    // The maker and family keys stay.
    result = registry->deleteKeyTree(kStoreKey) ? Cleared : Error;
  } else {
    // A stored value means its key and the keys above it exist: only a URL
    // not found checks and creates them (a key that cannot be created shows
    // up as a failed write below), then reads again right before it writes,
    // as another run may have stored the URL meanwhile.
    std::string storedText;
    bool found = readStored(*registry, url, storedText);
    if (!found) {
      for (const char* key : {kMakerKey, kFamilyKey, kStoreKey}) {
        if (!registry->keyExists(key)) registry->createKey(key);
      }
      found = readStored(*registry, url, storedText);
    }
    if (found) {
      if (storedText != checksumOrCommand) {
        // A failed write leaves the old value; the next run reports the
        // change again.
        registry->writeString(kStoreKey, url.c_str(), checksumOrCommand);
        result = Changed;
      } else {
        result = Equal;
      }
    } else if (registry->writeString(kStoreKey, url.c_str(), checksumOrCommand)) {
      if (consoleOutput) std::printf("Checksum initialized.\n");
      result = Initialized;
    } else {
      std::printf("ERROR: Unable to record checksum (%s) in registry\n", registry->lastErrorText);
      result = Error;
    }
  }
  delete registry;
  return result;
}

}  // namespace velmora::checks
