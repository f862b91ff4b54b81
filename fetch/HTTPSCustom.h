// HTTPSCustom: the component wrapper of one fetch. It writes the response
// body to the fetcher's open file from Transfer events itself, but only for
// a 200 or 206 answer (or, through a proxy, before any status is known), and
// accepts server certificates when asked to.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/HTTPS.h"
#include "platform/win32types.h"

namespace velmora::network {

class HTTPSCustom : public HTTPS {
 public:
  // Creates the component handle (through HTTPS) and bounds its memory use.
  explicit HTTPSCustom(bool acceptAnyCertificate);
  ~HTTPSCustom() override;

  int FireError(HTTPSErrorEventParams* e) override;
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override;
  int FireStatus(HTTPSStatusEventParams* e) override;
  int FireTransfer(HTTPSTransferEventParams* e) override;

  // Set by the fetcher's configuration: body pieces that arrive before a
  // status (status 0) are written too.
  bool proxyInUse = false;
  bool acceptAnyCertificate;
  // The open local file; the fetcher sets it before the transfer and keeps
  // its ownership.
  HANDLE fileHandle = INVALID_HANDLE_VALUE;
  // Description of the last Error event, or the text of a failed write.
  std::string errorDescription;
  // StatusCode of the last Status event.
  int32_t httpStatus = 0;
};

}  // namespace velmora::network
