// HTTP client: the protocol layer of the component.
// What it is: the URL state, the request properties, the response fields,
//   the cookie list, the authentication credentials and the transfer
//   dispatch of the methods Get, Head, Post, Put, Delete and Reset.
// May call below: the TLS client's connect, send, close, EOL and the
//   engine's wait step, deadline and pending-event processing.
// Tells above: the HTTP events (Header, Redirect, SetCookie, StartTransfer,
//   EndTransfer, Status, Transfer), delivered by the component object.
// Re-entrancy: one transfer at a time (busy indicator, 143); an event
//   handler may call Interrupt, which takes effect at the next wait step.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/auth/Digest.h"
#include "httpclient/auth/TokenExchange.h"
#include "httpclient/protocol/CookieList.h"
#include "httpclient/protocol/InternetLibraryTransfer.h"
#include "httpclient/protocol/RequestBuilder.h"
#include "httpclient/protocol/ResponseParser.h"
#include "httpclient/protocol/Url.h"
#include "platform/win32types.h"
#include "httpclient/transport/TlsClient.h"

namespace velmora::network::component {

// Kind of the transfer in progress (the busy indicator).
enum class TransferKind {
  None = 0,  // idle
  Get = 1,
  Post = 2,
  Head = 3,
  Reset = 4,
  Put = 5,
  Delete = 6,
};

// Request properties that are stored as given, without side effects.
struct HttpRequestFields {
  std::string accept;
  bool allowHttpCompression = false;
  std::string attachedFile;
  std::string contentType;
  int32_t followRedirects = 0;
  std::string from;
  std::string httpMethod;
  std::string ifModifiedSince;
  std::string localFile;
  std::string otherHeaders;
  std::string postData;
  std::string pragma;
  std::string proxyServer;
  int32_t proxyPort = 80;
  int32_t proxySsl = 0;
  std::string range;
  std::string referer;
  std::string urlPath;
};

// How the body of a POST or PUT goes out, decided before its headers.
struct RequestBodyPlan {
  bool negotiateFirst = false;  // headers with Content-Length 0 now, body with the retry
  bool chunked = false;         // UseChunkedEncoding
  int32_t chunkSize = 16384;
  uint64_t uploadSize = 0;      // PostData and AttachedFile
  HANDLE file = nullptr;        // AttachedFile, open while the body is sent
  uint64_t fileSize = 0;
};

class HttpClient : public TlsClient, private ResponseSink {
 public:
  HttpClient();
  ~HttpClient() override;

  HttpRequestFields& request() { return request_; }
  const HttpRequestFields& request() const { return request_; }
  const HttpResponseFields& response() const { return response_; }
  CookieList& cookies() { return cookies_; }
  const CookieList& cookies() const { return cookies_; }

  // Server credentials. Setting Authorization moves AuthScheme to 2 (custom)
  // unless it is 2 or 6. Changing AuthScheme clears User, Password and
  // Authorization; 4 and 5 switch KeepAlive on; every set clears the stored
  // server challenge.
  void setAuthorization(const std::string& value);
  const std::string& authorization() const { return authorization_; }
  void setAuthScheme(int32_t scheme);
  int32_t authScheme() const { return authScheme_; }
  void setUser(const std::string& user) { user_ = user; }
  const std::string& user() const { return user_; }
  void setPassword(const std::string& password) { password_ = password; }
  const std::string& password() const { return password_; }

  // Proxy credentials. Changing ProxyAuthScheme to 3 clears ProxyUser and
  // ProxyPassword; any change clears ProxyAuthorization; 4 switches
  // KeepAlive on.
  void setProxyAuthScheme(int32_t scheme);
  int32_t proxyAuthScheme() const { return proxyAuthScheme_; }
  std::string& proxyUser() { return proxyUser_; }
  std::string& proxyPassword() { return proxyPassword_; }
  const std::string& proxyAuthorization() const { return proxyAuthorization_; }
  int setProxyAutoDetect(bool on);
  bool proxyAutoDetect() const { return proxyAutoDetect_; }

  // URL state. Setting URLServer (compared without case) or URLPort to a
  // different value drops the received cookies unless
  // DontClearCookiesOnUrlChange is on.
  int applyUrl(const std::string& url) { return applyUrl(url, false); }
  // A redirect location is split over the current URL and encoded by
  // EncodeRedirectLocation; it fails (connection closed) when it repeats the
  // URL or no redirects remain. Any other URL restarts the redirect count.
  int applyUrl(const std::string& url, bool redirect);
  const std::string& url() const { return url_; }
  void setUrlScheme(const std::string& scheme) { urlScheme_ = scheme; }
  const std::string& urlScheme() const { return urlScheme_; }
  void setUrlServer(const std::string& server);
  const std::string& urlServer() const { return urlServer_; }
  void setUrlPort(int32_t port);
  int32_t urlPort() const { return urlPort_; }

  void setTransferredDataLimit(int64_t limit) { transferredDataLimit_ = limit; }
  int64_t transferredDataLimit() const { return transferredDataLimit_; }
  void setKeepAlive(bool on) { keepAlive_ = on; }
  bool keepAlive() const { return keepAlive_; }

  // Connected property: 1 connects, 0 disconnects.
  int setConnected(bool on);
  // The transfer methods; Reset takes no URL.
  int runTransfer(TransferKind kind, const std::string& url);
  // Cancels the transfer in progress: it ends with 301.
  int interrupt();
  int doEvents();
  // A user-added cookie (domain, expiration and path empty, secure 0).
  int addCookie(const std::string& name, const std::string& value);
  TransferKind busy() const { return busy_; }

  bool configSetting(const ConfigRequest& req, std::string& answer, int& code) override;

  // The receive handler of the HTTP layer: lines of the status and headers,
  // raw pieces of the body.
  int dataIn(const char* data, int length, bool endOfLine);

  // --- the request, testable without a connection ---------------------------
  // The verb: HTTPMethod when set, else the transfer kind's own.
  std::string requestMethod(TransferKind kind) const;
  // The header values of a request as the component state gives them now.
  RequestHeadInputs requestHeadInputs(const std::string& method);
  // Decides how a body goes out; opens AttachedFile (302 when it cannot be).
  int planRequestBody(RequestBodyPlan& plan);
  // The whole header text of a request, ending with the blank line; with a
  // body plan, Content-Type and the length header come before it.
  std::string requestHeaderText(const std::string& method, const RequestBodyPlan* body);
  // Starts reading a new response to a request with this method: the parser
  // in StatusLine, the line end LF. Writing a request does this first.
  int beginResponse(const std::string& method);
  // After the wait for the response: the parser's failure, or the status
  // judged (2xx and 101 give the wait's result; a followed redirect 0 with
  // the next request's kind in restartKind_; others 151 with the protocol
  // error text; without a status line 0).
  int finishResponse(int waitResult);
  ParserState parserState() const { return parser_.state(); }
  bool responseEnded() const { return parser_.ended(); }
  int32_t defaultPort() const { return defaultPort_; }

 protected:
  int reportDataIn(const char* data, int length, bool endOfLine) override {
    return dataIn(data, length, endOfLine);
  }
  // HTTP events, delivered by the component object.
  virtual void fireHeader(const std::string& /*field*/, const std::string& /*value*/) {}
  virtual bool fireRedirect(const std::string& /*location*/, bool accept) { return accept; }
  virtual void fireSetCookie(const std::string& /*name*/, const std::string& /*value*/,
                             const std::string& /*expires*/, const std::string& /*domain*/,
                             const std::string& /*path*/, bool /*secure*/) {}
  virtual void fireStartTransfer(int /*direction*/) {}
  virtual void fireEndTransfer(int /*direction*/) {}
  virtual void fireStatus(const std::string& /*httpVersion*/, int /*statusCode*/,
                          const std::string& /*description*/) {}
  virtual void fireTransfer(int /*direction*/, int64_t /*bytesTransferred*/,
                            int /*percentDone*/, const char* /*text*/, size_t /*length*/) {}

 private:
  // Steps of the dispatch.
  int sendRequestAndReadResponse(TransferKind kind);
  int decideConnection();
  int writeRequest(const std::string& method, bool withBody);
  int sendBody(RequestBodyPlan& plan);
  int sendBodyPiece(const char* data, size_t length, uint64_t& sent);
  int waitForResponse();
  int judgeStatus(int waitResult);
  void closeLocalFile();
  // Creates LocalFile for the body; false when it cannot be.
  bool openLocalFile();
  void keepTransferredData(const char* data, size_t length);
  // A received Set-Cookie: the SetCookie event, then the cookie store.
  void takeSetCookie(const std::string& value);

  // What the response parser tells this layer.
  int setLineEnd(const std::string& marker) override;
  void onStatus(const std::string& version, int code, const std::string& reason) override;
  int onHeader(const std::string& field, const std::string& value) override;
  void onStartTransfer() override;
  int onBody(const char* data, size_t length, int percentDone) override;
  void onEndOfResponse(bool fireEndTransfer) override;
  void onSkipRedirectBody() override;

 protected:
  void endOfStream() override;
  // An Internet-library event, run on this thread for the worker.
  LRESULT runWindowEvent(WPARAM kind, LPARAM event) override;

 private:
  // The transfer through the Internet library: a worker runs it while this
  // thread waits and delivers its events.
  int runInternetLibraryTransfer(TransferKind kind);
  LibraryRequest libraryRequest(TransferKind kind) const;
  void takeLibraryHeader(LibraryEvent& e);
  void takeLibraryPiece(LibraryEvent& e);
  // Stops the worker: its handles close, its later events are dropped, and
  // it is joined while this thread's messages run.
  void stopLibraryWorker();
  // One request and its response, with the busy indicator set around them.
  int transferOnce(TransferKind kind);
  // Decides whether a 3xx answer is followed; when it is, the location is
  // applied and restartKind_ set for the next request.
  int decideRedirect(TransferKind kind, int code);
  // A 401 (server) or 407 (proxy) answer to a challenge-response scheme is
  // answered once: the header is computed from the challenge taken in and
  // restartKind_ set; a second refusal fails with the protocol error.
  int decideAuthRetry(TransferKind kind, int code);
  // The Authorization (server) or Proxy-Authorization value from the
  // direction's scheme, credentials and challenge.
  int computeAuthorization(bool server, const std::string& method);
  // Negotiate through the system security package (Kerberos).
  int tokenAuthorization(bool server, const char* word, bool systemPackage);
  // A WWW-Authenticate (server) or Proxy-Authenticate header.
  void takeChallenge(bool server, const std::string& value);
  // A header that cannot be computed ends the method with 151 and this text.
  int failAuthorization(const std::string& text);
  // A redirect that cannot go on: the connection goes and this failure
  // replaces the protocol error text.
  int failRedirect(int code, const char* text);
  // The current URL as the base of a redirect location.
  UrlParts redirectBase() const;
  void clearResponseState();
  bool serverCloses() const;
  // Reset's clearing of the request properties; the native path also clears
  // TransferredData and GetOn302Redirect.
  void resetRequestProperties(bool nativePath);
  void clearAuthenticationState();
  void dropReceivedCookies();

  HttpRequestFields request_;
  HttpResponseFields response_;
  CookieList cookies_;
  ResponseParser parser_{response_, *this};
  std::string responseErrorText_;  // why the current response failed
  // LocalFile of the current response.
  HANDLE localFile_ = nullptr;
  bool localFileTried_ = false;

  // URL state.
  std::string url_;
  std::string urlScheme_ = "https";
  std::string urlServer_;
  int32_t urlPort_ = 443;
  int32_t defaultPort_ = 443;
  std::string urlUser_;
  std::string urlPassword_;

  // Authentication.
  std::string authorization_;
  int32_t authScheme_ = 0;
  std::string user_;
  std::string password_;
  std::string serverChallenge_;
  int32_t proxyAuthScheme_ = 0;
  std::string proxyUser_;
  std::string proxyPassword_;
  std::string proxyAuthorization_;
  std::string proxyChallenge_;
  auth::DigestState serverDigest_;
  auth::DigestState proxyDigest_;
  auth::TokenExchange serverExchange_;  // NTLM, Negotiate
  auth::TokenExchange proxyExchange_;   // NTLM
  bool sspiBound_ = false;  // the system package's first token carried TLS channel bindings
  bool proxyAutoDetect_ = false;
  int32_t retry401_ = 0;
  int32_t retry407_ = 0;

  // Transfer.
  TransferKind busy_ = TransferKind::None;
  // The kind of the request a followed redirect starts next (None: none).
  TransferKind restartKind_ = TransferKind::None;
  int32_t redirectsLeft_ = 20;
  bool interruptCalled_ = false;
  int64_t transferredDataLimit_ = 0;

  // Settings: the Internet-library group.
  bool useWinInet_ = false;
  bool useWinInetCookies_ = true;
  bool readContentLength_ = false;
  // Settings: the HTTP group.
  bool keepRequests_ = false;  // "TransferredRequest" is "on"
  std::string sentHeaders_;
  std::string transferredRequest_;
  std::string httpVersion_ = "1.1";
  std::string userAgent_ = "TessilonSSL HTTPS Component/1.0";
  bool keepAlive_ = false;
  std::string acceptEncoding_ = "gzip, deflate";
  bool encodeUrl_ = false;
  bool encodeQueryString_ = true;
  bool encodeRedirectLocation_ = false;
  bool singleLineMode_ = false;
  bool getOn302Redirect_ = false;
  bool absoluteUri_ = false;
  bool debugTrace_ = false;
  bool dontClearCookiesOnUrlChange_ = false;
  bool usePlatformHttpClient_ = false;
  std::string httpCookies_;
  int32_t maxRedirectAttempts_ = 20;
  bool useChunkedEncoding_ = false;
  int32_t chunkSize_ = 16384;
  bool postDataAfterNegotiate_ = true;
  bool allowIdenticalRedirectUrl_ = false;
  bool useExtendedDst_ = false;

  SettingTable settings_;
  InternetLibraryTransfer library_{window(), kRunEventMessage};
};

}  // namespace velmora::network::component
