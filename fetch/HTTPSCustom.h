// HTTPSCustom: the component wrapper of one fetch. It writes the response
// body to the fetcher's open file from Transfer events itself, but only for
// a 200 or 206 answer (or, through a proxy, before any status is known),
// notes whether the response ended or the connection was lost before its
// end, and accepts server certificates when asked to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fetch/FetchObserver.h"
#include "httpclient/HTTPS.h"
#include "platform/win32types.h"

namespace velmora::network {

class HTTPSCustom : public HTTPS {
 public:
  // Creates the component handle (through HTTPS) and bounds its memory use.
  explicit HTTPSCustom(bool acceptAnyCertificate);
  ~HTTPSCustom() override;

  int FireConnected(HTTPSConnectedEventParams* e) override;
  int FireConnectionStatus(HTTPSConnectionStatusEventParams* e) override;
  int FireDisconnected(HTTPSDisconnectedEventParams* e) override;
  int FireEndTransfer(HTTPSEndTransferEventParams* e) override;
  int FireError(HTTPSErrorEventParams* e) override;
  int FireHeader(HTTPSHeaderEventParams* e) override;
  int FireRedirect(HTTPSRedirectEventParams* e) override;
  int FireSetCookie(HTTPSSetCookieEventParams* e) override;
  int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e) override;
  int FireSSLStatus(HTTPSSSLStatusEventParams* e) override;
  int FireStartTransfer(HTTPSStartTransferEventParams* e) override;
  int FireStatus(HTTPSStatusEventParams* e) override;
  int FireTransfer(HTTPSTransferEventParams* e) override;

  // Hears every event after this object handled it (diagnostic runs only).
  FetchObserver* observer = nullptr;

  // Set by the fetcher's configuration: body pieces that arrive before a
  // status (status 0) are written too.
  bool proxyInUse = false;
  bool acceptAnyCertificate;
  // The open local file; the fetcher sets it before the transfer and keeps
  // its ownership, and calls flushFile before it reads, truncates or closes
  // the file.
  HANDLE fileHandle = INVALID_HANDLE_VALUE;
  // Description of the last Error event, or the text of a failed write.
  std::string errorDescription;
  // The error of the first write of the body that failed (a full disk), or 0.
  DWORD writeError = 0;
  // StatusCode of the last Status event.
  int32_t httpStatus = 0;

  // Set by EndTransfer of the response: the body ended by its own framing
  // (or, without framing, at the close). A Get that succeeds without it
  // lost the end of its page.
  bool responseEnded = false;
  // The last Disconnected event: a non-zero code is a connection that
  // broke (a reset) rather than closed.
  int disconnectCode = 0;
  std::string disconnectText;
  // Forgets the end, the disconnection and the failed write of an earlier
  // request.
  void startRequest();

  // Writes the body pieces still held back to the file.
  void flushFile();

 private:
  // Body pieces are collected and written to the file in large writes, one
  // system call for many pieces; the file and the error text end up as if
  // each piece had been written on its own (see flushFile).
  static constexpr size_t kHeldBytes = 256 * 1024;
  void writePiece(const char* data, DWORD length);
  // Builds the event only for an observer: a check run has none, and a
  // large page brings thousands of Transfer events.
  template <typename Build>
  void observe(Build build) {
    if (observer != nullptr) observer->onEvent(*this, build());
  }
  std::vector<char> held_;
  std::vector<DWORD> heldPieces_;  // the length of each piece in held_
};

}  // namespace velmora::network
