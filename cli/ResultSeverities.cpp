#include "cli/ResultSeverities.h"

#include "platform/text.h"

namespace velmora {

namespace {
const char* const kResultNames[4] = {"TXT_FOUND", "TXT_NOTFOUND", "CHECKSUM_CHANGE",
                                     "CHECKSUM_EQUAL"};
}

std::vector<std::string> splitString(const std::string& input, char delimiter) {
  std::string text = input;
  // A text that starts or ends with an escaped delimiter loses that pair.
  if (text.size() >= 3 && text[0] == '\\' && text[1] == delimiter) text.erase(0, 2);
  if (text.size() >= 3 && text[text.size() - 2] == '\\' && text.back() == delimiter) {
    text.erase(text.size() - 2);
  }
  std::vector<std::string> tokens;
  size_t i = 0;
  for (;;) {
    while (i < text.size() && text[i] == delimiter) ++i;  // leading and repeated delimiters
    std::string token;
    while (i < text.size()) {
      if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == delimiter) {
        token += delimiter;
        i += 2;
      } else if (text[i] == delimiter) {
        break;
      } else {
        token += text[i++];
      }
    }
    if (token.empty()) break;
    tokens.push_back(token);
  }
  return tokens;
}

Severity parseSeverity(const std::string& word) {
  const std::string lower = tw_platform::asciiLower(word);
  if (lower == "ignore") return -1;
  if (lower == "information") return 0;
  if (lower == "warning") return 1;
  if (lower == "error") return 2;
  return 1;
}

ResultSeverities parseResultSeverities(const std::string& text) {
  ResultSeverities result;
  for (const std::string& item : splitString(text, ',')) {
    std::vector<std::string> parts = splitString(item, '=');
    // An item without a severity word is treated like an unknown item.
    if (parts.size() < 2) continue;
    for (int r = 0; r < 4; ++r) {
      if (parts[0] == kResultNames[r]) result.values[r] = parseSeverity(parts[1]);
    }
  }
  return result;
}

}  // namespace velmora
