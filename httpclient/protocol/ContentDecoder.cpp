#include "httpclient/protocol/ContentDecoder.h"

#include <zlib.h>

#include "httpclient/transport/ComponentErrors.h"
#include "platform/inflate.h"

namespace velmora::network::component {

namespace {

constexpr size_t kOutputArea = 65536;

// A gzip header (with its optional name, comment and extra field) longer
// than this is refused rather than collected without end: a server that
// never finishes the name would otherwise grow the buffer with every byte.
constexpr size_t kMaxGzipHeader = 65536;

// Header flags of a gzip member.
constexpr unsigned char kFlagHeaderCrc = 2;
constexpr unsigned char kFlagExtra = 4;
constexpr unsigned char kFlagName = 8;
constexpr unsigned char kFlagComment = 16;

}  // namespace

struct ContentDecoder::Stream {
  const tw_platform::Inflate* zlib = nullptr;
  z_stream z{};
  bool open = false;
  unsigned char out[kOutputArea];
  ~Stream() {
    if (open) zlib->end(&z);
  }
};

ContentDecoder::ContentDecoder() = default;
ContentDecoder::~ContentDecoder() = default;

bool ContentDecoder::start(ContentCoding coding) {
  reset();
  if (coding == ContentCoding::None) return true;
  auto s = std::make_unique<Stream>();
  s->zlib = tw_platform::inflateLibrary();
  if (s->zlib == nullptr) return false;
  // Negative window bits: a raw deflate stream, no zlib or gzip wrapper.
  if (s->zlib->init2(&s->z, -15, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK) {
    return false;
  }
  s->open = true;
  stream_ = std::move(s);
  coding_ = coding;
  return true;
}

void ContentDecoder::reset() {
  stream_.reset();
  coding_ = ContentCoding::None;
  headerDone_ = false;
  streamEnded_ = false;
  collected_.clear();
  collected_.shrink_to_fit();
}

size_t ContentDecoder::gzipHeaderLength(const std::string& bytes) {
  const size_t n = bytes.size();
  if (n < 10) return 0;
  const unsigned char flags = static_cast<unsigned char>(bytes[3]);
  size_t pos = 10;
  if (flags & kFlagExtra) {
    if (n < pos + 2) return 0;
    size_t extra = static_cast<unsigned char>(bytes[pos]) |
                   (static_cast<size_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8);
    pos += 2 + extra;
    if (n < pos) return 0;
  }
  for (unsigned char field : {kFlagName, kFlagComment}) {
    if (flags & field) {
      size_t zero = bytes.find('\0', pos);
      if (zero == std::string::npos) return 0;
      pos = zero + 1;
    }
  }
  if (flags & kFlagHeaderCrc) {
    pos += 2;
    if (n < pos) return 0;
  }
  return pos;
}

int ContentDecoder::decode(const char* data, size_t length, std::string& out) {
  out.clear();
  if (coding_ == ContentCoding::None) {
    out.assign(data, length);
    return kOk;
  }
  if (coding_ == ContentCoding::Gzip && !headerDone_) {
    collected_.append(data, length);
    size_t header = gzipHeaderLength(collected_);
    if (header == 0) {
      // The header is not complete yet.
      return collected_.size() > kMaxGzipHeader ? kErrGzipHeader : kOk;
    }
    if (static_cast<unsigned char>(collected_[0]) != 0x1F ||
        static_cast<unsigned char>(collected_[1]) != 0x8B ||
        static_cast<unsigned char>(collected_[2]) != 0x08) {
      return kErrGzipHeader;
    }
    headerDone_ = true;
    std::string rest = collected_.substr(header);
    collected_.clear();
    collected_.shrink_to_fit();
    return inflatePiece(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), out);
  }
  return inflatePiece(reinterpret_cast<const unsigned char*>(data), length, out);
}

int ContentDecoder::inflatePiece(const unsigned char* data, size_t length, std::string& out) {
  // Bytes after the end of the stream (the gzip trailer) are not checked.
  if (streamEnded_ || length == 0) return kOk;
  z_stream& z = stream_->z;
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(length);
  for (;;) {
    z.next_out = stream_->out;
    z.avail_out = kOutputArea;
    int r = stream_->zlib->run(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return kErrProtocol;
    out.append(reinterpret_cast<const char*>(stream_->out), kOutputArea - z.avail_out);
    if (r == Z_STREAM_END) {
      streamEnded_ = true;
      break;
    }
    // More output waits while the area came back full.
    if (z.avail_out != 0 || r == Z_BUF_ERROR) break;
  }
  z.next_in = nullptr;
  z.avail_in = 0;
  return kOk;
}

}  // namespace velmora::network::component
