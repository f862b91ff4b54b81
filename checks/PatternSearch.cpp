// Case-insensitive wildcard search of a page file.
#include "checks/PatternSearch.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/files.h"

namespace velmora::checks {

namespace {

// The text is built from blocks of at most 4,095 bytes, each cut at its
// first NUL byte.
constexpr size_t kBlockBytes = 4095;
// Bytes asked for with one read: many blocks at once, so that a large page
// takes few calls. A read of a regular file returns all that was asked for
// unless it reaches the end, so the blocks line up exactly as with reads of
// one block each.
constexpr size_t kBlocksPerRead = 64;
constexpr size_t kPatternBufferSize = 512;

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// How a segment fares at one text position.
enum class Fit { Match, Mismatch, TextEnded };

// Compares the segment (length n, no '*') with the text at s. '?' takes any
// byte but a full stop; letters compare without regard to A-Z case.
Fit fitAt(const char* s, const char* seg, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = seg[i];
    const char x = s[i];
    const char lx = lowerAscii(x);
    if (lx == c) continue;
    if (x == '\0') return Fit::TextEnded;
    if (c == '?' && lx != '.') continue;
    return Fit::Mismatch;
  }
  return Fit::Match;
}

// The next position in [from, end) whose byte, lowered, equals c; end when
// there is none. Lowering never gives an upper-case letter, so those never
// match; a lower-case letter matches itself and its upper-case form.
class ByteFinder {
 public:
  explicit ByteFinder(char c) : c_(c) {
    letter_ = c >= 'a' && c <= 'z';
    never_ = c >= 'A' && c <= 'Z';
  }
  const char* next(const char* from, const char* end) {
    if (never_ || from >= end) return end;
    if (!letter_) return find(from, end, c_);
    // Two searches, each remembered until it has been passed.
    if (lowerAt_ == nullptr || lowerAt_ < from) lowerAt_ = find(from, end, c_);
    if (upperAt_ == nullptr || upperAt_ < from) upperAt_ = find(from, end, char(c_ - 'a' + 'A'));
    return std::min(lowerAt_, upperAt_);
  }

 private:
  static const char* find(const char* from, const char* end, char c) {
    const void* at = std::memchr(from, static_cast<unsigned char>(c), static_cast<size_t>(end - from));
    return at != nullptr ? static_cast<const char*>(at) : end;
  }
  char c_;
  bool letter_ = false;
  bool never_ = false;
  const char* lowerAt_ = nullptr;
  const char* upperAt_ = nullptr;
};

// Leftmost position p in [from, len - n] where the segment fits, or -1.
// Positions further on can only end inside the segment, so they never fit.
std::ptrdiff_t leftmostFit(const char* text, size_t len, size_t from, const char* seg, size_t n) {
  if (from > len || n > len - from) return -1;
  const size_t lastStart = len - n;
  // The first byte of the segment that is not '?' anchors the search.
  size_t k = 0;
  while (k < n && seg[k] == '?') ++k;
  if (k == n) {
    // Only '?': the first run of n bytes without a full stop.
    size_t run = 0;
    for (size_t q = from; q < len; ++q) {
      run = text[q] == '.' ? 0 : run + 1;
      if (run == n) return static_cast<std::ptrdiff_t>(q + 1 - n);
    }
    return -1;
  }
  ByteFinder finder(seg[k]);
  const char* end = text + lastStart + k + 1;  // anchors past it start too late
  for (const char* q = finder.next(text + from + k, end); q < end; q = finder.next(q + 1, end)) {
    const char* start = q - k;
    if (fitAt(start, seg, n) == Fit::Match) return start - text;
  }
  return -1;
}

}  // namespace

bool readSearchText(const std::string& path, uint32_t maxSize, SearchText& text) {
  text.bytes.reset();
  text.length = 0;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;

  DWORD sizeHigh = 0;
  DWORD size = GetFileSize(file, &sizeHigh);
  // A failed query (all bits set) and a file past 4 GiB are both larger
  // than any limit.
  if (size == INVALID_FILE_SIZE || sizeHigh != 0 || size > maxSize) {
    CloseHandle(file);
    return false;
  }
  const size_t capacity = static_cast<size_t>(size);
  // Not zero-filled: every byte up to the length is written by the reads,
  // and the terminating NUL after them.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity + 1]);
  if (buffer == nullptr) {
    CloseHandle(file);
    return false;
  }

  // Each 4,095-byte block adds its bytes up to its first NUL; what no longer
  // fits in the buffer is cut off. While the page's blocks fit, they are
  // read straight into the text buffer and closed up in place; reading goes
  // on until a read returns nothing, through a scratch area once the buffer
  // is full (a file that grew after its size was taken).
  constexpr size_t kScratchBytes = kBlockBytes * 4;
  char scratch[kScratchBytes];
  char* base = buffer.get();
  size_t length = 0;
  for (;;) {
    const size_t room = capacity - length;
    char* into = scratch;
    size_t want = kScratchBytes;
    if (room >= kBlockBytes) {
      into = base + length;
      want = std::min(room / kBlockBytes, kBlocksPerRead) * kBlockBytes;
    }
    DWORD got = 0;
    if (!ReadFile(file, into, static_cast<DWORD>(want), &got, nullptr) || got == 0) break;
    for (size_t at = 0; at < got; at += kBlockBytes) {
      const char* block = into + at;
      const size_t n = std::min(kBlockBytes, static_cast<size_t>(got) - at);
      const void* nul = std::memchr(block, 0, n);
      size_t add = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - block) : n;
      add = std::min(add, capacity - length);
      // Within the text buffer a block only ever moves towards the front.
      if (base + length != block) std::memmove(base + length, block, add);
      length += add;
    }
  }
  CloseHandle(file);
  base[length] = '\0';
  text.bytes = std::move(buffer);
  text.length = length;
  return true;
}

uint32_t searchFileForPattern(const std::string& path, const char* pattern, uint32_t maxSize) {
  SearchText text;
  if (!readSearchText(path, maxSize, text)) return 0;

  char lowered[kPatternBufferSize];
  std::memset(lowered, 0, sizeof lowered);
  std::strncpy(lowered, pattern, kPatternBufferSize - 1);
  for (char* c = lowered; *c; ++c) *c = lowerAscii(*c);

  return wildcardMatch(text.c_str(), text.length, lowered) ? 1 : 0;
}

namespace {

// Segment by segment, as a scan that tries each text position in turn would
// place them: the leading segment (no '*' before it) only at the current
// position, a middle one at its leftmost fit, the last one only where it
// ends with the text. The scan's outcome at a position never depends on
// anything but whether the segment fits there and whether the text ends
// inside it, so whole stretches of positions are skipped with a byte search.
// knownLength: the text's length, or npos when it is still to be measured
// (only a segment after a star needs it).
bool matchText(const char* text, size_t knownLength, const char* pattern) {
  size_t t = 0;  // where the current segment is tried in the text
  size_t p = 0;  // start of the current segment in the pattern
  size_t len = knownLength;
  auto textLength = [&]() {
    if (len == std::string::npos) len = t + std::strlen(text + t);
    return len;
  };
  for (;;) {
    bool star = false;
    if (pattern[p] == '*') {
      star = true;
      while (pattern[p] == '*') ++p;
    }
    size_t n = 0;
    while (pattern[p + n] != '\0' && pattern[p + n] != '*') ++n;
    const bool last = pattern[p + n] == '\0';
    const char* seg = pattern + p;

    if (!star) {
      // Fixed at the current position.
      if (fitAt(text + t, seg, n) != Fit::Match) return false;
      if (last) return text[t + n] == '\0';
      t += n;
      p += n;
      continue;
    }
    if (last) {
      // A trailing star takes the rest of the text; otherwise the segment
      // must end exactly at the end of the text.
      if (n == 0) return true;
      const size_t total = textLength();
      if (total < t || total - t < n) return false;
      return fitAt(text + total - n, seg, n) == Fit::Match;
    }
    const std::ptrdiff_t at = leftmostFit(text, textLength(), t, seg, n);
    if (at < 0) return false;
    t = static_cast<size_t>(at) + n;
    p += n;
  }
}

}  // namespace

bool wildcardMatch(const char* text, const char* pattern) {
  return matchText(text, std::string::npos, pattern);
}

bool wildcardMatch(const char* text, size_t length, const char* pattern) {
  return matchText(text, length, pattern);
}

}  // namespace velmora::checks
