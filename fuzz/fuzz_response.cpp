// Responses through the HTTP layer's receive handler, as the line buffer of
// a plain connection hands them on, played twice into fresh handles: in one
// read and in the pieces the input chooses, then the peer's close; how the
// bytes arrive must not matter (see checkSameOutcome). Options: HEAD (1),
// compression (2), redirects (4), line-buffer capacity (bits 3-4).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/response_recorder.h"
#include "tests/support/line_feed.h"

namespace {

tw_fuzz::Outcome play(uint8_t options, const std::vector<std::string>& reads) {
  tw_test::RecordingHttps r;
  auto& c = r.component();
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
  return tw_fuzz::outcomeOf(r, result, c.finishResponse(result));
}

}  // namespace

void tw_fuzz::setUp() { TessilonSSL_HTTPS_StaticInit(nullptr); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw_fuzz::CutInput in;
  if (!in.take(data, size)) return 0;
  tw_fuzz::checkSameOutcome(play(in.options, {in.message}), play(in.options, in.pieces()));
  return 0;
}
