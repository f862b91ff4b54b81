// Config texts through the component's flat interface: one handle per input,
// the input split at line feeds into Config calls made in order, so that
// earlier settings (the code page, the time unit, ...) shape later ones. A
// line that begins with the byte 0x01 goes through the UTF-16 variant, its
// other bytes taken as UTF-16 units (unpaired surrogates too). Checked on
// every call: the code returned is the last error code, the answer slot
// holds a terminated text of the length reported, and a setting just set, or
// refused with a text other than "Unknown config setting." (a read-only
// one), can be queried.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "httpclient/TessilonSSL_HTTPS.h"

namespace {

constexpr size_t kMaxCalls = 64;

// Runs one Config call, checks what every call must satisfy, returns the code.
int config(void* handle, const std::string& line) {
  const bool wide = !line.empty() && line[0] == '\x01';
  std::string narrow;
  std::u16string units;
  void* argv[2] = {nullptr, nullptr};
  int lengths[2] = {0, 0};
  int method = https_method::Config;
  if (wide) {
    for (size_t i = 1; i + 1 < line.size(); i += 2) {
      char16_t u = static_cast<char16_t>(static_cast<uint8_t>(line[i]) |
                                         (static_cast<uint8_t>(line[i + 1]) << 8));
      if (u == 0) break;
      units.push_back(u);
    }
    argv[0] = units.data();
    method += https_method::WideOffset;
  } else {
    narrow = line.c_str();  // the method takes a terminated text
    argv[0] = narrow.data();
  }
  const int code = TessilonSSL_HTTPS_Do(handle, method, 2, argv, lengths);

  tw_fuzz::check(TessilonSSL_HTTPS_GetLastErrorCode(handle) == code,
                 "last error code differs from the code returned");
  tw_fuzz::check(TessilonSSL_HTTPS_GetLastError(handle) != nullptr, "no last error text");
  // A text that cannot be converted from UTF-16 fails before the setting is
  // looked at and leaves the slot alone; every answered call fills it.
  tw_fuzz::check(code != 0 || argv[1] != nullptr, "no answer in slot 1");
  if (argv[1] != nullptr && wide) {
    tw_fuzz::check(std::char_traits<char16_t>::length(static_cast<const char16_t*>(argv[1])) ==
                       static_cast<size_t>(lengths[1]),
                   "UTF-16 answer length differs from its text");
  } else if (argv[1] != nullptr) {
    tw_fuzz::check(std::strlen(static_cast<const char*>(argv[1])) <=
                       static_cast<size_t>(lengths[1]),
                   "answer length shorter than its text");
  }
  return code;
}

}  // namespace

void tw_fuzz::setUp() { TessilonSSL_HTTPS_StaticInit(nullptr); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines = tw_fuzz::split(data, size, '\n', kMaxCalls);
  void* handle = TessilonSSL_HTTPS_Create(nullptr, nullptr);
  tw_fuzz::check(handle != nullptr, "no handle");
  for (const std::string& line : lines) {
    const int code = config(handle, line);
    const std::string text = line.c_str();
    const size_t eq = text.find('=');
    if (eq == std::string::npos || line[0] == '\x01') continue;
    const bool known =
        code == 0 ||
        (code == -1 &&
         std::strcmp(TessilonSSL_HTTPS_GetLastError(handle), "Unknown config setting.") != 0);
    if (known) {
      // The setting exists, so a query of the same name must be answered.
      const int queried = config(handle, text.substr(0, eq));
      tw_fuzz::check(queried != -1, "\"" + text + "\" is a setting but cannot be queried");
    }
  }
  TessilonSSL_HTTPS_Destroy(handle);
  return 0;
}
