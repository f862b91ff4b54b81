// Case-insensitive wildcard search of a page file.
#include "checks/PatternSearch.h"

#include <cstdlib>
#include <cstring>

#include "platform/files.h"

namespace velmora::checks {

namespace {

// Each read leaves the last byte of the block zero, so a block is always a
// terminated string.
constexpr DWORD kReadBlockSize = 4096;
constexpr size_t kPatternBufferSize = 512;

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

uint32_t searchFileForPattern(const std::string& path, const char* pattern, uint32_t maxSize) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;

  DWORD sizeHigh = 0;
  DWORD size = GetFileSize(file, &sizeHigh);
  // A failed query (all bits set) and a file past 4 GiB are both larger
  // than any limit.
  if (size == INVALID_FILE_SIZE || sizeHigh != 0 || size > maxSize) {
    CloseHandle(file);
    return 0;
  }

  const size_t capacity = static_cast<size_t>(size) + 1;
  char* text = static_cast<char*>(std::calloc(capacity, 1));
  if (text == nullptr) {
    CloseHandle(file);
    return 0;
  }

  // Each block adds its bytes up to its first NUL; what no longer fits in
  // the buffer is cut off. The length is tracked rather than measured again
  // for every block.
  size_t length = 0;
  char block[kReadBlockSize];
  DWORD got = 0;
  do {
    std::memset(block, 0, sizeof block);
    got = 0;
    if (!ReadFile(file, block, kReadBlockSize - 1, &got, nullptr)) break;
    size_t add = std::strlen(block);
    if (add > capacity - 1 - length) add = capacity - 1 - length;
    std::memcpy(text + length, block, add);
    length += add;
  } while (got > 0);

  char lowered[kPatternBufferSize];
  std::memset(lowered, 0, sizeof lowered);
  std::strncpy(lowered, pattern, kPatternBufferSize - 1);
  for (char* c = lowered; *c; ++c) *c = lowerAscii(*c);

  const bool matched = wildcardMatch(text, lowered);
  std::free(text);
  CloseHandle(file);
  return matched ? 1 : 0;
}

bool wildcardMatch(const char* text, const char* pattern) {
  size_t t = 0;  // where the current segment is tried in the text
  size_t p = 0;  // start of the current segment in the pattern
  for (;;) {
    // A new segment; a run of stars before it lets it float.
    bool star = false;
    if (pattern[p] == '*') {
      star = true;
      while (pattern[p] == '*') ++p;
    }
    for (;;) {
      size_t i = 0;
      bool slide = false;
      for (;;) {
        const char c = pattern[p + i];
        if (c == '\0' || c == '*') break;
        const char x = text[t + i];
        const char lx = lowerAscii(x);
        if (lx == c) {
          ++i;
        } else if (x == '\0') {
          return false;  // the text ended inside the segment
        } else if (c == '?' && lx != '.') {
          ++i;  // any character but a full stop
        } else if (star) {
          slide = true;
          break;
        } else {
          return false;
        }
      }
      if (slide) {
        ++t;
        continue;
      }
      if (pattern[p + i] == '*') {
        // The segment stays where it first matched.
        t += i;
        p += i;
        break;
      }
      // The last segment must end with the text.
      if (text[t + i] == '\0') return true;
      if (!star) return false;
      ++t;
    }
  }
}

}  // namespace velmora::checks
