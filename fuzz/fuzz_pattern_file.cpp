// searchFileForPattern on a real file: arbitrary file bytes (NULs included),
// an arbitrary pattern and a size limit at, below or above the file size.
// The result must equal the oracle applied to the text the search is meant
// to see: the file read in blocks of 4,095 bytes, each block contributing its
// bytes up to its first NUL, and the pattern cut to 511 characters and
// lowered. Input: one byte choosing the limit, the pattern, a NUL byte, the
// file content.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "checks/PatternSearch.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference_match.h"

namespace {

std::string expectedText(const std::string& content) {
  std::string text;
  for (size_t pos = 0; pos < content.size(); pos += 4095) {
    const std::string block = content.substr(pos, 4095);
    text += block.substr(0, block.find('\0'));
  }
  return text;
}

std::string expectedPattern(const std::string& pattern) {
  std::string p = pattern.substr(0, 511);
  for (char& c : p) c = tw_fuzz::lowerAscii(c);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tw_fuzz::useTempRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t limitChoice = data[0];
  std::vector<std::string> parts = tw_fuzz::split(data + 1, size - 1, '\0', 2);
  if (parts.size() != 2) return 0;
  const std::string& pattern = parts[0];
  const std::string& content = parts[1];

  const std::string path = tw_fuzz::useTempRoot() + "/page.tmp";
  FILE* f = std::fopen(path.c_str(), "wb");
  tw_fuzz::check(f != nullptr, "cannot write the page file");
  tw_fuzz::check(std::fwrite(content.data(), 1, content.size(), f) == content.size(),
                 "short write of the page file");
  std::fclose(f);

  uint32_t maxSize = static_cast<uint32_t>(content.size());
  switch (limitChoice % 3) {
    case 0: break;                                        // exactly the file size
    case 1: maxSize = maxSize == 0 ? 0 : maxSize - 1; break;  // one byte short
    case 2: maxSize = 8388608; break;                     // the check run's limit
  }

  const uint32_t got = velmora::checks::searchFileForPattern(path, pattern.c_str(), maxSize);
  const bool tooLarge = content.size() > maxSize;
  const bool want =
      !tooLarge && tw_fuzz::referenceMatch(expectedText(content), expectedPattern(pattern.c_str()));
  tw_fuzz::check(got == (want ? 1u : 0u),
                 "searchFileForPattern gave " + std::to_string(got) + " for a file of " +
                     std::to_string(content.size()) + " bytes, limit " +
                     std::to_string(maxSize));
  std::remove(path.c_str());
  return 0;
}
