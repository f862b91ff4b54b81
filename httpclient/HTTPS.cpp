#include "httpclient/HTTPS.h"

#include <iterator>

namespace {

int argInt(void* argv[], int i) { return static_cast<int>(reinterpret_cast<intptr_t>(argv[i])); }
const char* argText(void* argv[], int i) { return static_cast<const char*>(argv[i]); }

// The argument count each event carries, by event id.
const int kEventArgc[] = {0, 2, 3, 2, 1, 2, 2, 2, 6, 5, 1, 1, 3, 4};
static_assert(std::size(kEventArgc) == https_event::Transfer + 1);

}  // namespace

HTTPS::HTTPS() : handle_(TessilonSSL_HTTPS_Create(&HTTPS::callback, this)) {}

HTTPS::~HTTPS() { TessilonSSL_HTTPS_Destroy(handle_); }

int HTTPS::FireConnected(HTTPSConnectedEventParams*) { return 0; }
int HTTPS::FireConnectionStatus(HTTPSConnectionStatusEventParams*) { return 0; }
int HTTPS::FireDisconnected(HTTPSDisconnectedEventParams*) { return 0; }
int HTTPS::FireEndTransfer(HTTPSEndTransferEventParams*) { return 0; }
int HTTPS::FireError(HTTPSErrorEventParams*) { return 0; }
int HTTPS::FireHeader(HTTPSHeaderEventParams*) { return 0; }
int HTTPS::FireRedirect(HTTPSRedirectEventParams*) { return 0; }
int HTTPS::FireSetCookie(HTTPSSetCookieEventParams*) { return 0; }
int HTTPS::FireSSLServerAuthentication(HTTPSSSLServerAuthenticationEventParams*) { return 0; }
int HTTPS::FireSSLStatus(HTTPSSSLStatusEventParams*) { return 0; }
int HTTPS::FireStartTransfer(HTTPSStartTransferEventParams*) { return 0; }
int HTTPS::FireStatus(HTTPSStatusEventParams*) { return 0; }
int HTTPS::FireTransfer(HTTPSTransferEventParams*) { return 0; }
int HTTPS::FireWideEvent(int, int, void*[], int[]) { return 0; }

int TESSILONSSL_CALL HTTPS::callback(void* user, int eventId, int argc, void* argv[],
                                     int argLengths[]) {
  HTTPS* self = static_cast<HTTPS*>(user);
  if (self == nullptr) return 0;
  if (eventId > https_event::WideOffset) {
    return self->FireWideEvent(eventId, argc, argv, argLengths);
  }
  return self->dispatch(eventId, argc, argv, argLengths);
}

int HTTPS::dispatch(int id, int argc, void* argv[], int argLengths[]) {
  if (id < https_event::Connected || id > https_event::Transfer || argv == nullptr ||
      argc < kEventArgc[id]) {
    return 0;
  }
  switch (id) {
    case https_event::Connected: {
      HTTPSConnectedEventParams e{argInt(argv, 0), argText(argv, 1), 0};
      return FireConnected(&e);
    }
    case https_event::ConnectionStatus: {
      HTTPSConnectionStatusEventParams e{argText(argv, 0), argInt(argv, 1), argText(argv, 2), 0};
      return FireConnectionStatus(&e);
    }
    case https_event::Disconnected: {
      HTTPSDisconnectedEventParams e{argInt(argv, 0), argText(argv, 1), 0};
      return FireDisconnected(&e);
    }
    case https_event::EndTransfer: {
      HTTPSEndTransferEventParams e{argInt(argv, 0), 0};
      return FireEndTransfer(&e);
    }
    case https_event::Error: {
      HTTPSErrorEventParams e{argInt(argv, 0), argText(argv, 1), 0};
      return FireError(&e);
    }
    case https_event::Header: {
      HTTPSHeaderEventParams e{argText(argv, 0), argText(argv, 1), 0};
      return FireHeader(&e);
    }
    case https_event::Redirect: {
      HTTPSRedirectEventParams e{argText(argv, 0), argInt(argv, 1), 0};
      int r = FireRedirect(&e);
      argv[1] = reinterpret_cast<void*>(static_cast<intptr_t>(e.Accept));
      return r;
    }
    case https_event::SetCookie: {
      HTTPSSetCookieEventParams e{argText(argv, 0), argText(argv, 1), argText(argv, 2),
                                  argText(argv, 3), argText(argv, 4), argInt(argv, 5), 0};
      return FireSetCookie(&e);
    }
    case https_event::SSLServerAuthentication: {
      HTTPSSSLServerAuthenticationEventParams e{
          argText(argv, 0), argText(argv, 1), argText(argv, 2), argText(argv, 3),
          argInt(argv, 4),  argLengths != nullptr ? argLengths[0] : 0, 0};
      int r = FireSSLServerAuthentication(&e);
      argv[4] = reinterpret_cast<void*>(static_cast<intptr_t>(e.Accept));
      return r;
    }
    case https_event::SSLStatus: {
      HTTPSSSLStatusEventParams e{argText(argv, 0), 0};
      return FireSSLStatus(&e);
    }
    case https_event::StartTransfer: {
      HTTPSStartTransferEventParams e{argInt(argv, 0), 0};
      return FireStartTransfer(&e);
    }
    case https_event::Status: {
      HTTPSStatusEventParams e{argText(argv, 0), argInt(argv, 1), argText(argv, 2), 0};
      return FireStatus(&e);
    }
    case https_event::Transfer: {
      const int64_t* bytes = static_cast<const int64_t*>(argv[1]);
      HTTPSTransferEventParams e{argInt(argv, 0), bytes != nullptr ? *bytes : 0,
                                 argInt(argv, 2), argText(argv, 3),
                                 argLengths != nullptr ? argLengths[3] : 0, 0};
      return FireTransfer(&e);
    }
    default:
      return 0;
  }
}

// --- properties -------------------------------------------------------------------------

int HTTPS::SetInteger(int propertyId, int value, int index) {
  return TessilonSSL_HTTPS_Set(handle_, propertyId, index,
                               reinterpret_cast<const void*>(static_cast<intptr_t>(value)), 0);
}

int HTTPS::SetLong(int propertyId, int64_t value) {
  return TessilonSSL_HTTPS_Set(handle_, propertyId, 0, &value, 0);
}

int HTTPS::SetText(int propertyId, const char* text, int index) {
  // -1: zero-terminated, also for binary properties such as LocalFile.
  return TessilonSSL_HTTPS_Set(handle_, propertyId, index, text, -1);
}

int HTTPS::SetBytes(int propertyId, const char* data, int length) {
  return TessilonSSL_HTTPS_Set(handle_, propertyId + https_prop::BytesOffset, 0, data, length);
}

int HTTPS::SetWideText(int propertyId, const std::u16string& text, int index) {
  return TessilonSSL_HTTPS_Set(handle_, propertyId + https_prop::WideOffset, index, text.c_str(),
                               0);
}

int HTTPS::GetInteger(int propertyId, int index) {
  return static_cast<int>(
      reinterpret_cast<intptr_t>(TessilonSSL_HTTPS_Get(handle_, propertyId, index, nullptr)));
}

int64_t HTTPS::GetLong(int propertyId) {
  const int64_t* p =
      static_cast<const int64_t*>(TessilonSSL_HTTPS_Get(handle_, propertyId, 0, nullptr));
  return p != nullptr ? *p : 0;
}

std::string HTTPS::GetText(int propertyId, int index) {
  int length = 0;
  const char* p =
      static_cast<const char*>(TessilonSSL_HTTPS_Get(handle_, propertyId, index, &length));
  if (p == nullptr) return std::string();
  return std::string(p, static_cast<size_t>(length));
}

std::u16string HTTPS::GetWideText(int propertyId, int index) {
  int length = 0;
  const char16_t* p = static_cast<const char16_t*>(
      TessilonSSL_HTTPS_Get(handle_, propertyId + https_prop::WideOffset, index, &length));
  if (p == nullptr) return std::u16string();
  return std::u16string(p, static_cast<size_t>(length));
}

int HTTPS::CheckIndex(int propertyId, int index) {
  return TessilonSSL_HTTPS_CheckIndex(handle_, propertyId, index);
}

// --- methods ------------------------------------------------------------------------------

int HTTPS::doWithUrl(int methodId, const char* url) {
  void* argv[1] = {const_cast<char*>(url)};
  int lengths[1] = {0};
  return TessilonSSL_HTTPS_Do(handle_, methodId, 1, argv, lengths);
}

int HTTPS::AddCookie(const char* name, const char* value) {
  void* argv[2] = {const_cast<char*>(name), const_cast<char*>(value)};
  int lengths[2] = {0, 0};
  return TessilonSSL_HTTPS_Do(handle_, https_method::AddCookie, 2, argv, lengths);
}

std::string HTTPS::Config(const std::string& setting) {
  void* argv[2] = {const_cast<char*>(setting.c_str()), nullptr};
  int lengths[2] = {0, 0};
  TessilonSSL_HTTPS_Do(handle_, https_method::Config, 2, argv, lengths);
  if (argv[1] == nullptr) return std::string();
  return std::string(static_cast<const char*>(argv[1]), static_cast<size_t>(lengths[1]));
}

int HTTPS::Delete(const char* url) { return doWithUrl(https_method::Delete, url); }
int HTTPS::DoEvents() { return TessilonSSL_HTTPS_Do(handle_, https_method::DoEvents, 0, nullptr, nullptr); }
int HTTPS::Get(const char* url) { return doWithUrl(https_method::Get, url); }
int HTTPS::Head(const char* url) { return doWithUrl(https_method::Head, url); }
int HTTPS::Interrupt() { return TessilonSSL_HTTPS_Do(handle_, https_method::Interrupt, 0, nullptr, nullptr); }
int HTTPS::Post(const char* url) { return doWithUrl(https_method::Post, url); }
int HTTPS::Put(const char* url) { return doWithUrl(https_method::Put, url); }
int HTTPS::Reset() { return TessilonSSL_HTTPS_Do(handle_, https_method::Reset, 0, nullptr, nullptr); }

int HTTPS::GetLastErrorCode() { return TessilonSSL_HTTPS_GetLastErrorCode(handle_); }

const char* HTTPS::GetLastError() { return TessilonSSL_HTTPS_GetLastError(handle_); }
