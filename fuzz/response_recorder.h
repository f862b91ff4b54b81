// The events of one response as the fuzz targets compare them: status,
// headers, start and end of the received body, errors, and the body itself
// (consecutive Transfer events count as one, since how the body is cut
// depends on how it arrives). Events of the request direction are left out.
#pragma once

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

#include "httpclient/HTTPS.h"
#include "httpclient/TessilonSSL_HTTPS.h"

namespace tw_fuzz {

class ResponseRecorder : public HTTPS {
 public:
  std::vector<std::string> events;
  std::string body;

  int FireStatus(HTTPSStatusEventParams* e) override {
    events.push_back("Status " + std::string(e->HTTPVersion) + "|" +
                     std::to_string(e->StatusCode) + "|" + e->Description);
    return 0;
  }
  int FireHeader(HTTPSHeaderEventParams* e) override {
    events.push_back("Header " + std::string(e->Field) + "|" + e->Value);
    return 0;
  }
  int FireStartTransfer(HTTPSStartTransferEventParams* e) override {
    if (e->Direction == 1) events.push_back("StartTransfer");
    return 0;
  }
  int FireEndTransfer(HTTPSEndTransferEventParams* e) override {
    if (e->Direction == 1) events.push_back("EndTransfer");
    return 0;
  }
  int FireError(HTTPSErrorEventParams* e) override {
    events.push_back("Error " + std::to_string(e->ErrorCode) + "|" + e->Description);
    return 0;
  }
  int FireTransfer(HTTPSTransferEventParams* e) override {
    if (e->Direction != 1) return 0;
    body.append(e->Text, static_cast<size_t>(e->lenText));
    if (events.empty() || events.back() != "Transfer") events.push_back("Transfer");
    return 0;
  }
};

// What one play of a response gave, for comparing a whole read with a cut one.
struct Outcome {
  int result = 0;
  int judged = 0;
  std::string error{};
  std::string bytesTransferred{};
  std::vector<std::string> events{};
  std::string body{};
};

// Sets the options byte's compression (2) and line-buffer capacity (bits 3-4).
inline void configure(ResponseRecorder& r, uint8_t options) {
  static const char* const kCapacities[] = {nullptr, "16", "100", "65536"};
  if (options & 2) r.Config("AllowHTTPCompression=True");
  if (const char* cap = kCapacities[(options >> 3) & 3]) {
    r.Config(std::string("MaxLineLength=") + cap);
  }
}

inline Outcome outcomeOf(ResponseRecorder& r, int result) {
  return {.result = result, .error = TessilonSSL_HTTPS_GetLastError(r.handle()),
          .bytesTransferred = r.Config("BytesTransferred"), .events = r.events, .body = r.body};
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
  if (whole.result != 0 && (whole.events.empty() || whole.events.back() != "EndTransfer")) return;
  std::string listed;
  for (const Outcome* o : {&whole, &cut}) {
    for (const std::string& e : o->events) listed += "  " + e + "\n";
    listed += o == &whole ? "against\n" : "";
  }
  check(whole.events == cut.events, "events depend on the cut:\n" + listed);
  check(whole.body == cut.body, "body depends on the cut");
}

}  // namespace tw_fuzz
