// The wildcard matcher against the plain matcher of the same rules
// (tests/support/wildcard_reference.h). Input: pattern, a NUL byte, text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "checks/PatternSearch.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/wildcard_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = tw_fuzz::split(data, size, '\0', 2);
  if (parts.size() != 2) return 0;
  const std::string& pattern = parts[0];
  const std::string text(parts[1].c_str());  // a C string for the matcher
  const bool got = velmora::checks::wildcardMatch(text.c_str(), pattern.c_str());
  tw_fuzz::check(got == tw_test::referenceMatch(text, pattern),
                 std::string("wildcardMatch gave ") + (got ? "true" : "false") + " for pattern \"" +
                     pattern + "\" and text \"" + text + "\"");
  return 0;
}
