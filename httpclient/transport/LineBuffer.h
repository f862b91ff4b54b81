// The line buffer of the receive path: received bytes split into lines, or
// handed on in blocks. It does no I/O: a reader writes bytes into it (from a
// socket, or decrypted bytes of a TLS layer) and takes out the pieces ready.
//
// Framing: with an end-of-line marker (any length, matched byte for byte) a
// line ends at its first occurrence and is given out without it; with
// SplitCRLF a line ends at CR, LF, CR LF or LF CR, and a pair cut between two
// inputs is still one line end; with neither, everything buffered is one
// block. The capacity is fixed (MaxLineLength): a full buffer without a line
// end is given out whole, so a longer line arrives in pieces. Pieces point
// into the buffer and stay valid until the next input.
//
// Read-ahead: a reader may take more bytes from its source than the buffer
// has room for and stage them here; takeAhead() then gives the buffer the
// amounts that reads of its free space would have given, so that one large
// read costs one system call and the pieces are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmora::network::component {

class LineBuffer {
 public:
  // The capacity a plain connection's buffer can have; set-up gives 2048.
  static constexpr int32_t kMaxCapacity = 65536;
  static constexpr int32_t kDefaultCapacity = 2048;
  static constexpr size_t kReadAheadBytes = 65536;

  struct Piece {
    const char* data = nullptr;
    size_t length = 0;
    bool endOfLine = false;  // a line without its marker; false for a block
  };

  // --- settings ------------------------------------------------------------------
  int32_t capacity() const { return capacity_; }
  // A new capacity (at least 1, at most limit); what is buffered is dropped
  // and the storage is allocated again on first use.
  void setCapacity(int32_t bytes, int32_t limit);
  const std::string& eol() const { return eol_; }
  void setEol(const std::string& marker) { eol_ = marker; }
  bool splitCrlf() const { return splitCrlf_; }
  void setSplitCrlf(bool on) { splitCrlf_ = on; }
  bool splitsLines() const { return splitCrlf_ || !eol_.empty(); }
  // Forgets the buffered bytes, the byte of a cut CR/LF pair and the read-ahead.
  void clear();

  // --- input ---------------------------------------------------------------------
  // Where the next bytes go and how many fit: the free space at the end, made
  // by moving the buffered bytes to the front when there is none at the end.
  // No room means the buffer is full.
  char* space(size_t& room);
  // n bytes were written at space(): they join the buffer, except a first
  // byte that completes a CR/LF pair cut by the previous input.
  void commit(size_t n);
  // space() and commit() for bytes from elsewhere; returns how many it took.
  size_t append(const char* data, size_t length);
  bool full() const { return length_ == static_cast<size_t>(capacity_); }
  bool empty() const { return length_ == 0; }

  // --- output --------------------------------------------------------------------
  // The next piece ready: a complete line; else, when `rest` is set or no
  // marker splits lines, everything buffered as one block. False when none.
  bool next(Piece& piece, bool rest);
  // Everything buffered as one block (a full buffer without a line end).
  Piece takeAll();

  // --- read-ahead ------------------------------------------------------------------
  // Staging space of kReadAheadBytes; null when it cannot be allocated.
  char* aheadSpace();
  void aheadFilled(size_t n);
  size_t ahead() const { return aheadLength_; }
  // Moves what one read of `room` bytes would have given into `into`.
  size_t takeAhead(char* into, size_t room);
  // True once when a take left bytes staged since the last notice: the
  // reader announces them as a source announces bytes left after a read.
  bool takeAheadNotice();

 private:
  bool nextLine(Piece& piece);

  int32_t capacity_ = kDefaultCapacity;
  std::string storage_;  // allocated on first use
  size_t start_ = 0;     // the buffered bytes are [start_, start_ + length_)
  size_t length_ = 0;
  std::string eol_;
  bool splitCrlf_ = false;
  char pairByte_ = 0;  // the other byte of a CR/LF pair cut at the end of an input

  std::unique_ptr<char[]> ahead_;
  size_t aheadStart_ = 0;
  size_t aheadLength_ = 0;
  bool aheadNotice_ = false;  // a take left bytes since the last notice
};

}  // namespace velmora::network::component
