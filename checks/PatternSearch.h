// Case-insensitive wildcard search of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmora::checks {

// 1 when the pattern matches the file's text, 0 when it does not or when the
// file cannot be searched.
uint32_t searchFileForPattern(const std::string& path, const char* pattern, uint32_t maxSize);

// The text the search matches against: the file's bytes read in blocks of
// 4,095, each block cut at its first NUL byte, followed by a NUL.
struct SearchText {
  std::unique_ptr<char[]> bytes;
  size_t length = 0;
  const char* c_str() const { return bytes.get(); }
};

// False when the file cannot be opened, its size cannot be taken or is
// above maxSize, or memory runs out.
bool readSearchText(const std::string& path, uint32_t maxSize, SearchText& text);

// Anchored match of text against a lower-case pattern with * and ?.
bool wildcardMatch(const char* text, const char* pattern);
// The same for a text whose length (up to its terminating NUL) is known.
bool wildcardMatch(const char* text, size_t length, const char* pattern);

}  // namespace velmora::checks
