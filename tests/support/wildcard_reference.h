// The pattern search written the plain way, the oracle of the matcher tests
// and fuzz targets: "*" matches any run of characters, "?" any one character
// but a full stop, letters A-Z of the text compare in lower case with the
// (already lower-case) pattern, anchored at both ends. The file search sees
// the file read in blocks of 4,095 bytes, each cut at its first NUL, and the
// pattern cut to 511 characters and lowered.
#pragma once

#include <string>

namespace tw_test {

inline char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// One text position after another: a segment is tried at t; a mismatch
// after a star moves it one byte on; the last segment slides until it ends
// with the text; an earlier segment is never moved again.
inline bool referenceMatch(const std::string& textString, const std::string& patternString) {
  const char* text = textString.c_str();
  const char* pattern = patternString.c_str();
  size_t t = 0, p = 0;
  for (;;) {
    const bool star = pattern[p] == '*';
    while (pattern[p] == '*') ++p;
    for (;;) {
      size_t i = 0;
      bool slide = false;
      for (char c; (c = pattern[p + i]) != '\0' && c != '*'; ++i) {
        const char x = lowerAscii(text[t + i]);
        if (x == c || (c == '?' && x != '.' && x != '\0')) continue;
        if (x == '\0' || !star) return false;
        slide = true;
        break;
      }
      if (!slide && pattern[p + i] == '*') {
        t += i;
        p += i;
        break;
      }
      if (!slide && text[t + i] == '\0') return true;
      if (!slide && !star) return false;
      ++t;
    }
  }
}

// The text the file search sees in a file of this content.
inline std::string blockText(const std::string& content) {
  std::string text;
  for (size_t at = 0; at < content.size(); at += 4095) {
    const std::string block = content.substr(at, 4095);
    text += block.substr(0, block.find('\0'));
  }
  return text;
}

// What searchFileForPattern must answer for a file within its size limit.
inline bool referenceSearch(const std::string& content, const std::string& pattern) {
  std::string p = pattern.substr(0, 511);
  for (char& c : p) c = lowerAscii(c);
  return referenceMatch(blockText(content), p);
}

}  // namespace tw_test
