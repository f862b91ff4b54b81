// Plays received bytes through the component's own LineBuffer as the receive
// handler does: each read added in the amounts the buffer has room for, the
// pieces it has ready handed on after each step (a full buffer without a line
// end as one block), the current end-of-line marker read before every piece
// (the parser changes it as it goes), and at the peer's close the complete
// lines and then the rest.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "httpclient/transport/LineBuffer.h"

namespace tw_test {

class LineFeed {
 public:
  using Deliver = std::function<int(const char*, size_t, bool)>;
  using Marker = std::function<std::string()>;

  LineFeed(size_t capacity, Marker marker, Deliver deliver)
      : marker_(std::move(marker)), deliver_(std::move(deliver)) {
    buffer_.setCapacity(static_cast<int32_t>(capacity), static_cast<int32_t>(capacity));
  }

  // Bytes of one read of the socket.
  int receive(std::string_view bytes) {
    for (;;) {
      if (int r = handOn(false)) return r;
      if (bytes.empty()) return 0;
      size_t room = 0;
      buffer_.space(room);
      if (room == 0) {
        const auto block = buffer_.takeAll();
        if (int r = deliver_(block.data, block.length, false)) return r;
        continue;
      }
      bytes.remove_prefix(buffer_.append(bytes.data(), bytes.size()));
    }
  }

  // The peer closed: the complete lines, then the rest as one block.
  int close() { return handOn(true); }

 private:
  int handOn(bool rest) {
    velmora::network::component::LineBuffer::Piece piece;
    for (;;) {
      buffer_.setEol(marker_());
      if (!buffer_.next(piece, rest)) return 0;
      if (int r = deliver_(piece.data, piece.length, piece.endOfLine)) return r;
    }
  }

  velmora::network::component::LineBuffer buffer_;
  Marker marker_;
  Deliver deliver_;
};

}  // namespace tw_test
