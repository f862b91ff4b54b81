// The wildcard matcher against a plain dynamic-programming matcher of the
// same rules: "*" matches any run of characters, "?" any one character but a
// full stop, letters of the text compare in lower case, the match is anchored
// at both ends. Input: pattern, a NUL byte, text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "checks/PatternSearch.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = tw_fuzz::split(data, size, '\0', 2);
  if (parts.size() != 2) return 0;
  const std::string& pattern = parts[0];
  // The text is a C string for the matcher: it ends at its first NUL.
  const std::string text(parts[1].c_str());

  const bool got = velmora::checks::wildcardMatch(text.c_str(), pattern.c_str());
  const bool want = tw_fuzz::referenceMatch(text, pattern);
  tw_fuzz::check(got == want, std::string("wildcardMatch gave ") + (got ? "true" : "false") +
                                  " for pattern \"" + pattern + "\" and text \"" + text + "\"");
  return 0;
}
