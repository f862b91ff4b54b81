// Responses through the HTTP layer's receive handler, as the line buffer of
// a plain connection hands them on, with the socket reads cut where the
// input says; then the peer's close. Each input is played twice, in one read
// and in the chosen pieces, into fresh handles: when both took the same
// number of body bytes, the result and the error text, and for a response
// read through also the events (body pieces merged) and the body, must not
// depend on the cut. Input: one byte of options (HEAD request, compression, redirects,
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

struct Outcome {
  std::vector<std::string> events;
  std::string body;
  int result = 0;
  int judged = 0;
  std::string error;
  std::string bytesTransferred;
};

const char* const kCapacities[] = {nullptr, "16", "100", "65536"};

Outcome play(uint8_t options, const std::vector<std::string>& reads) {
  Recorder r;
  HttpComponent& c = r.component();
  if (options & 2) r.Config("AllowHTTPCompression=True");
  if (options & 4) r.Config("FollowRedirects=1");
  if (const char* cap = kCapacities[(options >> 3) & 3]) {
    r.Config((std::string("MaxLineLength=") + cap).c_str());
  }
  c.selectTls(false);
  Outcome o;
  o.result = c.beginResponse((options & 1) ? "HEAD" : "GET");
  if (o.result == 0) {
    tw_test::LineFeed splitter(
        static_cast<size_t>(c.maxLineLength()), [&] { return c.eol(); },
        [&](const char* d, size_t n, bool eol) {
          return c.dataIn(d, static_cast<int>(n), eol);
        });
    for (const std::string& piece : reads) {
      o.result = splitter.receive(piece);
      if (o.result != 0) break;
    }
    if (o.result == 0) o.result = splitter.close();
  }
  o.judged = c.finishResponse(o.result);
  o.error = TessilonSSL_HTTPS_GetLastError(r.handle());
  o.bytesTransferred = r.Config("BytesTransferred");
  o.events = r.events;
  o.body = r.body;
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
  const uint8_t options = data[0];
  ++data;
  --size;
  const tw_fuzz::Pieces pieces = tw_fuzz::takePieces(data, size);
  const std::string response(reinterpret_cast<const char*>(data), size);

  const Outcome whole = play(options, {response});
  const Outcome cut = play(options, pieces.cut(response));
  // An identity body takes the whole read in which it reaches its
  // Content-Length, so bytes a server sends beyond it are taken or not
  // depending on the cut (and may decide whether decoding fails); the counts
  // of raw body bytes then differ. So does a failure inside the body, which
  // stops at the piece it failed in. Otherwise everything must match.
  if (whole.bytesTransferred != cut.bytesTransferred) return 0;
  tw_fuzz::check(whole.result == cut.result, "result depends on the cut: " +
                                                 std::to_string(whole.result) + " against " +
                                                 std::to_string(cut.result));
  tw_fuzz::check(whole.judged == cut.judged, "judged status depends on the cut");
  tw_fuzz::check(whole.error == cut.error, "error text depends on the cut: \"" + whole.error +
                                               "\" against \"" + cut.error + "\"");
  // A body that fails (bad gzip or deflate data) stops at the piece it
  // failed in; a response that ended normally must give the same events.
  const bool endedNormally =
      whole.result == 0 || (!whole.events.empty() && whole.events.back() == "EndTransfer");
  if (endedNormally) {
    tw_fuzz::check(whole.events == cut.events, "events depend on the cut");
    tw_fuzz::check(whole.body == cut.body, "body depends on the cut");
  }
  return 0;
}
