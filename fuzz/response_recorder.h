// The events of one response as the fuzz targets compare them: status,
// headers, start and end of the received body, errors, and the body itself
// (consecutive Transfer events count as one, since how the body is cut
// depends on how it arrives). Events of the request direction are left out.
#pragma once

#include <string>
#include <vector>

#include "httpclient/HTTPS.h"

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

}  // namespace tw_fuzz
