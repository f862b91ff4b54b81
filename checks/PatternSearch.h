// Case-insensitive wildcard search of a file.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::checks {

// 1 when the pattern matches the file's text, 0 when it does not or when the
// file cannot be searched.
uint32_t searchFileForPattern(const std::string& path, const char* pattern, uint32_t maxSize);

// Anchored match of text against a lower-case pattern with * and ?.
bool wildcardMatch(const char* text, const char* pattern);

}  // namespace velmora::checks
