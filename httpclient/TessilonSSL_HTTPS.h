// The flat interface of the HTTP client component: an opaque handle,
// numbered properties, numbered methods and numbered events.
//
// Every call on a handle returns an integer code (0 = success) and leaves
// that code and a message text as the handle's last error. A null handle
// makes Set, Do, CheckIndex and GetLastErrorCode return 200, Get return 0
// and GetLastError return null.
//
// Value passing. Set: integer and boolean properties take the value itself;
// text properties a zero-terminated text (null = empty); binary properties a
// pointer and a length (a negative length: zero-terminated); 64-bit
// properties a pointer to a signed 64-bit integer. Property id + 10000 takes
// UTF-16 text converted with the "CodePage" setting; id + 20000 takes raw
// bytes with the length. Get returns the value: an integer, or a pointer to a
// zero-terminated text owned by the component (valid until the property
// changes); the length of texts and bytes is stored through the pointer;
// 64-bit properties return a pointer to the value; id + 10000 returns UTF-16
// (valid until the next such read of the same property; the length in
// units). Unknown ids: Set returns -1, Get 0.
//
// Events: callback(user pointer, event id, argument count, arguments,
// lengths); integers are passed as values, texts as pointers. A callback that
// returns -10000 gets the same event again as id + 10000 with UTF-16 texts.
#pragma once

#include <cstdint>

#include "platform/win32types.h"

// The Windows calling convention of the original interface; on this
// platform there is only one.
#define TESSILONSSL_CALL

typedef int(TESSILONSSL_CALL* TessilonSSL_HTTPS_EventCallback)(void* user, int eventId, int argc,
                                                               void* argv[], int argLengths[]);

// Process-wide start-up (module instance for the hidden window class; may be
// null) and clean-up. Both return 0.
int TESSILONSSL_CALL TessilonSSL_HTTPS_StaticInit(HINSTANCE module);
int TESSILONSSL_CALL TessilonSSL_HTTPS_StaticDestroy();

// A new handle, or null when memory is exhausted. Serialised by a
// process-wide lock.
void* TESSILONSSL_CALL TessilonSSL_HTTPS_Create(TessilonSSL_HTTPS_EventCallback callback,
                                               void* user);
// Releases a handle; a null handle is ignored. Returns 0.
int TESSILONSSL_CALL TessilonSSL_HTTPS_Destroy(void* handle);

int TESSILONSSL_CALL TessilonSSL_HTTPS_Set(void* handle, int propertyId, int index,
                                           const void* value, int length);
void* TESSILONSSL_CALL TessilonSSL_HTTPS_Get(void* handle, int propertyId, int index,
                                             int* length);
// Arguments are zero-terminated texts (null = empty; method id + 10000: UTF-16).
// Config stores its answer in argument slot 1 (and its length in lengths[1])
// when argc is at least 2. Unknown methods return -1.
int TESSILONSSL_CALL TessilonSSL_HTTPS_Do(void* handle, int methodId, int argc, void* argv[],
                                          int argLengths[]);
const char* TESSILONSSL_CALL TessilonSSL_HTTPS_GetLastError(void* handle);
int TESSILONSSL_CALL TessilonSSL_HTTPS_GetLastErrorCode(void* handle);
// 0 when the index is valid for that indexed property, 280 otherwise (also
// for an unknown or unindexed property).
int TESSILONSSL_CALL TessilonSSL_HTTPS_CheckIndex(void* handle, int propertyId, int index);

// Property ids.
namespace https_prop {
enum : int {
  Accept = 1, AllowHTTPCompression, AttachedFile, Authorization, AuthScheme, Connected,
  ContentType, CookieCount, CookieDomain, CookieExpiration, CookieName, CookiePath,
  CookieSecure, CookieValue, FirewallAutoDetect, FirewallType, FirewallHost, FirewallPassword,
  FirewallPort, FirewallUser, FollowRedirects, From, HTTPMethod, Idle, IfModifiedSince,
  LocalFile, LocalHost, OtherHeaders, ParsedHeaderCount, ParsedHeaderField, ParsedHeaderValue,
  Password, PostData, Pragma, ProxyAuthScheme, ProxyAutoDetect, ProxyPassword, ProxyPort,
  ProxyServer, ProxySSL, ProxyUser, Range, Referer, SSLAcceptServerCert, SSLCert, SSLCertStore,
  SSLCertStorePassword, SSLCertStoreType, SSLCertSubject, SSLServerCert, StatusLine, Timeout,
  TransferredData, TransferredDataLimit, TransferredHeaders, URL, URLPath, URLPort, URLScheme,
  URLServer, User,
  WideOffset = 10000,
  BytesOffset = 20000,
};
}  // namespace https_prop

// Values of AuthScheme and ProxyAuthScheme (Negotiate only for the server).
namespace https_auth {
enum : int {
  Basic = 0,
  Digest = 1,
  Custom = 2,      // Authorization sent as set
  None = 3,
  NTLM = 4,
  Negotiate = 5,
  CustomKept = 6,  // Authorization kept as set
};
}  // namespace https_auth

// Values of ProxySSL: how a request reaches ProxyServer.
namespace https_proxy_ssl {
enum : int {
  Automatic = 0,  // a tunnel for https URLs, the proxy's own protocol otherwise
  Always = 1,     // TLS to the proxy
  Never = 2,      // plain to the proxy
  Tunnel = 3,     // HTTP CONNECT through the proxy
};
}  // namespace https_proxy_ssl

// Values of FirewallType: the kind of tunnel to the remote host.
namespace https_firewall {
enum : int {
  None = 0,
  HttpConnect = 1,           // with Basic credentials or none
  Socks4 = 2,
  Socks5 = 3,
  HttpConnectNtlm = 4,
  HttpConnectNegotiate = 5,
  HttpConnectDigest = 6,     // challenge authentication
};
}  // namespace https_firewall

// Method ids.
namespace https_method {
enum : int {
  AddCookie = 2, Config, Delete, DoEvents, Get, Head, Interrupt, Post, Put, Reset,
  WideOffset = 10000,
};
}  // namespace https_method

// Event ids.
namespace https_event {
enum : int {
  Connected = 1, ConnectionStatus, Disconnected, EndTransfer, Error, Header, Redirect, SetCookie,
  SSLServerAuthentication, SSLStatus, StartTransfer, Status, Transfer,
  WideOffset = 10000,
  RefireWide = -10000,  // handler answer: fire the event again in UTF-16
};
}  // namespace https_event
