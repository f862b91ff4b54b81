// The Internet library ("wininet.dll"): eleven entry points that fetch one
// HTTP or HTTPS resource per request handle, run over libcurl.
//
// Callers reach these through LoadLibraryA("wininet.dll") and GetProcAddress
// (platform/modules.h); the typedefs below are the types to cast to. libcurl
// is opened with dlopen at the first InternetOpenA, never linked, so runs that
// do not use this path never map it. Handles form a tree (session ->
// connection -> request); closing one from another thread makes a call
// blocked on it fail with 12017. Failures set the last error (GetLastError)
// to a 12xxx code, or to a Windows code (126, 127) when libcurl is missing.
#pragma once

#include "platform/win32types.h"

typedef void* HINTERNET;
typedef WORD INTERNET_PORT;

// Status notifications reach the callback on the thread that made the call.
typedef void (*INTERNET_STATUS_CALLBACK)(HINTERNET hInternet, ULONG_PTR context,
                                         DWORD internetStatus, LPVOID statusInformation,
                                         DWORD statusInformationLength);

// InternetOpenA access types.
#define INTERNET_OPEN_TYPE_PRECONFIG 0
#define INTERNET_OPEN_TYPE_DIRECT 1
#define INTERNET_OPEN_TYPE_PROXY 3

#define INTERNET_SERVICE_HTTP 3

// HttpOpenRequestA flags.
#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_KEEP_CONNECTION 0x00400000u
#define INTERNET_FLAG_NO_COOKIES 0x00080000u
#define INTERNET_FLAG_NO_UI 0x00000200u
#define INTERNET_FLAG_PRAGMA_NOCACHE 0x00000100u

// Security flags (request flags and option 31). Spelled as in
// platform/certificates.h, so that both headers can be included together.
#define SECURITY_FLAG_IGNORE_REVOCATION 0x00000080
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#define SECURITY_FLAG_IGNORE_WRONG_USAGE 0x00000200
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000

// Options.
#define INTERNET_OPTION_SECURITY_FLAGS 31
#define INTERNET_OPTION_PROXY_USERNAME 43
#define INTERNET_OPTION_PROXY_PASSWORD 44
#define INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT 47

// HttpAddRequestHeadersA modifiers.
#define HTTP_ADDREQ_FLAG_ADD 0x20000000u
#define HTTP_ADDREQ_FLAG_REPLACE 0x80000000u

// HttpQueryInfoA: the whole header block, lines ended by CR LF.
#define HTTP_QUERY_RAW_HEADERS_CRLF 22

// Status notifications.
#define INTERNET_STATUS_RESOLVING_NAME 10
#define INTERNET_STATUS_NAME_RESOLVED 11
#define INTERNET_STATUS_CONNECTING_TO_SERVER 20
#define INTERNET_STATUS_CONNECTED_TO_SERVER 21
#define INTERNET_STATUS_SENDING_REQUEST 30
#define INTERNET_STATUS_REQUEST_SENT 31
#define INTERNET_STATUS_RECEIVING_RESPONSE 40
#define INTERNET_STATUS_RESPONSE_RECEIVED 41
#define INTERNET_STATUS_CLOSING_CONNECTION 50
#define INTERNET_STATUS_CONNECTION_CLOSED 51
#define INTERNET_STATUS_REDIRECT 110
#define INTERNET_STATUS_INTERMEDIATE_RESPONSE 120

// Error codes this library sets (the rest of the 12xxx range exists on
// Windows; these are the ones that occur here).
#define ERROR_INTERNET_INTERNAL_ERROR 12004
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007
#define ERROR_INTERNET_OPERATION_CANCELLED 12017
#define ERROR_INTERNET_CANNOT_CONNECT 12029
#define ERROR_INTERNET_CONNECTION_ABORTED 12030
#define ERROR_INTERNET_CONNECTION_RESET 12031
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038
#define ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR 12039
#define ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR 12040
#define ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED 12044
#define ERROR_INTERNET_INVALID_CA 12045
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152
#define ERROR_HTTP_REDIRECT_FAILED 12156
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157
#define ERROR_INTERNET_BAD_AUTO_PROXY_SCRIPT 12166
#define ERROR_INTERNET_SEC_INVALID_CERT 12169

typedef HINTERNET (*PFN_InternetOpenA)(LPCSTR agent, DWORD accessType, LPCSTR proxy,
                                       LPCSTR proxyBypass, DWORD flags);
typedef HINTERNET (*PFN_InternetConnectA)(HINTERNET session, LPCSTR serverName,
                                          INTERNET_PORT serverPort, LPCSTR userName,
                                          LPCSTR password, DWORD service, DWORD flags,
                                          ULONG_PTR context);
typedef HINTERNET (*PFN_HttpOpenRequestA)(HINTERNET connection, LPCSTR verb, LPCSTR objectName,
                                          LPCSTR version, LPCSTR referrer, LPCSTR* acceptTypes,
                                          DWORD flags, ULONG_PTR context);
typedef BOOL (*PFN_HttpAddRequestHeadersA)(HINTERNET request, LPCSTR headers, DWORD headersLength,
                                           DWORD modifiers);
typedef BOOL (*PFN_HttpSendRequestA)(HINTERNET request, LPCSTR headers, DWORD headersLength,
                                     LPVOID optional, DWORD optionalLength);
typedef BOOL (*PFN_HttpQueryInfoA)(HINTERNET request, DWORD infoLevel, LPVOID buffer,
                                   LPDWORD bufferLength, LPDWORD index);
typedef BOOL (*PFN_InternetReadFile)(HINTERNET file, LPVOID buffer, DWORD bytesToRead,
                                     LPDWORD bytesRead);
typedef BOOL (*PFN_InternetCloseHandle)(HINTERNET handle);
typedef INTERNET_STATUS_CALLBACK (*PFN_InternetSetStatusCallback)(HINTERNET handle,
                                                                   INTERNET_STATUS_CALLBACK callback);
typedef BOOL (*PFN_InternetSetOptionA)(HINTERNET handle, DWORD option, LPVOID buffer,
                                       DWORD bufferLength);
typedef BOOL (*PFN_InternetQueryOptionA)(HINTERNET handle, DWORD option, LPVOID buffer,
                                         LPDWORD bufferLength);
