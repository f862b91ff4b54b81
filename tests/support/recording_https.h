// An HTTPS wrapper that records the events it receives as texts, in arrival
// order: "Status HTTP/1.1|200|OK", "Header Field|Value",
// "SetCookie Name|Value|Expires|Domain|Path|Secure", "StartTransfer 1",
// "Transfer 1 <bytes> <percent> <text>", "EndTransfer 1", "Error <code>|<text>",
// "Redirect <location>|<accept>".
// Free of the test framework, so that the fuzz targets use it too.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "httpclient/HTTPS.h"
#include "httpclient/protocol/HttpComponent.h"

namespace tw_test {

class RecordingHttps : public HTTPS {
 public:
  std::vector<std::string> events;
  std::string received;  // Transfer texts of direction 1, concatenated
  // Runs inside the Redirect handler, after the event is recorded; it may
  // change Accept.
  std::function<void(HTTPSRedirectEventParams*)> onRedirect;

  int FireStatus(HTTPSStatusEventParams* e) override {
    return add("Status " + std::string(e->HTTPVersion) + "|" + std::to_string(e->StatusCode) +
               "|" + e->Description);
  }
  int FireHeader(HTTPSHeaderEventParams* e) override {
    return add("Header " + std::string(e->Field) + "|" + e->Value);
  }
  int FireSetCookie(HTTPSSetCookieEventParams* e) override {
    return add("SetCookie " + std::string(e->Name) + "|" + e->Value + "|" + e->Expires + "|" +
               e->Domain + "|" + e->Path + "|" + std::to_string(e->Secure));
  }
  int FireStartTransfer(HTTPSStartTransferEventParams* e) override {
    return add("StartTransfer " + std::to_string(e->Direction));
  }
  int FireEndTransfer(HTTPSEndTransferEventParams* e) override {
    return add("EndTransfer " + std::to_string(e->Direction));
  }
  int FireError(HTTPSErrorEventParams* e) override {
    return add("Error " + std::to_string(e->ErrorCode) + "|" + e->Description);
  }
  int FireRedirect(HTTPSRedirectEventParams* e) override {
    add("Redirect " + std::string(e->Location) + "|" + std::to_string(e->Accept));
    if (onRedirect) onRedirect(e);
    return 0;
  }
  int FireTransfer(HTTPSTransferEventParams* e) override {
    std::string text(e->Text, static_cast<size_t>(e->lenText));
    if (e->Direction == 1) received += text;
    return add("Transfer " + std::to_string(e->Direction) + " " +
               std::to_string(e->BytesTransferred) + " " + std::to_string(e->PercentDone) + " " +
               text);
  }

  velmora::network::component::HttpComponent& component() {
    return *velmora::network::component::componentFromHandle(handle());
  }

 private:
  int add(std::string event) {
    events.push_back(std::move(event));
    return 0;
  }
};

// The events of the response alone, its Transfer events merged into one
// "Transfer": how the body is cut depends on how it arrives.
inline std::vector<std::string> responseEvents(const std::vector<std::string>& events) {
  std::vector<std::string> out;
  for (const std::string& e : events) {
    if (e.rfind("Transfer 1 ", 0) == 0) {
      if (out.empty() || out.back() != "Transfer") out.push_back("Transfer");
    } else if (e != "StartTransfer 0" && e != "EndTransfer 0" && e.rfind("Transfer 0 ", 0) != 0) {
      out.push_back(e);
    }
  }
  return out;
}

}  // namespace tw_test
