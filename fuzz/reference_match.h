// A plain dynamic-programming matcher of the pattern-search rules, used as
// the oracle of the matcher targets: "*" matches any run of characters, "?"
// any one character but a full stop, letters A-Z of the text compare in
// lower case with the (already lower-case) pattern, anchored at both ends.
#pragma once

#include <string>
#include <vector>

namespace tw_fuzz {

inline char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool charMatches(char x, char c) {
  const char lx = lowerAscii(x);
  return lx == c || (c == '?' && lx != '.');
}

// row[j] after i text characters: the first i characters of the text match
// the first j of the pattern.
inline bool referenceMatch(const std::string& text, const std::string& pattern) {
  const size_t m = pattern.size();
  std::vector<char> row(m + 1, 0), next(m + 1, 0);
  row[0] = 1;
  for (size_t j = 1; j <= m; ++j) row[j] = row[j - 1] && pattern[j - 1] == '*';
  for (char x : text) {
    next[0] = 0;
    for (size_t j = 1; j <= m; ++j) {
      const char c = pattern[j - 1];
      next[j] = c == '*' ? (next[j - 1] || row[j]) : (row[j - 1] && charMatches(x, c));
    }
    row.swap(next);
  }
  return row[m] != 0;
}

}  // namespace tw_fuzz
