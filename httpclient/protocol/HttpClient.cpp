#include "httpclient/protocol/HttpClient.h"

#include "httpclient/transport/ComponentErrors.h"

namespace velmora::network::component {

HttpClient::HttpClient() {
  // The HTTP layer's set-up: large socket buffers, and 4000-byte lines for
  // the decrypted data of TLS connections (TLS is selected now).
  setInBufferSize(262144);
  setOutBufferSize(262144);
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
  if (authScheme_ != 2 && authScheme_ != 6) authScheme_ = 2;
}

void HttpClient::setAuthScheme(int32_t scheme) {
  if (scheme != authScheme_) {
    user_.clear();
    password_.clear();
    authorization_.clear();
  }
  authScheme_ = scheme;
  // NTLM and Negotiate need the connection kept between their messages.
  if (scheme == 4 || scheme == 5) keepAlive_ = true;
  serverChallenge_.clear();
}

void HttpClient::setProxyAuthScheme(int32_t scheme) {
  if (scheme != proxyAuthScheme_) {
    if (scheme == 3) {
      proxyUser_.clear();
      proxyPassword_.clear();
    }
    proxyAuthorization_.clear();
  }
  proxyAuthScheme_ = scheme;
  if (scheme == 4) keepAlive_ = true;
  proxyChallenge_.clear();
}

int HttpClient::setProxyAutoDetect(bool on) {
  proxyAutoDetect_ = on;
  request_.proxyServer.clear();
  request_.proxyPort = defaultPort_;
  if (!on) return 0;
  return notBuilt(kPartRequests, "ProxyAutoDetect");
}

// --- URL state ---------------------------------------------------------------------

int HttpClient::applyUrl(const std::string& url) {
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
  return notBuilt(kPartRequests, "applying a URL");
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
  return close(0);
}

int HttpClient::doEvents() { return processPendingEvents(); }

int HttpClient::runTransfer(TransferKind kind, const std::string& url) {
  clearError();
  if (kind != TransferKind::Reset) {
    int r = applyUrl(url);
    if (r != 0) return r;
  }
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

  // Let pending socket events run out; their own failures do not replace the
  // transfer's error text.
  std::string saved = lastErrorText();
  bool eventsFailed = false;
  if (timeoutMillis() >= 0) {
    for (int i = 0; i < 100 && !eventsFailed; ++i) eventsFailed = processPendingEvents() != 0;
  }
  if (interruptCalled_) result = kErrTimeout;
  busy_ = TransferKind::None;
  if (eventsFailed || lastErrorText().empty()) setError(lastErrorCode(), saved);
  return result;
}

int HttpClient::sendRequestAndReadResponse(TransferKind /*kind*/) {
  return notBuilt(kPartRequests, "sending a request");
}

int HttpClient::dataIn(const char* /*data*/, int /*length*/, bool /*endOfLine*/) {
  return notBuilt(kPartRequests, "reading a response");
}

int HttpClient::runInternetLibraryTransfer(TransferKind kind) {
  // The library path has no DELETE: the worker ends at once with 0.
  if (kind == TransferKind::Delete) return 0;
  return notBuilt(kPartInternetLibrary, "the transfer");
}

void HttpClient::clearResponseState() {
  response_.statusLine.clear();
  response_.statusCode = 0;
  response_.reasonPhrase.clear();
  response_.httpVersion.clear();
  response_.headers.clear();
  response_.contentLength = -1;
}

void HttpClient::clearAuthenticationState() {
  serverChallenge_.clear();
  proxyChallenge_.clear();
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
