// A test-side line buffer with the rules of the component's receive path: a
// fixed capacity, the current end-of-line marker read before every line (the
// parser changes it as it goes), lines handed on without their marker and
// with the end-of-line flag, a full buffer without a line handed on as one
// block, everything buffered handed on as one block while the marker is
// empty, and the rest handed on when the peer closes.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>

namespace tw_test {

class LineSplitter {
 public:
  using Deliver = std::function<int(const char*, size_t, bool)>;
  using Marker = std::function<std::string()>;

  LineSplitter(size_t capacity, Marker marker, Deliver deliver)
      : capacity_(capacity), marker_(std::move(marker)), deliver_(std::move(deliver)) {}

  // Bytes of one read of the socket.
  int receive(std::string_view bytes) {
    while (!bytes.empty()) {
      if (int r = handLines()) return r;
      if (buffer_.size() == capacity_) {
        if (int r = handBlock()) return r;
        continue;
      }
      size_t n = std::min(capacity_ - buffer_.size(), bytes.size());
      buffer_.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
    }
    return handLines();
  }

  // The peer closed: the complete lines, then the rest as one block.
  int close() {
    if (int r = handLines()) return r;
    if (!buffer_.empty()) return handBlock();
    return 0;
  }

 private:
  int handBlock() {
    std::string block;
    block.swap(buffer_);
    return deliver_(block.data(), block.size(), false);
  }

  int handLines() {
    for (;;) {
      std::string marker = marker_();
      if (marker.empty()) return buffer_.empty() ? 0 : handBlock();
      size_t at = buffer_.find(marker);
      if (at == std::string::npos) return 0;
      std::string line = buffer_.substr(0, at);
      buffer_.erase(0, at + marker.size());
      if (int r = deliver_(line.data(), line.size(), true)) return r;
    }
  }

  size_t capacity_;
  Marker marker_;
  Deliver deliver_;
  std::string buffer_;
};

}  // namespace tw_test
