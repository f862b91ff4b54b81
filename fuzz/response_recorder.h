// One response as the fuzz targets compare two plays of it: the result, the
// judged status, the error text, the raw body bytes taken, and the events
// of the response with its body (see tw_test::responseEvents).
#pragma once

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "tests/support/recording_https.h"

namespace tw_fuzz {

struct Outcome {
  int result = 0;
  int judged = 0;
  std::string error{};
  std::string bytesTransferred{};
  std::vector<std::string> events{};
  std::string body{};
};

// Sets the options byte's compression (2) and line-buffer capacity (bits 3-4).
inline void configure(tw_test::RecordingHttps& r, uint8_t options) {
  static const char* const kCapacities[] = {nullptr, "16", "100", "65536"};
  if (options & 2) r.Config("AllowHTTPCompression=True");
  if (const char* cap = kCapacities[(options >> 3) & 3]) {
    r.Config(std::string("MaxLineLength=") + cap);
  }
}

inline Outcome outcomeOf(tw_test::RecordingHttps& r, int result, int judged = 0) {
  return {.result = result, .judged = judged, .error = TessilonSSL_HTTPS_GetLastError(r.handle()),
          .bytesTransferred = r.Config("BytesTransferred"),
          .events = tw_test::responseEvents(r.events), .body = r.received};
}

// How the bytes arrive must not matter. When both plays took the same number
// of raw body bytes (an identity body takes the whole read in which it
// reaches its Content-Length, so bytes beyond it are taken or not depending
// on the cut), the result, the judged status and the error text must be
// equal; for a response that ended normally also the events and the body
// (a body that fails to decode stops at the piece it failed in).
inline void checkSameOutcome(const Outcome& whole, const Outcome& cut) {
  if (whole.bytesTransferred != cut.bytesTransferred) return;
  check(whole.result == cut.result, "result depends on the cut: " + std::to_string(whole.result) +
                                        " against " + std::to_string(cut.result));
  check(whole.judged == cut.judged, "judged status depends on the cut");
  check(whole.error == cut.error,
        "error text depends on the cut: \"" + whole.error + "\" against \"" + cut.error + "\"");
  if (whole.result != 0 && (whole.events.empty() || whole.events.back() != "EndTransfer 1")) return;
  std::string listed;
  for (const Outcome* o : {&whole, &cut}) {
    for (const std::string& e : o->events) listed += "  " + e + "\n";
    listed += o == &whole ? "against\n" : "";
  }
  check(whole.events == cut.events, "events depend on the cut:\n" + listed);
  check(whole.body == cut.body, "body depends on the cut");
}

}  // namespace tw_fuzz
