#include "tests/hostile/hostile_support.h"

#include <zlib.h>

#include <memory>
#include <stdexcept>

namespace tw_hostile {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

std::string littleEndian32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// Raw deflate of `input` from a fresh stream, ended with `flush`.
std::string rawDeflate(const std::string& input, int flush) {
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&z, input.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int r = deflate(&z, flush);
  if (r != Z_OK && r != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

GzipBomb::GzipBomb(uint64_t zeros) : chunks_(zeros / kMiB) {
  if (zeros % kMiB != 0 || chunks_ == 0) throw std::invalid_argument("whole MiB of zeros");
  header_ = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
  const std::string mib(kMiB, '\0');
  // A full flush ends byte-aligned with an empty dictionary reference, so
  // the same compressed bytes may follow themselves.
  chunk_ = rawDeflate(mib, Z_FULL_FLUSH);
  uLong crcMib = crc32(0L, reinterpret_cast<const Bytef*>(mib.data()), static_cast<uInt>(kMiB));
  uLong crc = 0;
  for (uint64_t i = 0; i < chunks_; ++i) crc = crc32_combine(crc, crcMib, static_cast<z_off_t>(kMiB));
  tail_ = rawDeflate(std::string(), Z_FINISH) + littleEndian32(static_cast<uint32_t>(crc)) +
          littleEndian32(static_cast<uint32_t>(zeros & 0xFFFFFFFFu));
}

uint64_t GzipBomb::size() const { return header_.size() + chunks_ * chunk_.size() + tail_.size(); }

// The piece that starts at offset: the header, one chunk, or the tail.
std::string GzipBomb::piece(uint64_t offset) const {
  if (offset == 0) return header_;
  const uint64_t body = offset - header_.size();
  if (body < chunks_ * chunk_.size()) return chunk_;
  if (body == chunks_ * chunk_.size()) return tail_;
  return std::string();
}

tw_test::PeerStep::Generator GzipBomb::generator() const {
  auto self = std::make_shared<GzipBomb>(*this);
  return [self](uint64_t sent) { return self->piece(sent); };
}

tw_test::PeerStep::Generator repeated(std::string unit, uint64_t total) {
  std::string block;
  while (block.size() < 65536) block += unit;
  auto shared = std::make_shared<std::string>(std::move(block));
  return [shared, total](uint64_t sent) {
    if (sent >= total) return std::string();
    const uint64_t left = total - sent;
    return left < shared->size() ? shared->substr(0, static_cast<size_t>(left)) : *shared;
  };
}

}  // namespace tw_hostile
