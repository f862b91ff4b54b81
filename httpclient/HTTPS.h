// HTTPS: the wrapper class over one component handle. Its constructor
// creates the handle with its own event callback and address, its destructor
// releases it; events arrive at the virtual functions below, in slot order.
// Every event function gets a record of the event's parameters in table
// order (for SSLServerAuthentication and Transfer followed by the binary
// parameter's length), then one reserved integer that is always 0. In/out
// fields (Accept) are copied back to the component after the call. The base
// functions do nothing and return 0; returning -10000 asks for the event
// again in UTF-16, which arrives at FireWideEvent.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/TessilonSSL_HTTPS.h"

struct HTTPSConnectedEventParams {
  int StatusCode;
  const char* Description;
  int reserved;
};

struct HTTPSConnectionStatusEventParams {
  const char* ConnectionEvent;
  int StatusCode;
  const char* Description;
  int reserved;
};

struct HTTPSDisconnectedEventParams {
  int StatusCode;
  const char* Description;
  int reserved;
};

struct HTTPSEndTransferEventParams {
  int Direction;
  int reserved;
};

struct HTTPSErrorEventParams {
  int ErrorCode;
  const char* Description;
  int reserved;
};

struct HTTPSHeaderEventParams {
  const char* Field;
  const char* Value;
  int reserved;
};

struct HTTPSRedirectEventParams {
  const char* Location;
  int Accept;
  int reserved;
};

struct HTTPSSetCookieEventParams {
  const char* Name;
  const char* Value;
  const char* Expires;
  const char* Domain;
  const char* Path;
  int Secure;
  int reserved;
};

struct HTTPSSSLServerAuthenticationEventParams {
  const char* CertEncoded;
  const char* CertSubject;
  const char* CertIssuer;
  const char* Status;
  int Accept;
  int lenCertEncoded;
  int reserved;
};

struct HTTPSSSLStatusEventParams {
  const char* Message;
  int reserved;
};

struct HTTPSStartTransferEventParams {
  int Direction;
  int reserved;
};

struct HTTPSStatusEventParams {
  const char* HTTPVersion;
  int StatusCode;
  const char* Description;
  int reserved;
};

struct HTTPSTransferEventParams {
  int Direction;
  int64_t BytesTransferred;
  int PercentDone;
  const char* Text;
  int lenText;
  int reserved;
};

class HTTPS {
 public:
  HTTPS();
  HTTPS(const HTTPS&) = delete;
  HTTPS& operator=(const HTTPS&) = delete;

  // The event functions, in slot order.
  virtual int FireConnected(HTTPSConnectedEventParams* e);
  virtual int FireConnectionStatus(HTTPSConnectionStatusEventParams* e);
  virtual int FireDisconnected(HTTPSDisconnectedEventParams* e);
  virtual int FireEndTransfer(HTTPSEndTransferEventParams* e);
  virtual int FireError(HTTPSErrorEventParams* e);
  virtual int FireHeader(HTTPSHeaderEventParams* e);
  virtual int FireRedirect(HTTPSRedirectEventParams* e);
  virtual int FireSetCookie(HTTPSSetCookieEventParams* e);
  virtual int FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams* e);
  virtual int FireSSLStatus(HTTPSSSLStatusEventParams* e);
  virtual int FireStartTransfer(HTTPSStartTransferEventParams* e);
  virtual int FireStatus(HTTPSStatusEventParams* e);
  virtual int FireTransfer(HTTPSTransferEventParams* e);
  // Events whose id is above 10000 (texts in UTF-16), as the flat interface
  // delivers them.
  virtual int FireWideEvent(int eventId, int argc, void* argv[], int argLengths[]);
  virtual ~HTTPS();

  // The handle, for calls of the flat interface the wrapper does not cover.
  void* handle() const { return handle_; }

  // Properties. Integer and boolean properties (and 64-bit ones through
  // SetLong/GetLong); texts; bytes; UTF-16 texts through id + 10000.
  int SetInteger(int propertyId, int value, int index = 0);
  int SetLong(int propertyId, int64_t value);
  int SetText(int propertyId, const char* text, int index = 0);
  int SetBytes(int propertyId, const char* data, int length);
  int SetWideText(int propertyId, const std::u16string& text, int index = 0);
  int GetInteger(int propertyId, int index = 0);
  int64_t GetLong(int propertyId);
  std::string GetText(int propertyId, int index = 0);
  std::u16string GetWideText(int propertyId, int index = 0);
  int CheckIndex(int propertyId, int index);

  // Methods.
  int AddCookie(const char* name, const char* value);
  // Sets ("Name=value") or queries ("Name") a setting; returns the answer,
  // the code is GetLastErrorCode().
  std::string Config(const std::string& setting);
  int Delete(const char* url);
  int DoEvents();
  int Get(const char* url);
  int Head(const char* url);
  int Interrupt();
  int Post(const char* url);
  int Put(const char* url);
  int Reset();

  int GetLastErrorCode();
  const char* GetLastError();

 private:
  static int TESSILONSSL_CALL callback(void* user, int eventId, int argc, void* argv[],
                                       int argLengths[]);
  int dispatch(int eventId, int argc, void* argv[], int argLengths[]);
  int doWithUrl(int methodId, const char* url);

  void* handle_;
};
