// The wildcard matcher and the file search against the plain matcher of the
// same rules (tests/support/wildcard_reference.h). Input: one byte choosing
// the call, the pattern, a NUL byte, then the text or the file content.
//   3 (of the byte's value modulo 4): wildcardMatch on the text (up to its
//     first NUL, as the matcher takes a C string);
//   0, 1, 2: searchFileForPattern on a real file of arbitrary bytes (NULs
//     included) with a size limit at, below or above the file size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "checks/PatternSearch.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/wildcard_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<std::string> parts = tw_fuzz::split(data + 1, size - 1, '\0', 2);
  if (parts.size() != 2) return 0;
  const std::string& pattern = parts[0];
  if (data[0] % 4 == 3) {
    const std::string text(parts[1].c_str());
    const bool got = velmora::checks::wildcardMatch(text.c_str(), pattern.c_str());
    tw_fuzz::check(got == tw_test::referenceMatch(text, pattern),
                   std::string("wildcardMatch gave ") + (got ? "true" : "false") +
                       " for pattern \"" + pattern + "\" and text \"" + text + "\"");
    return 0;
  }
  const std::string& content = parts[1];
  const std::string path = tw_fuzz::useTempRoot() + "/page.tmp";
  tw_fuzz::writeFile(path, content);

  // Exactly the file size, one byte short, or the check run's limit.
  const uint32_t length = static_cast<uint32_t>(content.size());
  const uint32_t limits[] = {length, length == 0 ? 0 : length - 1, 8388608};
  const uint32_t maxSize = limits[data[0] % 4];
  const uint32_t got = velmora::checks::searchFileForPattern(path, pattern.c_str(), maxSize);
  const bool want = content.size() <= maxSize && tw_test::referenceSearch(content, pattern);
  tw_fuzz::check(got == (want ? 1u : 0u),
                 "searchFileForPattern gave " + std::to_string(got) + " for a file of " +
                     std::to_string(content.size()) + " bytes, limit " + std::to_string(maxSize));
  std::remove(path.c_str());
  return 0;
}
