// gzip and deflate bodies through the content decoder, whole and in the
// pieces the input chooses (see CutInput; options bit 1: deflate). The
// decoded bytes and the result must not depend on the cut; a deflate body
// must decode as zlib's own raw inflate decodes it in one go.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "httpclient/protocol/ContentDecoder.h"

using velmora::network::component::ContentCoding;
using velmora::network::component::ContentDecoder;

namespace {

struct Outcome {
  int code = 0;
  std::string out;
};

Outcome decodeAll(ContentCoding coding, const std::vector<std::string>& pieces) {
  Outcome o;
  ContentDecoder d;
  tw_fuzz::check(d.start(coding), "the decoder does not start");
  std::string piece;
  for (const std::string& p : pieces) {
    o.code = d.decode(p.data(), p.size(), piece);
    if (o.code != 0) break;
    o.out += piece;
  }
  return o;
}

// zlib's raw inflate of the whole body: what comes out until the stream
// ends, the input runs out or the data is bad (dataError).
std::string zlibInflate(const std::string& body, bool& dataError) {
  z_stream z{};
  dataError = false;
  if (inflateInit2(&z, -15) != Z_OK) tw_fuzz::fail("inflateInit2");
  std::string out;
  unsigned char area[16384];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  for (;;) {
    z.next_out = area;
    z.avail_out = sizeof area;
    int r = inflate(&z, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(area), sizeof area - z.avail_out);
    if (r == Z_STREAM_END) break;
    if (r == Z_DATA_ERROR || r == Z_NEED_DICT || r == Z_MEM_ERROR) {
      dataError = true;
      break;
    }
    if (r == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out != 0)) break;
  }
  inflateEnd(&z);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw_fuzz::CutInput in;
  if (!in.take(data, size)) return 0;
  const ContentCoding coding = (in.options & 1) ? ContentCoding::Deflate : ContentCoding::Gzip;
  const std::string& body = in.message;
  const Outcome whole = decodeAll(coding, {body});
  const Outcome cut = decodeAll(coding, in.pieces());
  tw_fuzz::check(whole.code == cut.code, "result depends on the cut: " +
                                             std::to_string(whole.code) + " against " +
                                             std::to_string(cut.code));
  tw_fuzz::check(whole.code == 0 || whole.code == 102 || whole.code == 151,
                 "unexpected result " + std::to_string(whole.code));
  if (whole.code == 0) tw_fuzz::check(whole.out == cut.out, "output depends on the cut");

  if (coding == ContentCoding::Deflate) {
    bool dataError = false;
    const std::string reference = zlibInflate(body, dataError);
    tw_fuzz::check(dataError == (whole.code == 151), "deflate verdict differs from zlib's");
    if (!dataError) tw_fuzz::check(whole.out == reference, "deflate output differs from zlib's");
  }
  return 0;
}
