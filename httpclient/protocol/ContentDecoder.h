// Content decoding of response bodies: gzip and deflate, both inflated as raw
// deflate streams with zlib. Fed the body pieces as they arrive; keeps only
// the first bytes of a gzip body until its header is complete and one output
// area per step. No I/O.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace velmora::network::component {

enum class ContentCoding {
  None = 0,
  Gzip = 1,
  Deflate = 2,
};

class ContentDecoder {
 public:
  ContentDecoder();
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // Opens a raw inflate stream for the coding; false when it cannot be.
  bool start(ContentCoding coding);
  // Drops the stream, the collected header bytes and the coding.
  void reset();
  ContentCoding coding() const { return coding_; }

  // Decodes one piece into out (replaced). Returns 0, 102 for a gzip body
  // that does not start with 1F 8B 08, or 151 for a stream inflate rejects.
  // Until a gzip header is complete, out stays empty.
  int decode(const char* data, size_t length, std::string& out);

  // Length of the gzip header at the start of bytes, or 0 while incomplete.
  static size_t gzipHeaderLength(const std::string& bytes);

 private:
  int inflatePiece(const unsigned char* data, size_t length, std::string& out);

  struct Stream;
  std::unique_ptr<Stream> stream_;
  ContentCoding coding_ = ContentCoding::None;
  bool headerDone_ = false;
  bool streamEnded_ = false;
  std::string collected_;  // first bytes of a gzip body, until its header is whole
};

}  // namespace velmora::network::component
