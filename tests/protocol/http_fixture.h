// Shared set-up of the HTTP layer tests: a fresh state directory per test and
// an HTTPS wrapper that records the events it receives, with access to the
// component object behind its handle.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "httpclient/HTTPS.h"
#include "httpclient/protocol/HttpComponent.h"
#include "tests/support/component_fixture.h"

using velmora::network::component::HttpComponent;

// Events as texts, in arrival order: "Status HTTP/1.1|200|OK",
// "Header Field|Value", "StartTransfer 1", "Transfer 1 <bytes> <percent> <text>",
// "EndTransfer 1", "Error <code>|<text>".
class RecordingHttps : public HTTPS {
 public:
  std::vector<std::string> events;
  std::string received;  // Transfer texts of direction 1, concatenated

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
    events.push_back("StartTransfer " + std::to_string(e->Direction));
    return 0;
  }
  int FireEndTransfer(HTTPSEndTransferEventParams* e) override {
    events.push_back("EndTransfer " + std::to_string(e->Direction));
    return 0;
  }
  int FireError(HTTPSErrorEventParams* e) override {
    events.push_back("Error " + std::to_string(e->ErrorCode) + "|" + e->Description);
    return 0;
  }
  int FireTransfer(HTTPSTransferEventParams* e) override {
    std::string text(e->Text, static_cast<size_t>(e->lenText));
    if (e->Direction == 1) received += text;
    events.push_back("Transfer " + std::to_string(e->Direction) + " " +
                     std::to_string(e->BytesTransferred) + " " +
                     std::to_string(e->PercentDone) + " " + text);
    return 0;
  }

  HttpComponent& component() { return *velmora::network::component::componentFromHandle(handle()); }
};
