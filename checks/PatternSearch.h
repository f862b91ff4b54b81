// Case-insensitive wildcard search of a file.
#pragma once

#include <cstdint>
#include <string>

#include "checks/SameFile.h"

namespace velmora::checks {

// 1 when the pattern matches the file's text, 0 when it does not or when the
// file cannot be searched (with an expected file: when path is not that
// same file).
uint32_t searchFileForPattern(const std::string& path, const char* pattern, uint32_t maxSize,
                              const BY_HANDLE_FILE_INFORMATION* expected = nullptr);

// Anchored match of text against a lower-case pattern with * and ?.
bool wildcardMatch(const char* text, const char* pattern);

}  // namespace velmora::checks
