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

HTTPSCustom::~HTTPSCustom() { flushFile(); }

void HTTPSCustom::startRequest() {
  responseEnded = false;
  disconnectCode = 0;
  disconnectText.clear();
  writeError = 0;
}

int HTTPSCustom::FireConnected(HTTPSConnectedEventParams* e) {
  observe([&] {
    return FetchEvent("Connected")
        .number("StatusCode", e->StatusCode)
        .text("Description", e->Description);
  });
  return 0;
}

int HTTPSCustom::FireConnectionStatus(HTTPSConnectionStatusEventParams* e) {
  observe([&] {
    return FetchEvent("ConnectionStatus")
        .text("ConnectionEvent", e->ConnectionEvent)
        .number("StatusCode", e->StatusCode)
        .text("Description", e->Description);
  });
  return 0;
}

int HTTPSCustom::FireDisconnected(HTTPSDisconnectedEventParams* e) {
  disconnectCode = e->StatusCode;
  disconnectText = e->Description != nullptr ? e->Description : "";
  observe([&] {
    return FetchEvent("Disconnected")
        .number("StatusCode", e->StatusCode)
        .text("Description", e->Description);
  });
  return 0;
}

int HTTPSCustom::FireEndTransfer(HTTPSEndTransferEventParams* e) {
  // Direction 1 is the response; 0 the end of a request body sent.
  if (e->Direction == 1) responseEnded = true;
  observe([&] { return FetchEvent("EndTransfer").number("Direction", e->Direction); });
  return 0;
}

int HTTPSCustom::FireError(HTTPSErrorEventParams* e) {
  // A failed write of a piece that came earlier must not outlast this text.
  flushFile();
  errorDescription = e->Description != nullptr ? e->Description : "";
  observe([&] {
    return FetchEvent("Error")
        .number("ErrorCode", e->ErrorCode)
        .text("Description", e->Description);
  });
  return 0;
}

int HTTPSCustom::FireHeader(HTTPSHeaderEventParams* e) {
  observe([&] { return FetchEvent("Header").text("Field", e->Field).text("Value", e->Value); });
  return 0;
}

int HTTPSCustom::FireRedirect(HTTPSRedirectEventParams* e) {
  observe([&] {
    return FetchEvent("Redirect").text("Location", e->Location).number("Accept", e->Accept);
  });
  return 0;
}

int HTTPSCustom::FireSetCookie(HTTPSSetCookieEventParams* e) {
  observe([&] {
    return FetchEvent("SetCookie")
        .text("Name", e->Name)
        .text("Value", e->Value)
        .text("Expires", e->Expires)
        .text("Domain", e->Domain)
        .text("Path", e->Path)
        .number("Secure", e->Secure);
  });
  return 0;
}

int HTTPSCustom::FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) {
  if (!e->Accept && acceptAnyCertificate) e->Accept = 1;
  observe([&] {
    return FetchEvent("SSLServerAuthentication")
        .text("CertEncoded", e->CertEncoded, e->lenCertEncoded)
        .text("CertSubject", e->CertSubject)
        .text("CertIssuer", e->CertIssuer)
        .text("Status", e->Status)
        .number("Accept", e->Accept);
  });
  return 0;
}

int HTTPSCustom::FireSSLStatus(HTTPSSSLStatusEventParams* e) {
  observe([&] { return FetchEvent("SSLStatus").text("Message", e->Message); });
  return 0;
}

int HTTPSCustom::FireStartTransfer(HTTPSStartTransferEventParams* e) {
  observe([&] { return FetchEvent("StartTransfer").number("Direction", e->Direction); });
  return 0;
}

int HTTPSCustom::FireStatus(HTTPSStatusEventParams* e) {
  httpStatus = e->StatusCode;
  observe([&] {
    return FetchEvent("Status")
        .text("HTTPVersion", e->HTTPVersion)
        .number("StatusCode", e->StatusCode)
        .text("Description", e->Description);
  });
  return 0;
}

int HTTPSCustom::FireTransfer(HTTPSTransferEventParams* e) {
  // The bytes themselves are in the transcript; the event tells their count.
  observe([&] {
    return FetchEvent("Transfer")
        .number("Direction", e->Direction)
        .number("BytesTransferred", e->BytesTransferred)
        .number("PercentDone", e->PercentDone)
        .number("lenText", e->lenText);
  });
  const bool wanted =
      httpStatus == 200 || httpStatus == 206 || (proxyInUse && httpStatus == 0);
  // No file is open during the header probe; nothing is written then.
  if (!wanted || fileHandle == INVALID_HANDLE_VALUE || e->Text == nullptr || e->lenText <= 0) {
    return 0;
  }
  const DWORD length = static_cast<DWORD>(e->lenText);
  if (held_.size() + length > kHeldBytes) flushFile();
  if (length >= kHeldBytes) {
    writePiece(e->Text, length);
    return 0;
  }
  if (held_.capacity() < kHeldBytes) held_.reserve(kHeldBytes);
  held_.insert(held_.end(), e->Text, e->Text + length);
  heldPieces_.push_back(length);
  return 0;
}

void HTTPSCustom::writePiece(const char* data, DWORD length) {
  DWORD written = 0;
  if (!WriteFile(fileHandle, data, length, &written, nullptr)) {
    const DWORD error = ::GetLastError();
    if (writeError == 0) writeError = error;
    errorDescription = windows_specific::systemErrorText(error);
  }
}

void HTTPSCustom::flushFile() {
  if (held_.empty()) return;
  if (fileHandle != INVALID_HANDLE_VALUE) {
    LONG startHigh = 0;
    ::SetLastError(NO_ERROR);
    const DWORD startLow = SetFilePointer(fileHandle, 0, &startHigh, FILE_CURRENT);
    const bool startKnown =
        !(startLow == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR);
    DWORD written = 0;
    if (!startKnown ||
        !WriteFile(fileHandle, held_.data(), static_cast<DWORD>(held_.size()), &written,
                   nullptr)) {
      // The combined write failed part-way (a full disk, say): go back to
      // where it began and write the pieces one by one, so that the file
      // holds what they would have left and each failure sets the error text.
      if (startKnown) {
        SetFilePointer(fileHandle, static_cast<LONG>(startLow), &startHigh, FILE_BEGIN);
        SetEndOfFile(fileHandle);
      }
      size_t at = 0;
      for (DWORD piece : heldPieces_) {
        writePiece(held_.data() + at, piece);
        at += piece;
      }
    }
  }
  held_.clear();
  heldPieces_.clear();
}

}  // namespace velmora::network
