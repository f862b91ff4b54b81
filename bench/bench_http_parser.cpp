// Throughput of the HTTP response parser:
//  1. a 100 MB chunked body (text lines, 16 KiB chunks);
//  2. a 20 MB gzip body (20 MB of compressed bytes on the wire);
// each fed in 2,048-byte reads through a line buffer with the receive path's
// rules (2,048 bytes of capacity, the parser's marker), against zlib's own
// inflate of the same gzip bytes as the reference.
//
// Usage: tw_bench_http_parser [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "httpclient/protocol/ResponseParser.h"
#include "tests/support/compress.h"
#include "tests/support/line_feed.h"

using namespace velmora::network::component;

namespace {

constexpr size_t kRead = 2048;

class CountingSink : public ResponseSink {
 public:
  std::string marker = "\n";
  uint64_t bodyBytes = 0;
  bool ended = false;
  int setLineEnd(const std::string& m) override {
    marker = m;
    return 0;
  }
  void onStatus(const std::string&, int, const std::string&) override {}
  int onHeader(const std::string&, const std::string&) override { return 0; }
  void onStartTransfer() override {}
  int onBody(const char*, size_t length, int) override {
    bodyBytes += length;
    return 0;
  }
  void onEndOfResponse(bool) override { ended = true; }
  void onSkipRedirectBody() override {}
};

std::string textBody(size_t size) {
  std::mt19937 rng(7);
  static const char* words[] = {"<div class=\"item\">", "monitor", "page", "checksum", "</div>",
                                "the", "quick", "brown", "fox", "0123456789"};
  std::string out;
  out.reserve(size + 64);
  while (out.size() < size) {
    int n = 4 + static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      out += words[rng() % 10];
      out += ' ';
    }
    out += "\r\n";
  }
  out.resize(size);
  return out;
}

std::string chunkedMessage(const std::string& body, size_t chunk) {
  std::string m = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
  m.reserve(body.size() + body.size() / chunk * 12 + 64);
  char size[16];
  for (size_t at = 0; at < body.size(); at += chunk) {
    size_t n = body.size() - at < chunk ? body.size() - at : chunk;
    std::snprintf(size, sizeof(size), "%zx\r\n", n);
    m += size;
    m.append(body, at, n);
    m += "\r\n";
  }
  m += "0\r\n\r\n";
  return m;
}

// About 20 MB of compressed bytes: text compresses ~4:1, so the plain body
// is grown until its gzip form passes 20 MB.
const std::string& gzipBody() {
  static const std::string gz = [] {
    std::string plain = textBody(40u << 20);
    std::string g = tw_test::gzipBytes(plain);
    // Random-ish words compress less well than prose; scale to 20 MB.
    double ratio = static_cast<double>(plain.size()) / static_cast<double>(g.size());
    return tw_test::gzipBytes(textBody(static_cast<size_t>(20e6 * ratio)));
  }();
  return gz;
}

uint64_t decodedSize() {
  const std::string& gz = gzipBody();
  // ISIZE: the last four bytes of a gzip member, little-endian.
  const unsigned char* t = reinterpret_cast<const unsigned char*>(gz.data() + gz.size() - 4);
  return t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint64_t>(t[3]) << 24);
}

void feed(const std::string& message, bool compression, benchmark::State& state) {
  HttpResponseFields fields;
  CountingSink sink;
  ResponseParser parser(fields, sink);
  ParserSettings settings;
  settings.allowCompression = compression;
  settings.maxLineLength = kRead;
  parser.reset(settings);
  tw_test::LineFeed lines(kRead, [&] { return sink.marker; },
                          [&](const char* d, size_t n, bool eol) { return parser.feed(d, n, eol); });
  for (size_t at = 0; at < message.size(); at += kRead) {
    lines.receive(std::string_view(message).substr(at, kRead));
  }
  if (!sink.ended || parser.errorCode() != 0) state.SkipWithError("response did not end");
  benchmark::DoNotOptimize(sink.bodyBytes);
}

void BM_ParserChunked100MB(benchmark::State& state) {
  static const std::string message = chunkedMessage(textBody(100u << 20), 16384);
  for (auto _ : state) feed(message, false, state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(message.size()));
}

void BM_ParserGzip20MB(benchmark::State& state) {
  const std::string& gz = gzipBody();
  static const std::string message = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                     std::to_string(gz.size()) + "\r\n\r\n" + gz;
  for (auto _ : state) feed(message, true, state);
  state.counters["decoded_MB"] = static_cast<double>(decodedSize()) / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(gz.size()));
}

// The references: zlib inflating the same gzip bytes, 2,048-byte inputs
// into a 64 KiB output area, no parser around it; with the gzip wrapper
// (which also computes the CRC-32 of the output) and as a raw stream after
// the 10-byte header, which is what the parser does.
void inflateBench(benchmark::State& state, int windowBits, size_t skip) {
  const std::string& gz = gzipBody();
  static unsigned char out[65536];
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, windowBits);
    uint64_t produced = 0;
    for (size_t at = skip; at < gz.size(); at += kRead) {
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data() + at));
      z.avail_in = static_cast<uInt>(gz.size() - at < kRead ? gz.size() - at : kRead);
      do {
        z.next_out = out;
        z.avail_out = sizeof(out);
        int r = inflate(&z, Z_NO_FLUSH);
        produced += sizeof(out) - z.avail_out;
        if (r == Z_STREAM_END) break;
      } while (z.avail_out == 0);
    }
    inflateEnd(&z);
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(gz.size()));
}

void BM_ZlibInflateGzip20MB(benchmark::State& state) { inflateBench(state, 31, 0); }
void BM_ZlibRawInflate20MB(benchmark::State& state) { inflateBench(state, -15, 10); }

}  // namespace

BENCHMARK(BM_ParserChunked100MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ParserGzip20MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ZlibInflateGzip20MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ZlibRawInflate20MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
