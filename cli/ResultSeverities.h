// Result names, severities and the parser of the /evt option.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// Index of each result in ResultSeverities.
enum ResultName : int { TXT_FOUND = 0, TXT_NOTFOUND = 1, CHECKSUM_CHANGE = 2, CHECKSUM_EQUAL = 3 };

// Severity: -1 Ignore (not logged), 0 Information, 1 Warning, 2 Error.
typedef int16_t Severity;

struct ResultSeverities {
  Severity values[4] = {0, 1, 1, 0};
  Severity operator[](int result) const { return values[result]; }
};

// "TXT_NOTFOUND=Error,CHECKSUM_CHANGE=Warning" and the like; unknown names are
// ignored, unknown words give Warning.
ResultSeverities parseResultSeverities(const std::string& text);
Severity parseSeverity(const std::string& word);

// Splits at the delimiter; a delimiter after a backslash stays in the token.
std::vector<std::string> splitString(const std::string& text, char delimiter);

}  // namespace velmora
