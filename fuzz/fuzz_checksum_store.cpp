// The checksum store with arbitrary URL and checksum bytes. Input: URL, NUL,
// first checksum, NUL, second checksum. Each input runs a whole life of one
// URL in an empty store: first store, same checksum again, the second one, a
// neighbour URL, then "clear". The results must follow the store's rules and
// the registry must hold exactly the values written, as REG_SZ with their NUL.
// REG_SZ data is kept as UTF-16, converted from UTF-8 (the process code page):
// a valid UTF-8 checksum comes back byte for byte, any other as valid UTF-8
// without a NUL (bad sequences replaced), so never equal to what was given.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "checks/ChecksumStore.h"
#include "fuzz/fuzz_support.h"
#include "platform/registry.h"

using namespace velmora::checks;

namespace {

const char kStoreKey[] = "Software\\velmora.net\\Loomcraft\\Tarnwick";
// A stored value is read into 65 bytes; a longer one counts as absent.
constexpr size_t kReadable = 64;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const std::string& s) {
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80                   ? 1
                       : c >= 0xC2 && c <= 0xDF   ? 2
                       : (c & 0xF0) == 0xE0       ? 3
                       : c >= 0xF0 && c <= 0xF4   ? 4
                                                  : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void expect(ChecksumStoreResult got, ChecksumStoreResult want, const std::string& step) {
  tw_fuzz::check(got == want, step + ": result " + std::to_string(got) + " instead of " +
                                  std::to_string(want));
}

// Every value of the store key (name to data), each checked to be REG_SZ
// with a terminating NUL; empty when the key does not exist.
std::map<std::string, std::string> storedValues() {
  std::map<std::string, std::string> values;
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  std::vector<char> name(65536), data(65536);
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    LONG rc = RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type,
                            reinterpret_cast<LPBYTE>(data.data()), &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    tw_fuzz::check(rc == ERROR_SUCCESS, "value enumeration failed: " + std::to_string(rc));
    tw_fuzz::check(type == REG_SZ, "stored value is not REG_SZ");
    tw_fuzz::check(dataSize >= 1 && data[dataSize - 1] == '\0', "stored value lacks its NUL");
    const std::string text(data.data(), dataSize - 1);
    tw_fuzz::check(text.find('\0') == std::string::npos, "stored text holds a NUL");
    tw_fuzz::check(validUtf8(text), "stored text is not valid UTF-8");
    values[std::string(name.data(), nameSize)] = text;
  }
  RegCloseKey(key);
  return values;
}

}  // namespace

void tw_fuzz::setUp() { silenceStdout(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = tw_fuzz::split(data, size, '\0', 3);
  if (parts.size() != 3) return 0;
  const std::string& url = parts[0];
  const std::string& first = parts[1];
  const std::string second = parts[2].c_str();
  if (first == "clear" || second == "clear") return 0;
  const std::string neighbour = url + "/";

  tw_fuzz::check(storedValues().empty(), "the store is not empty at the start");
  expect(storeChecksum(url, first.c_str(), false), Initialized, "first store");
  std::map<std::string, std::string> values = storedValues();
  tw_fuzz::check(values.size() == 1 && values.count(url) == 1, "names after the first store");
  const std::string storedFirst = values[url];
  const bool exactFirst = validUtf8(first);
  if (exactFirst) tw_fuzz::check(storedFirst == first, "first checksum not kept byte for byte");

  // Only a stored text that fits the 65-byte read buffer can compare equal.
  const bool readable = storedFirst.size() <= kReadable;
  expect(storeChecksum(url, first.c_str(), false),
         !readable ? Initialized : exactFirst ? Equal : Changed, "same checksum again");

  const std::string storedNow = storedValues()[url];
  // After a value too long to read, any checksum is a first one.
  expect(storeChecksum(url, second.c_str(), false),
         storedNow.size() > kReadable ? Initialized : second == storedNow ? Equal : Changed,
         "second checksum");
  values = storedValues();
  tw_fuzz::check(values.size() == 1 && values.count(url) == 1, "names after the second store");
  if (validUtf8(second)) tw_fuzz::check(values[url] == second, "second checksum not kept");

  expect(storeChecksum(neighbour, first.c_str(), false), Initialized, "neighbour URL");
  values = storedValues();
  tw_fuzz::check(values.size() == 2 && values.count(neighbour) == 1 && values[neighbour] == storedFirst,
                 "values after the neighbour URL");

  expect(storeChecksum("ignored", "clear", false), Cleared, "clear");
  tw_fuzz::check(storedValues().empty(), "values left after clear");
  expect(storeChecksum(url, "clear", false), Error, "clear of a cleared store");
  return 0;
}
