#include "httpclient/transport/LineBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velmora::network::component {

void LineBuffer::setCapacity(int32_t bytes, int32_t limit) {
  capacity_ = std::max<int32_t>(1, std::min(bytes, limit));
  storage_.clear();
  storage_.shrink_to_fit();
  clear();
}

void LineBuffer::clear() {
  start_ = 0;
  length_ = 0;
  pairByte_ = 0;
  aheadStart_ = 0;
  aheadLength_ = 0;
  aheadNotice_ = false;
}

char* LineBuffer::space(size_t& room) {
  const size_t capacity = static_cast<size_t>(capacity_);
  if (storage_.size() != capacity) storage_.assign(capacity, '\0');
  if (length_ == 0) start_ = 0;
  room = capacity - start_ - length_;
  if (room == 0 && start_ > 0) {
    std::memmove(storage_.data(), storage_.data() + start_, length_);
    start_ = 0;
    room = capacity - length_;
  }
  return storage_.data() + start_ + length_;
}

void LineBuffer::commit(size_t n) {
  if (n == 0) return;
  char* added = storage_.data() + start_ + length_;
  if (pairByte_ != 0) {
    // The rest of a CR/LF pair cut by the previous input is not a new line end.
    if (added[0] == pairByte_) {
      std::memmove(added, added + 1, n - 1);
      --n;
    }
    pairByte_ = 0;
  }
  length_ += n;
}

size_t LineBuffer::append(const char* data, size_t length) {
  size_t room = 0;
  char* into = space(room);
  const size_t n = std::min(room, length);
  if (n > 0) std::memcpy(into, data, n);
  commit(n);
  return n;
}

bool LineBuffer::nextLine(Piece& piece) {
  if (length_ == 0) return false;
  const char* base = storage_.data() + start_;
  size_t at = 0;
  size_t consumed = 0;
  if (splitCrlf_) {
    const char* end =
        std::find_if(base, base + length_, [](char c) { return c == '\r' || c == '\n'; });
    if (end == base + length_) return false;
    at = static_cast<size_t>(end - base);
    consumed = at + 1;
    if (at + 1 < length_) {
      if (base[at] + base[at + 1] == '\r' + '\n') consumed = at + 2;
    } else {
      // The pair may be completed by the next input.
      pairByte_ = base[at] == '\r' ? '\n' : '\r';
    }
  } else {
    if (eol_.empty()) return false;
    at = std::string_view(base, length_).find(eol_);
    if (at == std::string_view::npos) return false;
    consumed = at + eol_.size();
  }
  piece = Piece{base, at, true};
  start_ += consumed;
  length_ -= consumed;
  return true;
}

bool LineBuffer::next(Piece& piece, bool rest) {
  if (nextLine(piece)) return true;
  if (length_ == 0 || (splitsLines() && !rest)) return false;
  piece = takeAll();
  return true;
}

LineBuffer::Piece LineBuffer::takeAll() {
  Piece piece{storage_.data() + start_, length_, false};
  start_ = 0;
  length_ = 0;
  return piece;
}

char* LineBuffer::aheadSpace() {
  if (ahead_ == nullptr) ahead_.reset(new (std::nothrow) char[kReadAheadBytes]);
  return ahead_.get();
}

void LineBuffer::aheadFilled(size_t n) {
  aheadStart_ = 0;
  aheadLength_ = n;
}

size_t LineBuffer::takeAhead(char* into, size_t room) {
  const size_t take = std::min(room, aheadLength_);
  if (take == 0) return 0;
  std::memcpy(into, ahead_.get() + aheadStart_, take);
  aheadStart_ += take;
  aheadLength_ -= take;
  aheadNotice_ = aheadLength_ > 0;
  return take;
}

bool LineBuffer::takeAheadNotice() {
  if (!aheadNotice_ || aheadLength_ == 0) return false;
  aheadNotice_ = false;
  return true;
}

}  // namespace velmora::network::component
