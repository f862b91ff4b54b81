#include "httpclient/protocol/HttpClient.h"

#include <algorithm>
#include <new>
#include <utility>

#include "httpclient/auth/AuthCommon.h"
#include "httpclient/protocol/Url.h"
#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/ComponentIds.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

constexpr const char* kTextBadProxyScheme = "Unknown proxy authentication scheme.";
constexpr const char* kTextAttachedFile = "Can't open AttachedFile.";
constexpr const char* kTextLocalFileOpen = "Can't open local file for writing.";
constexpr const char* kTextLocalFileWrite = "Error writing to LocalFile.";
constexpr const char* kTextLibraryLocalFileWrite = "Error writing to LocalFile";
constexpr const char* kTextAppendData = "Error appending to TransferredData.";
constexpr const char* kTextIdenticalRedirect =
    "Attempting to redirect to identical URL.  Aborting connection.";
constexpr size_t kFilePiece = 16384;

}  // namespace

HttpClient::~HttpClient() { closeLocalFile(); }

HttpClient::HttpClient() {
  // The HTTP layer's set-up: large socket buffers, and 4000-byte lines for
  // the decrypted data of TLS connections (TLS is selected now).
  options().setInBufferSize(262144);
  options().setOutBufferSize(262144);
  setMaxLineLength(4000);

  SettingTable& t = settings_;
  // The Internet-library group.
  t.addBool("UseWinInet", useWinInet_);
  t.addBool("UseWinInetCookies", useWinInetCookies_);
  t.addBool("ReadContentLength", readContentLength_);
  // The HTTP group.
  t.addQuery("TransferredData", [this] { return response_.transferredData; });
  t.add({{"TransferredRequest"}, [this] { return transferredRequest_; },
         [this](const std::string& v) {
           keepRequests_ = equalsNoCase(v, "on");
           return kOk;
         }});
  t.addQuery("SentHeaders", [this] { return sentHeaders_; });
  t.addText("HTTPVersion", httpVersion_);
  t.addText("UserAgent", userAgent_);
  t.add({{"MaxTransferredData", "TransferredDataLimit"},
         [this] { return std::to_string(transferredDataLimit_); },
         [this](const std::string& v) {
           transferredDataLimit_ = configInt64(v);
           return kOk;
         }});
  t.addBool("KeepAlive", keepAlive_);
  t.add({{"Authorization"}, [this] { return authorization_; },
         [this](const std::string& v) {
           setAuthorization(v);
           return kOk;
         }});
  t.addText("AcceptEncoding", acceptEncoding_);
  t.addBool("AllowHTTPCompression", request_.allowHttpCompression);
  t.add({{"ProxyAuthScheme"}, [this] { return std::to_string(proxyAuthScheme_); },
         [this](const std::string& v) {
           setProxyAuthScheme(configInt32(v));
           return kOk;
         }});
  t.addText("ProxyServer", request_.proxyServer);
  t.addInt32("ProxyPort", request_.proxyPort);
  t.addText("ProxyUser", proxyUser_);
  t.addText("ProxyPassword", proxyPassword_);
  t.addText("ProxyAuthorization", proxyAuthorization_);
  t.addText("IfModifiedSince", request_.ifModifiedSince);
  t.addBool("EncodeURL", encodeUrl_);
  t.addBool("EncodeQueryString", encodeQueryString_);
  t.addBool("EncodeRedirectLocation", encodeRedirectLocation_);
  t.addBool("SingleLineMode", singleLineMode_);
  t.addText("LocalFile", request_.localFile);
  t.addBool("GetOn302Redirect", getOn302Redirect_);
  t.addBool("AbsoluteURI", absoluteUri_);
  t.addBool("DebugTrace", debugTrace_);
  t.addBool("DontClearCookiesOnUrlChange", dontClearCookiesOnUrlChange_);
  t.addBool("UsePlatformHTTPClient", usePlatformHttpClient_);
  t.addInt32("FollowRedirects", request_.followRedirects);
  t.addText("HttpCookies", httpCookies_);
  t.addInt32("MaxRedirectAttempts", maxRedirectAttempts_);
  t.addQuery("BytesTransferred", [this] { return std::to_string(response_.bytesTransferred); });
  t.addBool("UseChunkedEncoding", useChunkedEncoding_);
  t.addInt32("ChunkSize", chunkSize_);
  t.addBool("PostDataAfterNegotiate", postDataAfterNegotiate_);
  t.addBool("AllowIdenticalRedirectURL", allowIdenticalRedirectUrl_);
  // Stored only (time conversion).
  t.addBool("UseExtendedDST", useExtendedDst_);
}

bool HttpClient::configSetting(const ConfigRequest& req, std::string& answer, int& code) {
  if (runSetting(settings_, req, answer, code)) return true;
  return TlsClient::configSetting(req, answer, code);
}

// --- credentials --------------------------------------------------------------------

void HttpClient::setAuthorization(const std::string& value) {
  authorization_ = value;
  if (authScheme_ != https_auth::Custom && authScheme_ != https_auth::CustomKept) {
    authScheme_ = https_auth::Custom;
  }
}

void HttpClient::setAuthScheme(int32_t scheme) {
  if (scheme != authScheme_) {
    user_.clear();
    password_.clear();
    authorization_.clear();
  }
  authScheme_ = scheme;
  // NTLM and Negotiate need the connection kept between their messages.
  if (scheme == https_auth::NTLM || scheme == https_auth::Negotiate) keepAlive_ = true;
  serverChallenge_.clear();
}

void HttpClient::setProxyAuthScheme(int32_t scheme) {
  if (scheme != proxyAuthScheme_) {
    if (scheme == https_auth::None) {
      proxyUser_.clear();
      proxyPassword_.clear();
    }
    proxyAuthorization_.clear();
  }
  proxyAuthScheme_ = scheme;
  if (scheme == https_auth::NTLM) keepAlive_ = true;
  proxyChallenge_.clear();
}

// Takes the proxy from the current user's Internet Settings: ProxyServer is
// either "host:port" for every scheme or a list "http=h:p;https=h:p".
int HttpClient::setProxyAutoDetect(bool on) {
  proxyAutoDetect_ = on;
  request_.proxyServer.clear();
  request_.proxyPort = defaultPort_;
  if (!on) return 0;

  std::string list;
  if (!systemProxyList(list)) return 0;

  if (urlScheme_.empty()) urlScheme_ = "https";
  const std::string prefix = tw_platform::asciiLower(urlScheme_) + "=";
  std::string taken;
  bool found = false;
  size_t start = 0;
  while (start <= list.size() && !found) {
    size_t end = list.find(';', start);
    std::string entry = list.substr(start, end == std::string::npos ? std::string::npos
                                                                    : end - start);
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) {
      taken = entry;
      found = true;
    } else if (entry.compare(0, prefix.size(), prefix) == 0) {
      taken = entry.substr(prefix.size());
      found = true;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!found) return 0;

  size_t colon = taken.find(':');
  request_.proxyServer = taken.substr(0, colon);
  if (colon != std::string::npos) {
    int32_t port = configInt32(taken.substr(colon + 1));
    if (port != 0) request_.proxyPort = port;
  }
  bool https = equalsNoCase(urlScheme_, "https");
  request_.proxySsl = https ? https_proxy_ssl::Tunnel : https_proxy_ssl::Automatic;
  setTunnelType(https ? https_firewall::HttpConnect : https_firewall::None);
  return 0;
}

// --- URL state ---------------------------------------------------------------------

UrlParts HttpClient::redirectBase() const {
  UrlParts parts;
  parts.scheme = urlScheme_;
  parts.host = urlServer_;
  parts.port = urlPort_;
  parts.path = request_.urlPath;
  return parts;
}

int HttpClient::failRedirect(int code, const char* text) {
  close(0);
  rearmError();
  return setError(code, text);
}

int HttpClient::applyUrl(const std::string& url, bool redirect) {
  if (redirect) {
    if (!allowIdenticalRedirectUrl_ && url == url_) {
      return failRedirect(kErrProtocol, kTextIdenticalRedirect);
    }
    if (redirectsLeft_ <= 0) return failRedirect(kErrTooManyRedirects, kTextTooManyRedirects);
    --redirectsLeft_;
  } else {
    redirectsLeft_ = maxRedirectAttempts_;
  }
  if (url.empty()) {
    url_.clear();
    urlServer_.clear();
    request_.urlPath.clear();
    urlScheme_ = "https";
    urlPort_ = defaultPort_;
    urlUser_.clear();
    urlPassword_.clear();
    return 0;
  }
  if (url.compare(0, 5, "http:") == 0) {
    defaultPort_ = 80;
  } else if (url.compare(0, 6, "https:") == 0) {
    defaultPort_ = 443;
  }

  // A URL set by the application starts from nothing; a redirect location
  // from the current URL.
  UrlParts parts;
  if (redirect) {
    parts = redirectBase();
  } else {
    parts.scheme = "https";
    parts.host = urlServer_;
    parts.port = defaultPort_;
  }
  url_ = url;
  splitUrl(url, parts, defaultPort_);
  if (redirect ? encodeRedirectLocation_ : encodeUrl_) {
    parts.path = encodePath(parts.path, encodeQueryString_);
  }
  if (parts.path.empty()) parts.path = "/";
  if (parts.ipv6) setUseIPv6(true);

  const bool hostChanged = !equalsNoCase(parts.host, urlServer_);
  const bool portChanged = parts.port != urlPort_;
  if (hostChanged || portChanged || !equalsNoCase(parts.scheme, urlScheme_)) close(0);
  clearAuthenticationState();
  urlScheme_ = parts.scheme;
  urlServer_ = parts.host;
  urlPort_ = parts.port;
  request_.urlPath = parts.path;
  urlUser_ = parts.user;
  urlPassword_ = parts.password;
  const bool replaceCredentials = redirect && request_.followRedirects == 2;
  if (replaceCredentials || !parts.user.empty() || !parts.password.empty()) {
    user_ = parts.user;
    password_ = parts.password;
  }
  retry401_ = 0;
  retry407_ = 0;
  if (!redirect && (hostChanged || portChanged)) dropReceivedCookies();
  const std::string method = requestMethod(busy_);
  if (int r = computeAuthorization(true, method)) return r;
  return computeAuthorization(false, method);
}

void HttpClient::setUrlServer(const std::string& server) {
  bool changed = !equalsNoCase(server, urlServer_);
  urlServer_ = server;
  if (changed) dropReceivedCookies();
}

void HttpClient::setUrlPort(int32_t port) {
  bool changed = port != urlPort_;
  urlPort_ = port;
  if (changed) dropReceivedCookies();
}

void HttpClient::dropReceivedCookies() {
  if (!dontClearCookiesOnUrlChange_) cookies_.dropReceived();
}

// --- methods ---------------------------------------------------------------------------

// Connecting goes to URLServer at URLPort, with TLS for "https", and waits
// at most Timeout.
int HttpClient::setConnected(bool on) {
  if (!on) return close(0);
  if (!socketExists()) {
    selectTls(equalsNoCase(urlScheme_, "https"));
    int rc = setRemoteHost(urlServer_);
    if (rc == 0) rc = setRemotePort(static_cast<uint16_t>(urlPort_));
    if (rc != 0) return rc;
    armDeadline();
  }
  return connectBlocking();
}

int HttpClient::addCookie(const std::string& name, const std::string& value) {
  Cookie c;
  c.name = name;
  c.value = value;
  c.userAdded = 1;
  cookies_.store(c);
  return 0;
}

int HttpClient::interrupt() {
  requestInterrupt();
  if (busy_ == TransferKind::None) return 0;
  interruptCalled_ = true;
  // The library worker's pending call fails; the wait then joins it.
  if (library_.running()) {
    library_.cancel();
    return 0;
  }
  return close(0);
}

int HttpClient::doEvents() { return processPendingEvents(); }

int HttpClient::runTransfer(TransferKind kind, const std::string& url) {
  clearError();
  if (kind != TransferKind::Reset) {
    int r = applyUrl(url);
    if (r != 0) return r;
  }
  restartKind_ = TransferKind::None;
  int result = transferOnce(kind);
  // Each followed redirect is a new request to the location now in the URL;
  // the last one's result is the method's.
  while (restartKind_ != TransferKind::None) {
    kind = std::exchange(restartKind_, TransferKind::None);
    clearError();
    result = transferOnce(kind);
  }
  return result;
}

int HttpClient::transferOnce(TransferKind kind) {
  if (busy_ != TransferKind::None) return setError(kErrBusy, kTextBusy);
  if (useWinInet_ && kind == TransferKind::Reset) {
    // The Internet-library path clears the request properties directly.
    resetRequestProperties(false);
    return 0;
  }

  clearResponseState();
  clearError();
  busy_ = kind;
  interruptCalled_ = false;
  clearInterrupted();
  armDeadline();
  // A kept-alive connection the server has closed is noticed before reuse.
  if (keepAlive_ && isConnected()) processPendingEvents();

  int result;
  if (kind == TransferKind::Reset) {
    resetRequestProperties(true);
    result = 0;
  } else if (useWinInet_) {
    result = runInternetLibraryTransfer(kind);
  } else {
    result = sendRequestAndReadResponse(kind);
  }

  // Let pending socket events run out; the transfer's own failure stays the error.
  // Once the socket is closed, a pass that finds nothing leaves nothing for the next.
  if (timeoutMillis() >= 0) {
    for (int i = 0; i < 100; ++i) {
      if (runPendingEvents() == 0 && !socketExists()) break;
    }
  }
  if (interruptCalled_) result = kErrTimeout;
  busy_ = TransferKind::None;
  return result;
}

std::string HttpClient::requestMethod(TransferKind kind) const {
  if (!request_.httpMethod.empty()) return request_.httpMethod;
  switch (kind) {
    case TransferKind::Post: return "POST";
    case TransferKind::Head: return "HEAD";
    case TransferKind::Put: return "PUT";
    case TransferKind::Delete: return "DELETE";
    default: return "GET";
  }
}

int HttpClient::sendRequestAndReadResponse(TransferKind kind) {
  const bool withBody = kind == TransferKind::Post || kind == TransferKind::Put;
  int r = writeRequest(requestMethod(kind), withBody);
  if (r != 0) {
    closeLocalFile();
    return r;
  }
  // A negative Timeout only starts the connection; nothing waits.
  if (timeoutMillis() < 0) return 0;
  return finishResponse(waitForResponse());
}

int HttpClient::finishResponse(int waitResult) {
  closeLocalFile();
  if (parser_.errorCode() != 0) return setError(parser_.errorCode(), responseErrorText_);
  return judgeStatus(waitResult);
}

// --- the connection --------------------------------------------------------------

int HttpClient::decideConnection() {
  if (urlServer_.empty()) return setError(kErrNoServer, kTextNoServer);

  int32_t mode = request_.proxySsl;
  if (mode == https_proxy_ssl::Automatic && equalsNoCase(urlScheme_, "https")) {
    mode = https_proxy_ssl::Tunnel;
  }

  std::string host;
  int32_t port = 0;
  const bool keepForNtlmRetry = proxyAuthScheme_ == https_auth::NTLM && retry407_ != 0 && isConnected();
  if (!request_.proxyServer.empty() && mode != https_proxy_ssl::Tunnel) {
    host = request_.proxyServer;
    port = request_.proxyPort;
  } else {
    if (!equalsNoCase(urlScheme_, "http") && !equalsNoCase(urlScheme_, "https")) {
      return setError(kErrBadScheme, "Specified URLScheme (" + urlScheme_ + ") is invalid.");
    }
    if (mode == https_proxy_ssl::Tunnel && !request_.proxyServer.empty() && !socketExists()) {
      int type = https_firewall::None;
      switch (proxyAuthScheme_) {
        case https_auth::Basic:
        case https_auth::None: type = https_firewall::HttpConnect; break;
        case https_auth::Digest: type = https_firewall::HttpConnectDigest; break;
        case https_auth::NTLM: type = https_firewall::HttpConnectNtlm; break;
        case https_auth::Negotiate: type = https_firewall::HttpConnectNegotiate; break;
        default: return setError(kErrBadScheme, kTextBadProxyScheme);
      }
      if (int r = setTunnel(type, request_.proxyServer, request_.proxyPort, proxyUser_,
                            proxyPassword_)) {
        return r;
      }
    }
    // A Digest-authenticated CONNECT names the URL's path.
    setTunnelDigestUri(request_.urlPath);
    host = urlServer_;
    port = urlPort_;
  }

  // An open connection elsewhere goes first; one to the same place is kept.
  if (socketExists() && !keepForNtlmRetry &&
      (!equalsNoCase(remoteHost(), host) || remotePort() != port)) {
    close(0);
  }
  if (socketExists()) return 0;

  bool tls = equalsNoCase(urlScheme_, "https");
  if (mode == https_proxy_ssl::Always) tls = true;
  if (mode == https_proxy_ssl::Never) tls = false;
  selectTls(tls);
  if (int r = setRemoteHost(host)) return r;
  if (int r = setRemotePort(static_cast<uint16_t>(port))) return r;
  if (timeoutMillis() < 0) return connect();
  const int r = connectBlocking();
  // A proxy that refused the tunnel leaves its connection open: it is of no
  // further use.
  if (r == kErrTunnelFailed && socketExists()) close(0);
  return r;
}

// --- the request -----------------------------------------------------------------

RequestHeadInputs HttpClient::requestHeadInputs(const std::string& method) {
  RequestHeadInputs in;
  in.method = method;
  in.url = url_;
  in.urlScheme = urlScheme_;
  in.urlServer = urlServer_;
  in.urlPort = urlPort_;
  in.defaultPort = defaultPort_;
  in.urlPath = request_.urlPath;
  in.ipv6 = useIPv6();
  in.proxySet = !request_.proxyServer.empty();
  in.proxySsl = request_.proxySsl;
  in.absoluteUri = absoluteUri_;
  in.httpVersion = httpVersion_;
  in.authorization = authorization_;
  in.proxyAuthorization = proxyAuthorization_;
  in.accept = request_.accept;
  in.allowCompression = request_.allowHttpCompression;
  in.acceptEncoding = acceptEncoding_;
  in.from = request_.from;
  in.userAgent = userAgent_;
  in.ifModifiedSince = request_.ifModifiedSince;
  in.referer = request_.referer;
  in.pragma = request_.pragma;
  in.range = request_.range;
  if (!httpCookies_.empty()) {
    in.cookie = httpCookies_;
  } else {
    for (size_t i = 0; i < cookies_.count(); ++i) {
      if (i > 0) in.cookie += "; ";
      in.cookie += cookies_.at(i).name + "=" + cookies_.at(i).value;
    }
  }
  in.keepAlive = keepAlive_;
  in.otherHeaders = request_.otherHeaders;
  return in;
}

int HttpClient::planRequestBody(RequestBodyPlan& plan) {
  plan = RequestBodyPlan();
  plan.chunkSize = useChunkedEncoding_ && chunkSize_ > 0 ? chunkSize_ : 16384;
  plan.uploadSize = request_.postData.size();
  // Challenge-response schemes get the body with their second request.
  const bool serverFirst = (authScheme_ == https_auth::NTLM || authScheme_ == https_auth::Negotiate ||
                            authScheme_ == https_auth::Digest) &&
                           retry401_ == 0;
  const bool proxyFirst = proxyAuthScheme_ == https_auth::NTLM && retry407_ == 0;
  if (postDataAfterNegotiate_ && (serverFirst || proxyFirst)) {
    plan.negotiateFirst = true;
    plan.uploadSize = 0;
    return 0;
  }
  if (!request_.attachedFile.empty()) {
    HANDLE f = CreateFileA(request_.attachedFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return setError(kErrLocalFile, kTextAttachedFile);
    DWORD high = 0;
    DWORD low = GetFileSize(f, &high);
    plan.file = f;
    plan.fileSize = (static_cast<uint64_t>(high) << 32) | low;
    plan.uploadSize += plan.fileSize;
  }
  plan.chunked = useChunkedEncoding_;
  return 0;
}

std::string HttpClient::requestHeaderText(const std::string& method,
                                          const RequestBodyPlan* body) {
  std::string text = buildRequestHead(requestHeadInputs(method));
  if (body != nullptr) {
    if (!request_.contentType.empty()) text += "Content-Type: " + request_.contentType + "\r\n";
    if (body->chunked && !body->negotiateFirst) {
      text += "Transfer-Encoding: chunked\r\n";
    } else {
      text += "Content-Length: " + std::to_string(body->uploadSize) + "\r\n";
    }
  }
  text += "\r\n";
  return text;
}

int HttpClient::beginResponse(const std::string& method) {
  responseErrorText_.clear();
  closeLocalFile();
  localFileTried_ = false;
  ParserSettings ps;
  ps.headRequest = method == "HEAD";
  ps.followRedirects = request_.followRedirects != 0;
  ps.allowCompression = request_.allowHttpCompression;
  ps.maxLineLength = maxLineLength();
  parser_.reset(ps);
  return setEol("\n");
}

int HttpClient::writeRequest(const std::string& method, bool withBody) {
  // Every request starts a new response.
  if (int r = beginResponse(method)) return r;
  if (int r = decideConnection()) return r;
  parser_.setMaxLineLength(maxLineLength());

  // A Negotiate token made before the TLS connection existed lacks its
  // channel bindings: the first one is made again now.
  if (authScheme_ == https_auth::Negotiate && useSystemSspi() && extendedProtection() &&
      tlsSelected() && !sspiBound_ && serverChallenge_.empty() && tlsContext() != nullptr) {
    if (int r = tokenAuthorization(true, "Negotiate", true)) return r;
  }

  RequestBodyPlan plan;
  if (withBody) {
    if (int r = planRequestBody(plan)) return r;
  }
  std::string text = requestHeaderText(method, withBody ? &plan : nullptr);
  httpCookies_.clear();
  if (keepRequests_) {
    sentHeaders_ = text;
    if (withBody) transferredRequest_ = text;
  }
  if (debugTrace_) fireTransfer(0, static_cast<int64_t>(text.size()), -1, text.data(), text.size());
  // With a negative Timeout the connection is only being made: the request
  // cannot go out from here.
  if (timeoutMillis() < 0) {
    if (plan.file != nullptr) CloseHandle(plan.file);
    return 0;
  }
  int r = sendBlocking(text.data(), static_cast<int>(text.size()), false, false);
  if (r == 0 && withBody) r = sendBody(plan);
  if (plan.file != nullptr) CloseHandle(plan.file);
  return r;
}

int HttpClient::sendBodyPiece(const char* data, size_t length, uint64_t& sent) {
  if (keepRequests_) transferredRequest_.append(data, length);
  std::string framed;
  const char* out = data;
  size_t outLength = length;
  if (useChunkedEncoding_) {
    framed = chunkFrame(data, length);
    out = framed.data();
    outLength = framed.size();
  }
  if (int r = sendBlocking(out, static_cast<int>(outLength), true, false)) return r;
  sent += length;
  if (debugTrace_) fireTransfer(0, static_cast<int64_t>(sent), -1, data, length);
  return 0;
}

int HttpClient::sendBody(RequestBodyPlan& plan) {
  if (plan.negotiateFirst || (request_.postData.empty() && plan.file == nullptr)) return 0;
  fireStartTransfer(0);
  uint64_t sent = 0;
  const size_t piece = static_cast<size_t>(plan.chunkSize);
  const std::string& post = request_.postData;
  for (size_t at = 0; at < post.size(); at += piece) {
    size_t n = post.size() - at < piece ? post.size() - at : piece;
    if (int r = sendBodyPiece(post.data() + at, n, sent)) return r;
  }
  if (plan.file != nullptr) {
    std::string buffer(useChunkedEncoding_ ? piece : kFilePiece, '\0');
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(plan.file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        return setError(kErrLocalFile, kTextAttachedFile);
      }
      if (got == 0) break;
      if (int r = sendBodyPiece(buffer.data(), got, sent)) return r;
    }
  }
  if (useChunkedEncoding_) {
    static const char kLastChunk[] = "0\r\n\r\n";
    if (int r = sendBlocking(kLastChunk, 5, false, false)) return r;
  }
  fireEndTransfer(0);
  return 0;
}

// --- the response ------------------------------------------------------------------

int HttpClient::waitForResponse() {
  while (!parser_.ended()) {
    if (!socketExists()) {
      // The server closed the connection.
      parser_.connectionClosed();
      break;
    }
    if (!waitStep()) {
      // A half-read response must not be taken for the next one on this
      // connection: it goes, and the wait's text ("Timeout.") stays.
      close(0);
      return kErrTimeout;
    }
  }
  return 0;
}

int HttpClient::judgeStatus(int waitResult) {
  if (waitResult == kErrTimeout || interruptCalled_ || interrupted()) return kErrTimeout;
  // Without a status line there is nothing to judge.
  if (!parser_.statusReceived()) return 0;
  const int code = response_.statusCode;
  if ((code >= 200 && code <= 299) || code == 101) return waitResult;
  setError(kErrProtocol, protocolErrorText(code, response_.reasonPhrase));
  if (code == 401 || code == 407) return decideAuthRetry(busy_, code);
  return decideRedirect(busy_, code);
}

// --- authentication -------------------------------------------------------------

int HttpClient::decideAuthRetry(TransferKind kind, int code) {
  const bool server = code == 401;
  const int32_t scheme = server ? authScheme_ : proxyAuthScheme_;
  // Basic credentials went with the first request: nothing new to send.
  if (scheme != https_auth::Digest && scheme != https_auth::NTLM &&
      scheme != https_auth::Negotiate) {
    return kErrProtocol;
  }
  int32_t& retried = server ? retry401_ : retry407_;
  if (retried == 1) {
    retried = 0;
    return kErrProtocol;
  }
  retried = 1;
  busy_ = TransferKind::None;
  if (int r = computeAuthorization(server, requestMethod(kind))) return r;
  restartKind_ = kind;
  return 0;
}

int HttpClient::failAuthorization(const std::string& text) {
  rearmError();
  return setError(kErrProtocol, text);
}

int HttpClient::computeAuthorization(bool server, const std::string& method) {
  const int32_t scheme = server ? authScheme_ : proxyAuthScheme_;
  if (scheme == https_auth::Custom || scheme == https_auth::CustomKept) return 0;
  std::string& value = server ? authorization_ : proxyAuthorization_;
  const std::string& user = server ? user_ : proxyUser_;
  const std::string& password = server ? password_ : proxyPassword_;
  value.clear();
  // NTLM and Negotiate still send their first message without credentials.
  const bool firstMessage = scheme == https_auth::NTLM || scheme == https_auth::Negotiate;
  if (user.empty() && password.empty() && !firstMessage) return 0;
  switch (scheme) {
    case https_auth::Basic:
      value = "Basic " + auth::base64Encode(user + ":" + password);
      return 0;
    case https_auth::Digest: {
      auth::DigestState& digest = server ? serverDigest_ : proxyDigest_;
      digest.user = user;
      digest.password = password;
      digest.method = method;
      digest.uri = request_.urlPath;
      digest.entityBody = request_.postData;
      return digest.headerValue(server, value) ? 0 : failAuthorization(digest.errorText);
    }
    case https_auth::NTLM:
      return tokenAuthorization(server, "NTLM", false);
    case https_auth::Negotiate:
      if (!server) return 0;
      // The system security package makes Kerberos tokens (SPNEGO); its
      // package "NTLM" is the codec here too.
      return tokenAuthorization(server, "Negotiate", useSystemSspi());
    default:
      return 0;
  }
}

int HttpClient::tokenAuthorization(bool server, const char* word, bool systemPackage) {
  auth::TokenExchange& exchange = server ? serverExchange_ : proxyExchange_;
  const std::string& challenge = server ? serverChallenge_ : proxyChallenge_;
  std::string token;
  bool made;
  if (challenge.empty()) {
    // With ExtendedProtection over TLS the system package's first token
    // carries the connection's channel bindings; before the connection
    // exists it is made again when the request is written.
    std::string bindings;
    PCtxtHandle tls =
        systemPackage && extendedProtection() && tlsSelected() ? tlsContext() : nullptr;
    if (tls != nullptr && !exchange.channelBindings(tls, bindings)) {
      return failAuthorization(exchange.errorText());
    }
    if (systemPackage) sspiBound_ = tls != nullptr;
    const std::string target = kerberosSpn().empty() ? "HTTP/" + urlServer_ : kerberosSpn();
    made = exchange.first(systemPackage, server ? user_ : proxyUser_,
                          server ? password_ : proxyPassword_, target,
                          tls != nullptr ? &bindings : nullptr, token);
  } else {
    made = exchange.answer(challenge, token);
  }
  if (!made) return failAuthorization(exchange.errorText());
  (server ? authorization_ : proxyAuthorization_) =
      std::string(word) + " " + auth::base64Encode(token);
  return 0;
}

void HttpClient::takeChallenge(bool server, const std::string& value) {
  const size_t blank = value.find(' ');
  const std::string word = value.substr(0, blank);
  const std::string challenge = blank == std::string::npos ? "" : value.substr(blank + 1);
  (server ? authorization_ : proxyAuthorization_).clear();
  if (equalsNoCase(word, "Digest")) {
    (server ? serverDigest_ : proxyDigest_).parseChallenge(challenge);
    return;
  }
  // A proxy's scheme word is taken only as written; a server's in any case,
  // and only for the scheme chosen.
  const bool taken =
      server ? (authScheme_ == https_auth::NTLM && equalsNoCase(word, "NTLM")) ||
                   (authScheme_ == https_auth::Negotiate && equalsNoCase(word, "Negotiate"))
             : word == "NTLM";
  if (taken) (server ? serverChallenge_ : proxyChallenge_) = challenge;
}

int HttpClient::decideRedirect(TransferKind kind, int code) {
  const int32_t mode = request_.followRedirects;
  if (mode == 0 || code < 300 || code > 399 || code == 304 || code == 305) return kErrProtocol;
  const bool usualKind =
      kind == TransferKind::Get || kind == TransferKind::Head || kind == TransferKind::Post;
  if (!usualKind && mode != 1) return kErrProtocol;
  // Without a Location there is nowhere to go: the answer fails like any
  // other that is not followed.
  const std::string location = response_.location;
  if (location.empty()) return kErrProtocol;

  const std::string schemeBefore = urlScheme_;
  if (int r = applyUrl(location, true)) return r;
  // Mode 2 offers only a location that keeps the scheme; the handler decides.
  const bool offered = mode == 1 || equalsNoCase(urlScheme_, schemeBefore);
  const bool accept = fireRedirect(location, offered);
  if (!accept) return kErrProtocol;
  if (interruptCalled_) return kErrTimeout;

  for (int i = 0; i < 10; ++i) processPendingEvents();
  busy_ = TransferKind::None;
  const bool toGet =
      kind == TransferKind::Post && (code == 303 || (code == 302 && getOn302Redirect_));
  restartKind_ = toGet ? TransferKind::Get : kind;
  return 0;
}

int HttpClient::dataIn(const char* data, int length, bool endOfLine) {
  if (length < 0) length = 0;
  int r = parser_.feed(data, static_cast<size_t>(length), endOfLine);
  if (r != 0) {
    // The response cannot go on: the rest of the connection is dropped. The
    // failure's text (the parser's, or the one a body handler left) stays.
    if (!parser_.errorText().empty()) responseErrorText_ = parser_.errorText();
    setError(r, responseErrorText_);
    close(0);
  }
  return r;
}

// A body that runs to the end of the connection ends before Disconnected
// (and after the last decrypted bytes went up).
void HttpClient::endOfStream() { parser_.connectionClosed(); }

int HttpClient::setLineEnd(const std::string& marker) { return setEol(marker); }

void HttpClient::onStatus(const std::string& version, int code, const std::string& reason) {
  fireStatus(version, code, reason);
}

int HttpClient::onHeader(const std::string& field, const std::string& value) {
  fireHeader(field, value);
  if (equalsNoCase(field, "Set-Cookie")) takeSetCookie(value);
  const bool server = equalsNoCase(field, "WWW-Authenticate");
  if (server || equalsNoCase(field, "Proxy-Authenticate")) takeChallenge(server, value);
  return 0;
}

void HttpClient::takeSetCookie(const std::string& value) {
  const Cookie c = parseSetCookie(value);
  // A new received cookie beyond the cap is dropped without an event.
  if (cookies_.admitsReceived(c)) {
    fireSetCookie(c.name, c.value, c.expiration, c.domain, c.path, c.secure != 0);
    cookies_.store(c);
  }
}

void HttpClient::onStartTransfer() { fireStartTransfer(1); }

void HttpClient::closeLocalFile() {
  if (localFile_ != nullptr) {
    CloseHandle(localFile_);
    localFile_ = nullptr;
  }
}

int HttpClient::onBody(const char* data, size_t length, int percentDone) {
  const int code = response_.statusCode;
  const bool success = code >= 200 && code <= 299;
  if (!request_.localFile.empty() && success && !localFileTried_) {
    localFileTried_ = true;
    if (!openLocalFile()) {
      responseErrorText_ = kTextLocalFileOpen;
      setError(kErrLocalFile, kTextLocalFileOpen);
      fireError(kErrLocalFile, kTextLocalFileOpen);
      return kErrLocalFile;
    }
  }
  if (localFile_ != nullptr) {
    DWORD written = 0;
    if (!WriteFile(localFile_, data, static_cast<DWORD>(length), &written, nullptr) ||
        written != length) {
      closeLocalFile();
      fireError(kErrLocalFileWrite, kTextLocalFileWrite);
    }
  }
  if (localFile_ == nullptr) keepTransferredData(data, length);
  fireTransfer(1, static_cast<int64_t>(response_.bytesTransferred), percentDone, data, length);
  return 0;
}

bool HttpClient::openLocalFile() {
  HANDLE f = CreateFileA(request_.localFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  localFile_ = f;
  return true;
}

// TransferredData keeps at most TransferredDataLimit bytes (0: no limit).
void HttpClient::keepTransferredData(const char* data, size_t length) {
  size_t keep = length;
  if (transferredDataLimit_ > 0) {
    uint64_t limit = static_cast<uint64_t>(transferredDataLimit_);
    uint64_t have = response_.transferredData.size();
    keep = have >= limit ? 0 : static_cast<size_t>(std::min<uint64_t>(limit - have, length));
  }
  try {
    response_.transferredData.append(data, keep);
  } catch (const std::bad_alloc&) {
    fireError(kErrOutOfMemory, kTextAppendData);
  }
}

// True when the response announced that the server closes the connection
// after it ("Connection: close"): no further request may go on it.
bool HttpClient::serverCloses() const {
  for (const auto& [field, value] : response_.headers) {
    if (equalsNoCase(field, "Connection") && tw_platform::asciiLower(value).find("close") != std::string::npos) {
      return true;
    }
  }
  return false;
}

void HttpClient::onEndOfResponse(bool fireEndTransfer) {
  closeLocalFile();
  // A kept connection the server is closing would take the next request
  // (an NTLM answer, say) into a connection that is already going.
  if (!keepAlive_ || serverCloses()) close(0);
  if (fireEndTransfer) this->fireEndTransfer(1);
  if (timeoutMillis() < 0) close(0);
}

void HttpClient::onSkipRedirectBody() {
  if (socketExists()) close(0);
}

int HttpClient::runInternetLibraryTransfer(TransferKind kind) {
  // The library path has no DELETE: the worker ends at once with 0.
  if (kind == TransferKind::Delete) return 0;
  // A worker left from a transfer whose wait gave up is still ending.
  if (library_.running()) return setError(kErrBusy, kTextBusy);
  response_.transferredHeaders.clear();
  response_.transferredData.clear();
  response_.bytesTransferred = 0;
  closeLocalFile();
  localFileTried_ = false;
  if (int r = library_.start(libraryRequest(kind))) return setError(r);

  // The first end of the wait (time limit or Interrupt) frees the component
  // and lets the worker finish; the second stops it.
  bool waitEnded = false;
  while (library_.running()) {
    if (waitStep()) continue;
    if (!waitEnded) {
      waitEnded = true;
      busy_ = TransferKind::None;
      continue;
    }
    stopLibraryWorker();
    closeLocalFile();
    return kErrTimeout;
  }
  closeLocalFile();
  const int r = library_.result();
  if (r != 0) setError(r, library_.errorText());
  return r;
}

void HttpClient::stopLibraryWorker() {
  library_.cancel();
  library_.join([this] { processPendingEvents(); });
}

LibraryRequest HttpClient::libraryRequest(TransferKind kind) const {
  LibraryRequest q;
  q.verb = kind == TransferKind::Post   ? "POST"
           : kind == TransferKind::Head ? "HEAD"
           : kind == TransferKind::Put  ? "PUT"
                                        : "GET";
  q.scheme = urlScheme_;
  q.server = urlServer_;
  q.port = static_cast<uint16_t>(urlPort_);
  q.path = request_.urlPath;
  q.httpVersion = httpVersion_;
  q.userAgent = userAgent_;
  q.referer = request_.referer;
  q.accept = request_.accept;
  q.user = user_;
  q.password = password_;
  q.proxyServer = request_.proxyServer;
  q.proxyPort = request_.proxyPort;
  q.proxyAutoDetect = proxyAutoDetect_;
  q.proxyUser = proxyUser_;
  q.proxyPassword = proxyPassword_;
  q.sslSecurityFlags = securityFlags();
  q.useCookies = useWinInetCookies_;
  q.readContentLength = readContentLength_;
  q.contentType = request_.contentType;
  q.from = request_.from;
  q.ifModifiedSince = request_.ifModifiedSince;
  q.pragma = request_.pragma;
  q.otherHeaders = request_.otherHeaders;
  q.postData = request_.postData;
  q.attachedFile = request_.attachedFile;
  return q;
}

LRESULT HttpClient::runWindowEvent(WPARAM kind, LPARAM event) {
  auto* e = reinterpret_cast<LibraryEvent*>(event);
  // Events of a stopped worker are dropped.
  if (e == nullptr || library_.cancelled()) return 0;
  switch (static_cast<LibraryEventKind>(kind)) {
    case LibraryEventKind::Connected: fireConnected(e->code, e->text); break;
    case LibraryEventKind::Disconnected: fireDisconnected(e->code, e->text); break;
    case LibraryEventKind::EndTransfer:
      if (e->code == 1) closeLocalFile();
      fireEndTransfer(e->code);
      if (e->code == 0) response_.statusLine = e->statusLine;
      break;
    case LibraryEventKind::Error: fireError(e->code, e->text); break;
    case LibraryEventKind::Header: takeLibraryHeader(*e); break;
    case LibraryEventKind::SSLStatus: fireSSLStatus(e->text); break;
    case LibraryEventKind::StartTransfer: fireStartTransfer(e->code); break;
    case LibraryEventKind::Transfer: takeLibraryPiece(*e); break;
    default: break;
  }
  return e->result;
}

// A header line of the library's block, taken as the native path takes one
// (the Internet library answers challenges itself).
void HttpClient::takeLibraryHeader(LibraryEvent& e) {
  response_.transferredHeaders += e.text + "\r\n";
  std::string field, value;
  splitHeaderLine(e.text, field, value);
  response_.headers.emplace_back(field, value);
  keepEntityHeader(response_, field, value);
  fireHeader(field, value);
  if (equalsNoCase(field, "Set-Cookie")) takeSetCookie(value);
  e.contentLength = response_.contentLength;
}

// A body piece: TransferredData, then LocalFile (both kept), then the event.
void HttpClient::takeLibraryPiece(LibraryEvent& e) {
  keepTransferredData(e.data, e.length);
  if (!request_.localFile.empty()) {
    if (!localFileTried_) {
      localFileTried_ = true;
      if (!openLocalFile()) {
        e.result = kErrLocalFile;
        e.resultText = kTextLocalFileOpen;
        return;
      }
    }
    DWORD written = 0;
    if (localFile_ == nullptr ||
        !WriteFile(localFile_, e.data, static_cast<DWORD>(e.length), &written, nullptr) ||
        written != e.length) {
      const DWORD code = GetLastError();
      // A short write without a code is a full disk.
      e.result = code != 0 ? static_cast<int>(code) : ERROR_DISK_FULL;
      e.resultText = kTextLibraryLocalFileWrite;
      return;
    }
  }
  response_.bytesTransferred += e.length;
  fireTransfer(1, static_cast<int64_t>(response_.bytesTransferred),
               percentDone(response_.bytesTransferred, response_.contentLength), e.data,
               e.length);
}

void HttpClient::clearResponseState() {
  response_.statusLine.clear();
  response_.statusCode = 0;
  response_.reasonPhrase.clear();
  response_.httpVersion.clear();
  response_.headers.clear();
  response_.contentLength = -1;
  response_.chunked = false;
  response_.location.clear();
}

void HttpClient::clearAuthenticationState() {
  serverChallenge_.clear();
  proxyChallenge_.clear();
  serverDigest_.reset();
  proxyDigest_.reset();
  retry401_ = 0;
  retry407_ = 0;
}

void HttpClient::resetRequestProperties(bool nativePath) {
  if (nativePath) {
    response_.transferredData.clear();
    getOn302Redirect_ = false;
  }
  url_.clear();
  urlServer_.clear();
  request_.urlPath.clear();
  request_.postData.clear();
  request_.contentType.clear();
  user_.clear();
  password_.clear();
  authorization_.clear();
  proxyUser_.clear();
  proxyPassword_.clear();
  proxyAuthorization_.clear();
  request_.accept.clear();
  request_.from.clear();
  request_.ifModifiedSince.clear();
  request_.referer.clear();
  request_.pragma.clear();
  request_.otherHeaders.clear();
  response_.statusLine.clear();
  request_.attachedFile.clear();
  request_.localFile.clear();
  response_.headers.clear();
  cookies_.clear();
  clearAuthenticationState();
  urlScheme_ = "https";
  urlPort_ = 443;
}

}  // namespace velmora::network::component
