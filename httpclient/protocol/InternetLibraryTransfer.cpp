#include "httpclient/protocol/InternetLibraryTransfer.h"

#include <algorithm>

#include "httpclient/protocol/ResponseParser.h"
#include "httpclient/transport/ComponentErrors.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "platform/wininet.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

constexpr const char* kTextBadScheme = "Specified URLScheme is invalid.";
constexpr const char* kTextAttachedFileRead = "Can't open attached file for reading.";
// The header block is read into an area of this size (122 when larger).
constexpr DWORD kHeaderArea = 3999;
constexpr DWORD kReadPiece = 2000;

// The library's entry points, in the order they are looked up.
enum Entry {
  kCloseHandle,
  kReadFile,
  kQueryInfo,
  kSendRequest,
  kAddRequestHeaders,
  kOpenRequest,
  kConnect,
  kSetStatusCallback,
  kOpen,
  kSetOption,
  kQueryOption,
  kEntryCount
};

const char* const kEntryNames[kEntryCount] = {
    "InternetCloseHandle", "InternetReadFile",         "HttpQueryInfoA",
    "HttpSendRequestA",    "HttpAddRequestHeadersA",   "HttpOpenRequestA",
    "InternetConnectA",    "InternetSetStatusCallback", "InternetOpenA",
    "InternetSetOptionA",  "InternetQueryOptionA"};

struct LibraryEntries {
  FARPROC procs[kEntryCount] = {};
  DWORD errors[kEntryCount] = {};  // why an entry is missing (126, 127)
};

// Resolved once per process, at the first transfer that needs them.
const LibraryEntries& entries() {
  static const LibraryEntries resolved = [] {
    LibraryEntries e;
    HMODULE module = LoadLibraryA("wininet.dll");
    const DWORD loadError = module == nullptr ? GetLastError() : 0;
    for (int i = 0; i < kEntryCount; ++i) {
      if (module != nullptr) e.procs[i] = GetProcAddress(module, kEntryNames[i]);
      if (e.procs[i] == nullptr) e.errors[i] = module == nullptr ? loadError : GetLastError();
    }
    return e;
  }();
  return resolved;
}

// The entry point, or null with the last error saying why it is missing.
template <typename F>
F entry(Entry which) {
  const LibraryEntries& e = entries();
  if (e.procs[which] == nullptr) SetLastError(e.errors[which]);
  return reinterpret_cast<F>(e.procs[which]);
}

// SSLSecurityFlags in the library's security-flag values.
DWORD librarySecurityFlags(uint32_t f) {
  DWORD s = 0;
  if (f & 0x7u) s |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (f & 0x10u) s |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (f & 0x20u) s |= SECURITY_FLAG_IGNORE_WRONG_USAGE;
  if (f & 0xB00u) s |= SECURITY_FLAG_IGNORE_REVOCATION;
  if (f & 0x400u) s |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (f & 0xF00u) s |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  if (f & 0xC000u) s |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (f & 0x40000000u) s |= 0x2F;
  if (f & 0x80000000u) s |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  return s;
}

const char* nullIfEmpty(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

struct ErrorText {
  DWORD code;
  const char* text;
};

// Searched in this order, which is not sorted.
const ErrorText kErrorTable[] = {
    {12001, "Internet Out Of Handles."},
    {12002, "Internet Timeout."},
    {12003, "Internet Extended Error."},
    {12004, "Internet Internal Error."},
    {12005, "Internet Invalid Url."},
    {12006, "Internet Unrecognized Scheme."},
    {12007, "Internet Name Not Resolved."},
    {12008, "Internet Protocol Not Found."},
    {12009, "Internet Invalid Option."},
    {12010, "Internet Bad Option Length."},
    {12011, "Internet Option Not Settable."},
    {12012, "Internet Shutdown."},
    {12013, "Internet Incorrect User Name."},
    {12014, "Internet Incorrect Password."},
    {12015, "Internet Login Failure."},
    {12016, "Internet Invalid Operation."},
    {12017, "Internet Operation Cancelled."},
    {12018, "Internet Incorrect Handle Type."},
    {12019, "Internet Incorrect Handle State."},
    {12020, "Internet Not Proxy Request."},
    {12021, "Internet Registry Value Not Found."},
    {12022, "Internet Bad Registry Parameter."},
    {12023, "Internet No Direct Access."},
    {12024, "Internet No Context."},
    {12025, "Internet No Callback."},
    {12026, "Internet Request Pending."},
    {12027, "Internet Incorrect Format."},
    {12028, "Internet Item Not Found."},
    {12029, "Internet Cannot Connect."},
    {12030, "Internet Connection Aborted."},
    {12031, "Internet Connection Reset."},
    {12032, "Internet Force Retry."},
    {12033, "Internet Invalid Proxy Request."},
    {12034, "Internet Need UI."},
    {12036, "Internet Handle Exists."},
    {12037, "The Certificate has an Invalid Name, or different from Host Name."},
    {12038, "Invalid Certificate Name."},
    {12039, "HTTP to HTTPS redirection not allowed (check the security flags)."},
    {12040, "HTTPS to HTTP redirection not allowed (check the security flags)."},
    {12041, "Internet Mixed Security."},
    {12042, "Internet Chg Post Is Non Secure."},
    {12043, "Internet Post Is Non Secure."},
    {12044, "Internet Client Auth Cert Needed."},
    {12045, "Invalid Certification Authority."},
    {12046, "Internet Client Auth Not Setup."},
    {12047, "Internet Async Thread Failed."},
    {12048, "Internet Redirect Scheme Change."},
    {12049, "Internet Dialog Pending."},
    {12050, "Internet Retry Dialog."},
    {12052, "Internet Https Http Submit Redir."},
    {12053, "Internet Insert Cdrom."},
    {12110, "Ftp Transfer is currently in progress."},
    {12111, "FTP connection dropped."},
    {12112, "The FTP server does not support the passive mode."},
    {12150, "Http Header Not Found."},
    {12151, "Http Downlevel Server."},
    {12152, "Http Invalid Server Response."},
    {12153, "Http Invalid Header."},
    {12154, "Http Invalid Query Request."},
    {12155, "Http Header Already Exists."},
    {12156, "Http Redirect Failed."},
    {12160, "Http Not Redirected."},
    {12161, "Http Cookie Needs Confirmation."},
    {12162, "Http Cookie Declined."},
    {12168, "Http Redirect Needs Confirmation."},
    {12157, "Internet Security Channel Error."},
    {12158, "Internet Unable To Cache File."},
    {12159, "Internet Tcpip Not Installed."},
    {12163, "Internet Disconnected."},
    {12164, "Internet Server Unreachable."},
    {12165, "Internet Proxy Server Unreachable."},
    {12166, "Internet Bad Auto Proxy Script."},
    {12167, "Internet Unable To Download Script."},
    {12169, "Invalid Security Certificate."},
    {12170, "Revoked Security Certificate."},
    {12171, "Failed due to security check."},
};

}  // namespace

std::string InternetLibraryTransfer::errorTableText(DWORD code) {
  for (const ErrorText& e : kErrorTable) {
    if (e.code == code) return e.text;
  }
  return "[" + std::to_string(code) + "] (no description available)";
}

std::string InternetLibraryTransfer::statusText(DWORD notification, DWORD state) {
  switch (notification) {
    case INTERNET_STATUS_RESOLVING_NAME: return "Looking up the IP address";
    case INTERNET_STATUS_NAME_RESOLVED: return "Successfully found the IP address";
    case INTERNET_STATUS_CONNECTING_TO_SERVER: return "Connecting to the socket address";
    case INTERNET_STATUS_CONNECTED_TO_SERVER: return "Successfully connected to";
    case INTERNET_STATUS_SENDING_REQUEST: return "Sending the information request to the server.";
    case INTERNET_STATUS_REQUEST_SENT:
      return "Successfully sent the information request to the server.";
    case INTERNET_STATUS_RECEIVING_RESPONSE:
      return "Waiting for the server to respond to the request.";
    case INTERNET_STATUS_RESPONSE_RECEIVED:
      return "Successfully received a response from the server.";
    case INTERNET_STATUS_CLOSING_CONNECTION: return "Closing the connection to the server.";
    case INTERNET_STATUS_CONNECTION_CLOSED:
      return "Successfully closed the connection to the server.";
    case 100: return "An asynchronous operation has been completed.";
    case INTERNET_STATUS_REDIRECT:
      return "An HTTP request is about to automatically redirect the request to";
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE:
      return "Received an intermediate (100 level) status code message from the server.";
    case 200:
      switch (state) {
        case 1: return "Online state.";
        case 2: return "Offline because no network connection could be established.";
        case 16: return "Offline by user request.";
        case 256: return "No network requests are being made by Wininet.";
        case 512: return "Network requests are being made by Wininet.";
        default: return "Moved between a secure (HTTPS) and a nonsecure (HTTP) site.";
      }
    default: return "Unknown state.";
  }
}

InternetLibraryTransfer::~InternetLibraryTransfer() {
  // The worker never outlives its transfer: only the handle is left.
  if (thread_ != nullptr) CloseHandle(thread_);
}

int InternetLibraryTransfer::start(LibraryRequest request) {
  if (thread_ != nullptr) CloseHandle(thread_);
  thread_ = nullptr;
  closeHandles();
  request_ = std::move(request);
  cancelled_ = false;
  statusLine_.clear();
  contentLength_ = -1;
  result_ = 0;
  errorText_.clear();
  thread_ = CreateThread(nullptr, 0, &InternetLibraryTransfer::threadMain, this, 0, nullptr);
  return thread_ == nullptr ? static_cast<int>(GetLastError()) : 0;
}

bool InternetLibraryTransfer::running() const {
  return thread_ != nullptr && WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT;
}

void InternetLibraryTransfer::cancel() {
  cancelled_ = true;
  closeHandles();
}

void InternetLibraryTransfer::join(const std::function<void()>& pump) {
  while (thread_ != nullptr && WaitForSingleObject(thread_, 10) == WAIT_TIMEOUT) pump();
}

void InternetLibraryTransfer::closeHandles() {
  std::lock_guard<std::mutex> lock(handleMutex_);
  if (session_ == nullptr && connection_ == nullptr && requestHandle_ == nullptr) return;
  auto close = entry<PFN_InternetCloseHandle>(kCloseHandle);
  for (HINTERNET* h : {&requestHandle_, &connection_, &session_}) {
    if (*h != nullptr && close != nullptr) close(*h);
    *h = nullptr;
  }
}

DWORD InternetLibraryTransfer::threadMain(LPVOID self) {
  auto* t = static_cast<InternetLibraryTransfer*>(self);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  t->result_ = t->run();
  t->closeHandles();
  CoUninitialize();
  // Wakes the owner's wait at once rather than at its next step.
  PostMessageA(t->window_, WM_NULL, 0, 0);
  return static_cast<DWORD>(t->result_);
}

void InternetLibraryTransfer::statusCallback(HINTERNET /*handle*/, ULONG_PTR context,
                                             DWORD status, LPVOID info, DWORD infoLength) {
  auto* t = reinterpret_cast<InternetLibraryTransfer*>(context);
  if (t == nullptr || status == 43 || status == 60 || status == 70) return;
  DWORD state = 0;
  if (status == 200 && info != nullptr && infoLength >= sizeof(DWORD)) {
    state = *static_cast<const DWORD*>(info);
  }
  t->raise(LibraryEventKind::SSLStatus, 0, statusText(status, state));
}

int InternetLibraryTransfer::fail(int code, const std::string& text) {
  if (errorText_.empty()) errorText_ = text;
  return code;
}

int InternetLibraryTransfer::libraryFailure(DWORD code) {
  if (code == 0) code = GetLastError();
  // A failure the library did not explain is still a failure.
  if (code == 0) code = ERROR_INTERNET_INTERNAL_ERROR;
  closeHandles();
  return fail(static_cast<int>(code), errorTableText(code));
}

int InternetLibraryTransfer::raise(LibraryEvent& event) {
  // After a cancel the owner has stopped listening.
  if (cancelled_) return libraryFailure(ERROR_INTERNET_OPERATION_CANCELLED);
  SendMessageA(window_, message_, static_cast<WPARAM>(event.kind),
               reinterpret_cast<LPARAM>(&event));
  return event.result != 0 ? fail(event.result, event.resultText) : 0;
}

int InternetLibraryTransfer::raise(LibraryEventKind kind, int code, const std::string& text) {
  LibraryEvent event;
  event.kind = kind;
  event.code = code;
  event.text = text;
  return raise(event);
}

void InternetLibraryTransfer::keep(HINTERNET& slot, HINTERNET value) {
  std::lock_guard<std::mutex> lock(handleMutex_);
  slot = value;
}

int InternetLibraryTransfer::run() {
  const LibraryRequest& q = request_;
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI |
                INTERNET_FLAG_PRAGMA_NOCACHE;
  if (!q.useCookies || q.otherHeaders.find("Cookie:") != std::string::npos) {
    flags |= INTERNET_FLAG_NO_COOKIES;
  }
  const bool https = equalsNoCase(q.scheme, "https");
  if (!https && !equalsNoCase(q.scheme, "http")) return fail(kErrBadScheme, kTextBadScheme);
  if (q.server.empty()) return fail(kErrNoServer, kTextNoServer);

  // The session: direct, the system's preconfigured proxy, or a named one.
  DWORD access = INTERNET_OPEN_TYPE_DIRECT;
  std::string proxy;
  if (q.proxyAutoDetect || (!q.proxyServer.empty() && q.proxyServer[0] == '*')) {
    access = INTERNET_OPEN_TYPE_PRECONFIG;
  } else if (!q.proxyServer.empty()) {
    access = INTERNET_OPEN_TYPE_PROXY;
    proxy = q.proxyServer + ":" + std::to_string(q.proxyPort);
  }
  auto open = entry<PFN_InternetOpenA>(kOpen);
  HINTERNET session =
      open == nullptr ? nullptr
                      : open(q.userAgent.c_str(), access, nullIfEmpty(proxy), nullptr, 0);
  if (session == nullptr) return libraryFailure();
  keep(session_, session);
  auto setCallback = entry<PFN_InternetSetStatusCallback>(kSetStatusCallback);
  if (setCallback == nullptr) return libraryFailure();
  setCallback(session, &InternetLibraryTransfer::statusCallback);

  auto connect = entry<PFN_InternetConnectA>(kConnect);
  HINTERNET connection =
      connect == nullptr
          ? nullptr
          : connect(session, q.server.c_str(), q.port, nullIfEmpty(q.user),
                    nullIfEmpty(q.password), INTERNET_SERVICE_HTTP, 0,
                    reinterpret_cast<ULONG_PTR>(this));
  if (connection == nullptr) return libraryFailure();
  keep(connection_, connection);
  if (cancelled_) return libraryFailure(ERROR_INTERNET_OPERATION_CANCELLED);

  const DWORD securityFlags = https ? librarySecurityFlags(q.sslSecurityFlags) : 0;
  if (https) flags |= securityFlags | INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION;
  if (int r = openRequest(connection, flags, securityFlags)) return r;
  if (int r = addHeaders()) return r;
  std::string body;
  if (int r = readBody(body)) return r;
  if (int r = send(body)) return r;
  if (int r = takeHeaders()) return r;
  if (int r = readResponseBody()) return r;

  // Only a 2xx status is a success.
  const size_t blank = statusLine_.find(' ');
  if (blank == std::string::npos || blank + 1 >= statusLine_.size() ||
      statusLine_[blank + 1] != '2') {
    const StatusLineParts parts = splitStatusLine(statusLine_);
    return fail(kErrProtocol, protocolErrorText(parts.code, parts.reason));
  }
  closeHandles();
  return 0;
}

int InternetLibraryTransfer::openRequest(HINTERNET connection, DWORD flags,
                                         DWORD securityFlags) {
  const LibraryRequest& q = request_;
  auto openRequest = entry<PFN_HttpOpenRequestA>(kOpenRequest);
  if (openRequest == nullptr) return libraryFailure();
  LPCSTR accept[] = {q.accept.c_str(), nullptr};
  auto call = [&](DWORD f) {
    return openRequest(connection, q.verb.c_str(), q.path.c_str(), q.httpVersion.c_str(),
                       nullIfEmpty(q.referer), q.accept.empty() ? nullptr : accept, f,
                       reinterpret_cast<ULONG_PTR>(this));
  };
  HINTERNET request = call(flags);
  // Flags the library does not take: once more without any.
  if (request == nullptr && GetLastError() == ERROR_INVALID_PARAMETER && flags != 0) {
    request = call(0);
  }
  if (request == nullptr) return libraryFailure();
  keep(requestHandle_, request);
  workerRequest_ = request;
  if (cancelled_) return libraryFailure(ERROR_INTERNET_OPERATION_CANCELLED);
  if (securityFlags != 0) {
    auto setOption = entry<PFN_InternetSetOptionA>(kSetOption);
    if (setOption == nullptr) return libraryFailure();
    DWORD value = securityFlags;
    setOption(request, INTERNET_OPTION_SECURITY_FLAGS, &value, sizeof(value));
  }
  return 0;
}

int InternetLibraryTransfer::addHeaders() {
  const LibraryRequest& q = request_;
  auto add = entry<PFN_HttpAddRequestHeadersA>(kAddRequestHeaders);
  const std::pair<const char*, const std::string*> named[] = {
      {"Content-Type", &q.contentType},
      {"From", &q.from},
      {"If-Modified-Since", &q.ifModifiedSince},
      {"Pragma", &q.pragma}};
  for (const auto& [name, value] : named) {
    if (value->empty()) continue;
    const std::string line = std::string(name) + ": " + *value + "\r\n";
    if (add == nullptr ||
        !add(workerRequest_, line.c_str(), static_cast<DWORD>(line.size()), HTTP_ADDREQ_FLAG_ADD)) {
      return libraryFailure();
    }
  }
  if (q.otherHeaders.empty()) return 0;
  if (add == nullptr ||
      !add(workerRequest_, q.otherHeaders.c_str(), static_cast<DWORD>(q.otherHeaders.size()),
           HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    return libraryFailure();
  }
  return 0;
}

// PostData, then the whole AttachedFile, in memory.
int InternetLibraryTransfer::readBody(std::string& body) {
  const LibraryRequest& q = request_;
  if (q.verb != "POST" && q.verb != "PUT") return 0;
  body = q.postData;
  if (q.attachedFile.empty()) return 0;
  HANDLE f = CreateFileA(q.attachedFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return fail(kErrLocalFile, kTextAttachedFileRead);
  char buffer[16384];
  DWORD got = 0;
  bool ok;
  while ((ok = ReadFile(f, buffer, sizeof(buffer), &got, nullptr) != FALSE) && got > 0) {
    body.append(buffer, got);
  }
  CloseHandle(f);
  return ok ? 0 : fail(kErrLocalFile, kTextAttachedFileRead);
}

int InternetLibraryTransfer::send(const std::string& body) {
  const LibraryRequest& q = request_;
  auto setOption = entry<PFN_InternetSetOptionA>(kSetOption);
  auto setText = [&](DWORD option, const std::string& value) {
    if (setOption != nullptr) {
      setOption(workerRequest_, option, const_cast<char*>(value.c_str()),
                static_cast<DWORD>(value.size()));
    }
  };
  // "*user*password": the system's proxy with these credentials.
  if (q.proxyServer.size() > 1 && q.proxyServer[0] == '*') {
    const std::string rest = q.proxyServer.substr(1);
    const size_t star = rest.find('*');
    setText(INTERNET_OPTION_PROXY_USERNAME, rest.substr(0, star));
    setText(INTERNET_OPTION_PROXY_PASSWORD, star == std::string::npos ? "" : rest.substr(star + 1));
  }
  if (!q.proxyUser.empty()) setText(INTERNET_OPTION_PROXY_USERNAME, q.proxyUser);
  if (!q.proxyPassword.empty()) setText(INTERNET_OPTION_PROXY_PASSWORD, q.proxyPassword);

  auto sendRequest = entry<PFN_HttpSendRequestA>(kSendRequest);
  if (sendRequest == nullptr) return libraryFailure();
  auto sendOnce = [&] {
    return sendRequest(workerRequest_, nullptr, 0,
                       body.empty() ? nullptr : const_cast<char*>(body.data()),
                       static_cast<DWORD>(body.size())) != FALSE;
  };
  bool sent = sendOnce();
  // A server that wants a client certificate: on without one.
  if (!sent && GetLastError() == ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED &&
      (q.sslSecurityFlags & 0x40000000u) && setOption != nullptr) {
    setOption(workerRequest_, INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT, nullptr, 0);
    sent = sendOnce();
  }
  // An unknown issuer the settings accept.
  if (!sent && GetLastError() == ERROR_INTERNET_INVALID_CA && (q.sslSecurityFlags & 0x10u) &&
      setOption != nullptr) {
    DWORD value = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    DWORD size = sizeof(value);
    auto queryOption = entry<PFN_InternetQueryOptionA>(kQueryOption);
    DWORD current = 0;
    if (queryOption != nullptr &&
        queryOption(workerRequest_, INTERNET_OPTION_SECURITY_FLAGS, &current, &size)) {
      value |= current;
    }
    setOption(workerRequest_, INTERNET_OPTION_SECURITY_FLAGS, &value, sizeof(value));
    sent = sendOnce();
  }
  return sent ? 0 : libraryFailure();
}

int InternetLibraryTransfer::takeHeaders() {
  if (int r = raise(LibraryEventKind::Connected, 0, "OK")) return r;
  if (int r = raise(LibraryEventKind::StartTransfer, 0)) return r;
  auto query = entry<PFN_HttpQueryInfoA>(kQueryInfo);
  char area[kHeaderArea];
  DWORD length = sizeof(area);
  if (query == nullptr ||
      !query(workerRequest_, HTTP_QUERY_RAW_HEADERS_CRLF, area, &length, nullptr)) {
    return libraryFailure();
  }
  const std::string block(area, std::min<DWORD>(length, sizeof(area)));
  const size_t firstEnd = std::min(block.find("\r\n"), block.size());
  statusLine_ = block.substr(0, firstEnd);
  LibraryEvent end;
  end.kind = LibraryEventKind::EndTransfer;
  end.statusLine = statusLine_;
  if (int r = raise(end)) return r;
  for (size_t at = firstEnd; at < block.size();) {
    at = block.find_first_not_of("\r\n", at);
    if (at == std::string::npos) break;
    const size_t lineEnd = std::min(block.find("\r\n", at), block.size());
    LibraryEvent header;
    header.kind = LibraryEventKind::Header;
    header.text = block.substr(at, lineEnd - at);
    if (int r = raise(header)) return r;
    contentLength_ = header.contentLength;
    at = lineEnd;
  }
  return 0;
}

int InternetLibraryTransfer::readResponseBody() {
  if (int r = raise(LibraryEventKind::StartTransfer, 1)) return r;
  auto read = entry<PFN_InternetReadFile>(kReadFile);
  if (read == nullptr) return libraryFailure();
  const bool bounded = request_.readContentLength && contentLength_ >= 0;
  int64_t total = 0;
  char piece[kReadPiece];
  for (;;) {
    DWORD want = kReadPiece;
    if (bounded) {
      if (total >= contentLength_) break;
      want = static_cast<DWORD>(std::min<int64_t>(want, contentLength_ - total));
    }
    DWORD got = 0;
    if (!read(workerRequest_, piece, want, &got)) return libraryFailure();
    if (got == 0) break;
    total += std::min(got, want);
    LibraryEvent transfer;
    transfer.kind = LibraryEventKind::Transfer;
    transfer.data = piece;
    transfer.length = std::min(got, want);
    if (int r = raise(transfer)) return r;
  }
  if (int r = raise(LibraryEventKind::EndTransfer, 1)) return r;
  return raise(LibraryEventKind::Disconnected, 0, "OK");
}

}  // namespace velmora::network::component
