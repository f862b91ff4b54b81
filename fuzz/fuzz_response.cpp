// Responses through the HTTP layer's receive handler, as the line buffer of
// a plain connection hands them on, with the socket reads cut where the
// input says; then the peer's close. Each input is played twice, in one read
// and in the chosen pieces, into fresh handles: when both took the same
// number of body bytes, the result and the error text, and for a response
// read through also the events (body pieces merged) and the body, must not
// depend on the cut (see checkSameOutcome). Input: one byte of options (HEAD request, compression, redirects,
// line-buffer capacity), the piece sizes (see Pieces), the response bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/response_recorder.h"
#include "httpclient/protocol/HttpComponent.h"
#include "tests/support/line_feed.h"

using velmora::network::component::HttpComponent;

namespace {

class Recorder : public tw_fuzz::ResponseRecorder {
 public:
  HttpComponent& component() {
    return *velmora::network::component::componentFromHandle(handle());
  }
};

tw_fuzz::Outcome play(uint8_t options, const std::vector<std::string>& reads) {
  Recorder r;
  HttpComponent& c = r.component();
  tw_fuzz::configure(r, options);
  if (options & 4) r.Config("FollowRedirects=1");
  c.selectTls(false);
  int result = c.beginResponse((options & 1) ? "HEAD" : "GET");
  if (result == 0) {
    tw_test::LineFeed splitter(
        static_cast<size_t>(c.maxLineLength()), [&] { return c.eol(); },
        [&](const char* d, size_t n, bool eol) { return c.dataIn(d, static_cast<int>(n), eol); });
    for (const std::string& piece : reads) {
      if ((result = splitter.receive(piece)) != 0) break;
    }
    if (result == 0) result = splitter.close();
  }
  const int judged = c.finishResponse(result);
  tw_fuzz::Outcome o = tw_fuzz::outcomeOf(r, result);
  o.judged = judged;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tw_fuzz::useTempRoot();
  TessilonSSL_HTTPS_StaticInit(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = *data++;
  --size;
  const tw_fuzz::Pieces pieces = tw_fuzz::takePieces(data, size);
  const std::string response(reinterpret_cast<const char*>(data), size);
  tw_fuzz::checkSameOutcome(play(options, {response}), play(options, pieces.cut(response)));
  return 0;
}
