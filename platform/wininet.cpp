// The Internet library over libcurl. Each request handle owns one easy
// handle in a multi handle of its own, pumped by the calling thread: a
// blocked call waits in curl_multi_poll, which InternetCloseHandle from
// another thread wakes; the body goes through a bounded buffer (the
// transfer is paused while it is full). Redirects are followed here, not by
// libcurl, so that each hop can be checked and reported; authentication
// rounds and proxy tunnels are libcurl's.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>
#include <openssl/opensslv.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/wininet.h"

namespace tw_platform::inet {

namespace {

constexpr DWORD kInvalidOption = 12009;
constexpr DWORD kHeaderNotFound = 12150;
constexpr DWORD kInvalidHeader = 12153;
constexpr DWORD kHeaderExists = 12155;
constexpr DWORD kTimeout = 12002;
constexpr DWORD kAddIfNew = 0x10000000u;
constexpr size_t kMaxHeaderBlock = 256 * 1024;  // a longer header block is a broken response
constexpr size_t kBodyBuffer = 64 * 1024;       // the transfer pauses above this much unread body
constexpr int kMaxRedirects = 20;

// The libcurl entry points used here, looked up by name.
struct Curl {
  decltype(&curl_global_init) globalInit = nullptr;
  decltype(&curl_version_info) versionInfo = nullptr;
  decltype(&curl_easy_init) easyInit = nullptr;
  decltype(&curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&curl_easy_setopt) easySetopt = nullptr;
  decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&curl_easy_pause) easyPause = nullptr;
  decltype(&curl_multi_init) multiInit = nullptr;
  decltype(&curl_multi_cleanup) multiCleanup = nullptr;
  decltype(&curl_multi_add_handle) multiAdd = nullptr;
  decltype(&curl_multi_remove_handle) multiRemove = nullptr;
  decltype(&curl_multi_perform) multiPerform = nullptr;
  decltype(&curl_multi_poll) multiPoll = nullptr;
  decltype(&curl_multi_wakeup) multiWakeup = nullptr;
  decltype(&curl_multi_info_read) multiInfoRead = nullptr;
  decltype(&curl_slist_append) slistAppend = nullptr;
  decltype(&curl_slist_free_all) slistFree = nullptr;
  decltype(&curl_share_init) shareInit = nullptr;
  decltype(&curl_share_setopt) shareSetopt = nullptr;
  decltype(&curl_url) url = nullptr;
  decltype(&curl_url_set) urlSet = nullptr;
  decltype(&curl_url_get) urlGet = nullptr;
  decltype(&curl_url_cleanup) urlCleanup = nullptr;
  decltype(&curl_free) free = nullptr;
  CURLSH* share = nullptr;  // the process's cookies
  // What the certificate callback calls of the libssl and libcrypto that
  // libcurl loaded; the program itself does not link OpenSSL.
  struct {
    decltype(&CRYPTO_get_ex_new_index) newIndex = nullptr;
    decltype(&SSL_CTX_set_ex_data) setContextData = nullptr;
    decltype(&SSL_CTX_get_ex_data) contextData = nullptr;
    decltype(&SSL_get_SSL_CTX) contextOf = nullptr;
    decltype(&SSL_get_ex_data_X509_STORE_CTX_idx) sslIndex = nullptr;
    decltype(&SSL_CTX_set_verify) setVerify = nullptr;
    decltype(&SSL_CTX_set_client_cert_cb) setClientCertificate = nullptr;
    decltype(&X509_STORE_CTX_get_ex_data) storeData = nullptr;
    decltype(&X509_STORE_CTX_get_error) storeError = nullptr;
    decltype(&X509_STORE_CTX_set_error) setStoreError = nullptr;
    decltype(&X509_get_default_cert_dir) defaultCertDir = nullptr;
  } ssl;
};

Curl g_curl;

enum class Kind { Session, Connection, Request };

struct Handle;

// What a request handle drives: the easy handle, its multi handle, and the
// response as it arrives.
struct Transfer {
  explicit Transfer(const Curl& c) : api(c) {}
  ~Transfer() { finish(); }
  void finish() {
    if (multi != nullptr && easy != nullptr && added) api.multiRemove(multi, easy);
    added = false;
    if (easy != nullptr) api.easyCleanup(easy);
    if (multi != nullptr) api.multiCleanup(multi);
    if (list != nullptr) api.slistFree(list);
    easy = nullptr, multi = nullptr, list = nullptr;
  }

  const Curl& api;
  Handle* owner = nullptr;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* list = nullptr;
  bool added = false;

  // The request.
  std::string verb, path, referer, accept, body, url, authority;
  std::string openedVerb, openedUrl;  // as opened: each send starts from them
  bool http10 = false, secure = false;
  DWORD flags = 0, security = 0;
  std::vector<std::string> headers;
  std::string proxyUser, proxyPassword;
  int redirects = 0;

  // The response.
  std::string block, pending, finalBlock, connectBlock, data;
  size_t dataOffset = 0;
  bool haveFinal = false, inConnect = false, paused = false, done = false;
  bool resolving = false, connecting = false;
  CURLcode result = CURLE_OK;
  DWORD failure = 0;      // a code decided by a callback
  int verifyError = 0;    // the first certificate failure not forgiven
  bool certRequested = false;
};

struct Handle {
  Kind kind = Kind::Session;
  HINTERNET id = nullptr;
  std::shared_ptr<Handle> parent;
  std::vector<std::weak_ptr<Handle>> children;  // guarded by the table's lock
  std::atomic<bool> closed{false};
  std::atomic<int> busy{0};
  std::atomic<std::thread::id> lastThread;  // of the last call
  std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
  ULONG_PTR context = 0;
  // Session: the proxy ("" for none) and the hosts that bypass it.
  std::string agent, proxy, noProxy;
  // Connection.
  std::string server, user, password;
  INTERNET_PORT port = 0;
  std::unique_ptr<Transfer> transfer;
};

// The open handles. Never destroyed: handles still open at exit must not
// call into libcurl and OpenSSL after their own clean-up has run.
std::mutex g_lock;
auto& g_handles = *new std::map<uintptr_t, std::shared_ptr<Handle>>;
uintptr_t g_nextId = 0x1000;

std::shared_ptr<Handle> find(HINTERNET h) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == g_handles.end() || it->second->closed) return nullptr;
  return it->second;
}

// The open handle of this kind, marked in use by this thread while the
// call lasts; null with 6 set otherwise.
struct InUse {
  InUse(HINTERNET h, Kind kind) : handle(find(h)) {
    if (handle == nullptr || handle->kind != kind) {
      handle = nullptr;
      SetLastError(ERROR_INVALID_HANDLE);
      return;
    }
    handle->busy.fetch_add(1);
    handle->lastThread = std::this_thread::get_id();
  }
  ~InUse() {
    if (handle != nullptr) handle->busy.fetch_sub(1);
  }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;
  explicit operator bool() const { return handle != nullptr; }
  std::shared_ptr<Handle> handle;
};

HINTERNET enter(const std::shared_ptr<Handle>& h) {
  std::lock_guard<std::mutex> lock(g_lock);
  h->id = reinterpret_cast<HINTERNET>(g_nextId++);
  g_handles[reinterpret_cast<uintptr_t>(h->id)] = h;
  if (h->parent != nullptr) h->parent->children.push_back(h);
  return h->id;
}

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Delivers a status notification to the callback of the handle or of the
// nearest parent that has one; nothing once the handle is closed.
void notify(Handle& h, DWORD status, const void* info = nullptr, DWORD length = 0) {
  if (h.closed) return;
  for (Handle* p = &h; p != nullptr; p = p->parent.get()) {
    INTERNET_STATUS_CALLBACK cb = p->callback.load();
    if (cb == nullptr) continue;
    ULONG_PTR context = h.context != 0 ? h.context : (h.parent ? h.parent->context : 0);
    cb(h.id, context, status, const_cast<void*>(info), length);
    return;
  }
}

void notifyText(Handle& h, DWORD status, const std::string& text) {
  notify(h, status, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

// ---- The proxy settings of the registry --------------------------------

// The raw data of a value (a text without its NUL), or false.
bool readValue(HKEY key, const char* name, std::string& out) {
  char data[1024];
  DWORD size = sizeof data, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  out.assign(data, size);
  if (type != REG_DWORD) out = out.c_str();
  return true;
}

// Calls take(item) for each non-empty item of a list (any of separators
// between items) until it returns false.
template <typename Take>
void forEachItem(const std::string& text, const char* separators, Take take) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    start = end + 1;
    if (!item.empty() && !take(item)) return;
  }
}

// A Windows proxy list ("host:port", or "http=host:port;https=...") as one
// proxy URL for libcurl: the http entry, else the https one (a SOCKS or
// FTP entry is no HTTP proxy).
std::string proxyUrl(const std::string& text) {
  std::string chosen;
  forEachItem(text, "; ", [&](const std::string& item) {
    size_t eq = item.find('=');
    if (eq == std::string::npos || equalsNoCase(item.substr(0, eq), "http")) {
      chosen = item.substr(eq == std::string::npos ? 0 : eq + 1);
      return false;
    }
    if (chosen.empty() && equalsNoCase(item.substr(0, eq), "https")) chosen = item.substr(eq + 1);
    return true;
  });
  if (chosen.empty() || chosen.find("://") != std::string::npos) return chosen;
  return "http://" + chosen;
}

// A Windows bypass list ("*." before domains) as libcurl's comma list;
// "<local>" and inner wildcards have no equivalent there.
std::string bypassList(const std::string& text) {
  std::string out;
  forEachItem(text, "; ", [&](std::string item) {
    if (item.rfind("*.", 0) == 0) item.erase(0, 2);
    if (!item.empty() && item != "<local>" && item.find('*') == std::string::npos) {
      out += (out.empty() ? "" : ",") + item;
    }
    return true;
  });
  return out;
}

// The current user's preconfigured proxy; 12166 when a proxy script is set
// (no script is ever run), else 0.
DWORD preconfiguredProxy(Handle& session) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, REGSTR_PATH_INTERNET_SETTINGS, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return 0;
  }
  std::string script, enable, server, bypass;
  DWORD code = 0;
  if (readValue(key, "AutoConfigURL", script) && !script.empty()) {
    code = ERROR_INTERNET_BAD_AUTO_PROXY_SCRIPT;
  } else if (readValue(key, "ProxyEnable", enable) && enable.size() == 4 &&
             enable != std::string(4, '\0') && readValue(key, "ProxyServer", server)) {
    session.proxy = proxyUrl(server);
    if (readValue(key, "ProxyOverride", bypass)) session.noProxy = bypassList(bypass);
  }
  RegCloseKey(key);
  return code;
}

// ---- libcurl callbacks ---------------------------------------------------

int statusOf(const std::string& block) {
  size_t blank = block.find(' ');
  if (blank == std::string::npos || block.size() < blank + 4) return 0;
  return std::atoi(block.substr(blank + 1, 3).c_str());
}

bool redirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t onHeader(char* p, size_t size, size_t n, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t length = size * n;
  if (t.haveFinal) return length;  // trailers
  if (t.block.size() + length > kMaxHeaderBlock) {
    t.failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return 0;
  }
  std::string line(p, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (t.block.empty() && !t.inConnect) {
    t.pending.clear();  // a new response after an authentication round
    notify(*t.owner, INTERNET_STATUS_RESPONSE_RECEIVED);
  }
  if (!line.empty()) {
    t.block += line + "\r\n";
    return length;
  }
  const int status = statusOf(t.block);
  std::string block = t.block + "\r\n";
  t.block.clear();
  if (t.inConnect) {
    t.connectBlock = block;
  } else if (status / 100 == 1) {
    notify(*t.owner, INTERNET_STATUS_INTERMEDIATE_RESPONSE);
  } else if ((status == 401 && !t.owner->parent->user.empty()) ||
             (status == 407 && !t.proxyUser.empty())) {
    t.pending = block;  // libcurl may answer it with credentials
  } else {
    t.finalBlock = block;
    t.haveFinal = true;
  }
  return length;
}

size_t onBody(char* p, size_t size, size_t n, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  if (!t.haveFinal && !t.pending.empty()) {
    t.finalBlock = t.pending;  // the answer was not taken up: it is the response
    t.haveFinal = true;
  }
  if (t.data.size() - t.dataOffset >= kBodyBuffer) {
    t.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (t.dataOffset > 0) {
    t.data.erase(0, t.dataOffset);
    t.dataOffset = 0;
  }
  t.data.append(p, size * n);
  return size * n;
}

int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  if (type != CURLINFO_HEADER_OUT) return 0;
  t.inConnect = size >= 8 && std::memcmp(data, "CONNECT ", 8) == 0;
  if (t.connecting) {
    t.connecting = false;
    notify(*t.owner, INTERNET_STATUS_CONNECTED_TO_SERVER);
  }
  if (t.inConnect) return 0;
  const DWORD sent = static_cast<DWORD>(size);
  notify(*t.owner, INTERNET_STATUS_SENDING_REQUEST);
  notify(*t.owner, INTERNET_STATUS_REQUEST_SENT, &sent, sizeof sent);
  notify(*t.owner, INTERNET_STATUS_RECEIVING_RESPONSE);
  return 0;
}

int onResolverStart(void*, void*, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  t.resolving = true;
  notify(*t.owner, INTERNET_STATUS_RESOLVING_NAME);
  return 0;
}

curl_socket_t onOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto& t = *static_cast<Transfer*>(user);
  if (!t.resolving) notify(*t.owner, INTERNET_STATUS_RESOLVING_NAME);
  t.resolving = false;
  notify(*t.owner, INTERNET_STATUS_NAME_RESOLVED);
  notify(*t.owner, INTERNET_STATUS_CONNECTING_TO_SERVER);
  t.connecting = true;
  int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

int onCloseSocket(void* user, curl_socket_t fd) {
  auto& t = *static_cast<Transfer*>(user);
  notify(*t.owner, INTERNET_STATUS_CLOSING_CONNECTION);
  int r = close(fd);
  notify(*t.owner, INTERNET_STATUS_CONNECTION_CLOSED);
  return r;
}

// ---- Certificates ------------------------------------------------------

int transferIndex() {
  static int index =
      g_curl.ssl.newIndex(CRYPTO_EX_INDEX_SSL_CTX, 0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// The security flag that forgives an OpenSSL verification error, or 0.
DWORD forgivingFlag(int err) {
  switch (err) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    case X509_V_ERR_INVALID_PURPOSE:
      return SECURITY_FLAG_IGNORE_WRONG_USAGE;
    default:
      return 0;
  }
}

// Clears just the failures the request's security flags forgive and keeps
// the first other one for the error code.
int onVerify(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  const auto& o = g_curl.ssl;
  auto* ssl = static_cast<SSL*>(o.storeData(store, o.sslIndex()));
  auto* t = static_cast<Transfer*>(o.contextData(o.contextOf(ssl), transferIndex()));
  const int err = o.storeError(store);
  const DWORD flag = forgivingFlag(err);
  if (t != nullptr && flag != 0 && (t->security & flag) != 0) {
    o.setStoreError(store, X509_V_OK);
    return 1;
  }
  if (t != nullptr && t->verifyError == 0) t->verifyError = err;
  return 0;
}

// The server asked for a client certificate: there is none to give, so the
// handshake goes on without one.
int onClientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
  const auto& o = g_curl.ssl;
  auto* t = static_cast<Transfer*>(o.contextData(o.contextOf(ssl), transferIndex()));
  if (t != nullptr) t->certRequested = true;
  return 0;
}

CURLcode onTlsContext(CURL*, void* context, void* user) {
  auto* ctx = static_cast<SSL_CTX*>(context);
  const auto& o = g_curl.ssl;
  o.setContextData(ctx, transferIndex(), user);
  o.setVerify(ctx, SSL_VERIFY_PEER, onVerify);
  o.setClientCertificate(ctx, onClientCertificate);
  return CURLE_OK;
}

// ---- Errors --------------------------------------------------------------

DWORD certificateError(const Transfer& t) {
  switch (forgivingFlag(t.verifyError)) {
    case SECURITY_FLAG_IGNORE_CERT_DATE_INVALID:
      return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    case SECURITY_FLAG_IGNORE_UNKNOWN_CA:
      return ERROR_INTERNET_INVALID_CA;
    default:
      // No chain failure: libcurl's own check of the name refused it.
      return t.verifyError == 0 ? ERROR_INTERNET_SEC_CERT_CN_INVALID
                                : ERROR_INTERNET_SEC_INVALID_CERT;
  }
}

// The code of a failed transfer (the table in httpclient/README.md).
DWORD errorOf(const Transfer& t) {
  if (t.failure != 0) return t.failure;
  long osError = 0;
  switch (t.result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return kTimeout;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      if (t.certRequested) return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
      t.api.easyGetinfo(t.easy, CURLINFO_OS_ERRNO, &osError);
      return osError == ECONNRESET || osError == EPIPE ? ERROR_INTERNET_CONNECTION_RESET
                                                      : ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_OUT_OF_MEMORY:
      // libcurl's own limit on one header line.
      return t.haveFinal ? ERROR_INTERNET_INTERNAL_ERROR : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_SSL_CONNECT_ERROR:
      if (t.certRequested) return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
      return t.verifyError != 0 ? certificateError(t) : ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION:
      return certificateError(t);
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

// ---- The transfer ----------------------------------------------------------

// The trust of the native TLS path: SSL_CERT_FILE when set, and the hashed
// directory (SSL_CERT_DIR, else the system's). libcurl reads neither
// variable, so both are passed.
void setTrust(const Transfer& t) {
  const char* file = std::getenv("SSL_CERT_FILE");
  const char* dir = std::getenv("SSL_CERT_DIR");
  if (dir == nullptr || *dir == '\0') dir = t.api.ssl.defaultCertDir();
  t.api.easySetopt(t.easy, CURLOPT_CAINFO, file != nullptr && *file != '\0' ? file : nullptr);
  t.api.easySetopt(t.easy, CURLOPT_CAPATH, dir);
}

bool hasHeader(const std::vector<std::string>& headers, const std::string& name) {
  for (const std::string& h : headers) {
    if (h.size() > name.size() && h[name.size()] == ':' &&
        equalsNoCase(h.substr(0, name.size()), name)) {
      return true;
    }
  }
  return false;
}

// The request's header lines; libcurl's own Accept, Expect and form type
// are taken out (an empty "Name:" removes a header).
curl_slist* headerList(const Transfer& t, bool proxied) {
  std::vector<std::string> lines;
  if (!t.referer.empty()) lines.push_back("Referer: " + t.referer);
  lines.push_back(t.accept.empty() ? "Accept:" : "Accept: " + t.accept);
  lines.push_back("Expect:");
  if (!hasHeader(t.headers, "Content-Type")) lines.push_back("Content-Type:");
  lines.insert(lines.end(), t.headers.begin(), t.headers.end());
  if ((t.flags & INTERNET_FLAG_PRAGMA_NOCACHE) != 0 && proxied && !t.secure) {
    if (!hasHeader(t.headers, "Pragma")) lines.push_back("Pragma: no-cache");
    if (!hasHeader(t.headers, "Cache-Control")) lines.push_back("Cache-Control: no-cache");
  }
  curl_slist* list = nullptr;
  for (const std::string& l : lines) list = t.api.slistAppend(list, l.c_str());
  return list;
}

// "host:port" of a URL, lower case, with the scheme's port when none is given.
std::string authorityOf(const std::string& url) {
  size_t start = url.find("://");
  if (start == std::string::npos) return std::string();
  const bool https = equalsNoCase(url.substr(0, start), "https");
  start += 3;
  std::string a = url.substr(start, url.find_first_of("/?#", start) - start);
  if (size_t at = a.rfind('@'); at != std::string::npos) a.erase(0, at + 1);
  for (char& c : a) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (a.find(':', a.rfind(']') == std::string::npos ? 0 : a.rfind(']')) == std::string::npos) {
    a += https ? ":443" : ":80";
  }
  return a;
}

// Sets every option of the request on a fresh easy handle and starts it.
void start(Transfer& t) {
  const Curl& api = t.api;
  Handle& connection = *t.owner->parent;
  Handle& session = *connection.parent;
  t.block.clear(), t.pending.clear(), t.finalBlock.clear(), t.connectBlock.clear();
  t.data.clear(), t.dataOffset = 0;
  t.haveFinal = t.inConnect = t.paused = t.done = t.resolving = t.connecting = false;
  t.result = CURLE_OK, t.failure = 0, t.verifyError = 0, t.certRequested = false;
  // A fresh easy handle per hop: nothing of the last one carries over but
  // the connections kept by the multi handle and the shared cookies.
  if (t.added) api.multiRemove(t.multi, t.easy);
  t.added = false;
  if (t.list != nullptr) api.slistFree(t.list);
  t.list = nullptr;
  api.easyCleanup(t.easy);
  t.easy = api.easyInit();
  if (t.easy == nullptr) {
    t.done = true, t.result = CURLE_FAILED_INIT;
    return;
  }

  CURL* e = t.easy;
  api.easySetopt(e, CURLOPT_URL, t.url.c_str());
  api.easySetopt(e, CURLOPT_NOSIGNAL, 1L);
  api.easySetopt(e, CURLOPT_PATH_AS_IS, 1L);
  api.easySetopt(e, CURLOPT_HTTP_VERSION,
                 t.http10 ? long{CURL_HTTP_VERSION_1_0} : long{CURL_HTTP_VERSION_1_1});
  if (!session.agent.empty()) api.easySetopt(e, CURLOPT_USERAGENT, session.agent.c_str());
  // Both are always set, so that libcurl never reads http_proxy, https_proxy
  // or no_proxy: an empty proxy is no proxy, an empty list bypasses nothing.
  api.easySetopt(e, CURLOPT_PROXY, session.proxy.c_str());
  api.easySetopt(e, CURLOPT_NOPROXY, session.noProxy.c_str());
  api.easySetopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  if (!t.proxyUser.empty()) {
    api.easySetopt(e, CURLOPT_PROXYUSERNAME, t.proxyUser.c_str());
    api.easySetopt(e, CURLOPT_PROXYPASSWORD, t.proxyPassword.c_str());
  }
  // Server credentials go to the server they were given for, not to where
  // a redirect leads.
  api.easySetopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
  if (!connection.user.empty() && authorityOf(t.url) == t.authority) {
    api.easySetopt(e, CURLOPT_USERNAME, connection.user.c_str());
    api.easySetopt(e, CURLOPT_PASSWORD, connection.password.c_str());
  }
  if ((t.flags & INTERNET_FLAG_NO_COOKIES) == 0) {
    api.easySetopt(e, CURLOPT_SHARE, api.share);
    api.easySetopt(e, CURLOPT_COOKIEFILE, "");
  }
  if (t.verb == "HEAD") {
    api.easySetopt(e, CURLOPT_NOBODY, 1L);
  } else if (t.verb == "POST" || t.verb == "PUT" || !t.body.empty()) {
    api.easySetopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body.size()));
    api.easySetopt(e, CURLOPT_COPYPOSTFIELDS, t.body.c_str());
    if (t.verb != "POST") api.easySetopt(e, CURLOPT_CUSTOMREQUEST, t.verb.c_str());
  } else if (t.verb != "GET") {
    api.easySetopt(e, CURLOPT_CUSTOMREQUEST, t.verb.c_str());
  }
  t.list = headerList(t, !session.proxy.empty());
  api.easySetopt(e, CURLOPT_HTTPHEADER, t.list);
  api.easySetopt(e, CURLOPT_HEADERFUNCTION, onHeader);
  api.easySetopt(e, CURLOPT_HEADERDATA, &t);
  api.easySetopt(e, CURLOPT_WRITEFUNCTION, onBody);
  api.easySetopt(e, CURLOPT_WRITEDATA, &t);
  api.easySetopt(e, CURLOPT_VERBOSE, 1L);
  api.easySetopt(e, CURLOPT_DEBUGFUNCTION, onDebug);
  api.easySetopt(e, CURLOPT_DEBUGDATA, &t);
  api.easySetopt(e, CURLOPT_RESOLVER_START_FUNCTION, onResolverStart);
  api.easySetopt(e, CURLOPT_RESOLVER_START_DATA, &t);
  api.easySetopt(e, CURLOPT_OPENSOCKETFUNCTION, onOpenSocket);
  api.easySetopt(e, CURLOPT_OPENSOCKETDATA, &t);
  api.easySetopt(e, CURLOPT_CLOSESOCKETFUNCTION, onCloseSocket);
  api.easySetopt(e, CURLOPT_CLOSESOCKETDATA, &t);
  if (t.secure) {
    setTrust(t);
    api.easySetopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    api.easySetopt(e, CURLOPT_SSL_VERIFYHOST,
                   (t.security & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) != 0 ? 0L : 2L);
    api.easySetopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    api.easySetopt(e, CURLOPT_SSL_CTX_FUNCTION, onTlsContext);
    api.easySetopt(e, CURLOPT_SSL_CTX_DATA, &t);
  }
  t.added = api.multiAdd(t.multi, t.easy) == CURLM_OK;
  if (!t.added) t.done = true, t.result = CURLE_FAILED_INIT;
}

// Runs the transfer on this thread until ready() holds or it ends; false
// with 12017 when the handle was closed meanwhile.
template <typename Ready>
bool pump(Handle& h, Transfer& t, Ready ready) {
  while (!h.closed) {
    if (ready() || t.done) return true;
    int running = 0;
    t.api.multiPerform(t.multi, &running);
    int left = 0;
    while (CURLMsg* m = t.api.multiInfoRead(t.multi, &left)) {
      if (m->msg == CURLMSG_DONE) t.done = true, t.result = m->data.result;
    }
    if (ready() || t.done || h.closed) continue;
    // libcurl shortens the wait to its own next timer; a close wakes it.
    t.api.multiPoll(t.multi, nullptr, 0, 5000, nullptr);
  }
  return fail(ERROR_INTERNET_OPERATION_CANCELLED);
}

// The absolute URL a redirect's Location names, or "" when it has none.
std::string redirectTarget(const Transfer& t) {
  std::string location;
  size_t at = 0;
  for (size_t end; (end = t.finalBlock.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = t.finalBlock.substr(at, end - at);
    if (line.size() > 9 && equalsNoCase(line.substr(0, 9), "Location:")) {
      location = line.substr(line.find_first_not_of(" \t", 9) == std::string::npos
                                 ? line.size()
                                 : line.find_first_not_of(" \t", 9));
      break;
    }
  }
  if (location.empty()) return location;
  CURLU* u = t.api.url();
  char* text = nullptr;
  std::string out;
  if (u != nullptr && t.api.urlSet(u, CURLUPART_URL, t.url.c_str(), 0) == CURLUE_OK &&
      t.api.urlSet(u, CURLUPART_URL, location.c_str(), CURLU_URLENCODE) == CURLUE_OK &&
      t.api.urlGet(u, CURLUPART_URL, &text, 0) == CURLUE_OK) {
    out = text;
    t.api.free(text);
  }
  if (u != nullptr) t.api.urlCleanup(u);
  return out.empty() ? location : out;
}

// One hop: true with the final header block, else false with the code.
BOOL sendOnce(Handle& h, Transfer& t) {
  start(t);
  if (!pump(h, t, [&] { return t.haveFinal; })) return FALSE;
  if (t.haveFinal) return TRUE;
  if (!t.pending.empty() && t.result == CURLE_OK) {
    t.finalBlock = t.pending, t.haveFinal = true;
    return TRUE;
  }
  // A proxy that refused the tunnel: its answer is the response.
  if (!t.connectBlock.empty() && statusOf(t.connectBlock) / 100 != 2) {
    t.finalBlock = t.connectBlock, t.haveFinal = true, t.result = CURLE_OK;
    return TRUE;
  }
  if (t.result == CURLE_OK) t.failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
  return fail(errorOf(t));
}

// ---- The library -----------------------------------------------------------

std::once_flag g_loadOnce;
DWORD g_loadError = 0;
std::mutex g_shareLocks[CURL_LOCK_DATA_LAST];

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void*) { g_shareLocks[data].lock(); }
void unlockShare(CURL*, curl_lock_data data, void*) { g_shareLocks[data].unlock(); }

// The OpenSSL functions of the certificate callback, from the libssl and
// libcrypto that libcurl loaded (none when it uses another TLS library).
bool lookUpOpenSsl(Curl& c) {
  const std::string major = std::to_string(OPENSSL_VERSION_MAJOR);
  void* ssl = dlopen(("libssl.so." + major).c_str(), RTLD_NOW | RTLD_NOLOAD);
  void* crypto = dlopen(("libcrypto.so." + major).c_str(), RTLD_NOW | RTLD_NOLOAD);
  auto& o = c.ssl;
  return ssl != nullptr && crypto != nullptr &&
         lookUpSymbol(crypto, "CRYPTO_get_ex_new_index", o.newIndex) &&
         lookUpSymbol(ssl, "SSL_CTX_set_ex_data", o.setContextData) &&
         lookUpSymbol(ssl, "SSL_CTX_get_ex_data", o.contextData) &&
         lookUpSymbol(ssl, "SSL_get_SSL_CTX", o.contextOf) &&
         lookUpSymbol(ssl, "SSL_get_ex_data_X509_STORE_CTX_idx", o.sslIndex) &&
         lookUpSymbol(ssl, "SSL_CTX_set_verify", o.setVerify) &&
         lookUpSymbol(ssl, "SSL_CTX_set_client_cert_cb", o.setClientCertificate) &&
         lookUpSymbol(crypto, "X509_STORE_CTX_get_ex_data", o.storeData) &&
         lookUpSymbol(crypto, "X509_STORE_CTX_get_error", o.storeError) &&
         lookUpSymbol(crypto, "X509_STORE_CTX_set_error", o.setStoreError) &&
         lookUpSymbol(crypto, "X509_get_default_cert_dir", o.defaultCertDir);
}

// libcurl's entry points, or null with the last error set (126: no library;
// 127: an entry point missing, older than 7.68 or not built on this OpenSSL).
const Curl* curl() {
  std::call_once(g_loadOnce, [] {
    g_loadError = openLibrary("libcurl.so.4", [](void* library) {
      Curl& c = g_curl;
      const bool found =
          lookUpSymbol(library, "curl_global_init", c.globalInit) &&
          lookUpSymbol(library, "curl_version_info", c.versionInfo) &&
          lookUpSymbol(library, "curl_easy_init", c.easyInit) &&
          lookUpSymbol(library, "curl_easy_cleanup", c.easyCleanup) &&
          lookUpSymbol(library, "curl_easy_setopt", c.easySetopt) &&
          lookUpSymbol(library, "curl_easy_getinfo", c.easyGetinfo) &&
          lookUpSymbol(library, "curl_easy_pause", c.easyPause) &&
          lookUpSymbol(library, "curl_multi_init", c.multiInit) &&
          lookUpSymbol(library, "curl_multi_cleanup", c.multiCleanup) &&
          lookUpSymbol(library, "curl_multi_add_handle", c.multiAdd) &&
          lookUpSymbol(library, "curl_multi_remove_handle", c.multiRemove) &&
          lookUpSymbol(library, "curl_multi_perform", c.multiPerform) &&
          lookUpSymbol(library, "curl_multi_poll", c.multiPoll) &&
          lookUpSymbol(library, "curl_multi_wakeup", c.multiWakeup) &&
          lookUpSymbol(library, "curl_multi_info_read", c.multiInfoRead) &&
          lookUpSymbol(library, "curl_slist_append", c.slistAppend) &&
          lookUpSymbol(library, "curl_slist_free_all", c.slistFree) &&
          lookUpSymbol(library, "curl_share_init", c.shareInit) &&
          lookUpSymbol(library, "curl_share_setopt", c.shareSetopt) &&
          lookUpSymbol(library, "curl_url", c.url) &&
          lookUpSymbol(library, "curl_url_set", c.urlSet) &&
          lookUpSymbol(library, "curl_url_get", c.urlGet) &&
          lookUpSymbol(library, "curl_url_cleanup", c.urlCleanup) &&
          lookUpSymbol(library, "curl_free", c.free) && lookUpOpenSsl(c);
      const curl_version_info_data* v = found ? c.versionInfo(CURLVERSION_NOW) : nullptr;
      const std::string tls = "OpenSSL/" + std::to_string(OPENSSL_VERSION_MAJOR) + ".";
      return v != nullptr && v->version_num >= 0x074400 && v->ssl_version != nullptr &&
             std::strncmp(v->ssl_version, tls.c_str(), tls.size()) == 0 &&
             c.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK && (c.share = c.shareInit()) != nullptr;
    });
    if (g_loadError != 0) return;
    // One cookie jar for the process, in memory only.
    const Curl& c = g_curl;
    c.shareSetopt(c.share, CURLSHOPT_LOCKFUNC, lockShare);
    c.shareSetopt(c.share, CURLSHOPT_UNLOCKFUNC, unlockShare);
    c.shareSetopt(c.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  });
  if (g_loadError != 0) SetLastError(g_loadError);
  return g_loadError == 0 ? &g_curl : nullptr;
}

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                        DWORD) {
  if (curl() == nullptr) return nullptr;
  auto s = std::make_shared<Handle>();
  s->agent = agent != nullptr ? agent : "";
  if (accessType == INTERNET_OPEN_TYPE_PROXY) {
    if (proxy == nullptr || *proxy == '\0') return fail(ERROR_INVALID_PARAMETER), nullptr;
    s->proxy = proxyUrl(proxy);
    if (proxyBypass != nullptr) s->noProxy = bypassList(proxyBypass);
  } else if (accessType == INTERNET_OPEN_TYPE_PRECONFIG) {
    if (DWORD code = preconfiguredProxy(*s); code != 0) return fail(code), nullptr;
  } else if (accessType != INTERNET_OPEN_TYPE_DIRECT) {
    return fail(ERROR_INVALID_PARAMETER), nullptr;
  }
  return enter(s);
}

HINTERNET InternetConnectA(HINTERNET session, LPCSTR serverName, INTERNET_PORT serverPort,
                           LPCSTR userName, LPCSTR password, DWORD service, DWORD,
                           ULONG_PTR context) {
  InUse s(session, Kind::Session);
  if (!s) return nullptr;
  if (serverName == nullptr || *serverName == '\0' || service != INTERNET_SERVICE_HTTP) {
    return fail(ERROR_INVALID_PARAMETER), nullptr;
  }
  auto c = std::make_shared<Handle>();
  c->kind = Kind::Connection;
  c->parent = s.handle;
  c->server = serverName;
  c->port = serverPort;
  c->user = userName != nullptr ? userName : "";
  c->password = password != nullptr ? password : "";
  c->context = context;
  return enter(c);
}

HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, ULONG_PTR context) {
  InUse c(connection, Kind::Connection);
  if (!c) return nullptr;
  const Curl& api = *curl();
  auto r = std::make_shared<Handle>();
  r->kind = Kind::Request;
  r->parent = c.handle;
  r->context = context;
  r->transfer = std::make_unique<Transfer>(api);
  Transfer& t = *r->transfer;
  t.owner = r.get();
  t.easy = api.easyInit();
  t.multi = api.multiInit();
  if (t.easy == nullptr || t.multi == nullptr) return fail(ERROR_INTERNET_INTERNAL_ERROR), nullptr;
  t.verb = verb != nullptr && *verb != '\0' ? verb : "GET";
  t.path = objectName != nullptr && *objectName != '\0' ? objectName : "/";
  if (t.path[0] != '/') t.path.insert(0, "/");
  const std::string v = version != nullptr ? version : "";
  t.http10 = v == "1.0" || equalsNoCase(v, "HTTP/1.0");
  t.referer = referrer != nullptr ? referrer : "";
  for (LPCSTR* a = acceptTypes; a != nullptr && *a != nullptr; ++a) {
    t.accept += (t.accept.empty() ? "" : ", ") + std::string(*a);
  }
  // Unknown flags are ignored, so that no flag makes the request fail.
  t.flags = flags;
  t.secure = (flags & INTERNET_FLAG_SECURE) != 0;
  t.security = flags & (SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID);
  const Handle& conn = *c.handle;
  const INTERNET_PORT port = conn.port != 0 ? conn.port : (t.secure ? 443 : 80);
  const bool ipv6 = conn.server.find(':') != std::string::npos && conn.server[0] != '[';
  const std::string host = ipv6 ? "[" + conn.server + "]" : conn.server;
  t.authority = authorityOf(std::string(t.secure ? "https" : "http") + "://" + host + ":" +
                            std::to_string(port));
  // Bytes a URL may not carry are escaped; the rest of the path is sent as given.
  std::string path;
  for (unsigned char ch : t.path) {
    static const char kHex[] = "0123456789ABCDEF";
    if (ch <= 0x20 || ch >= 0x7f || ch == '"' || ch == '<' || ch == '>' || ch == '\\' ||
        ch == '^' || ch == '`' || ch == '{' || ch == '|' || ch == '}') {
      path += {'%', kHex[ch >> 4], kHex[ch & 15]};
    } else {
      path += static_cast<char>(ch);
    }
  }
  const bool defaultPort = port == (t.secure ? 443 : 80);
  t.url = std::string(t.secure ? "https://" : "http://") + host +
          (defaultPort ? "" : ":" + std::to_string(port)) + path;
  t.openedVerb = t.verb, t.openedUrl = t.url;
  return enter(r);
}

// Adds header lines ("Name: value" ended by CR LF) to a list: a line that
// names a header already there replaces it with REPLACE (an empty value
// removes it), fails with ADD_IF_NEW, and is added beside it otherwise.
BOOL addHeaders(std::vector<std::string>& to, const char* text, DWORD length, DWORD modifiers) {
  if (text == nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::string all = length == DWORD(-1) ? std::string(text) : std::string(text, length);
  DWORD code = 0;
  forEachItem(all, "\r\n", [&](const std::string& line) {
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || line[0] == ' ' || line[0] == '\t') {
      code = kInvalidHeader;
      return false;
    }
    const std::string name = line.substr(0, colon);
    if ((modifiers & kAddIfNew) != 0 && hasHeader(to, name)) {
      code = kHeaderExists;
      return false;
    }
    if ((modifiers & HTTP_ADDREQ_FLAG_REPLACE) != 0) {
      std::erase_if(to, [&](const std::string& h) { return hasHeader({h}, name); });
      if (line.find_first_not_of(' ', colon + 1) == std::string::npos) return true;
    }
    to.push_back(line);
    return true;
  });
  return code == 0 ? TRUE : fail(code);
}

BOOL HttpAddRequestHeadersA(HINTERNET request, LPCSTR headers, DWORD length, DWORD modifiers) {
  InUse r(request, Kind::Request);
  if (!r) return FALSE;
  return addHeaders(r.handle->transfer->headers, headers, length, modifiers);
}

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength) {
  InUse r(request, Kind::Request);
  if (!r) return FALSE;
  Handle& h = *r.handle;
  Transfer& t = *h.transfer;
  if (headers != nullptr && headersLength != 0 &&
      !addHeaders(t.headers, headers, headersLength, HTTP_ADDREQ_FLAG_ADD)) {
    return FALSE;
  }
  t.body.assign(static_cast<const char*>(optional), optional != nullptr ? optionalLength : 0);
  t.verb = t.openedVerb, t.url = t.openedUrl, t.redirects = 0;
  while (true) {
    if (!sendOnce(h, t)) return FALSE;
    const int status = statusOf(t.finalBlock);
    const std::string url = redirectStatus(status) ? redirectTarget(t) : std::string();
    if (url.empty()) return TRUE;
    const bool toHttps = url.rfind("https://", 0) == 0, toHttp = url.rfind("http://", 0) == 0;
    if (!t.secure && toHttps) return fail(ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR);
    if (t.secure && toHttp) return fail(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
    if (!toHttp && !toHttps) return fail(ERROR_HTTP_REDIRECT_FAILED);
    if (t.redirects++ == kMaxRedirects) return fail(ERROR_HTTP_REDIRECT_FAILED);
    notifyText(h, INTERNET_STATUS_REDIRECT, url);
    t.url = url;
    // A 303, and a 301 or 302 after a POST, continue as a GET without the body.
    if (status == 303 || (t.verb == "POST" && status <= 302)) {
      t.verb = "GET";
      t.body.clear();
    }
  }
}

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                    LPDWORD) {
  InUse r(request, Kind::Request);
  if (!r) return FALSE;
  const Transfer& t = *r.handle->transfer;
  if (bufferLength == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (infoLevel != HTTP_QUERY_RAW_HEADERS_CRLF || !t.haveFinal) return fail(kHeaderNotFound);
  const DWORD needed = static_cast<DWORD>(t.finalBlock.size() + 1);
  if (buffer == nullptr || *bufferLength < needed) {
    *bufferLength = needed;
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, t.finalBlock.c_str(), needed);
  *bufferLength = needed - 1;
  return TRUE;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead) {
  InUse r(file, Kind::Request);
  if (!r) return FALSE;
  if (bytesRead == nullptr || (buffer == nullptr && bytesToRead != 0)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  *bytesRead = 0;
  Handle& h = *r.handle;
  Transfer& t = *h.transfer;
  if (!t.haveFinal) return fail(ERROR_INTERNET_INTERNAL_ERROR);
  auto available = [&] { return t.data.size() - t.dataOffset; };
  if (available() == 0 && t.paused) {
    t.paused = false;
    t.api.easyPause(t.easy, CURLPAUSE_CONT);
  }
  if (!pump(h, t, [&] { return available() > 0; })) return FALSE;
  if (available() == 0 && t.result != CURLE_OK) return fail(errorOf(t));
  const size_t n = std::min<size_t>(bytesToRead, available());
  std::memcpy(buffer, t.data.data() + t.dataOffset, n);
  t.dataOffset += n;
  *bytesRead = static_cast<DWORD>(n);
  return TRUE;
}

// Marks a handle and those below it closed and wakes a call blocked on
// them. The thread that used a request, when no call is running on it,
// ends the transfer at once, so that its closing notifications reach it.
void closeTree(const std::shared_ptr<Handle>& h) {
  std::vector<std::shared_ptr<Handle>> children;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_handles.erase(reinterpret_cast<uintptr_t>(h->id));
    for (auto& w : h->children) {
      if (auto c = w.lock()) children.push_back(c);
    }
  }
  for (auto& c : children) closeTree(c);
  if (h->transfer != nullptr && h->busy == 0 && h->lastThread == std::this_thread::get_id()) {
    h->transfer->finish();
  }
  h->closed = true;
  if (h->transfer != nullptr && h->transfer->multi != nullptr) {
    h->transfer->api.multiWakeup(h->transfer->multi);
  }
}

BOOL InternetCloseHandle(HINTERNET handle) {
  std::shared_ptr<Handle> h = find(handle);
  if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
  closeTree(h);
  return TRUE;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle,
                                                   INTERNET_STATUS_CALLBACK callback) {
  std::shared_ptr<Handle> h = find(handle);
  if (h == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return reinterpret_cast<INTERNET_STATUS_CALLBACK>(-1);
  }
  return h->callback.exchange(callback);
}

// A text option: bufferLength counts its characters, with or without a NUL.
std::string optionText(LPVOID buffer, DWORD length) {
  const char* p = static_cast<const char*>(buffer);
  return p == nullptr ? std::string() : std::string(p, strnlen(p, length));
}

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
  std::shared_ptr<Handle> h = find(handle);
  if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
  Transfer* t = h->transfer.get();
  if (t == nullptr) return fail(kInvalidOption);
  switch (option) {
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (buffer == nullptr || bufferLength < sizeof(DWORD)) return fail(ERROR_INVALID_PARAMETER);
      t->security |= *static_cast<const DWORD*>(buffer);
      return TRUE;
    case INTERNET_OPTION_PROXY_USERNAME:
      t->proxyUser = optionText(buffer, bufferLength);
      return TRUE;
    case INTERNET_OPTION_PROXY_PASSWORD:
      t->proxyPassword = optionText(buffer, bufferLength);
      return TRUE;
    case INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT:
      // There are no client certificates here: every handshake goes on
      // without one, with or without this option.
      return TRUE;
    default:
      return fail(kInvalidOption);
  }
}

BOOL InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength) {
  std::shared_ptr<Handle> h = find(handle);
  if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (option != INTERNET_OPTION_SECURITY_FLAGS || h->transfer == nullptr) {
    return fail(kInvalidOption);
  }
  if (bufferLength == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr || *bufferLength < sizeof(DWORD)) {
    *bufferLength = sizeof(DWORD);
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *static_cast<DWORD*>(buffer) = h->transfer->security;
  *bufferLength = sizeof(DWORD);
  return TRUE;
}

}  // namespace

}  // namespace tw_platform::inet

namespace tw_platform {

using namespace inet;

const ModuleExport kInternetExports[] = {
    {"InternetCloseHandle", entry(&InternetCloseHandle)},
    {"InternetReadFile", entry(&InternetReadFile)},
    {"HttpQueryInfoA", entry(&HttpQueryInfoA)},
    {"HttpSendRequestA", entry(&HttpSendRequestA)},
    {"HttpAddRequestHeadersA", entry(&HttpAddRequestHeadersA)},
    {"HttpOpenRequestA", entry(&HttpOpenRequestA)},
    {"InternetConnectA", entry(&InternetConnectA)},
    {"InternetSetStatusCallback", entry(&InternetSetStatusCallback)},
    {"InternetOpenA", entry(&InternetOpenA)},
    {"InternetSetOptionA", entry(&InternetSetOptionA)},
    {"InternetQueryOptionA", entry(&InternetQueryOptionA)},
    {nullptr, nullptr},
};

}  // namespace tw_platform
