// Case-insensitive wildcard search of a page file.
#include "checks/PatternSearch.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "platform/files.h"
#include "platform/text.h"

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
constexpr size_t kReadBytes = kBlocksPerRead * kBlockBytes;
constexpr size_t kPatternBufferSize = 512;

// --- the text ------------------------------------------------------------------------
//
// The matcher reads the text through span(pos, need, avail): a pointer to
// the text at pos, with avail bytes from there in view; avail is below need
// only where the text ends. It never asks for a position before one it has
// asked for already, so a text may forget what lies before the last pos.
// atEnd(pos) tells whether the text ends at pos; tail(from, n, len) gives
// the text's length and its last n bytes (when they lie at or after from).

// A text in memory, up to its terminating NUL.
class MemoryText {
 public:
  MemoryText(const char* text, size_t length) : text_(text), length_(length) {}
  const char* span(size_t pos, size_t /*need*/, size_t& avail) {
    avail = length_ - pos;
    return text_ + pos;
  }
  bool atEnd(size_t pos) const { return pos == length_; }
  const char* tail(size_t from, size_t n, size_t& len) {
    len = length_;
    if (len < n || len - n < from) return nullptr;
    return text_ + len - n;
  }

 private:
  const char* text_;
  size_t length_;
};

// The text of a page file, read on demand: the file's blocks of 4,095 bytes,
// each cut at its first NUL, at most `limit` bytes in all (the size the file
// had when it was opened). Only a window of it is held: the bytes from the
// matcher's current position on, and one read.
class FileText {
 public:
  FileText(HANDLE file, size_t limit) : file_(file), limit_(limit) {}

  bool allocate() {
    window_.reset(new (std::nothrow) char[kWindowBytes]);
    return window_ != nullptr;
  }

  const char* span(size_t pos, size_t need, size_t& avail) {
    while (base_ + have_ < pos + need && !ended_) readMore(pos);
    avail = base_ + have_ - pos;
    return window_.get() + (pos - base_);
  }

  bool atEnd(size_t pos) const { return ended_ && pos == base_ + have_; }

  const char* tail(size_t from, size_t n, size_t& len) {
    // Only the last n bytes (and nothing before from) are kept on the way.
    while (!ended_) {
      const size_t end = base_ + have_;
      readMore(std::max(from, end > n ? end - n : 0));
    }
    len = base_ + have_;
    if (len < n || len - n < from) return nullptr;
    return window_.get() + (len - n - base_);
  }

 private:
  // Room for what the matcher still looks at (a segment is at most 511
  // bytes) and one read.
  static constexpr size_t kWindowBytes = kReadBytes + 2 * kPatternBufferSize;

  // Drops the bytes before keep and appends the next read's blocks.
  void readMore(size_t keep) {
    if (keep > base_) {
      const size_t drop = std::min(keep - base_, have_);
      std::memmove(window_.get(), window_.get() + drop, have_ - drop);
      base_ += drop;
      have_ -= drop;
    }
    char* into = window_.get() + have_;
    // The text never passes the limit; once it is reached, reads go on until
    // the file ends, and what they bring is cut off.
    DWORD got = 0;
    if (!ReadFile(file_, into, static_cast<DWORD>(kReadBytes), &got, nullptr) || got == 0) {
      ended_ = true;
      return;
    }
    for (size_t at = 0; at < got; at += kBlockBytes) {
      const char* block = into + at;
      const size_t n = std::min(kBlockBytes, static_cast<size_t>(got) - at);
      const void* nul = std::memchr(block, 0, n);
      size_t add = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - block) : n;
      add = std::min(add, limit_ - produced_);
      // A block only ever moves towards the front.
      if (window_.get() + have_ != block) std::memmove(window_.get() + have_, block, add);
      have_ += add;
      produced_ += add;
    }
  }

  HANDLE file_;
  size_t limit_;
  std::unique_ptr<char[]> window_;
  size_t base_ = 0;      // text position of window_[0]
  size_t have_ = 0;      // text bytes in the window
  size_t produced_ = 0;  // text bytes made so far
  bool ended_ = false;
};

// --- the matcher -----------------------------------------------------------------------

// How a segment fares at one text position.
enum class Fit { Match, Mismatch, TextEnded };

// Compares the segment (length n, no '*') with the text at s, of which avail
// bytes exist (the text ends there when avail < n). '?' takes any byte but a
// full stop; letters compare without regard to A-Z case.
Fit fitAt(const char* s, size_t avail, const char* seg, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = seg[i];
    const char x = i < avail ? s[i] : '\0';
    const char lx = tw_platform::asciiLower(x);
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
    const void* at =
        std::memchr(from, static_cast<unsigned char>(c), static_cast<size_t>(end - from));
    return at != nullptr ? static_cast<const char*>(at) : end;
  }
  char c_;
  bool letter_ = false;
  bool never_ = false;
  const char* lowerAt_ = nullptr;
  const char* upperAt_ = nullptr;
};

// Leftmost position at or after from where the segment (n >= 1 bytes) fits,
// or -1. Positions from which the text ends inside the segment never fit.
template <class Text>
std::ptrdiff_t leftmostFit(Text& text, size_t from, const char* seg, size_t n) {
  // The first byte of the segment that is not '?' anchors the search.
  size_t k = 0;
  while (k < n && seg[k] == '?') ++k;
  size_t pos = from;
  for (;;) {
    size_t avail = 0;
    const char* s = text.span(pos, n, avail);
    if (avail < n) return -1;
    // Starts in [pos, pos + lastStart] are in view in full.
    const size_t lastStart = avail - n;
    if (k == n) {
      // Only '?': the first run of n bytes without a full stop.
      size_t run = 0;
      for (size_t q = 0; q < avail; ++q) {
        run = s[q] == '.' ? 0 : run + 1;
        if (run == n) return static_cast<std::ptrdiff_t>(pos + q + 1 - n);
      }
    } else {
      ByteFinder finder(seg[k]);
      const char* end = s + lastStart + k + 1;
      for (const char* q = finder.next(s + k, end); q < end; q = finder.next(q + 1, end)) {
        const char* start = q - k;
        if (fitAt(start, n, seg, n) == Fit::Match) {
          return static_cast<std::ptrdiff_t>(pos + static_cast<size_t>(start - s));
        }
      }
    }
    if (text.atEnd(pos + avail)) return -1;
    pos += lastStart + 1;
  }
}

// Segment by segment, as a scan that tries each text position in turn would
// place them: the leading segment (no '*' before it) only at the current
// position, a middle one at its leftmost fit, the last one only where it
// ends with the text. The scan's outcome at a position never depends on
// anything but whether the segment fits there and whether the text ends
// inside it, so whole stretches of positions are skipped with a byte search,
// and the text is read once from front to back.
template <class Text>
bool matchText(Text& text, const char* pattern) {
  size_t t = 0;  // where the current segment is tried in the text
  size_t p = 0;  // start of the current segment in the pattern
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
      size_t avail = 0;
      const char* s = text.span(t, n + 1, avail);
      if (fitAt(s, avail, seg, n) != Fit::Match) return false;
      if (last) return avail == n;  // the text ends right after it
      t += n;
      p += n;
      continue;
    }
    if (last) {
      // A trailing star takes the rest of the text; otherwise the segment
      // must end exactly at the end of the text.
      if (n == 0) return true;
      size_t len = 0;
      const char* s = text.tail(t, n, len);
      if (s == nullptr) return false;
      return fitAt(s, n, seg, n) == Fit::Match;
    }
    const std::ptrdiff_t at = leftmostFit(text, t, seg, n);
    if (at < 0) return false;
    t = static_cast<size_t>(at) + n;
    p += n;
  }
}

}  // namespace

uint32_t searchFileForPattern(const std::string& path, const char* pattern, uint32_t maxSize,
                              const BY_HANDLE_FILE_INFORMATION* expected) {
  HANDLE file = openSameFile(path, 0, expected);
  if (file == INVALID_HANDLE_VALUE) return 0;

  DWORD sizeHigh = 0;
  DWORD size = GetFileSize(file, &sizeHigh);
  // A failed query (all bits set) and a file past 4 GiB are both larger
  // than any limit.
  if (size == INVALID_FILE_SIZE || sizeHigh != 0 || size > maxSize) {
    CloseHandle(file);
    return 0;
  }

  // The text is read as the matcher goes through it, into a window of one
  // read and a segment's length, and never held whole.
  FileText text(file, static_cast<size_t>(size));
  if (!text.allocate()) {
    CloseHandle(file);
    return 0;
  }

  char lowered[kPatternBufferSize];
  std::memset(lowered, 0, sizeof lowered);
  std::strncpy(lowered, pattern, kPatternBufferSize - 1);
  for (char* c = lowered; *c; ++c) *c = tw_platform::asciiLower(*c);

  const bool matched = matchText(text, lowered);
  CloseHandle(file);
  return matched ? 1 : 0;
}

bool wildcardMatch(const char* text, const char* pattern) {
  MemoryText memory(text, std::strlen(text));
  return matchText(memory, pattern);
}

}  // namespace velmora::checks
