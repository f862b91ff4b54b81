// Test data for content decoding, made with zlib's own deflate.
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace tw_test {

// windowBits: -15 raw deflate, 15 zlib wrapper, 31 gzip wrapper. flush: Z_FINISH
// ends the stream; Z_FULL_FLUSH leaves it open, byte-aligned, referring to nothing before.
inline std::string deflateBytes(const std::string& input, int windowBits, int level = 6,
                                int flush = Z_FINISH) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, input.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, flush) != (flush == Z_FINISH ? Z_STREAM_END : Z_OK)) {
    throw std::runtime_error("deflate");
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string gzipBytes(const std::string& input) { return deflateBytes(input, 31); }

// A gzip member with every optional header field: extra, name, comment and
// header CRC (the CRC is not checked by the reader, so any two bytes do).
inline std::string gzipWithAllHeaderFields(const std::string& input) {
  std::string out("\x1f\x8b\x08\x1e\0\0\0\0\0\x03", 10);
  out += std::string("\x03\0abc", 5);        // extra field: length 3, "abc"
  out += std::string("name.txt\0", 9);       // file name
  out += std::string("a comment\0", 10);     // comment
  out += std::string("\x12\x34", 2);         // header CRC
  out += deflateBytes(input, -15);
  out += std::string(8, '\0');               // trailer (not checked)
  return out;
}

}  // namespace tw_test
