#include "fetch/HTTPSCustom.h"

#include "platform/errors.h"
#include "platform/files.h"
#include "winsupport/SystemErrorText.h"

namespace velmora::network {

HTTPSCustom::HTTPSCustom(bool acceptAnyCertificate) : acceptAnyCertificate(acceptAnyCertificate) {
  // The body goes to the file from Transfer events, so the component need
  // not collect it as well: a limit of one byte keeps memory flat whatever
  // the page size or whatever a server sends, the header probe included.
  SetLong(https_prop::TransferredDataLimit, 1);
  // Servers no longer speak the component's default protocol versions (and
  // the TLS engine refuses them); TLS 1.2 and 1.3 on the client side, set
  // before the header probe so that it uses them too.
  Config("SSLEnabledProtocols=0x2800");
}

HTTPSCustom::~HTTPSCustom() = default;

int HTTPSCustom::FireError(HTTPSErrorEventParams* e) {
  errorDescription = e->Description != nullptr ? e->Description : "";
  return 0;
}

int HTTPSCustom::FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) {
  if (!e->Accept && acceptAnyCertificate) e->Accept = 1;
  return 0;
}

int HTTPSCustom::FireStatus(HTTPSStatusEventParams* e) {
  httpStatus = e->StatusCode;
  return 0;
}

int HTTPSCustom::FireTransfer(HTTPSTransferEventParams* e) {
  const bool wanted =
      httpStatus == 200 || httpStatus == 206 || (proxyInUse && httpStatus == 0);
  // No file is open during the header probe; nothing is written then.
  if (!wanted || fileHandle == INVALID_HANDLE_VALUE || e->Text == nullptr || e->lenText <= 0) {
    return 0;
  }
  DWORD written = 0;
  if (!WriteFile(fileHandle, e->Text, static_cast<DWORD>(e->lenText), &written, nullptr)) {
    errorDescription = windows_specific::systemErrorText(::GetLastError());
  }
  return 0;
}

}  // namespace velmora::network
