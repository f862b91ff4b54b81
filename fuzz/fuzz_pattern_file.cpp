// searchFileForPattern on a real file: arbitrary file bytes (NULs included),
// an arbitrary pattern and a size limit at, below or above the file size,
// against the plain search of tests/support/wildcard_reference.h. Input:
// one byte choosing the limit, the pattern, a NUL byte, the file content.
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
  const std::string& content = parts[1];
  const std::string path = tw_fuzz::useTempRoot() + "/page.tmp";
  tw_fuzz::writeFile(path, content);

  // Exactly the file size, one byte short, or the check run's limit.
  const uint32_t length = static_cast<uint32_t>(content.size());
  const uint32_t limits[] = {length, length == 0 ? 0 : length - 1, 8388608};
  const uint32_t maxSize = limits[data[0] % 3];
  const uint32_t got = velmora::checks::searchFileForPattern(path, pattern.c_str(), maxSize);
  const bool want = content.size() <= maxSize && tw_test::referenceSearch(content, pattern);
  tw_fuzz::check(got == (want ? 1u : 0u),
                 "searchFileForPattern gave " + std::to_string(got) + " for a file of " +
                     std::to_string(content.size()) + " bytes, limit " + std::to_string(maxSize));
  std::remove(path.c_str());
  return 0;
}
